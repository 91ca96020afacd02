#include "DTime.h"

#include <atomic>
#include <chrono>

#include "DEngine.h"

namespace libkorvet {

namespace {

std::atomic<bool> manualClockOn(false);
std::atomic<unsigned long long> manualClockMs(0);

// Differences of more whole seconds than this are reported as this many,
// so the result still fits a signed 32-bit millisecond count.
const long long MAX_SECONDS_DIFFERENCE = 2147482;

using Clock = std::chrono::steady_clock;

unsigned long long realCounter() {
  return static_cast<unsigned long long>(Clock::now().time_since_epoch().count());
}

}  // namespace

DTime::DTime() : counter(0), ticksPerMs(0), engine(nullptr), seconds(0), milliseconds(0) {
  const unsigned long long frequency =
      static_cast<unsigned long long>(Clock::period::den) / static_cast<unsigned long long>(Clock::period::num);
  if (frequency == 0)
    DEngine::fatalError("DTime::createWinTimer(): high performance counter is updating zero times per second!");
  ticksPerMs = frequency / 1000;
  if (ticksPerMs == 0)
    DEngine::fatalError("DTime::createWinTimer(): high performance counter is updating less than 1000 x per sec");
}

DTime::DTime(const DTime& other)
    : counter(0), ticksPerMs(other.ticksPerMs), engine(nullptr), seconds(other.seconds),
      milliseconds(other.milliseconds) {
  useEngine(other.engine);
}

DTime& DTime::operator=(const DTime& other) {
  if (this == &other) return *this;
  seconds = other.seconds;
  milliseconds = other.milliseconds;
  if (engine != other.engine) useEngine(other.engine);
  return *this;
}

DTime::~DTime() { leaveEngine(); }

void DTime::useEngine(DEngine* e) {
  leaveEngine();
  if (e) {
    enginePos = e->addTime(this);
    engine = e;
  }
}

void DTime::leaveEngine() {
  if (engine) {
    engine->removeTime(enginePos);
    engine = nullptr;
  }
}

void DTime::reportEngineLost(DEngine* e) {
  if (e != engine) DEngine::fatalError("DTime::reportEngineLost(): that's not my engine!");
  engine = nullptr;
}

unsigned long long DTime::readMilliseconds() {
  if (manualClockOn.load()) return manualClockMs.load();
  static const unsigned long long perMs =
      static_cast<unsigned long long>(Clock::period::den) / static_cast<unsigned long long>(Clock::period::num) / 1000;
  return realCounter() / perMs;
}

void DTime::getCurrentTime(unsigned int& s, unsigned short& ms) {
  unsigned long long total;
  if (manualClockOn.load()) {
    total = manualClockMs.load();
  } else {
    counter = realCounter();
    total = counter / ticksPerMs;
  }
  s = static_cast<unsigned int>(total / 1000);
  ms = static_cast<unsigned short>(total % 1000);
}

void DTime::nowTime(unsigned int& s, unsigned short& ms) {
  if (engine)
    engine->getCurrentTime(s, ms);
  else
    getCurrentTime(s, ms);
}

void DTime::updateTime() { nowTime(seconds, milliseconds); }

unsigned int DTime::timeElapsed() {
  unsigned int nowS;
  unsigned short nowMs;
  nowTime(nowS, nowMs);
  const long long d = static_cast<long long>(nowS) - static_cast<long long>(seconds);
  const long long msDiff = static_cast<long long>(nowMs) - static_cast<long long>(milliseconds);
  if (d > MAX_SECONDS_DIFFERENCE) return static_cast<unsigned int>(msDiff + MAX_SECONDS_DIFFERENCE * 1000);
  if (d < 0) return 0;
  const long long total = d * 1000 + msDiff;
  return total < 0 ? 0 : static_cast<unsigned int>(total);
}

void DTime::addTime(unsigned int ms) {
  const unsigned long long t = static_cast<unsigned long long>(ms) + milliseconds;
  seconds = static_cast<unsigned int>(seconds + t / 1000);
  milliseconds = static_cast<unsigned short>(t % 1000);
}

void DTime::setTime(unsigned int s, unsigned short ms) {
  seconds = s;
  milliseconds = ms;
}

unsigned int DTime::getSeconds() const { return seconds; }

unsigned short DTime::getMilliseconds() const { return milliseconds; }

void DTime::setManualClock(bool on) {
  // The manual clock takes over from the current reading, so switching it
  // on never makes time jump for clocks already running.
  if (on && !manualClockOn.load()) manualClockMs.store(readMilliseconds());
  manualClockOn.store(on);
}

void DTime::advanceManualClock(unsigned int ms) { manualClockMs.fetch_add(ms); }

}  // namespace libkorvet

#include "DTimer.h"

#include "DEvent.h"
#include "DTime.h"

namespace libkorvet {

DTimer::DTimer(DEngine* e)
    : time(new DTime()), engine(e), timerEvent(nullptr), interval(0), running(false), useHandler(false),
      alive(std::make_shared<bool>(true)) {
  time->useEngine(e);
}

DTimer::DTimer(const DTimer& other)
    : time(new DTime(*other.time)), engine(other.engine), timerEvent(nullptr), handler(other.handler),
      interval(other.interval), running(other.running), useHandler(other.useHandler),
      alive(std::make_shared<bool>(true)) {
  if (other.timerEvent) timerEvent = new DTimerEvent(engine, this);
}

DTimer& DTimer::operator=(const DTimer& other) {
  if (this == &other) return *this;
  delete timerEvent;
  timerEvent = nullptr;
  *time = *other.time;
  engine = other.engine;
  handler = other.handler;
  interval = other.interval;
  running = other.running;
  useHandler = other.useHandler;
  if (other.timerEvent) timerEvent = new DTimerEvent(engine, this);
  return *this;
}

DTimer::~DTimer() {
  *alive = false;
  delete timerEvent;
  delete time;
}

void DTimer::setInterval(unsigned int ms) {
  interval = ms;
  if (ms == 0) stop();
}

unsigned int DTimer::getInterval() const { return interval; }

void DTimer::setHandler(boost::function<void()> h) {
  handler = h;
  useHandler = true;
}

void DTimer::start() {
  if (interval == 0) return;
  if (!timerEvent) timerEvent = new DTimerEvent(engine, this);
  time->updateTime();
  running = true;
}

void DTimer::startFromNow() {
  start();
  if (!running) return;
  unsigned int s = 0;
  unsigned short ms = 0;
  time->getCurrentTime(s, ms);
  time->setTime(s, ms);
}

void DTimer::stop() {
  running = false;
  delete timerEvent;
  timerEvent = nullptr;
}

bool DTimer::isRunning() const { return running; }

int DTimer::update() {
  if (!running) return 0;
  // A handler may delete this timer; the token outlives it and says so.
  std::shared_ptr<bool> token = alive;
  int firings = 0;
  while (running && time->timeElapsed() >= interval) {
    // Advancing by exactly one interval keeps a fixed cadence, and a late
    // step catches up with several firings.
    time->addTime(interval);
    ++firings;
    if (useHandler)
      handler();
    else
      elapsed();
    if (!*token) break;
  }
  return firings;
}

}  // namespace libkorvet

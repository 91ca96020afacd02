#include "DEngine.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <sstream>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>

#include "DBytes.h"
#include "DEvent.h"
#include "DMutex.h"
#include "DTime.h"

namespace libkorvet {

std::string DEngine::fatalMsg;
int DEngine::numEngines = 0;
// Fatal errors can be raised before any engine exists and from any thread,
// so the lock is created on first use and lives as long as the process.
DMutex* DEngine::fatalMutex = nullptr;
int DEngine::endianness = DEngine::getEndianness();

namespace {

DMutex& fatalLock() {
  static DMutex* lock = new DMutex();
  return *lock;
}

}  // namespace

DEngine::DEngine()
    : inEventPass(false), removeCurrent(false), ioService(new boost::asio::io_context()), clock(new DTime()) {
  clock->updateTime();
  fatalMutex = &fatalLock();
  ++numEngines;
}

DEngine::~DEngine() {
  for (DEvent* e : events) e->reportEngineLost(this);
  events.clear();
  for (DTime* t : times) t->reportEngineLost(this);
  times.clear();
  // Destroying the service abandons outstanding operations; their handlers
  // are destroyed without being run.
  delete ioService;
  delete clock;
  --numEngines;
}

int DEngine::update(int maxOps) {
  // A nested step would move the event cursor of the step in progress.
  if (inEventPass) fatalError("DEngine::update(): called from inside an event's update");
  clock->updateTime();
  if (maxOps == 0) {
    ioService->restart();
    return 0;
  }

  int count = 0;
  inEventPass = true;
  currentEvent = events.begin();
  while (currentEvent != events.end()) {
    try {
      count += (*currentEvent)->update();
    } catch (...) {
      // An event's exception (an empty timer handler) ends the step, but the
      // list must stay sound for the next one.
      if (removeCurrent) events.erase(currentEvent);
      removeCurrent = false;
      inEventPass = false;
      ioService->restart();
      throw;
    }
    if (removeCurrent) {
      // The event left during its own update (a timer stopping itself):
      // only now is its node safe to unlink.
      removeCurrent = false;
      currentEvent = events.erase(currentEvent);
    } else {
      ++currentEvent;
    }
    if (maxOps > 0 && ++count >= maxOps) {
      inEventPass = false;
      ioService->restart();
      return 0;
    }
  }
  inEventPass = false;

  int result = 0;
  for (;;) {
    std::size_t ran = 0;
    try {
      ran = ioService->poll_one();
    } catch (const boost::system::system_error& e) {
      errMsg = "System error: " + std::string(e.what());
      result = -1;
      break;
    } catch (const std::exception& e) {
      errMsg = "Unknown error: " + std::string(e.what());
      result = -1;
      break;
    }
    if (ran == 0) break;
    result += static_cast<int>(ran);
    if (maxOps > 0 && ++count >= maxOps) break;
  }
  ioService->restart();
  return result;
}

boost::asio::io_context& DEngine::getIoService() { return *ioService; }

std::string DEngine::getErrMsg() const { return errMsg; }

void DEngine::getCurrentTime(unsigned int& s, unsigned short& ms) const {
  s = clock->getSeconds();
  ms = clock->getMilliseconds();
}

std::list<DEvent*>::iterator DEngine::addEvent(DEvent* e) { return events.insert(events.end(), e); }

void DEngine::removeEvent(std::list<DEvent*>::iterator pos) {
  if (inEventPass && pos == currentEvent)
    removeCurrent = true;
  else
    events.erase(pos);
}

std::list<DTime*>::iterator DEngine::addTime(DTime* t) { return times.insert(times.end(), t); }

void DEngine::removeTime(std::list<DTime*>::iterator pos) { times.erase(pos); }

int DEngine::getEndianness() {
  // Computed on first use as well, in case another file's start-up code
  // encodes a number before this file's start-up has run.
  static const int code = calcEndianness();
  return code;
}

int DEngine::calcEndianness() {
  const unsigned int one = 1;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&one);
  DBytes store;
  for (std::size_t i = 0; i < sizeof(one); ++i) store.appendByte(bytes[i]);
  if (store.getByte(0) == 1) return 2;
  if (store.getByte(3) == 1) return 1;
  return 0;
}

void DEngine::addFatal(const std::string& text) {
  DMutex& lock = fatalLock();
  lock.lock();
  fatalMsg += text;
  lock.unlock();
}

void DEngine::fatalError(const std::string& text) {
  DMutex& lock = fatalLock();
  lock.lock();
  fatalMsg += text;
  fatalMsg += '\n';
#ifdef BRELVIN_FUZZING
  // A fuzz target decides what a fatal error means for its input: an
  // accepted end for a malformed configuration file, a fault for anything
  // from a peer. So the text travels to it instead of ending the process.
  FatalError error{fatalMsg};
  fatalMsg.clear();
  lock.unlock();
  throw error;
#endif
  std::cout.flush();
  std::fwrite(fatalMsg.data(), 1, fatalMsg.size(), stdout);
  std::fflush(stdout);
  // _Exit: no destructors or exit handlers run, so a fatal error raised on
  // any thread, or while shutting down, cannot deadlock or run twice. The
  // lock stays held so a second fatal error cannot interleave its text.
  std::_Exit(EXIT_FAILURE);
}

std::string DEngine::intToStr(long value) { return std::to_string(value); }

bool DEngine::strToInt(const std::string& text, int& out) {
  std::istringstream in(text);
  int value = 0;
  in >> value;
  if (in.fail() || !in.eof()) return false;
  out = value;
  return true;
}

void DEngine::sleep(long ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace libkorvet

#ifndef NETENGINE_DTIMER_H
#define NETENGINE_DTIMER_H

// DTimer: calls its handler (or the virtual elapsed()) every interval
// milliseconds from inside DEngine::update, at a fixed cadence: a late step
// catches up with several firings. The handler may stop or delete the timer.

#include <memory>

#include <boost/function.hpp>

namespace libkorvet {

class DEngine;
class DTime;
class DTimerEvent;

class DTimer {
 public:
  explicit DTimer(DEngine* e);
  // A copy has the same clock, interval, state and handler, and a timer event
  // of its own when the source is running.
  DTimer(const DTimer& other);
  DTimer& operator=(const DTimer& other);
  virtual ~DTimer();

  // 0 also stops the timer.
  void setInterval(unsigned int ms);
  unsigned int getInterval() const;
  // Once set, the handler is called instead of elapsed().
  void setHandler(boost::function<void()> h);
  // Does nothing while the interval is 0; on a running timer only resets the
  // reference point to now.
  void start();
  // As start, but from the clock as it reads now rather than the time the
  // current engine step began: for work that made this step long.
  void startFromNow();
  void stop();
  bool isRunning() const;

  // Called by the timer event once per engine step; returns the firings.
  int update();

  virtual void elapsed() {}

  static int getNumInstances() { return -1; }

 private:
  DTime* time;
  DEngine* engine;
  DTimerEvent* timerEvent;
  boost::function<void()> handler;
  unsigned int interval;
  bool running;
  bool useHandler;
  // Lets update() notice that a handler deleted the timer.
  std::shared_ptr<bool> alive;
};

}  // namespace libkorvet

#endif  // NETENGINE_DTIMER_H

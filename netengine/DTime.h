#ifndef NETENGINE_DTIME_H
#define NETENGINE_DTIME_H

// DTime: a point in time in seconds and milliseconds from a fixed start.
// Registered with a DEngine it reads the engine's cached "now" (refreshed once
// per DEngine::update); unregistered it reads the monotonic clock itself.
// Tests can switch every reading to a manual, process-wide millisecond counter.

#include <list>

namespace libkorvet {

class DEngine;

class DTime {
 public:
  DTime();  // not registered, time 0
  // A copy holds the same point and registers with the same engine.
  DTime(const DTime& other);
  DTime& operator=(const DTime& other);
  ~DTime();

  // Leaves the current engine, then registers with e (none for null).
  void useEngine(DEngine* e);
  void leaveEngine();

  // Stores "now" (the engine's cached time when registered).
  void updateTime();
  // Milliseconds from the stored point to "now"; 0 when now is earlier, and
  // about 2147482000 at most for a point far in the past.
  unsigned int timeElapsed();
  void addTime(unsigned int ms);
  void setTime(unsigned int s, unsigned short ms);
  unsigned int getSeconds() const;
  unsigned short getMilliseconds() const;
  // Reads the clock itself (never the engine's cache).
  void getCurrentTime(unsigned int& s, unsigned short& ms);

  // Called by the engine being destroyed.
  void reportEngineLost(DEngine* e);

  // Test seam: while on, every clock reading of the process comes from a
  // manual millisecond counter that only moves with advanceManualClock.
  // Switching it on starts the counter at the current real reading, so
  // clocks set before keep sensible elapsed times.
  static void setManualClock(bool on);
  static void advanceManualClock(unsigned int ms);

  static int getNumInstances() { return -1; }

 private:
  friend class DEngine;

  // Milliseconds since the clock's fixed start (real or manual).
  static unsigned long long readMilliseconds();
  void nowTime(unsigned int& s, unsigned short& ms);

  unsigned long long counter;
  unsigned long long ticksPerMs;
  DEngine* engine;
  std::list<DTime*>::iterator enginePos;
  unsigned int seconds;
  unsigned short milliseconds;
};

}  // namespace libkorvet

#endif  // NETENGINE_DTIME_H

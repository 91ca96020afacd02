#ifndef NETENGINE_DEVENT_H
#define NETENGINE_DEVENT_H

// DEvent: something the engine polls once per DEngine::update, registered from
// construction to destruction. update() returns the work it did (counted
// against the update's budget). DTimerEvent drives a DTimer it does not own.

#include <list>

namespace libkorvet {

class DEngine;
class DTimer;

class DEvent {
 public:
  explicit DEvent(DEngine* e);
  // A copy registers with the same engine as the source.
  DEvent(const DEvent& other);
  DEvent& operator=(const DEvent& other);
  virtual ~DEvent();

  virtual int update() = 0;

  // Leaves the current engine and registers at the end of e's list (none for null).
  void joinEngine(DEngine* e);
  void leaveEngine();
  // Called by the engine being destroyed.
  void reportEngineLost(DEngine* e);
  DEngine* getEngine() const { return engine; }

  static int getNumInstances() { return -1; }

 private:
  std::list<DEvent*>::iterator enginePos;
  DEngine* engine;
};

class DTimerEvent : public DEvent {
 public:
  DTimerEvent(DEngine* e, DTimer* t);
  // Returns the number of firings of the timer in this step.
  int update() override;

 private:
  DTimer* timer;
};

}  // namespace libkorvet

#endif  // NETENGINE_DEVENT_H

#include "DEvent.h"

#include "DEngine.h"
#include "DTimer.h"

namespace libkorvet {

DEvent::DEvent(DEngine* e) : engine(nullptr) { joinEngine(e); }

DEvent::DEvent(const DEvent& other) : engine(nullptr) { joinEngine(other.engine); }

DEvent& DEvent::operator=(const DEvent& other) {
  if (this != &other && engine != other.engine) joinEngine(other.engine);
  return *this;
}

DEvent::~DEvent() { leaveEngine(); }

void DEvent::joinEngine(DEngine* e) {
  leaveEngine();
  if (e) {
    enginePos = e->addEvent(this);
    engine = e;
  }
}

void DEvent::leaveEngine() {
  if (engine) {
    engine->removeEvent(enginePos);
    engine = nullptr;
  }
}

void DEvent::reportEngineLost(DEngine* e) {
  if (e != engine) DEngine::fatalError("DEvent::reportEngineLost(): that's not my engine!");
  engine = nullptr;
}

DTimerEvent::DTimerEvent(DEngine* e, DTimer* t) : DEvent(e), timer(t) {}

// The timer may delete this event from inside its handler, so nothing of
// this object is touched after the call.
int DTimerEvent::update() { return timer->update(); }

}  // namespace libkorvet

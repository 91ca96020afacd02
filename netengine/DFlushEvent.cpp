#include "DFlushEvent.h"

#include "DDispatcher.h"

namespace libkorvet {

DFlushEvent::DFlushEvent(DEngine* e, DDispatcher* d) : DEvent(e), dispatcher(d) {}

int DFlushEvent::update() { return dispatcher->flush() ? 1 : 0; }

}  // namespace libkorvet

#ifndef NETENGINE_DFLUSHEVENT_H
#define NETENGINE_DFLUSHEVENT_H

// DFlushEvent: sends the frames a DDispatcher batched during one engine step,
// once per DEngine::update. Exists only while the dispatcher's send delay is
// off; owned by that dispatcher, which it does not own.

#include "DEvent.h"

namespace libkorvet {

class DDispatcher;

class DFlushEvent : public DEvent {
 public:
  DFlushEvent(DEngine* e, DDispatcher* d);
  // 1 when the flush sent anything, else 0.
  int update() override;

 private:
  DDispatcher* dispatcher;
};

}  // namespace libkorvet

#endif  // NETENGINE_DFLUSHEVENT_H

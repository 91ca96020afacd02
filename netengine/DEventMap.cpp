#include "DEventMap.h"

#include "DEngine.h"

namespace libkorvet {

DEventMap::DEventMap(unsigned char t) : type(t), haveSingle(false) {}

void DEventMap::addHandler(Handler f) {
  if (!handlers.empty()) {
    DEngine::addFatal("Tried to add a handler for message type " + DEngine::intToStr(type));
    DEngine::fatalError(" without giving a subtype, but there are handlers for subtypes defined");
  }
  singleHandler = f;
  haveSingle = true;
}

void DEventMap::addHandler(unsigned short subtype, Handler f) {
  if (haveSingle) {
    DEngine::addFatal("Tried to add a handler for message type " + DEngine::intToStr(type));
    DEngine::addFatal(", subtype " + DEngine::intToStr(subtype));
    DEngine::fatalError(", but it already has a handler with no subtype");
  }
  handlers[subtype] = f;
}

bool DEventMap::getHandler(unsigned short subtype, Handler& out) const {
  std::map<unsigned short, Handler>::const_iterator it = handlers.find(subtype);
  if (it == handlers.end()) return false;
  out = it->second;
  return true;
}

DEventMap::Handler DEventMap::getSingleHandler() const {
  if (!haveSingle) DEngine::fatalError("DEventMap::getSingleHandler(): no single handler defined!");
  return singleHandler;
}

bool DEventMap::getHaveSingle() const { return haveSingle; }

unsigned int DEventMap::size() const { return static_cast<unsigned int>(handlers.size()); }

}  // namespace libkorvet

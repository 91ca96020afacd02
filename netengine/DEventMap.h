#ifndef NETENGINE_DEVENTMAP_H
#define NETENGINE_DEVENTMAP_H

// DEventMap: the message handlers of one message type of a DDispatcher:
// either one handler for the whole type or any number of handlers keyed by
// 16-bit sub-type, never both (mixing them is fatal). Registering a key again
// replaces its handler.

#include <map>

#include <boost/function.hpp>

namespace libkorvet {

class DBuffer;

class DEventMap {
 public:
  typedef boost::function<void(DBuffer&)> Handler;

  explicit DEventMap(unsigned char type);

  // The single handler of the type. Requires: no sub-type handlers.
  void addHandler(Handler f);
  // The handler of one sub-type. Requires: no single handler.
  void addHandler(unsigned short subtype, Handler f);
  // True and the handler when the sub-type has one.
  bool getHandler(unsigned short subtype, Handler& out) const;
  // Requires: a single handler is set (fatal otherwise).
  Handler getSingleHandler() const;
  bool getHaveSingle() const;
  // Number of sub-type handlers.
  unsigned int size() const;

  static int getNumInstances() { return -1; }

 private:
  unsigned char type;
  std::map<unsigned short, Handler> handlers;
  Handler singleHandler;
  bool haveSingle;
};

}  // namespace libkorvet

#endif  // NETENGINE_DEVENTMAP_H

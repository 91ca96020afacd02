#ifndef SYNC_SYNCENGINE_H
#define SYNC_SYNCENGINE_H

// SyncEngine: the allocation interface application data uses to get bytes in
// a synchronized map (SyncArray calls getSyncIndex once per byte, then
// retrieveDataMap). Implemented by the server, the client and the per-client
// state machine; holds no data of its own.

namespace libksync {

class SyncDataMap;

class SyncEngine {
 public:
  virtual ~SyncEngine();

  // Places a variable of `size` bytes (at most the speck size) in the map and
  // returns its index; grows the map as needed.
  virtual unsigned int getSyncIndex(unsigned short size) = 0;
  virtual SyncDataMap* retrieveDataMap() = 0;

  static int getNumInstances();
};

}  // namespace libksync

#endif  // SYNC_SYNCENGINE_H

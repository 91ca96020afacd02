#ifndef SYNC_SYNCENGINE_H
#define SYNC_SYNCENGINE_H

// SyncEngine: the allocation interface application data uses to get bytes in
// a synchronized map (SyncArray takes its bytes with getSyncBytes, then
// calls retrieveDataMap). Implemented by the server, the client and the per-client
// state machine; holds no data of its own.

namespace libksync {

class SyncDataMap;

class SyncEngine {
 public:
  virtual ~SyncEngine();

  // Places a variable of `size` bytes (at most the speck size) in the map and
  // returns its index; grows the map as needed.
  virtual unsigned int getSyncIndex(unsigned short size) = 0;
  // Places count single bytes, exactly as count calls of getSyncIndex(1)
  // would (a single byte never straddles a speck, so they are consecutive),
  // and returns the first index. The server and the client do it in one
  // step: a canvas has up to 300 million bytes.
  virtual unsigned int getSyncBytes(unsigned int count);
  virtual SyncDataMap* retrieveDataMap() = 0;

  static int getNumInstances();
};

}  // namespace libksync

#endif  // SYNC_SYNCENGINE_H

#ifndef SYNC_SYNCMAPSEGMENT_H
#define SYNC_SYNCMAPSEGMENT_H

// SyncMapSegment: the bookkeeping of one segment of a SyncDataMap: its cached
// CRC-32, whether that cache is stale, a count of its changes (so caches of
// its bytes can tell they are out of date), and (server) whether any of its
// specks wait to be flushed. Owned by the data map.

namespace libksync {

class SyncMapSegment {
 public:
  SyncMapSegment();

  unsigned int getCRC32() const { return crc32; }
  void setCRC32(unsigned int value) { crc32 = value; }
  // True while the cached CRC does not describe the segment's bytes.
  bool getCRCChanged() const { return crcChanged; }
  void setCRCChanged(bool value) { crcChanged = value; }
  // Every write to the segment's bytes: the CRC is stale, the version moves on.
  void markChanged() {
    crcChanged = true;
    ++version;
  }
  unsigned int getVersion() const { return version; }
  bool getNeedsFlushing() const { return needsFlushing; }
  void setNeedsFlushing(bool value) { needsFlushing = value; }

  static int getNumInstances();

 private:
  unsigned int crc32;
  unsigned int version;
  bool crcChanged;
  bool needsFlushing;
};

}  // namespace libksync

#endif  // SYNC_SYNCMAPSEGMENT_H

#ifndef SYNC_SYNCSPECKCHANGE_H
#define SYNC_SYNCSPECKCHANGE_H

// SyncSpeckChange: one speck received in a FLSH message (its segment, its
// speck index inside that segment and its speckSize bytes), handed to
// SyncDataMap::applySpeckChange. Byte positions are bounds-checked; a
// position outside the speck is the caller's fault and fatal.

#include <vector>

#include "DBuffer.h"

namespace libksync {

class SyncSpeckChange {
 public:
  // Requires: speckSize > 0. The bytes start out zero.
  explicit SyncSpeckChange(unsigned short speckSize);

  void setSegmentID(unsigned short segment) { segmentID = segment; }
  unsigned short getSegmentID() const { return segmentID; }
  // Speck index within the segment.
  void setIndex(unsigned short speck) { index = speck; }
  unsigned short getIndex() const { return index; }
  unsigned short getSize() const { return static_cast<unsigned short>(bytes.size()); }

  void setByte(unsigned char value, unsigned short position);
  unsigned char getByte(unsigned short position) const;

  // A buffer holding the speck's bytes in order.
  libkorvet::DBuffer toDBuffer() const;

  static int getNumInstances();

 private:
  std::vector<unsigned char> bytes;
  unsigned short segmentID;
  unsigned short index;
};

}  // namespace libksync

#endif  // SYNC_SYNCSPECKCHANGE_H

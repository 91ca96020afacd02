#include "SyncMapSegment.h"

namespace libksync {

// A new segment has never been checksummed, so its cache starts stale.
SyncMapSegment::SyncMapSegment() : crc32(0), version(0), crcChanged(true), needsFlushing(false) {}

int SyncMapSegment::getNumInstances() { return -1; }

}  // namespace libksync

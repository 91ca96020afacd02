#ifndef SYNC_SYNCARRAY_H
#define SYNC_SYNCARRAY_H

// SyncArray<unsigned char>: an application's handle on a run of consecutive
// synchronized bytes. The constructor allocates them from a SyncEngine before
// the engine starts; reads and writes go to the engine's data map (writes
// mark flush or fresh state and run the change callback). Deleting the handle
// does not give the bytes back. Element indexes are bounds-checked (fatal).

#include <string>

#include "DEngine.h"
#include "SyncDataMap.h"
#include "SyncEngine.h"

namespace libksync {

template <typename T>
class SyncArray;

template <>
class SyncArray<unsigned char> {
 public:
  // Requires: count > 0 (zero is fatal).
  SyncArray(SyncEngine& engine, unsigned int count) : dataMap(nullptr), startIndex(0), numElements(count) {
    if (count == 0) libkorvet::DEngine::fatalError("SyncArray::SyncArray(): array has 0 elements");
    startIndex = engine.getSyncBytes(count);
    dataMap = engine.retrieveDataMap();
  }

  void set(unsigned int i, unsigned char value) { dataMap->setByte(at(i, "SyncArray::set()"), value); }
  unsigned char get(unsigned int i) const { return dataMap->getByte(at(i, "SyncArray::get()")); }
  unsigned int size() const { return numElements; }
  unsigned int getStartIndex() const { return startIndex; }

  static int getNumInstances() { return -1; }

 private:
  unsigned int at(unsigned int i, const char* where) const {
    if (i >= numElements) {
      libkorvet::DEngine::addFatal(where);
      libkorvet::DEngine::fatalError(": index " + libkorvet::DEngine::intToStr(i) + " out of bounds");
    }
    return startIndex + i;
  }

  SyncDataMap* dataMap;
  unsigned int startIndex;
  unsigned int numElements;
};

}  // namespace libksync

#endif  // SYNC_SYNCARRAY_H

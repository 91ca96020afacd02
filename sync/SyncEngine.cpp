#include "SyncEngine.h"

namespace libksync {

SyncEngine::~SyncEngine() {}

unsigned int SyncEngine::getSyncBytes(unsigned int count) {
  unsigned int first = getSyncIndex(1);
  for (unsigned int i = 1; i < count; ++i) getSyncIndex(1);
  return first;
}

int SyncEngine::getNumInstances() { return -1; }

}  // namespace libksync

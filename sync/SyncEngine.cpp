#include "SyncEngine.h"

namespace libksync {

SyncEngine::~SyncEngine() {}

int SyncEngine::getNumInstances() { return -1; }

}  // namespace libksync

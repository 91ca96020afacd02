#include "SyncNetwork.h"

#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "SyncSettings.h"

using libkorvet::DBuffer;
using libkorvet::DDispatcher;
using libkorvet::DEngine;

namespace libksync {

SyncNetwork::SyncNetwork(DDispatcher* newDispatcher, DEngine* newEngine, unsigned short newSubtype)
    : engine(newEngine),
      dispatcher(newDispatcher),
      settings(nullptr),
      subtype(newSubtype),
      alive(std::make_shared<bool>(true)) {
  if (dispatcher == nullptr) DEngine::fatalError("SyncNetwork::SyncNetwork(): no dispatcher");
}

SyncNetwork::~SyncNetwork() {}

bool SyncNetwork::initHandlers(SyncSettings* newSettings) {
  settings = newSettings;
  // The dispatcher keeps this handler for its whole life; the weak token
  // turns it into a no-op once this object is gone.
  std::weak_ptr<bool> token = alive;
  SyncNetwork* self = this;
  dispatcher->addHandler(SYNC_MESSAGE_TYPE, subtype, [token, self](DBuffer& body) {
    if (token.lock()) self->recvHandler(body);
  });
  return dispatcher->isConnected();
}

void SyncNetwork::sendMessage(const DBuffer& body) { dispatcher->sendMessage(SYNC_MESSAGE_TYPE, subtype, body); }

bool SyncNetwork::isCongested() {
  if (settings == nullptr) DEngine::fatalError("SyncNetwork::isCongested(): called before initHandlers");
  return static_cast<double>(dispatcher->unsentBytes()) > settings->congestionLimit();
}

int SyncNetwork::getNumInstances() { return -1; }

}  // namespace libksync

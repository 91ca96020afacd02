#ifndef SYNC_SYNCNETWORK_H
#define SYNC_SYNCNETWORK_H

// SyncNetwork: base of every sync object that talks to one peer over a
// DDispatcher connection (the client, and the server's per-client state
// machine). Messages go out and come in as type 128 with this instance's
// subtype; every received body reaches recvHandler. The connection and the
// engine are lent and must outlive this object's use of them.

#include <memory>

#include "SyncEngine.h"

namespace libkorvet {
class DBuffer;
class DDispatcher;
class DEngine;
}  // namespace libkorvet

namespace libksync {

class SyncSettings;

class SyncNetwork : public SyncEngine {
 public:
  // Message type of every sync message in the dispatcher's framing.
  static constexpr unsigned char SYNC_MESSAGE_TYPE = 128;

  // Requires: dispatcher is not null.
  SyncNetwork(libkorvet::DDispatcher* dispatcher, libkorvet::DEngine* engine, unsigned short subtype);
  ~SyncNetwork() override;

  unsigned int getSyncIndex(unsigned short size) override = 0;
  SyncDataMap* retrieveDataMap() override = 0;
  // Called with the body of every sync message from the peer; the body may be
  // consumed.
  virtual void recvHandler(libkorvet::DBuffer& body) = 0;

  // Stores settings and registers recvHandler for (128, subtype) with the
  // dispatcher; returns whether the connection is up. The dispatcher cannot
  // unregister handlers, so the one left behind after this object is deleted
  // does nothing.
  bool initHandlers(SyncSettings* newSettings);
  void sendMessage(const libkorvet::DBuffer& body);
  // True when more than 200 ms worth of the sync budget (EDC bandwidth, plus
  // the flush bandwidth on a server; the link rate when link-paced, within
  // the settings' cap) is still queued on the connection.
  bool isCongested();

  unsigned short getSubtype() const { return subtype; }

  static int getNumInstances();

 protected:
  libkorvet::DEngine* engine;
  libkorvet::DDispatcher* dispatcher;
  SyncSettings* settings;
  unsigned short subtype;

 private:
  SyncNetwork(const SyncNetwork&) = delete;
  SyncNetwork& operator=(const SyncNetwork&) = delete;

  // Expires with this object; the registered handler checks it first.
  std::shared_ptr<bool> alive;
};

}  // namespace libksync

#endif  // SYNC_SYNCNETWORK_H

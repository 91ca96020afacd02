// Everything a host sends to a joined client: FLSH, CRC_REPLY and CHNK
// series, DRAW painted on the canvas, CHAT shown, late or repeated
// greetings and JOIN_ACKs, the host's announcement (with a password's
// challenge, or a refusal) and the extension messages (player lists,
// verdicts, the lock), read by the client's own dispatcher.
//
// Once per process: a client connected to a stand-in host, greeted for a
// 1600 x 1600 canvas (building it and painting its placeholder is far too
// slow for every input) and joined. Framing faults are the host target's
// part (the same receiver), so here an input is a list of records (see
// forEachRecord), bodies the stand-in frames as a host does: an odd
// selector makes a sync body, one with bit 1 set an extension message,
// any other a session body, and with bit 2 set the body goes 64 times (so
// that small inputs reach the client's budget of its host: paint, chat
// lines, flushed bytes). The client has a password to prove.
// Per input the client's error correction first finds itself idle (a reply
// it did not ask for resets it) and queries, as it does every half second,
// so that each input meets the client in the same state; afterwards the
// ticks go on until what the budget held back is parsed and its debt paid
// (or the host is condemned for it).

#include <algorithm>
#include <cstdint>
#include <memory>

#include <boost/asio/buffer.hpp>

#include "ChatProtocol.h"
#include "DServer.h"
#include "DrawingProtocol.h"
#include "ExtensionWire.h"
#include "KivClient.h"
#include "KivServer.h"
#include "SessionWire.h"
#include "SyncClient.h"
#include "SyncEDCProtocol.h"
#include "SyncMessages.h"
#include "SyncNetwork.h"
#include "WorldMap.h"
#include "FuzzSupport.h"

namespace {

using namespace fuzzsupport;
using libkorvet::DEngine;
using libkorvet::DTime;
using libksync::SyncClient;
using libksync::SyncMessages;

// Accepts the client's connection and throws away what the client sends.
class StandInHost : public libkorvet::DServer {
 public:
  explicit StandInHost(DEngine* e) : DServer(e) {
    if (!bind(libkorvet::ipV4, 0) || !startListening()) broken("the stand-in host cannot listen");
  }
  void connectHandler(Socket* s) override {
    socket.reset(s);
    socket->non_blocking(true);
  }
  void errorHandler(std::string) override { broken("the stand-in host stopped accepting"); }
  void drain() {
    if (!socket) return;
    boost::system::error_code error;
    while (socket->read_some(boost::asio::buffer(sink), error) > 0 && !error) {
    }
  }
  std::unique_ptr<Socket> socket;

 private:
  unsigned char sink[65536];
};

class Client {
 public:
  Client() : host(&engine), client(&engine, &map, &drawing, &chat), frames(&engine) {
    client.setPlayerName("fuzz");
    client.setPassword("s3cret");
    client.connectToHost("127.0.0.1", host.getLocalPort());
    pumpUntil(engine, 0, [&] { return host.socket && client.getSyncClient() && client.isConnected(); },
              "no connection");

    DBuffer greeting;
    KivServer::buildGreeting(1600, 1600, greeting);
    frames.sendMessage(sessionwire::SESSION_TYPE, greeting);
    deliver();
    SyncClient* sync = client.getSyncClient();
    if (!client.getReady() || sync->getState() != SyncClient::JOINING) broken("the greeting was refused");
    const unsigned int bytes = sync->getMapSize();
    DBuffer ack;
    SyncMessages::buildJoinAck({sessionwire::SPECK_SIZE, static_cast<unsigned short>(WorldMap::KIV_SEGMENT_SIZE),
                                static_cast<unsigned short>(bytes / WorldMap::KIV_SEGMENT_SIZE), bytes, bytes},
                               ack);
    sendSync(ack);
    deliver();
    if (sync->getState() != SyncClient::SYNCHRONIZING) broken("the JOIN_ACK was refused");
    KivSettings::deleteMessages();
  }

  void serve(const uint8_t* data, size_t size) {
    DBuffer stray;
    stray.appendVariable<unsigned char>(SyncMessages::CRC_REPLY);
    sendSync(stray);
    deliver();
    DTime::advanceManualClock(500);
    engine.update(-1);
    if (client.getSyncClient()->getEDC()->getState() != libksync::SyncEDCProtocol::AWAITING_REPLY)
      broken("error correction did not query");

    forEachRecord(data, size, [&](unsigned char selector, const DBuffer& body) {
      for (int copy = 0; copy < ((selector & 4) ? 64 : 1); ++copy) {
        if (selector & 1)
          sendSync(body);
        else if (selector & 2)
          frames.sendMessage(extwire::EXTENSION_TYPE, body);
        else
          frames.sendMessage(sessionwire::SESSION_TYPE, body);
      }
    });
    deliver();
    DTime::advanceManualClock(KivClient::TICK_INTERVAL_MS);
    engine.update(-1);
    for (int tick = 0; tick < MAX_DRAIN_TICKS && client.getClientOK() && held(); ++tick) {
      DTime::advanceManualClock(KivClient::TICK_INTERVAL_MS);
      engine.update(-1);
    }
    host.drain();
  }
  // At most 10 s of manual time; a host that keeps the client waiting
  // that long is condemned within it.
  static const int MAX_DRAIN_TICKS = 300;
  bool held() { return client.isReceiveHeld() || client.getBudget().mustWait() || repairing(); }
  bool repairing() const {
    return client.getSyncClient()->getEDC()->getState() == libksync::SyncEDCProtocol::APPLYING;
  }

  // A client may end the session over what its host sent.
  bool sessionGoesOn() const { return client.getClientOK(); }

 private:
  void sendSync(const DBuffer& body) {
    frames.sendMessage(libksync::SyncNetwork::SYNC_MESSAGE_TYPE, sessionwire::SYNC_SUBTYPE, body);
  }
  // The framed bytes reach the client's dispatcher as a socket delivers them.
  void deliver() {
    DBuffer& wire = frames.wire;
    const unsigned int piece = client.getBufferSize();
    while (wire.size() > 0) {
      DBuffer bytes;
      bytes.append(wire, 0, std::min(piece, wire.size()));
      wire.removeFirst(bytes.size());
      client.receiveHandler(bytes);
    }
  }

  DEngine engine;
  WorldMap map;
  DrawingProtocol drawing;
  ChatProtocol chat;
  StandInHost host;
  KivClient client;
  WireRecorder frames;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static SessionOptions options;
  static Client* client = nullptr;
  fromPeer([&] {
    if (client == nullptr) client = new Client();
    client->serve(data, size);
    if (!client->sessionGoesOn()) {
      delete client;
      client = nullptr;
    }
  });
  return 0;
}

#ifndef TESTS_SESSION_SESSIONTESTNET_H
#define TESTS_SESSION_SESSIONTESTNET_H

// Loopback plumbing for the session tests: raw peers that record what a
// session sends them, a stand-in host, a real host, real joined clients with
// canvases of their own, a sync client with the canvas's byte layout, and a
// paced engine pump.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ChatProtocol.h"
#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "DServer.h"
#include "DTime.h"
#include "DrawingProtocol.h"
#include "EnginePump.h"
#include "KivClient.h"
#include "KivServer.h"
#include "ServerConnection.h"
#include "SyncServerFSM.h"
#include "SyncArray.h"
#include "SyncClient.h"
#include "SyncDataMap.h"
#include "SyncServer.h"
#include "WorldMap.h"
#include "CanvasTestSupport.h"

namespace sessiontest {

using libkorvet::DBuffer;
using libkorvet::DEngine;

inline bool pump(DEngine& engine, const std::function<bool()>& cond, int realMs = 10000) {
  return testnet::pump({&engine}, cond, realMs);
}

inline DBuffer greeting(const std::string& header, unsigned int width, unsigned int height) {
  DBuffer g = text(header);
  g.appendVariable<unsigned int>(width);
  g.appendVariable<unsigned int>(height);
  return g;
}

// As pump, with the manual clock moving stepMs once per real millisecond: the
// session timers run faster than real time while the network keeps its real
// pace, so a small write the system holds back for a few real milliseconds
// does not look like seconds.
inline bool pumpPaced(const std::vector<DEngine*>& engines, const std::function<bool()>& cond, int realMs,
                      unsigned int stepMs) {
  auto now = std::chrono::steady_clock::now();
  auto deadline = now + std::chrono::milliseconds(realMs);
  auto nextStep = now;
  while (!cond()) {
    now = std::chrono::steady_clock::now();
    if (now > deadline) return false;
    if (now >= nextStep) {
      libkorvet::DTime::advanceManualClock(stepMs);
      nextStep = now + std::chrono::milliseconds(1);
    }
    for (DEngine* engine : engines) engine->update(-1);
  }
  return true;
}
inline bool pumpPaced(DEngine& engine, const std::function<bool()>& cond, int realMs, unsigned int stepMs) {
  return pumpPaced(std::vector<DEngine*>{&engine}, cond, realMs, stepMs);
}

// One connection to a session, recording type-0 bodies, sync bodies (when
// registered for them) and its end.
class RawPeer : public libkorvet::DDispatcher {
 public:
  explicit RawPeer(DEngine* e) : DDispatcher(e) { listen(); }
  RawPeer(DEngine* e, Socket* accepted) : DDispatcher(e, accepted) { listen(); }
  void connectTo(unsigned short port) { startConnect("127.0.0.1", port); }
  void errorHandler(std::string) override { closed = true; }
  void corruptHandler(std::string) override { ++corrupt; }
  bool got(const std::string& header) const {
    for (const Bytes& b : bodies)
      if (b.size() > 4 && std::string(b.begin(), b.begin() + 4) == header) return true;
    return false;
  }

  std::vector<Bytes> bodies;
  std::vector<Bytes> syncBodies;
  bool closed = false;
  int corrupt = 0;

 private:
  void listen() {
    addHandler(0, [this](DBuffer& b) { bodies.push_back(bytesOf(b)); });
  }
};

// Stands in for a host: accepts raw peers that also record sync bodies.
class RawHost : public libkorvet::DServer {
 public:
  explicit RawHost(DEngine* e) : DServer(e), engine(e) {
    EXPECT_TRUE(bind(libkorvet::ipV4, 0) && startListening()) << getErrMsg();
  }
  void connectHandler(Socket* socket) override {
    peers.emplace_back(new RawPeer(engine, socket));
    RawPeer* peer = peers.back().get();
    peer->addHandler(128, 0, [peer](DBuffer& b) { peer->syncBodies.push_back(bytesOf(b)); });
  }
  void errorHandler(std::string text) override { ADD_FAILURE() << "accept failed: " << text; }

  std::vector<std::unique_ptr<RawPeer>> peers;

 private:
  DEngine* engine;
};

// A real session host on a port of the system's choosing.
struct Host {
  Host() : server(&engine, &map, &drawing, &chat) {
    initAllegro();
    server.setPort(0);
  }
  unsigned short port() const { return server.getLocalPort(); }
  libksync::SyncDataMap* data() const { return server.getSyncServer()->retrieveDataMap(); }
  // A raw client, once greeted (or, when refused, closed).
  std::unique_ptr<RawPeer> connect(bool admitted = true) {
    std::unique_ptr<RawPeer> peer(new RawPeer(&engine));
    peer->connectTo(port());
    RawPeer* p = peer.get();
    EXPECT_TRUE(pump(engine, [&] { return admitted ? !p->bodies.empty() : p->closed; }));
    return peer;
  }
  // Waits for the first status line of owner and returns it.
  std::string statusOf(const std::string& owner) {
    std::string found;
    EXPECT_TRUE(pump(engine, [&] {
      for (const StatusLine& l : drainChat())
        if (l.owner == owner && l.color == 80 && found.empty()) found = l.text;
      return !found.empty();
    })) << owner;
    return found;
  }

  DEngine engine;
  WorldMap map;
  DrawingProtocol drawing;
  ChatProtocol chat;
  KivServer server;
};

// A real session client with a canvas of its own (the mirror bitmap belongs
// to the canvas made last, so tests read the canvas's bytes instead).
struct Joiner {
  Joiner(DEngine* e, unsigned short port) : client(e, &map, &drawing, &chat) { client.connectToHost("127.0.0.1", port); }
  libksync::SyncDataMap* data() const {
    return client.getSyncClient() ? client.getSyncClient()->retrieveDataMap() : nullptr;
  }
  bool complete() const { return client.getReady() && client.getJoinProgress() >= 1.0; }
  bool equals(libksync::SyncDataMap* host) const {
    libksync::SyncDataMap* ours = data();
    if (!client.getJoined() || ours->getNumSegments() != host->getNumSegments()) return false;
    for (unsigned short s = 0; s < host->getNumSegments(); ++s)
      if (ours->getCRC(s) != host->getCRC(s)) return false;
    return true;
  }

  WorldMap map;
  DrawingProtocol drawing;
  ChatProtocol chat;
  KivClient client;
};

// The red, green and blue bytes of a pixel of a 1600-pixel-wide canvas.
inline unsigned int pixelOf(libksync::SyncDataMap* canvas, int x, int y) {
  const unsigned int block = static_cast<unsigned int>((y / 100) * 16 + x / 100);
  const unsigned int at = block * 30000 + static_cast<unsigned int>((y % 100) * 100 + x % 100);
  return (canvas->getByte(at) << 16) | (canvas->getByte(at + 10000) << 8) | canvas->getByte(at + 20000);
}

// A sync client configured as the session client does, over a raw peer,
// with the canvas's bytes as one array: block by block three planes of
// 10000, allocated a byte at a time, give the same indexes.
struct SyncPeer {
  SyncPeer(DEngine* e, unsigned short port, int blocks) : connection(new RawPeer(e)), engine(e), blocks(blocks) {
    connection->connectTo(port);
  }
  // Once the greeting arrived.
  bool join() {
    client.reset(new libksync::SyncClient(connection.get(), engine, 0, [this](std::string t) { errors.push_back(t); }));
    client->setQueryBandwidth(128);
    if (!client->setSegmentSize(30000, 3)) return false;
    bytes.reset(new libksync::SyncArray<unsigned char>(*client, static_cast<unsigned int>(blocks) * 30000u));
    return client->setQueryPeriod(500) && client->initialize();
  }
  bool equals(libksync::SyncDataMap* host) {
    if (!client || client->getState() != libksync::SyncClient::SYNCHRONIZING) return false;
    libksync::SyncDataMap* ours = client->retrieveDataMap();
    for (unsigned short s = 0; s < host->getNumSegments(); ++s)
      if (ours->getCRC(s) != host->getCRC(s)) return false;
    return true;
  }

  std::unique_ptr<RawPeer> connection;
  std::unique_ptr<libksync::SyncClient> client;
  std::unique_ptr<libksync::SyncArray<unsigned char>> bytes;
  std::vector<std::string> errors;
  DEngine* engine;
  int blocks;
};

// The host's end of the one connection that joined the sync server.
inline ServerConnection* joinedConnection(Host& host) {
  for (ServerConnection* c : host.server.getClients()) {
    libksync::SyncServerFSM* fsm = host.server.getSyncServer()->getClient(c);
    if (fsm && fsm->getFSMState() == libksync::SyncServerFSM::JOINED) return c;
  }
  return nullptr;
}

}  // namespace sessiontest

#endif  // TESTS_SESSION_SESSIONTESTNET_H

// Session server over loopback: greeting bytes, routing and its status lines,
// eight clients admitted and the ninth refused, removal of a failed
// connection on the next tick, start-up failures, and hostile peers beside a
// client that synchronizes the whole canvas.

#include <random>

#include <gtest/gtest.h>

#include "ChatProtocol.h"
#include "DrawingProtocol.h"
#include "FatalTest.h"
#include "KivServer.h"
#include "SessionTestNet.h"
#include "SyncEDCProtocol.h"
#include "SyncServer.h"
#include "WorldMap.h"

using namespace sessiontest;

namespace {

bool settingsReady = KivSettings::setFlushFrequency("15") && KivSettings::setSyncBandwidth("65535");

struct Host {
  Host() : server(&engine, &map, &drawing, &chat) {
    initAllegro();
    server.setPort(0);
  }
  unsigned short port() const { return server.getLocalPort(); }
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

const Bytes GREETING_1600 = {0x4E, 0x54, 0x50, 0x54, 0x00, 0x00, 0x06, 0x40, 0x00, 0x00, 0x06, 0x40};

}  // namespace

TEST(KivServer, GreetsAndRoutesClientMessages) {
  ASSERT_TRUE(KivSettings::setSyncBandwidth("100000"));
  Host host;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(host.server.initialize(1600, 1600)) << host.server.getErrMsg();
  std::string out = testing::internal::GetCapturedStdout();
  // The option does not fit the sync server's 16 bits: the most it carries is used.
  EXPECT_NE(std::string::npos, out.find("Using EDC bandwidth 65535\n")) << out;
  EXPECT_NE(std::string::npos, out.find("Unused bytes: 0\n")) << out;
  drainChat();

  std::unique_ptr<RawPeer> peer = host.connect();
  EXPECT_EQ(std::vector<Bytes>{GREETING_1600}, peer->bodies);
  EXPECT_EQ(1u, host.server.numClients());
  EXPECT_EQ(1u, host.server.getSyncServer()->numClients());
  EXPECT_EQ("Client joined from 127.0.0.1", host.statusOf("NetSystem"));

  peer->sendMessage(0, text("abc"));
  EXPECT_EQ("runServer got a msg < four bytes long", host.statusOf("NetSystem"));
  peer->sendMessage(0, text("XYZW!"));
  EXPECT_EQ("messageHandler received unrecognized header XYZW", host.statusOf("KivServer"));
  // A malformed body is the protocol's to report (its texts are tested
  // there); the connection stays.
  peer->sendMessage(0, text("DRAW\x07zz"));
  EXPECT_EQ("parseDraw() got invalid compression byte", host.statusOf("DrawingProtocol"));
  EXPECT_EQ(1u, host.server.numClients());

  // A client's stroke lands on the host's canvas.
  KivSettings::setBrushSize(1);
  KivSettings::setFillType(5);
  DrawingProtocol sender;
  sender.addCoordinates(10, 10, 60, 10);
  DBuffer draw;
  for (int tick = 0; tick < 10 && !sender.prepareClientMessage(draw); ++tick) continue;
  peer->sendMessage(0, draw);
  BITMAP* canvas = WorldMap::getMapBuffer();
  EXPECT_TRUE(pump(host.engine, [&] { return getpixel(canvas, 35, 11) == makecol24(40, 80, 120); }));

  // A client's chat line is shown and relayed to every client, the sender
  // included; the host's own strokes go to everyone too.
  std::unique_ptr<RawPeer> second = host.connect();
  ChatProtocol chatter;
  chatter.addChat("bob", "hi", false);
  DBuffer chatBody;
  for (int tick = 0; tick < 30 && !chatter.prepareMessage(chatBody); ++tick) continue;
  peer->sendMessage(0, chatBody);
  host.drawing.addCoordinates(100, 100, 200, 100);
  EXPECT_TRUE(pump(host.engine, [&] {
    return peer->got("CHAT") && second->got("CHAT") && peer->got("DRAW") && second->got("DRAW");
  }));
  EXPECT_TRUE(hasLine(drainChat(), "bob", "hi", 4));
}

TEST(KivServer, AdmitsEightRefusesTheNinthAndRemovesFailuresOnTheNextTick) {
  ASSERT_TRUE(settingsReady);
  Host host;
  ASSERT_TRUE(host.server.initialize(1600, 1600));
  std::vector<std::unique_ptr<RawPeer>> peers;
  for (int i = 0; i < 8; ++i) peers.push_back(host.connect());
  drainChat();

  std::unique_ptr<RawPeer> ninth = host.connect(false);
  EXPECT_TRUE(ninth->bodies.empty());  // closed without a greeting
  EXPECT_EQ("Client tried to join from 127.0.0.1, but server is full.", host.statusOf("NetSystem"));
  EXPECT_EQ(8u, host.server.numClients());

  // With the clock standing still the sync server forgets the client at
  // once; the connection goes only when the session tick comes.
  testnet::ManualClock clock;
  peers[3].reset();
  std::string line = host.statusOf("KivServer");
  EXPECT_EQ(0u, line.find("Client disconnected ")) << line;
  EXPECT_GT(line.size(), std::string("Client disconnected ").size());
  EXPECT_EQ(7u, host.server.getSyncServer()->numClients());
  EXPECT_EQ(8u, host.server.numClients());
  libkorvet::DTime::advanceManualClock(KivServer::TICK_INTERVAL_MS);
  host.engine.update(-1);
  EXPECT_EQ(7u, host.server.numClients());

  std::unique_ptr<RawPeer> late = host.connect();
  EXPECT_EQ(GREETING_1600, late->bodies[0]);
  for (auto& p : peers) EXPECT_TRUE(!p || !p->closed);
}

// A port in use is refused through the facade's test.
TEST(KivServer, StartFailures) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ASSERT_TRUE(settingsReady);
  Host started;
  ASSERT_TRUE(started.server.initialize(1600, 1600));
  EXPECT_FATAL(started.server.initialize(1600, 1600), "KivServer::initialize\\(\\): already called!");
  started.map.reset();

  Host tooSmall;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(tooSmall.server.initialize(1599, 1600));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("Unused bytes: "));
  EXPECT_EQ("Map size too small", tooSmall.server.getErrMsg());
  // The half-built server stops listening: nobody reaches a sync server that never started.
  EXPECT_EQ(0, tooSmall.server.getLocalPort());
}

TEST(KivServer, HostilePeersDoNotDisturbAClientThatSynchronizes) {
  ASSERT_TRUE(settingsReady);
  Host host;
  ASSERT_TRUE(host.server.initialize(1600, 1600));
  libksync::SyncDataMap* hostMap = host.server.getSyncServer()->retrieveDataMap();
  host.map.applyLineDrawing(20, 20, 1500, 1400, 3, 5);
  testnet::ManualClock clock;

  SyncPeer good(&host.engine, host.port(), 256);
  ASSERT_TRUE(pump(host.engine, [&] { return good.connection->bodies.size() == 1; }));
  ASSERT_TRUE(good.join());
  std::unique_ptr<RawPeer> silent = host.connect();
  std::unique_ptr<RawPeer> garbage = host.connect();
  std::mt19937 rng(5);
  DBuffer noise;
  for (int i = 0; i < 5000; ++i) noise.appendByte(static_cast<unsigned char>(rng()));
  garbage->send(noise);

  // One leaves while a chunk series is on its way to it: the first blocks
  // hold noise, so their repair takes several chunks.
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 1000; ++x) host.map.drawRect(x, y, x, y, static_cast<int>(rng() % 256));
  SyncPeer leaver(&host.engine, host.port(), 256);
  ASSERT_TRUE(pump(host.engine, [&] { return leaver.connection->bodies.size() == 1; }));
  ASSERT_TRUE(leaver.join());
  ASSERT_TRUE(pumpPaced(host.engine, [&] {
    return leaver.client->getEDC()->getState() == libksync::SyncEDCProtocol::AWAITING_CHUNKS;
  }, 10000, 5));
  libkorvet::DTime::advanceManualClock(500);
  host.engine.update(-1);
  leaver.client.reset();
  leaver.connection.reset();

  std::vector<std::unique_ptr<RawPeer>> fillers;
  for (int i = 0; i < 4; ++i) fillers.push_back(host.connect());

  // Host and client paint on while the good client catches up; the host's
  // picture wins.
  host.map.applyLineDrawing(1500, 30, 30, 1500, 2, 5);
  for (unsigned int i = 0; i < 300; ++i) good.bytes->set(150000 + i * 97, 77);
  ASSERT_TRUE(pumpPaced(host.engine, [&] { return good.equals(hostMap); }, 60000, 5));
  for (unsigned int i = 0; i < good.bytes->size(); i += 997) ASSERT_EQ(hostMap->getByte(i), good.bytes->get(i)) << i;
  EXPECT_TRUE(good.errors.empty()) << good.errors.front();
  EXPECT_FALSE(good.connection->closed);
  // Those that never joined are gone, well before the canvas was in.
  EXPECT_TRUE(silent->closed && garbage->closed);
  for (auto& f : fillers) EXPECT_TRUE(f->closed);
  EXPECT_EQ(1u, host.server.numClients());
  bool noiseReported = false, squattersDropped = false;
  for (const StatusLine& l : drainChat()) {
    noiseReported |= l.owner == "ServerConnection";
    squattersDropped |= l.text == "Dropped 127.0.0.1: no JOIN within 15 seconds";
  }
  EXPECT_TRUE(noiseReported && squattersDropped);
}

// Network facade: names and texts, hosting and joining with their refusals
// and health checks, and tearing a session down while connections, name
// look-ups, chunk series and timers are in flight, then starting again.

#include <gtest/gtest.h>

#include "FatalTest.h"
#include "KivClient.h"
#include "NetSystem.h"
#include "SessionTestNet.h"
#include "SyncEDCProtocol.h"
#include "SyncMessages.h"
#include "WorldMap.h"

using namespace sessiontest;

namespace {

bool settingsReady = KivSettings::setFlushFrequency("15") && KivSettings::setSyncBandwidth("65535");

// Ends the session and lets every aborted operation of it complete.
void stop(DEngine& engine, NetSystem& net, WorldMap& map) {
  net.resetVariables();
  map.reset();
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  while (std::chrono::steady_clock::now() < until) engine.update(-1);
}

}  // namespace

TEST(NetSystem, NamesAddressAndChatWithoutASession) {
  ASSERT_TRUE(settingsReady);
  DEngine engine;
  NetSystem net(&engine);
  EXPECT_EQ(5050, net.getSessionPort());
  net.setPlayerName("");
  net.setGameName("Sunday sketch");
  net.setHostIP("10.1.2.3");
  net.resetVariables();  // the names go back to their defaults, the address stays
  EXPECT_EQ("Anonymous", net.getPlayerName());
  EXPECT_EQ("A Session", net.getGameName());
  EXPECT_EQ("10.1.2.3", net.getHostIP());

  // Without a session the user's own line shows at once; strokes just queue.
  drainChat();
  net.sendChat("anyone here?");
  EXPECT_TRUE(hasLine(drainChat(), "Anonymous", "anyone here?", 4));
  net.addUDPDrawing(1, 2, 3, 4);
}

TEST(NetSystem, HostingAndItsRefusals) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  initAllegro();
  DEngine engine;
  WorldMap map;
  NetSystem net(&engine);
  net.setSessionPort(0);
  ASSERT_TRUE(net.hostNewGame(1600, 1600, &map)) << net.getErrMsg();
  EXPECT_EQ(NetSystem::HOSTING, net.getSessionMode());
  EXPECT_NE(0, net.getListenPort());
  EXPECT_TRUE(net.netOK());

  EXPECT_FALSE(net.hostNewGame(1600, 1600, &map));
  EXPECT_EQ("This server is already part of a session.", net.getErrMsg());
  EXPECT_FALSE(net.joinExistingGame(&map));
  EXPECT_EQ("We're already part of a session", net.getErrMsg());
  drainChat();
  net.sendChat("welcome");
  EXPECT_TRUE(hasLine(drainChat(), "Anonymous", "welcome", 4));

  EXPECT_FATAL(net.clientReady(), "NetSystem::clientReady\\(\\): we're not a client");
  EXPECT_FATAL(net.setPlayerName("x"), "NetSystem::setPlayerName\\(\\): called during an active session");
  EXPECT_FATAL(net.setGameName("x"), "NetSystem::setGameName\\(\\): called during an active session");

  // A port in use: the listener's text, no session, and a reset makes way
  // for the next attempt.
  unsigned short taken = net.getListenPort();
  NetSystem second(&engine);
  second.setSessionPort(taken);
  EXPECT_FALSE(second.hostNewGame(1600, 1600, &map));
  EXPECT_EQ(0u, second.getErrMsg().find("Couldn't bind the socket: ")) << second.getErrMsg();
  EXPECT_EQ(NetSystem::NO_SESSION, second.getSessionMode());
  EXPECT_TRUE(second.netOK());
  second.resetVariables();

  net.resetVariables();
  map.reset();
  EXPECT_EQ(nullptr, net.getServer());
  EXPECT_EQ(0, net.getListenPort());
  second.setSessionPort(0);
  EXPECT_TRUE(second.hostNewGame(1600, 1600, &map)) << second.getErrMsg();
  second.resetVariables();
  map.reset();
}

TEST(NetSystem, JoiningAnUnreachableHostFailsThroughTheHealthCheck) {
  DEngine engine;
  WorldMap map;
  NetSystem net(&engine);
  net.setHostIP("127.0.0.1");
  net.setSessionPort(testnet::unusedPort());
  EXPECT_TRUE(net.joinExistingGame(&map));
  EXPECT_EQ(NetSystem::CLIENT, net.getSessionMode());
  EXPECT_FALSE(net.clientReady());
  drainChat();
  net.sendChat("hello?");  // a client sees its line only when the host relays it
  EXPECT_TRUE(drainChat().empty());
  ASSERT_TRUE(pump(engine, [&] { return !net.netOK(); }));
  EXPECT_EQ("Couldn't connect to 127.0.0.1: no session is hosted there", net.getErrMsg());
  net.resetVariables();
  EXPECT_EQ(nullptr, net.getClient());
  EXPECT_TRUE(net.netOK());
}

TEST(NetSystem, ResetWhileEverythingIsInFlightThenStartAgain) {
  DEngine engine;
  WorldMap map;
  initAllegro();
  NetSystem net(&engine);
  const unsigned short port = testnet::unusedPort();
  net.setSessionPort(port);

  // Hosting: a client mid-series, one still connecting, a silent one, the
  // host's own strokes and chat queued, every timer running.
  ASSERT_TRUE(net.hostNewGame(1600, 1600, &map)) << net.getErrMsg();
  for (int y = 0; y < 100; y += 2) map.applyLineDrawing(0, y, 1599, y, 1, 5);
  SyncPeer peer(&engine, port, 256);
  ASSERT_TRUE(pump(engine, [&] { return peer.connection->bodies.size() == 1; }));
  ASSERT_TRUE(peer.join());
  ASSERT_TRUE(pump(engine, [&] {
    return peer.client->getEDC()->getState() == libksync::SyncEDCProtocol::AWAITING_CHUNKS;
  }));
  RawPeer silent(&engine);
  silent.connectTo(port);
  ASSERT_TRUE(pump(engine, [&] { return !silent.bodies.empty(); }));
  RawPeer late(&engine);
  late.connectTo(port);
  net.addUDPDrawing(10, 10, 500, 500);
  net.sendChat("bye");
  stop(engine, net, map);
  EXPECT_TRUE(peer.connection->closed);
  EXPECT_TRUE(silent.closed);

  // The same port again at once.
  ASSERT_TRUE(net.hostNewGame(1600, 1600, &map)) << net.getErrMsg();
  RawPeer again(&engine);
  again.connectTo(port);
  ASSERT_TRUE(pump(engine, [&] { return !again.bodies.empty(); }));
  EXPECT_EQ(12u, again.bodies[0].size());
  stop(engine, net, map);

  // Joining: reset while the host name is being looked up, then while the
  // client is joined and its timers and a repair are running.
  RawHost host(&engine);
  net.setSessionPort(host.getLocalPort());
  net.setHostIP("localhost");
  ASSERT_TRUE(net.joinExistingGame(&map));
  stop(engine, net, map);
  EXPECT_TRUE(host.peers.empty());  // the look-up was abandoned
  net.setHostIP("127.0.0.1");
  ASSERT_TRUE(net.joinExistingGame(&map));
  ASSERT_TRUE(pump(engine, [&] { return !host.peers.empty() && net.getClient()->getSyncClient() != nullptr; }));
  host.peers.back()->sendMessage(0, greeting("NTPT", 1600, 1600));
  ASSERT_TRUE(pump(engine, [&] { return net.getClient()->getReady(); }));
  ASSERT_TRUE(pump(engine, [&] { return !host.peers.back()->syncBodies.empty(); }));
  net.addUDPDrawing(1, 1, 100, 100);
  net.sendChat("are you there");
  host.peers.back()->sendMessage(0, text("CHAT"));
  engine.update(-1);
  stop(engine, net, map);
  EXPECT_TRUE(host.peers.back()->closed);

  ASSERT_TRUE(net.joinExistingGame(&map));
  ASSERT_TRUE(pump(engine, [&] { return host.peers.size() == 2 && net.getClient()->getSyncClient() != nullptr; }));
  EXPECT_TRUE(net.netOK());
  stop(engine, net, map);
}

// A join the host never completes fails the session with a text for the
// user, and the game only sees a ready client once the host acknowledged it.
TEST(NetSystem, AJoinThatNeverCompletesFailsTheSession) {
  DEngine engine;
  WorldMap map;
  initAllegro();
  testnet::ManualClock clock;
  RawHost host(&engine);
  NetSystem net(&engine);
  net.setSessionPort(host.getLocalPort());
  net.setHostIP("127.0.0.1");
  auto joinGreeted = [&](bool greet) -> RawPeer* {
    EXPECT_TRUE(net.joinExistingGame(&map));
    std::size_t before = host.peers.size();
    EXPECT_TRUE(pump(engine, [&] { return host.peers.size() > before && net.getClient()->getSyncClient(); }));
    RawPeer* peer = host.peers.back().get();
    if (greet) {
      peer->sendMessage(0, greeting("NTPT", 1600, 1600));
      EXPECT_TRUE(pump(engine, [&] { return !peer->syncBodies.empty(); }));  // the JOIN
    }
    EXPECT_FALSE(net.clientReady());
    return peer;
  };
  auto failure = [&]() -> std::string {
    // The session tick notices; the clock has to move for it.
    EXPECT_TRUE(testnet::pump({&engine}, [&] { return !net.netOK(); }, 10000, 1));
    EXPECT_FALSE(net.clientReady());
    std::string text = net.getErrMsg();
    stop(engine, net, map);
    return text;
  };
  auto ack = [](unsigned int bytesUsed) {
    DBuffer body;
    libksync::SyncMessages::buildJoinAck(libksync::SyncJoinAck{3, 30000, 256, 256 * 30000, bytesUsed}, body);
    return body;
  };

  joinGreeted(true)->sendMessage(128, 0, bufferOf({libksync::SyncMessages::JOIN_ACK, 0, 3}));
  EXPECT_EQ(0u, failure().find("Couldn't join the host's canvas: "));
  joinGreeted(true)->sendMessage(128, 0, ack(256 * 30000 - 9));
  EXPECT_EQ("Couldn't join the host's canvas: Our data map is 9 bytes larger than the server's!", failure());
  joinGreeted(true);
  testnet::advance({&engine}, libksync::SyncClient::HANDSHAKE_TIMEOUT_MS, 50);
  EXPECT_EQ("Couldn't join the host's canvas: No handshake response from the server", failure());
  joinGreeted(false);
  testnet::advance({&engine}, KivClient::GREETING_TIMEOUT_MS, 50);
  EXPECT_EQ("The host at 127.0.0.1 accepted the connection but never answered.", failure());

  joinGreeted(true)->sendMessage(128, 0, ack(256 * 30000));
  EXPECT_TRUE(pump(engine, [&] { return net.clientReady(); }));
  EXPECT_TRUE(net.netOK());
  stop(engine, net, map);
}

#include "DClient.h"

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "NetTestSupport.h"

using namespace libkorvet;
using namespace nettest;

namespace {

// A listener on one engine and clients on another, so each side's
// completions can be stepped on their own.
struct Pair {
  Pair() : listener(&serverEngine) { listening = listener.listenOnLoopbackPort(); }
  bool connect(RawPeer& client) {
    if (!listening) return false;
    std::size_t before = listener.peers.size() + listener.sockets.size();
    client.startConnect("127.0.0.1", listener.getLocalPort());
    return pump([&] { return !client.codes.empty() && listener.peers.size() + listener.sockets.size() > before; });
  }
  bool pump(const std::function<bool()>& done) { return testnet::pump({&serverEngine, &clientEngine}, done); }
  DEngine serverEngine, clientEngine;
  Listener listener;
  bool listening;
};

}  // namespace

TEST(DClient, UnconnectedStateAndTexts) {
  DEngine engine;
  DClient small(&engine, 100), normal(&engine);
  EXPECT_EQ(small.getBufferSize(), 1024u);  // raised to the smallest allowed
  EXPECT_FALSE(normal.isConnected());
  EXPECT_EQ(normal.getLocalAddress(), "");
  EXPECT_EQ(normal.getErrMsg(), "Bad file descriptor: 9");
  EXPECT_FALSE(normal.setDelay(false));
  EXPECT_EQ(normal.getErrMsg().rfind("Couldn't set option: ", 0), 0u);
}

TEST(DClient, ConnectFailuresAreReportedWithTheirCodes) {
  DEngine engine;
  RawPeer unresolvable(&engine), refused(&engine);
  unresolvable.startConnect("no-such-host.invalid", 5050);
  refused.startConnect("127.0.0.1", unusedPort());
  // The name lookup goes through the system resolver: allow it a slow answer.
  ASSERT_TRUE(pump({&engine}, [&] { return !unresolvable.codes.empty() && !refused.codes.empty(); }, 30000));
  EXPECT_EQ(unresolvable.codes, std::vector<int>{resolveFailed});
  EXPECT_EQ(unresolvable.connectTexts[0].rfind("Couldn't resolve hostname: ", 0), 0u);
  EXPECT_EQ(refused.codes, std::vector<int>{connectFailed});
  EXPECT_EQ(refused.connectTexts[0].rfind("Couldn't connect: ", 0), 0u);
  EXPECT_EQ(refused.getErrMsg(), refused.connectTexts[0]);
  EXPECT_TRUE(refused.connectRefused() && !unresolvable.connectRefused());
}

TEST(DClient, ConnectsTalksAndReportsThePeerClosingOnce) {
  Pair p;
  RawPeer client(&p.clientEngine);
  // A second startConnect replaces the first: one outcome only. Bytes sent
  // before the connection is up leave as soon as it is.
  client.startConnect("localhost", 1);
  client.send(bytesOf("early"));
  ASSERT_TRUE(p.connect(client));
  EXPECT_EQ(client.connectTexts, std::vector<std::string>{"Success"});
  EXPECT_TRUE(client.isConnected());
  EXPECT_EQ(client.getRemoteAddress(), "127.0.0.1");
  RawPeer& server = *p.listener.peers[0];
  EXPECT_TRUE(server.isConnected());
  ASSERT_TRUE(p.pump([&] { return server.received == "early"; }));
  server.send(bytesOf("ping"));
  ASSERT_TRUE(p.pump([&] { return client.received == "ping"; }));

  p.listener.peers.clear();  // the server side goes away
  ASSERT_TRUE(p.pump([&] { return !client.errors.empty(); }));
  for (int i = 0; i < 200; ++i) p.clientEngine.update(100);
  EXPECT_EQ(client.errors, std::vector<std::string>{"End of file: 2"});
  EXPECT_TRUE(client.closedByPeer());
  EXPECT_FALSE(client.isConnected());
  EXPECT_EQ(client.codes.size(), 1u);
}

TEST(DClient, ReconnectingFromInsideAHandlerStartsCleanly) {
  struct Hopper : RawPeer {
    using RawPeer::RawPeer;
    void receiveHandler(DBuffer& data) override {
      RawPeer::receiveHandler(data);
      if (received == "hop") startConnect("127.0.0.1", port);
    }
    unsigned short port = 0;
  };
  Pair p;
  Hopper client(&p.clientEngine);
  client.port = p.listener.getLocalPort();
  ASSERT_TRUE(p.connect(client));
  p.listener.peers[0]->send(bytesOf("hop"));
  ASSERT_TRUE(p.pump([&] { return client.codes.size() == 2 && p.listener.peers.size() == 2; }));
  p.listener.peers[1]->send(bytesOf("!"));
  ASSERT_TRUE(p.pump([&] { return client.received == "hop!"; }));
  EXPECT_EQ(client.codes, (std::vector<int>{connectOk, connectOk}));
  EXPECT_TRUE(client.errors.empty());
}

TEST(DClient, ManySendsLeaveInOrderAndReportTheEmptyQueueOnce) {
  Pair p;
  RawPeer client(&p.clientEngine);
  ASSERT_TRUE(p.connect(client));
  std::string expected;
  for (int i = 0; i < 4; ++i) {
    std::string part(10000, static_cast<char>('a' + i));
    expected += part;
    client.send(bytesOf(part));
  }
  EXPECT_GT(client.unsentBytes(), 0);
  RawPeer& server = *p.listener.peers[0];
  ASSERT_TRUE(p.pump([&] { return server.received.size() == 40000 && client.sendDone > 0; }));
  for (int i = 0; i < 100; ++i) p.clientEngine.update(100);
  EXPECT_TRUE(server.received == expected);
  EXPECT_EQ(client.sendDone, 1);
  EXPECT_EQ(client.unsentBytes(), 0);
}

// Each case deletes the connection while an operation is outstanding and
// then lets that operation complete; under AddressSanitizer any touch of the
// freed connection, its receive area or its send queue fails the test.
TEST(DClient, DeletionWithOperationsOutstandingIsSafe) {
  Pair p;
  p.listener.keepRaw = true;  // accepted sockets are never read
  RawPeer* resolving = new RawPeer(&p.clientEngine);
  resolving->startConnect("localhost", p.listener.getLocalPort());
  delete resolving;
  EXPECT_TRUE(runHandlers(p.clientEngine, 1));

  RawPeer* connecting = new RawPeer(&p.clientEngine);
  connecting->startConnect("127.0.0.1", p.listener.getLocalPort());
  ASSERT_TRUE(runHandlers(p.clientEngine, 1));  // resolved; the connect is outstanding
  delete connecting;
  EXPECT_TRUE(runHandlers(p.clientEngine, 1));

  RawPeer* busy = new RawPeer(&p.clientEngine);  // receiving, with a send completion queued
  ASSERT_TRUE(p.connect(*busy));
  busy->send(bytesOf("queued"));
  delete busy;
  EXPECT_TRUE(runHandlers(p.clientEngine, 2));

  RawPeer* stuck = new RawPeer(&p.clientEngine);  // a send waiting on a peer that does not read
  ASSERT_TRUE(p.connect(*stuck));
  std::string block(1 << 20, 'b');
  for (int i = 0; i < 16; ++i) stuck->send(bytesOf(block));
  for (int i = 0; i < 50; ++i) p.clientEngine.update(100);
  EXPECT_GT(stuck->unsentBytes(), 0);
  delete stuck;
  for (int i = 0; i < 50; ++i) p.clientEngine.update(100);

  // The engine going away first destroys the handlers still waiting.
  DEngine* last = new DEngine;
  RawPeer* orphan = new RawPeer(last);
  orphan->startConnect("127.0.0.1", p.listener.getLocalPort());
  ASSERT_TRUE(pump({&p.serverEngine, last}, [&] { return !orphan->codes.empty(); }));
  orphan->send(bytesOf(block));
  delete orphan;
  delete last;
}

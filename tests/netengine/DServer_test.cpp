#include "DServer.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "NetTestSupport.h"

using namespace libkorvet;
using namespace nettest;

TEST(DServer, BindAndListenRefuseMisuseWithTheirTexts) {
  DEngine engine;
  Listener server(&engine), rival(&engine);
  EXPECT_FALSE(server.startListening());
  EXPECT_EQ(server.getErrMsg(), "The socket must be bound before startListening is called.");
  EXPECT_FALSE(server.bind(5, 0));
  EXPECT_EQ(server.getErrMsg(), "Unknown IP version 5");
  ASSERT_TRUE(server.listenOnLoopbackPort());
  EXPECT_FALSE(server.startListening());
  EXPECT_EQ(server.getErrMsg(), "The socket is already listening.");
  EXPECT_FALSE(rival.bind(ipV4, server.getLocalPort()));
  EXPECT_EQ(rival.getErrMsg().rfind("Couldn't bind the socket: ", 0), 0u);

  server.close();
  EXPECT_FALSE(server.startListening());
  EXPECT_EQ(server.getErrMsg(), "The socket is already listening.");
  // Rebinding at once starts a new accept before the old one has completed
  // as aborted; the new one still works.
  ASSERT_TRUE(server.listenOnLoopbackPort());
  ASSERT_TRUE(server.listenOnLoopbackPort());
  RawPeer client(&engine);
  client.startConnect("127.0.0.1", server.getLocalPort());
  EXPECT_TRUE(pump({&engine}, [&] { return server.peers.size() == 1; }));
  EXPECT_TRUE(server.errors.empty());
}

TEST(DServer, ClientsConnectingAtOnceAreHandedOverOneByOne) {
  DEngine engine;
  Listener server(&engine);
  ASSERT_TRUE(server.listenOnLoopbackPort());
  RawPeer first(&engine), second(&engine);
  first.startConnect("127.0.0.1", server.getLocalPort());
  second.startConnect("127.0.0.1", server.getLocalPort());
  ASSERT_TRUE(pump({&engine}, [&] { return server.peers.size() == 2; }));
  first.send(bytesOf("one"));
  second.send(bytesOf("two"));
  std::string& a = server.peers[0]->received;
  std::string& b = server.peers[1]->received;
  ASSERT_TRUE(pump({&engine}, [&] { return a.size() == 3 && b.size() == 3; }));
  EXPECT_EQ((std::set<std::string>{a, b}), (std::set<std::string>{"one", "two"}));
}

TEST(DServer, DeletionWithAnAcceptOutstandingIsSafe) {
  DEngine engine, clientEngine;
  Listener* idle = new Listener(&engine);
  ASSERT_TRUE(idle->listenOnLoopbackPort());
  delete idle;
  EXPECT_TRUE(runHandlers(engine, 1));

  // A connection waiting to be accepted when the listener goes.
  Listener* busy = new Listener(&engine);
  ASSERT_TRUE(busy->listenOnLoopbackPort());
  RawPeer client(&clientEngine);
  client.startConnect("127.0.0.1", busy->getLocalPort());
  ASSERT_TRUE(pump({&clientEngine}, [&] { return !client.codes.empty(); }));
  delete busy;
  EXPECT_TRUE(runHandlers(engine, 1));
  EXPECT_TRUE(pump({&engine, &clientEngine}, [&] { return !client.errors.empty(); }));

  // And the engine going first, with the accept still waiting.
  DEngine* last = new DEngine;
  Listener* orphan = new Listener(last);
  ASSERT_TRUE(orphan->listenOnLoopbackPort());
  delete orphan;
  delete last;
}

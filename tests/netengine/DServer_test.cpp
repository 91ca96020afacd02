#include "DServer.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "NetTestSupport.h"

using namespace libkorvet;
using namespace nettest;

TEST(DServer, BindAndListenRefuseMisuseWithTheirTexts) {
  DEngine engine;
  Listener server(&engine);
  EXPECT_EQ(server.getLocalPort(), 0);
  EXPECT_FALSE(server.startListening());
  EXPECT_EQ(server.getErrMsg(), "The socket must be bound before startListening is called.");
  EXPECT_FALSE(server.bind(5, 0));
  EXPECT_EQ(server.getErrMsg(), "Unknown IP version 5");
  EXPECT_FALSE(server.startListening());

  ASSERT_TRUE(server.listenOnLoopbackPort());
  EXPECT_NE(server.getLocalPort(), 0);
  EXPECT_FALSE(server.startListening());
  EXPECT_EQ(server.getErrMsg(), "The socket is already listening.");

  Listener rival(&engine);
  EXPECT_FALSE(rival.bind(ipV4, server.getLocalPort()));
  EXPECT_EQ(rival.getErrMsg().rfind("Couldn't bind the socket: ", 0), 0u);

  server.close();
  EXPECT_FALSE(server.startListening());
  EXPECT_EQ(server.getErrMsg(), "The socket is already listening.");
  // Rebinding right after closing may start a new accept before the old one
  // has completed as aborted.
  ASSERT_TRUE(server.listenOnLoopbackPort());
  ASSERT_TRUE(server.listenOnLoopbackPort());
  RawPeer client(&engine);
  client.startConnect("127.0.0.1", server.getLocalPort());
  EXPECT_TRUE(pumpUntil({&engine}, [&] { return server.peers.size() == 1; }));
  EXPECT_TRUE(server.errors.empty());
}

TEST(DServer, ClientsConnectingAtOnceAreHandedOverOneByOne) {
  DEngine engine;
  Listener server(&engine);
  ASSERT_TRUE(server.listenOnLoopbackPort());
  RawPeer first(&engine), second(&engine);
  first.startConnect("127.0.0.1", server.getLocalPort());
  second.startConnect("127.0.0.1", server.getLocalPort());
  ASSERT_TRUE(pumpUntil({&engine}, [&] { return server.peers.size() == 2; }));
  first.send(bytesOf("one"));
  second.send(bytesOf("two"));
  ASSERT_TRUE(pumpUntil({&engine}, [&] {
    return server.peers[0]->received.size() == 3 && server.peers[1]->received.size() == 3;
  }));
  std::set<std::string> got = {server.peers[0]->received, server.peers[1]->received};
  EXPECT_EQ(got, (std::set<std::string>{"one", "two"}));
  EXPECT_TRUE(server.peers[0]->isConnected());
}

TEST(DServer, DeletionWithAnAcceptOutstandingIsSafe) {
  DEngine engine;
  Listener* idle = new Listener(&engine);
  ASSERT_TRUE(idle->listenOnLoopbackPort());
  delete idle;
  EXPECT_TRUE(runHandlers(engine, 1));

  // A connection waiting to be accepted when the listener goes.
  DEngine clientEngine;
  Listener* busy = new Listener(&engine);
  ASSERT_TRUE(busy->listenOnLoopbackPort());
  RawPeer client(&clientEngine);
  client.startConnect("127.0.0.1", busy->getLocalPort());
  ASSERT_TRUE(pumpUntil({&clientEngine}, [&] { return !client.codes.empty(); }));
  delete busy;
  EXPECT_TRUE(runHandlers(engine, 1));
  EXPECT_TRUE(pumpUntil({&engine, &clientEngine}, [&] { return !client.errors.empty(); }));

  // And the engine going first, with the accept still waiting.
  DEngine* last = new DEngine;
  Listener* orphan = new Listener(last);
  ASSERT_TRUE(orphan->listenOnLoopbackPort());
  delete orphan;
  delete last;
}

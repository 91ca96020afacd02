// Undo on a live host: a client's strokes are told apart by where their
// lines start, the host undoes one and a client built to the design's
// messages alone converges on the host's canvas through synchronization.

#include <gtest/gtest.h>

#include "ServerConnection.h"
#include "SessionTestNet.h"
#include "SyncServerFSM.h"

using namespace sessiontest;

namespace {

bool settingsReady = KivSettings::setFlushFrequency("15") && KivSettings::setSyncBandwidth("65535");

DBuffer drawLine(int x1, int y1, int x2, int y2) {
  DBuffer draw = text("DRAW");
  draw.append(bufferOf({0, 1, 7, 0, 1}));
  for (int v : {x1, y1, x2, y2}) draw.appendVariable<int>(v);
  return draw;
}

ServerConnection* joinedConnection(Host& host) {
  for (ServerConnection* c : host.server.getClients()) {
    libksync::SyncServerFSM* fsm = host.server.getSyncServer()->getClient(c);
    if (fsm && fsm->getFSMState() == libksync::SyncServerFSM::JOINED) return c;
  }
  return nullptr;
}

}  // namespace

TEST(Undo, ADesignBuiltClientConvergesAfterTheHostUndoesItsStroke) {
  ASSERT_TRUE(settingsReady);
  Host host;
  initAllegro(7, 40, 2, 2);
  ASSERT_TRUE(host.server.initialize(1600, 1600));
  testnet::ManualClock clock;
  SyncPeer peer(&host.engine, host.port(), 256);
  ASSERT_TRUE(pump(host.engine, [&] { return peer.connection->bodies.size() == 1; }));
  ASSERT_TRUE(peer.join());
  ASSERT_TRUE(pumpPaced(host.engine, [&] { return peer.equals(host.data()); }, 60000, 20));

  // Two strokes, as the paint panel sends them: the second line follows on
  // from the first, the third starts elsewhere.
  peer.connection->sendMessage(0, drawLine(10, 20, 300, 20));
  peer.connection->sendMessage(0, drawLine(300, 20, 300, 90));
  peer.connection->sendMessage(0, drawLine(10, 200, 300, 200));
  ASSERT_TRUE(pump(host.engine, [&] { return pixelOf(host.data(), 300, 200) != 0; }));
  ServerConnection* from = joinedConnection(host);
  ASSERT_NE(from, nullptr);
  const StrokeHistory::Painter painter = host.server.painterOf(from);
  EXPECT_EQ(host.server.getHistory()->undoDepth(painter), 2u);
  ASSERT_TRUE(pumpPaced(host.engine, [&] { return peer.equals(host.data()); }, 60000, 20));

  EXPECT_EQ(host.server.undoStroke(painter).strokes, 1u);
  EXPECT_EQ(pixelOf(host.data(), 150, 200), 0u);
  EXPECT_NE(pixelOf(host.data(), 300, 50), 0u);
  ASSERT_TRUE(pumpPaced(host.engine, [&] { return peer.equals(host.data()); }, 60000, 20));
  EXPECT_EQ(pixelOf(peer.client->retrieveDataMap(), 150, 200), 0u);

  // Rolled back, the rest goes too, and redo cannot bring it back.
  drainChat();
  EXPECT_EQ(host.server.rollback(painter, 1, "Bob").strokes, 1u);
  EXPECT_TRUE(hasLine(drainChat(), "KivServer", "Undid 1 stroke of Bob"));
  EXPECT_EQ(host.server.undoStroke(painter, true).strokes, 0u);
  ASSERT_TRUE(pumpPaced(host.engine, [&] { return peer.equals(host.data()); }, 60000, 20));
  EXPECT_EQ(pixelOf(peer.client->retrieveDataMap(), 300, 50), 0u);
}

// Undo on a live host: a client built to the session's own messages has its
// strokes told apart by where their lines start, converges through
// synchronization after the host undoes one, and once gone is rolled back
// by the host's command; a Brelvin client says where
// its strokes begin and asks for undo and redo, and the other clients get
// the changed pixels at once; requests are charged like strokes.

#include <algorithm>

#include <gtest/gtest.h>

#include "ExtensionWire.h"
#include "HostCommands.h"
#include "PeerBudget.h"
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

  // Gone, it is still listed by its address; rolled back by the host's
  // command, the rest of its paint goes too, and redo cannot bring it back.
  peer.client.reset();
  peer.connection.reset();
  ASSERT_TRUE(pump(host.engine, [&] { return host.server.getRoster().present().size() == 1; }));
  drainChat();
  EXPECT_EQ(hostcommands::run("/undo 127.0.0.1", host.server), std::vector<std::string>{"Usage: /undo NAME MINUTES (1 to 60)"});
  EXPECT_EQ(hostcommands::run("/undo Bob 5", host.server), std::vector<std::string>{"No player called Bob"});
  EXPECT_EQ(hostcommands::run("/undo 127.0.0.1 5", host.server), std::vector<std::string>{"Undid 1 stroke of 127.0.0.1"});
  EXPECT_TRUE(hasLine(drainChat(), "KivServer", "Undid 1 stroke of 127.0.0.1"));
  EXPECT_EQ(pixelOf(host.data(), 300, 50), 0u);
  EXPECT_EQ(host.server.undoStroke(painter, true).strokes, 0u);
}

TEST(Undo, ABrelvinClientsUndoAndRedoReachTheOthersAtOnce) {
  ASSERT_TRUE(settingsReady);
  Host host;
  initAllegro(7, 40, 2, 2);
  ASSERT_TRUE(host.server.initialize(1600, 1600));
  testnet::ManualClock clock;
  Joiner ann(&host.engine, host.port()), bob(&host.engine, host.port());
  ASSERT_TRUE(pumpPaced(host.engine, [&] { return ann.complete() && bob.complete(); }, 60000, 20));
  ASSERT_TRUE(ann.client.hostSpeaksExtensions());

  // Two strokes, the second beginning where the first ended: only Ann's
  // word tells them apart.
  KivSettings::setBrushSize(1);
  KivSettings::setFillType(7);
  for (const DrawingData& line : {DrawingData(10, 20, 300, 20), DrawingData(300, 20, 300, 200)}) {
    ann.drawing.markStrokeStart();
    ann.map.applyLineDrawing(line.getFirstX(), line.getFirstY(), line.getSecondX(), line.getSecondY(), 1, 7);
    ann.drawing.addCoordinates(line.getFirstX(), line.getFirstY(), line.getSecondX(), line.getSecondY());
  }
  ASSERT_TRUE(pumpPaced(host.engine, [&] { return pixelOf(bob.data(), 300, 150) != 0; }, 10000, 1));
  StrokeHistory::Painter painter = StrokeHistory::NOBODY;
  for (const KivClient::Player& p : ann.client.getPlayers())
    if (p.you) painter = p.id;
  EXPECT_EQ(host.server.getHistory()->undoDepth(painter), 2u);

  // The manual clock stands still: synchronization cannot carry the
  // change, only the host's pixels can.
  ASSERT_TRUE(ann.client.requestUndo(false));
  ASSERT_TRUE(pump(host.engine, [&] { return pixelOf(bob.data(), 300, 150) == 0; }));
  EXPECT_NE(pixelOf(bob.data(), 150, 20), 0u);
  EXPECT_EQ(pixelOf(ann.data(), 300, 150), 0u);
  ASSERT_TRUE(ann.client.requestUndo(true));
  ASSERT_TRUE(pump(host.engine, [&] { return pixelOf(bob.data(), 300, 150) != 0; }));
  EXPECT_TRUE(ann.equals(host.data()) && bob.equals(host.data()));
}

TEST(Undo, RequestsAreChargedLikeStrokes) {
  ASSERT_TRUE(settingsReady);
  Host host;
  initAllegro(7, 40, 2, 2);
  ASSERT_TRUE(host.server.initialize(1600, 1600));
  testnet::ManualClock clock;
  std::unique_ptr<RawPeer> peer = host.connect();
  DBuffer announce = text(extwire::ANNOUNCE_HEADER);
  announce.append(bufferOf({extwire::VERSION, 0}));
  peer->sendMessage(0, announce);
  // More undo requests than a burst of strokes holds: the stroke after them
  // is refused as if they had been strokes.
  for (unsigned int i = 0; i < PeerBudget::DRAW_LINES_BURST + 10; ++i) peer->sendMessage(1, bufferOf({extwire::UNDO}));
  peer->sendMessage(0, drawLine(10, 400, 300, 400));
  DBuffer chat = text("CHAT");
  chat.append(bufferOf({0, 1, 1, 'p', 4, 'd', 'o', 'n', 'e'}));
  peer->sendMessage(0, chat);
  std::vector<StatusLine> seen;
  ASSERT_TRUE(pump(host.engine, [&] {
    for (const StatusLine& l : drainChat()) seen.push_back(l);
    return std::any_of(seen.begin(), seen.end(), [](const StatusLine& l) { return l.text == "done"; });
  }));
  EXPECT_EQ(pixelOf(host.data(), 150, 400), 0u);
  EXPECT_TRUE(std::any_of(seen.begin(), seen.end(),
                          [](const StatusLine& l) { return l.text == "Dropping excess DRAW from 127.0.0.1"; }));
}

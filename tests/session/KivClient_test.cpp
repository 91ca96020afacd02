// Session client against a stand-in host on loopback: greeting validation
// with its texts, the canvas and placeholder built from a valid greeting, the
// join, message routing with its status lines, and the end of the connection.

#include <gtest/gtest.h>

#include "ChatProtocol.h"
#include "DrawingProtocol.h"
#include "FatalTest.h"
#include "KivClient.h"
#include "SessionTestNet.h"
#include "SyncClient.h"
#include "SyncMessages.h"
#include "WorldMap.h"

using namespace sessiontest;

namespace {

// The protocols read the update frequency when they are made.
bool frequencySet = KivSettings::setFlushFrequency("15");

struct Session {
  Session() : host(&engine), client(&engine, &map, &drawing, &chat) {
    initAllegro();
    RGB grey = {20, 20, 20, 0};
    set_color(KivClient::PLACEHOLDER_COLOR, &grey);
    client.connectToHost("127.0.0.1", host.getLocalPort());
    EXPECT_TRUE(pump(engine, [&] { return !host.peers.empty() && client.getSyncClient() != nullptr; }));
  }
  RawPeer& peer() { return *host.peers.front(); }

  DEngine engine;
  RawHost host;
  WorldMap map;
  DrawingProtocol drawing;
  ChatProtocol chat;
  KivClient client;
};

}  // namespace

TEST(KivClient, GreetingIsValidated) {
  DBuffer elevenBytes = bufferOf({'N', 'T', 'P', 'T', 0, 0, 6, 0x40, 0, 0, 6});
  DBuffer thirteenBytes = greeting("NTPT", 1600, 1600);
  thirteenBytes.appendByte(0);
  struct Case {
    DBuffer body;
    std::string error;
  } cases[] = {
      {text("NTPT"), "Server's greeting message wasn't the right length"},
      {elevenBytes, "Server's greeting message wasn't the right length"},
      {thirteenBytes, "Server's greeting message wasn't the right length"},
      {greeting("NTPX", 1600, 1600), "Server's greeting message had an invalid header"},
      {greeting("NTPT", 1599, 1600), "Received an invalid map width from the server: 1599"},
      {greeting("NTPT", 10001, 1600), "Received an invalid map width from the server: 10001"},
      {greeting("NTPT", 1600, 1599), "Received an invalid map height from the server: 1599"},
      {greeting("NTPT", 1600, 4294967295u), "Received an invalid map height from the server: 4294967295"},
  };
  for (Case& c : cases) {
    Session s;
    s.peer().sendMessage(0, c.body);
    // After a refused greeting the session is over: a good one later revives nothing.
    s.peer().sendMessage(0, greeting("NTPT", 1600, 1600));
    ASSERT_TRUE(pump(s.engine, [&] { return !s.client.getClientOK() && s.peer().unsentBytes() == 0; })) << c.error;
    for (int i = 0; i < 20; ++i) s.engine.update(-1);
    EXPECT_EQ(c.error, s.client.getErrMsg());
    EXPECT_FALSE(s.client.getReady());
    EXPECT_FALSE(s.map.isCreated());
  }
}

TEST(KivClient, ValidGreetingBuildsThePlaceholderJoinsAndRoutesMessages) {
  drainChat();
  Session s;
  s.peer().sendMessage(0, greeting("NTPT", 1600, 10000));
  ASSERT_TRUE(pump(s.engine, [&] { return s.client.getReady(); }));
  EXPECT_TRUE(s.client.getClientOK());
  ASSERT_EQ(1600, s.map.getPixelWidth());
  ASSERT_EQ(10000, s.map.getPixelHeight());

  // The join goes out at once.
  ASSERT_TRUE(pump(s.engine, [&] { return !s.peer().syncBodies.empty(); }));
  EXPECT_EQ(Bytes{libksync::SyncMessages::JOIN}, s.peer().syncBodies[0]);
  EXPECT_EQ(libksync::SyncClient::JOINING, s.client.getSyncClient()->getState());

  // A checkerboard of 4-pixel grey squares, starting at the top-left corner
  // in rows 0-3 and one square in for rows 4-7.
  BITMAP* canvas = WorldMap::getMapBuffer();
  struct { int x, y; bool grey; } squares[] = {{0, 0, true},  {3, 3, true}, {4, 0, false},    {0, 4, false},
                                                {7, 7, true},  {8, 1, true}, {1599, 0, false}, {1599, 9999, true}};
  for (const auto& p : squares)
    EXPECT_EQ(getpixel(canvas, p.x, p.y), p.grey ? makecol24(80, 80, 80) : 0) << p.x << "," << p.y;
  // Written with the overwrite flag: nothing of it counts as local paint.
  libksync::SyncDataMap* data = s.client.getSyncClient()->retrieveDataMap();
  EXPECT_FALSE(data->isFresh(0));
  EXPECT_EQ(80, data->getByte(0));

  // The host's strokes are painted at once, and are local paint until the
  // synchronization confirms them.
  KivSettings::setBrushSize(0);
  KivSettings::setFillType(5);
  DrawingProtocol hostStrokes;
  hostStrokes.addCoordinates(100, 2, 140, 2);
  DBuffer draw;
  for (int tick = 0; tick < 10 && !hostStrokes.prepareServerMessage(draw); ++tick) continue;
  ASSERT_GT(draw.size(), 0u);
  s.peer().sendMessage(0, draw);
  const int painted = makecol24(40, 80, 120);
  ASSERT_TRUE(pump(s.engine, [&] { return getpixel(canvas, 120, 2) == painted; }));
  EXPECT_TRUE(data->isFresh(data->getSpeckIndex(2 * 100 + 20 + 30000 * 1)));

  ChatProtocol hostChat;
  hostChat.addChat("ann", "hello", false);
  DBuffer chatBody;
  for (int tick = 0; tick < 30 && !hostChat.prepareMessage(chatBody); ++tick) continue;
  s.peer().sendMessage(0, chatBody);
  s.peer().sendMessage(0, text("abc"));
  s.peer().sendMessage(0, text("ABCDE"));
  s.peer().send(bufferOf({1, 2, 3, 0xA6, 0x09, 0x39}));
  std::vector<StatusLine> seen;
  ASSERT_TRUE(pump(s.engine, [&] {
    for (const StatusLine& l : drainChat()) seen.push_back(l);
    return hasLine(seen, "ann", "hello", 4) && hasLine(seen, "KivClient", "messageHandler got a msg < four bytes long") &&
           hasLine(seen, "KivClient", "messageHandler received unrecognized header ABCD") && seen.size() >= 4;
  }));
  EXPECT_TRUE(s.client.getClientOK());

  // The client's own strokes go to the host on its session tick.
  s.drawing.addCoordinates(5, 5, 50, 50);
  ASSERT_TRUE(pump(s.engine, [&] { return s.peer().got("DRAW"); }));

  // The host going away ends the session with the connection's text.
  s.host.peers.clear();
  ASSERT_TRUE(pump(s.engine, [&] { return !s.client.getClientOK(); }));
  EXPECT_FALSE(s.client.getErrMsg().empty());
}

// Connecting where nothing listens is covered through the facade.
TEST(KivClient, ReconnectingIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Session s;
  EXPECT_FATAL(s.client.connectToHost("127.0.0.1", s.host.getLocalPort()),
               "KivClient::connectToHost\\(\\): must delete this object before re-connecting");
}

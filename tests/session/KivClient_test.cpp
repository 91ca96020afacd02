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

namespace {

// A DRAW of 64 copies of about the costliest line (brush 3, its 68 stamps
// side by side), along row y in colour 5.
DBuffer costlyDraw(long y) {
  std::vector<DrawingData> lines;
  for (int i = 0; i < 64; ++i) {
    DrawingData line(0, y, 200, y);
    line.setBrushSize(3);
    line.setFillType(5);
    lines.push_back(line);
  }
  DBuffer message;
  DrawingProtocol::buildMessage(lines, 0, lines.size(), message);
  return message;
}

// A CHAT of 255 one-letter lines.
DBuffer terseChat() {
  ChatProtocol chat;
  for (int i = 0; i < 255; ++i) chat.addChat("h", "x", false);
  DBuffer message;
  chat.generateMessage(message);
  return message;
}

}  // namespace

// What a host sends past the client's budget waits (in the socket too) and is
// painted in order on later ticks, never all in one step; chat past it is
// dropped with a status line, the host's status lines are bounded, and a
// host that keeps the client over its budget for 5 s ends the session.
TEST(KivClient, AHostPastItsBudgetWaitsIsDroppedAndEndsTheSession) {
  testnet::ManualClock clock;
  drainChat();
  Session s;
  // Sent together in one write, everything below arrives at once, however
  // fast the manual clock runs.
  s.peer().setDelay(false);
  s.peer().sendMessage(0, greeting("NTPT", 1600, 1600));
  ASSERT_TRUE(pump(s.engine, [&] { return s.client.getReady(); }));
  BITMAP* canvas = WorldMap::getMapBuffer();
  const int painted = makecol24(40, 80, 120);
  auto drawn = [&](int k) { return getpixel(canvas, 100, 20 + 8 * k) == painted; };

  const int messages = 40;
  for (int k = 0; k < messages; ++k) s.peer().sendMessage(0, costlyDraw(20 + 8 * k));
  ASSERT_TRUE(pump(s.engine, [&] { return drawn(0) && s.peer().unsentBytes() == 0; }));
  for (int i = 0; i < 200; ++i) s.engine.update(-1);
  // The clock stands still: only the burst is painted.
  int done = 0;
  while (done < messages && drawn(done)) ++done;
  EXPECT_LE(done, 2);
  ASSERT_TRUE(testnet::pump({&s.engine}, [&] { return drawn(messages - 1); }, 10000, 5));
  for (int k = 0; k < messages; ++k) EXPECT_TRUE(drawn(k)) << k;

  // 12 x 255 lines at once: past the burst, lines are dropped.
  drainChat();
  for (int i = 0; i < 12; ++i) s.peer().sendMessage(0, terseChat());
  std::vector<StatusLine> seen;
  ASSERT_TRUE(testnet::pump({&s.engine}, [&] {
    for (const StatusLine& l : drainChat()) seen.push_back(l);
    return hasLine(seen, "KivClient", "Dropping excess CHAT from the host at 127.0.0.1");
  }, 10000, 5));
  // Distinct texts from the host: a few shown, the rest held back.
  for (int i = 0; i < 100; ++i) s.peer().sendMessage(0, text("Q" + std::to_string(100 + i)));
  ASSERT_TRUE(pump(s.engine, [&] { return s.peer().unsentBytes() == 0; }));
  testnet::advance({&s.engine}, 100);
  int shown = 0;
  for (const StatusLine& l : drainChat()) shown += l.text.find("unrecognized header") != std::string::npos;
  EXPECT_GT(shown, 0);
  EXPECT_LE(shown, static_cast<int>(PeerBudget::LOG_LINES_BURST));
  EXPECT_TRUE(s.client.getClientOK());

  // Twenty seconds of paint at once: the client waits for it from the
  // first tick, and once its waits (those above included) add up to 5 s
  // the session ends.
  const unsigned long long received = s.client.getBytesReceived();
  for (int k = 0; k < 450; ++k) s.peer().sendMessage(0, costlyDraw(100));
  ASSERT_TRUE(pump(s.engine, [&] { return s.client.getBytesReceived() > received; }));
  unsigned int elapsed = 0;
  ASSERT_TRUE(testnet::pump({&s.engine}, [&] {
    elapsed += 5;
    return !s.client.getClientOK();
  }, 10000, 5));
  EXPECT_LE(elapsed, PeerBudget::OVER_BUDGET_CLOSE_MS + 500);
  EXPECT_EQ("The host at 127.0.0.1 sent more than a session needs", s.client.getErrMsg());
  EXPECT_FALSE(s.client.lostConnection());
}

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "DDispatcher.h"
#include "DrawingProtocol.h"
#include "FatalTest.h"
#include "WorldMap.h"
#include "CanvasTestSupport.h"

using libkorvet::DBuffer;
using libkorvet::DDispatcher;

namespace {

void putInts(Bytes& out, std::initializer_list<int> values) {
  for (int v : values)
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<unsigned char>(static_cast<unsigned int>(v) >> shift));
}

// A 1600 x 1600 canvas with palette entries 5 and 6 to paint with.
struct Canvas {
  Canvas() {
    initAllegro();
    initAllegro(6, 1, 2, 3);
    map.create(1600, 1600, &engine);
    drainChat();
  }
  bool painted(int x, int y) { return getpixel(WorldMap::getMapBuffer(), x, y) != 0; }
  void receive(DrawingProtocol& protocol, const Bytes& body) {
    DBuffer b = bufferOf(body);
    protocol.parseDraw(b, &map);
  }
  TestSyncEngine engine;
  WorldMap map;
};

}  // namespace

TEST(DrawingProtocol, JoinedSegmentsAndContinuationForms) {
  KivSettings::setBrushSize(1);
  KivSettings::setFillType(5);
  DrawingProtocol protocol;
  protocol.addCoordinates(10, 20, 30, 40);
  protocol.addCoordinates(30, 40, 50, 60);
  DBuffer message;
  ASSERT_TRUE(protocol.prepareClientMessage(message));  // flush period 0: every tick
  Bytes expected = {'D', 'R', 'A', 'W', 0, 1, 5, 0, 2};
  putInts(expected, {10, 20, 30, 40, -50, -60});
  EXPECT_EQ(bytesOf(message), expected);

  KivSettings::setBrushSize(0);
  protocol.addCoordinates(10, 20, 30, 40);
  protocol.addCoordinates(30, 40, 0, 0);        // ends at the origin: full form
  protocol.addCoordinates(0, 0, 0, 7);          // continuation (0, -7)
  protocol.addCoordinates(100, 100, 110, 110);  // new start point: full form
  KivSettings::setFillType(6);
  protocol.addCoordinates(110, 110, 120, 120);  // new colour: new block
  DBuffer payload;
  protocol.generateDrawingProtocol(payload);
  expected = {0, 5, 0, 4};
  putInts(expected, {10, 20, 30, 40, 30, 40, 0, 0, 0, -7, 100, 100, 110, 110});
  expected.insert(expected.end(), {0, 6, 0, 1});
  putInts(expected, {110, 110, 120, 120});
  EXPECT_EQ(bytesOf(payload), expected);

  Canvas canvas;
  expected.insert(expected.begin(), 0);
  canvas.receive(protocol, expected);
  EXPECT_TRUE(drainChat().empty());
  EXPECT_TRUE(canvas.painted(0, 7));
  EXPECT_TRUE(canvas.painted(105, 105));
  EXPECT_EQ(getpixel(WorldMap::getMapBuffer(), 120, 120), makecol(4, 8, 12));
  EXPECT_FALSE(canvas.painted(50, 50));
}

TEST(DrawingProtocol, QueueKeepsTheNewest30AndNegativesAreFatal) {
  DrawingProtocol protocol;
  for (int i = 0; i < 30; ++i) protocol.addCoordinates(i, 0, i, 1);
  testing::internal::CaptureStdout();
  protocol.addCoordinates(30, 0, 30, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Dropping coordinate!\n");
  DBuffer payload;
  protocol.generateDrawingProtocol(payload);
  int firstX = -1;
  payload.extractVariable<int>(4, firstX);
  EXPECT_EQ(firstX, 1);  // segment 0 went
  EXPECT_FATAL(protocol.addCoordinates(0, -1, 5, 5),
               "DrawingProtocol::addCoordinates\\(\\): got a negative value");
}

TEST(DrawingProtocol, SendCadenceCompressionAndHostLimit) {
  ASSERT_TRUE(KivSettings::setFlushFrequency("10"));
  KivSettings::setBrushSize(2);
  KivSettings::setFillType(5);
  DrawingProtocol protocol;
  EXPECT_EQ(protocol.getSendLimit(), 200);
  for (int i = 0; i < 30; ++i) protocol.addCoordinates(100, 100, 200, 200);
  (void)&DrawingProtocol::runServer<DDispatcher>;  // what the session objects pass
  Recorder a, b;
  std::set<Recorder*> clients = {&a, &b};
  protocol.runServer(clients);
  protocol.runServer(clients);
  EXPECT_TRUE(a.bodies.empty());
  protocol.runServer(clients);  // every 3rd tick at 10 updates per second
  ASSERT_EQ(a.bodies.size(), 1u);
  EXPECT_EQ(b.bodies, a.bodies);
  EXPECT_EQ(a.bodies[0][4], 1);  // zlib was shorter, and within 200 bytes

  Canvas canvas;
  canvas.receive(protocol, Bytes(a.bodies[0].begin() + 4, a.bodies[0].end()));
  EXPECT_TRUE(drainChat().empty());
  EXPECT_TRUE(canvas.painted(150, 150));

  // Above 1000 updates per second the host may send 2 bytes; clients still send.
  ASSERT_TRUE(KivSettings::setFlushFrequency("2000"));
  DrawingProtocol fast;
  fast.addCoordinates(1, 1, 2, 2);
  fast.runServer(clients);
  EXPECT_EQ(a.bodies.size(), 1u);
  expectStatus("DrawingProtocol", "Didn't send, bandwidth limit reached");
  fast.addCoordinates(1, 1, 2, 2);
  Recorder host;
  fast.runClient(&host);
  EXPECT_EQ(host.bodies.size(), 1u);
}

TEST(DrawingProtocol, EveryRejectionHasItsText) {
  Canvas canvas;
  DrawingProtocol protocol;
  auto block = [](Bytes head, std::initializer_list<int> ints) {
    head.insert(head.begin(), 0);
    putInts(head, ints);
    return head;
  };
  std::vector<std::pair<Bytes, std::string>> cases = {
      {{}, "parseDraw() got a msg containing 0 bytes"},
      {{0}, "parseDraw() got a msg containing 1 bytes"},
      {{2, 0, 0}, "parseDraw() got invalid compression byte"},
      {{1, 9, 9, 9}, "inflate(): Input data corrupted"},
      {{0, 0, 5, 0}, "extractDrawing got a msg that's too short"},
      {block({4, 5, 0, 1}, {1, 1, 2, 2}), "extractDrawing got invalid brush size"},
      {block({0, 101, 0, 1}, {1, 1, 2, 2}), "extractDrawing got invalid fill type"},
      {block({0, 5, 8, 1}, {1, 1, 2, 2}), "extractDrawing got invalid korvet index"},
      {block({0, 5, 0, 0}, {1, 1, 2, 2}), "extractDrawing got zero numLines"},
      {block({0, 5, 0, 1}, {10, 10}), "extractDrawing got no second coordinate"},
      {block({0, 5, 0, 1}, {5, -7}), "extractDrawing got one + and one - coord"},
      {block({0, 5, 0, 1}, {-5, -7}), "parseDraw's 1st coordinate was -"},
      {block({0, 5, 0, 3}, {10, 10, 20, 20, -300, -300}), "parseDraw got a msg that's missing lines"},
      {block({3, 5, 0, 2}, {1590, 900, 1590, 900, INT32_MIN, -900}), "extractDrawing got a coordinate out of range"},
  };
  for (const auto& c : cases) {
    canvas.receive(protocol, c.first);
    bool zero = c.second.find("zero") != std::string::npos;
    expectStatus(zero ? "UDPReceiver" : "DrawingProtocol", c.second);
  }
  EXPECT_TRUE(canvas.painted(250, 250));  // the 2 lines before the missing 3rd stay
  EXPECT_FALSE(canvas.painted(1599, 902));  // nothing of a line to beyond 32 bits
}

TEST(DrawingProtocol, HostileBodiesAreBounded) {
  Canvas canvas;
  DrawingProtocol protocol;
  // Two blocks of 40 joined lines along y = 0: only 64 lines are painted.
  Bytes raw = {0};
  for (int blockNo = 0, x = 0; blockNo < 2; ++blockNo) {
    raw.insert(raw.end(), {0, 5, 0, 40});
    putInts(raw, {x, 0, x + 1, 0});
    ++x;
    for (int k = 1; k < 40; ++k) putInts(raw, {-(++x), 0});
  }
  canvas.receive(protocol, raw);
  expectStatus("DrawingProtocol", "parseDraw() got more than 64 lines in one message");
  EXPECT_TRUE(canvas.painted(64, 0));
  EXPECT_FALSE(canvas.painted(65, 0));

  // A small stream inflating to megabytes of valid blocks is refused unpainted.
  Bytes oneBlock = {3, 5, 0, 1};
  putInts(oneBlock, {800, 800, 900, 900});
  DBuffer bomb;
  for (int i = 0; i < 100000; ++i) bomb.appendArray(oneBlock.data(), static_cast<long>(oneBlock.size()));
  DBuffer packed = bomb.compress(9);
  ASSERT_LT(packed.size(), 65530u);
  packed.insertByte(1);
  protocol.parseDraw(packed, &canvas.map);
  expectStatus("DrawingProtocol", "inflate(): Decompressed data exceeds 4096 bytes.");
  EXPECT_FALSE(canvas.painted(850, 850));

  // Random and mutated bodies: no crash, no write outside (sanitizer builds).
  std::mt19937 random(1234);
  Bytes valid = {0, 3, 7, 0, 2};
  putInts(valid, {1500, 1500, 1599, 1599, -2000000000, -5});
  for (int i = 0; i < 3000; ++i) {
    Bytes b = valid;
    if (i % 2) b.resize(random() % 80);
    for (unsigned char& c : b)
      if (i % 2 || random() % 8 == 0) c = static_cast<unsigned char>(random());
    if (!b.empty()) b[0] = static_cast<unsigned char>(random() % 3);
    canvas.receive(protocol, b);
  }
  drainChat();
}

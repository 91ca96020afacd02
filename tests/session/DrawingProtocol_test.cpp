#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "DServer.h"
#include "DrawingProtocol.h"
#include "FatalTest.h"
#include "WorldMap.h"
#include "CanvasTestSupport.h"

using libkorvet::DBuffer;
using libkorvet::DDispatcher;
using libkorvet::DEngine;
typedef std::vector<unsigned char> Bytes;

namespace {

Bytes bytesOf(const DBuffer& b) {
  Bytes out;
  for (unsigned int i = 0; i < b.size(); ++i) out.push_back(b.getByte(i));
  return out;
}

DBuffer bufferOf(const Bytes& bytes) {
  DBuffer b;
  for (unsigned char c : bytes) b.appendByte(c);
  return b;
}

void putInt(Bytes& out, int v) {
  unsigned int u = static_cast<unsigned int>(v);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(u >> shift));
}

struct Recorder {
  void sendMessage(unsigned char type, const DBuffer& body) {
    types.push_back(type);
    bodies.push_back(bytesOf(body));
  }
  std::vector<unsigned char> types;
  std::vector<Bytes> bodies;
};

// Accepts one connection and collects its type-0 bodies.
class Listener : public libkorvet::DServer {
 public:
  explicit Listener(DEngine* e) : DServer(e), engine(e) {}
  void connectHandler(Socket* socket) override {
    accepted.reset(new DDispatcher(engine, socket));
    accepted->addHandler(0, [this](DBuffer& body) { bodies.push_back(body); });
  }
  void errorHandler(std::string) override {}
  DEngine* engine;
  std::unique_ptr<DDispatcher> accepted;
  std::vector<DBuffer> bodies;
};

template <class Done>
bool runUntil(DEngine& engine, Done done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    engine.update(100);
  }
  return true;
}

// A canvas with palette entries 5 and 6 that the tests paint with.
struct Canvas {
  Canvas() {
    initAllegro();
    setPaletteEntry(5, 10, 20, 30);
    setPaletteEntry(6, 1, 2, 3);
    map.create(1600, 1600, &engine);
    drainChat();
  }
  bool painted(int x, int y) { return getpixel(WorldMap::getMapBuffer(), x, y) != makecol(0, 0, 0); }
  TestSyncEngine engine;
  WorldMap map;
};

}  // namespace

TEST(DrawingProtocol, TwoJoinedSegmentsMakeOneBlock) {
  KivSettings::setBrushSize(1);
  KivSettings::setFillType(5);
  DrawingProtocol protocol;
  protocol.addCoordinates(10, 20, 30, 40);
  protocol.addCoordinates(30, 40, 50, 60);
  DBuffer message;
  ASSERT_TRUE(protocol.prepareClientMessage(message));  // flush period 0: every tick

  Bytes expected = {'D', 'R', 'A', 'W', 0, 1, 5, 0, 2};
  for (int v : {10, 20, 30, 40, -50, -60}) putInt(expected, v);
  EXPECT_EQ(bytesOf(message), expected);
  EXPECT_EQ(expected.size(), 5u + 28u);
  EXPECT_EQ(protocol.getNumPending(), 0u);
  EXPECT_FALSE(protocol.prepareClientMessage(message));  // nothing queued, nothing sent
}

TEST(DrawingProtocol, ContinuationFormsBlocksAndRoundTrip) {
  Canvas canvas;
  KivSettings::setBrushSize(0);
  KivSettings::setFillType(5);
  DrawingProtocol protocol;
  protocol.addCoordinates(10, 20, 30, 40);
  protocol.addCoordinates(30, 40, 0, 0);      // ends at the origin: full form
  protocol.addCoordinates(0, 0, 0, 7);        // continuation (0, -7)
  protocol.addCoordinates(100, 100, 110, 110);  // new start point: full form
  KivSettings::setFillType(6);
  protocol.addCoordinates(110, 110, 120, 120);  // new colour: new block
  DBuffer payload;
  protocol.generateDrawingProtocol(payload);

  Bytes expected = {0, 5, 0, 4};
  for (int v : {10, 20, 30, 40, 30, 40, 0, 0, 0, -7, 100, 100, 110, 110}) putInt(expected, v);
  for (int v : {0, 6, 0, 1}) expected.push_back(static_cast<unsigned char>(v));
  for (int v : {110, 110, 120, 120}) putInt(expected, v);
  EXPECT_EQ(bytesOf(payload), expected);

  Bytes body = {0};
  body.insert(body.end(), expected.begin(), expected.end());
  DBuffer received = bufferOf(body);
  protocol.parseDraw(received, &canvas.map);
  EXPECT_TRUE(drainChat().empty());
  EXPECT_TRUE(canvas.painted(0, 7));
  EXPECT_TRUE(canvas.painted(105, 105));
  EXPECT_EQ(getpixel(WorldMap::getMapBuffer(), 120, 120), makecol(4, 8, 12));
  EXPECT_FALSE(canvas.painted(50, 50));
}

TEST(DrawingProtocol, QueueKeepsTheNewest30AndNegativesAreFatal) {
  KivSettings::setBrushSize(0);
  KivSettings::setFillType(5);
  DrawingProtocol protocol;
  for (int i = 0; i < 30; ++i) protocol.addCoordinates(i, 0, i, 1);
  testing::internal::CaptureStdout();
  protocol.addCoordinates(30, 0, 30, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Dropping coordinate!\n");
  EXPECT_EQ(protocol.getNumPending(), 30u);
  DBuffer payload;
  protocol.generateDrawingProtocol(payload);
  int firstX = -1;
  payload.extractVariable<int>(4, firstX);
  EXPECT_EQ(firstX, 1);  // segment 0 was dropped

  EXPECT_FATAL(protocol.addCoordinates(0, -1, 5, 5),
               "DrawingProtocol::addCoordinates\\(\\): got a negative value");
}

TEST(DrawingProtocol, SendCadenceCompressionAndHostLimit) {
  ASSERT_TRUE(KivSettings::setFlushFrequency("10"));
  KivSettings::setBrushSize(2);
  KivSettings::setFillType(5);
  DrawingProtocol protocol;
  EXPECT_EQ(protocol.getUpdatesPerSecond(), 10);
  EXPECT_EQ(protocol.getSendLimit(), 200);
  // Thirty identical disjoint segments: zlib wins, and the host stays in budget.
  for (int i = 0; i < 30; ++i) protocol.addCoordinates(100, 100, 200, 200);
  Recorder a, b;
  std::set<Recorder*> clients = {&a, &b};
  protocol.runServer(clients);
  protocol.runServer(clients);
  EXPECT_TRUE(a.bodies.empty());
  protocol.runServer(clients);  // the 3rd tick sends
  ASSERT_EQ(a.bodies.size(), 1u);
  EXPECT_EQ(b.bodies, a.bodies);
  EXPECT_EQ(a.types[0], 0);
  EXPECT_EQ(a.bodies[0][4], 1);
  EXPECT_LT(a.bodies[0].size(), 5u + 4 + 30 * 16);

  Canvas canvas;
  DBuffer body = bufferOf(Bytes(a.bodies[0].begin() + 4, a.bodies[0].end()));
  protocol.parseDraw(body, &canvas.map);
  EXPECT_TRUE(drainChat().empty());
  EXPECT_TRUE(canvas.painted(150, 150));

  // Above 1000 updates per second the host may send 2 bytes: every host send
  // is refused, while a client still sends.
  ASSERT_TRUE(KivSettings::setFlushFrequency("2000"));
  DrawingProtocol fast;
  fast.addCoordinates(1, 1, 2, 2);
  fast.runServer(clients);
  EXPECT_EQ(a.bodies.size(), 1u);
  std::vector<StatusLine> lines = drainChat();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "Didn't send, bandwidth limit reached");
  EXPECT_EQ(lines[0].owner, "DrawingProtocol");
  EXPECT_EQ(lines[0].color, 80);
  fast.addCoordinates(1, 1, 2, 2);
  Recorder host;
  fast.runClient(&host);
  EXPECT_EQ(host.bodies.size(), 1u);
}

TEST(DrawingProtocol, EveryRejectionHasItsText) {
  Canvas canvas;
  DrawingProtocol protocol;
  Bytes line = {};
  for (int v : {10, 10, 20, 20}) putInt(line, v);
  Bytes plusMinus, firstNegative, oneLineOnly, threeForTwo;
  putInt(plusMinus, 5);
  putInt(plusMinus, -7);
  putInt(firstNegative, -5);
  putInt(firstNegative, -7);
  putInt(oneLineOnly, 10);
  putInt(oneLineOnly, 10);
  putInt(threeForTwo, -300);
  putInt(threeForTwo, -300);

  struct Case {
    Bytes body;
    const char* owner;
    std::string text;
  };
  auto block = [](Bytes head, const Bytes& rest) {
    Bytes b = {0};
    b.insert(b.end(), head.begin(), head.end());
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
  };
  Bytes twoLines = line;
  twoLines.insert(twoLines.end(), threeForTwo.begin(), threeForTwo.end());
  std::vector<Case> cases = {
      {{}, "DrawingProtocol", "parseDraw() got a msg containing 0 bytes"},
      {{0}, "DrawingProtocol", "parseDraw() got a msg containing 1 bytes"},
      {{2, 0, 0}, "DrawingProtocol", "parseDraw() got invalid compression byte"},
      {{1, 9, 9, 9}, "DrawingProtocol", "inflate(): Input data corrupted"},
      {block({0, 5, 0}, {}), "DrawingProtocol", "extractDrawing got a msg that's too short"},
      {block({4, 5, 0, 1}, line), "DrawingProtocol", "extractDrawing got invalid brush size"},
      {block({0, 101, 0, 1}, line), "DrawingProtocol", "extractDrawing got invalid fill type"},
      {block({0, 5, 8, 1}, line), "DrawingProtocol", "extractDrawing got invalid korvet index"},
      {block({0, 5, 0, 0}, line), "UDPReceiver", "extractDrawing got zero numLines"},
      {block({0, 5, 0, 1}, oneLineOnly), "DrawingProtocol", "extractDrawing got no second coordinate"},
      {block({0, 5, 0, 1}, plusMinus), "DrawingProtocol", "extractDrawing got one + and one - coord"},
      {block({0, 5, 0, 1}, firstNegative), "DrawingProtocol", "parseDraw's 1st coordinate was -"},
      {block({0, 5, 0, 3}, twoLines), "DrawingProtocol", "parseDraw got a msg that's missing lines"},
  };
  for (const Case& c : cases) {
    DBuffer body = bufferOf(c.body);
    protocol.parseDraw(body, &canvas.map);
    std::vector<StatusLine> lines = drainChat();
    ASSERT_EQ(lines.size(), 1u) << c.text;
    EXPECT_EQ(lines[0].owner, c.owner);
    EXPECT_EQ(lines[0].text.substr(0, c.text.size()), c.text);
    EXPECT_EQ(lines[0].color, 80);
  }
  // The two lines before the missing third stay painted.
  EXPECT_TRUE(canvas.painted(15, 15));
  EXPECT_TRUE(canvas.painted(250, 250));
}

TEST(DrawingProtocol, HostileBodiesAreBounded) {
  Canvas canvas;
  DrawingProtocol protocol;

  // Two full blocks of joined lines along y = 0: only the first 256 lines
  // of a message are painted.
  Bytes raw = {0};
  int x = 0;
  for (int blockNo = 0; blockNo < 2; ++blockNo) {
    raw.insert(raw.end(), {0, 5, 0, 254});
    putInt(raw, x);
    putInt(raw, 0);
    putInt(raw, ++x);
    putInt(raw, 0);
    for (int k = 1; k < 254; ++k) {
      putInt(raw, -(++x));
      putInt(raw, 0);
    }
  }
  DBuffer body = bufferOf(raw);
  protocol.parseDraw(body, &canvas.map);
  std::vector<StatusLine> lines = drainChat();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "parseDraw() got more than 256 lines in one message");
  EXPECT_TRUE(canvas.painted(256, 0));
  EXPECT_FALSE(canvas.painted(258, 0));

  // A small zlib stream that inflates to megabytes of valid blocks is refused
  // before anything is painted.
  DBuffer bomb;
  Bytes oneBlock = {3, 5, 0, 1};
  for (int v : {800, 800, 900, 900}) putInt(oneBlock, v);
  for (int i = 0; i < 100000; ++i) bomb.appendArray(oneBlock.data(), static_cast<long>(oneBlock.size()));
  DBuffer packed = bomb.compress(9);
  ASSERT_LT(packed.size(), 65530u);
  packed.insertByte(1);
  protocol.parseDraw(packed, &canvas.map);
  lines = drainChat();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "inflate(): Decompressed data exceeds 8192 bytes.");
  EXPECT_FALSE(canvas.painted(850, 850));

  // Random bodies and mutated valid ones: no crash, nothing outside the canvas
  // (sanitizer builds check the memory side).
  std::mt19937 random(1234);
  Bytes valid = {0, 3, 7, 0, 2};
  for (int v : {1500, 1500, 1599, 1599, -2000000000, -5}) putInt(valid, v);
  for (int i = 0; i < 3000; ++i) {
    Bytes b = valid;
    if (i % 2) b.resize(random() % 80);
    for (unsigned char& c : b)
      if (i % 2 || random() % 8 == 0) c = static_cast<unsigned char>(random());
    if (!b.empty()) b[0] = static_cast<unsigned char>(random() % 3);
    DBuffer fuzz = bufferOf(b);
    protocol.parseDraw(fuzz, &canvas.map);
  }
  drainChat();
}

TEST(DrawingProtocol, StrokesCrossARealConnectionBothWays) {
  Canvas canvas;
  KivSettings::setBrushSize(1);
  KivSettings::setFillType(5);
  DEngine engine;
  Listener listener(&engine);
  ASSERT_TRUE(listener.bind(4, 0));
  ASSERT_TRUE(listener.startListening());
  DDispatcher client(&engine);
  std::vector<DBuffer> toClient;
  client.addHandler(0, [&toClient](DBuffer& body) { toClient.push_back(body); });
  client.startConnect("127.0.0.1", listener.getLocalPort());
  ASSERT_TRUE(runUntil(engine, [&] { return client.isConnected() && listener.accepted; }));

  // Client to host: painted on the host's canvas.
  DrawingProtocol clientSide;
  clientSide.addCoordinates(300, 300, 340, 300);
  clientSide.runClient(&client);
  ASSERT_TRUE(runUntil(engine, [&] { return !listener.bodies.empty(); }));
  DBuffer body = listener.bodies[0];
  ASSERT_EQ(body.toString().substr(0, 4), "DRAW");
  body.removeFirst(4);
  clientSide.parseDraw(body, &canvas.map);
  EXPECT_TRUE(drainChat().empty());
  EXPECT_TRUE(canvas.painted(320, 301));

  // Host to its clients: 30 updates per second send every tick, 66 bytes each.
  ASSERT_TRUE(KivSettings::setFlushFrequency("30"));
  DrawingProtocol roomy;
  roomy.addCoordinates(1, 1, 2, 2);
  roomy.runServer(std::set<DDispatcher*>{listener.accepted.get()});
  ASSERT_TRUE(runUntil(engine, [&] { return !toClient.empty(); }));
  DBuffer relayed = toClient[0];
  ASSERT_EQ(relayed.toString().substr(0, 4), "DRAW");
  relayed.removeFirst(4);
  EXPECT_FALSE(canvas.painted(2, 2));
  roomy.parseDraw(relayed, &canvas.map);
  EXPECT_TRUE(drainChat().empty());
  EXPECT_TRUE(canvas.painted(2, 2));
  ASSERT_TRUE(KivSettings::setFlushFrequency("2000"));
}

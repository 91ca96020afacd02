#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "FatalTest.h"
#include "CanvasReductions.h"
#include "WorldMap.h"
#include "CanvasTestSupport.h"

namespace {

int changeCalls = 0;
void countingCallback(unsigned int index, unsigned char value) {
  ++changeCalls;
  WorldMap::getMapChange(index, value);
}

int pixelAt(int x, int y) { return getpixel(WorldMap::getMapBuffer(), x, y); }
const int WHITE = 252 << 16 | 252 << 8 | 252;

}  // namespace

TEST(WorldMap, CreateChecksSizeAndPrintsLayout) {
  initAllegro(7, 10, 20, 30);
  TestSyncEngine engine;
  WorldMap map;
  EXPECT_FALSE(map.create(1599, 2000, &engine));
  EXPECT_EQ(map.getErrMsg(), "Map size too small");
  EXPECT_FALSE(map.create(1600, 10001, &engine));
  EXPECT_EQ(map.getErrMsg(), "Map size too large");

  testing::internal::CaptureStdout();
  ASSERT_TRUE(map.create(1600, 1600, &engine));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("KIV_SEGMENT_SIZE: 30000\nsegmentWidth: 100\n"), 0u);
  EXPECT_NE(out.find("numXSegments: 16\nnumYSegments: 16\ntotalSegments: 256\n"), std::string::npos);
  EXPECT_EQ(engine.map.getSize(), 256u * 30000u);
  EXPECT_EQ(pixelAt(1599, 1599), 0);  // black, like the all-zero planes
}

TEST(WorldMap, PixelLandsAtItsSyncIndexAndInTheBitmap) {
  initAllegro(7, 10, 20, 30);
  TestSyncEngine engine;
  WorldMap map;
  ASSERT_TRUE(map.create(1600, 1600, &engine));
  engine.map.changeCallback = &countingCallback;
  changeCalls = 0;

  map.drawRect(150, 230, 150, 230, 7);
  // Block 1 + 2 * 16 = 33, local index 50 + 30 * 100 = 3050.
  EXPECT_EQ(engine.map.getByte(993050), 40);
  EXPECT_EQ(engine.map.getByte(1003050), 80);
  EXPECT_EQ(engine.map.getByte(1013050), 120);
  EXPECT_EQ(engine.map.getByte(993051), 0);
  EXPECT_EQ(pixelAt(150, 230), makecol(40, 80, 120));
  EXPECT_EQ(changeCalls, 3);
  map.drawRect(150, 230, 150, 230, 7);  // same colour: no byte changes
  map.drawRect(0, 0, 5, 5, 256);        // outside the palette: ignored
  map.drawRect(0, 0, 5, 5, -1);
  EXPECT_EQ(changeCalls, 3);

  BITMAP* dest = create_bitmap(320, 240);
  map.display(dest, 100, 200);
  EXPECT_EQ(getpixel(dest, 50, 30), makecol(40, 80, 120));
  EXPECT_EQ(getpixel(dest, 51, 30), 0);
  map.reset();
  map.display(dest, 0, 0);
  EXPECT_EQ(getpixel(dest, 10, 10), makecol(0, 32, 16));
  destroy_bitmap(dest);
}

TEST(WorldMap, LineSeriesSpacingAndPointLimits) {
  WorldMap map;
  std::vector<long> xs, ys;
  map.getLineSeries(0, 0, 10, 0, 3, xs, ys, 480);
  EXPECT_EQ(xs, (std::vector<long>{0, 3, 5, 8, 10}));
  EXPECT_EQ(ys, (std::vector<long>{0, 0, 0, 0, 0}));
  map.getLineSeries(10, 0, 0, 0, 3, xs, ys, 480);  // halves round away from zero
  EXPECT_EQ(xs, (std::vector<long>{10, 8, 5, 3, 0}));
  map.getLineSeries(5, 5, 5, 5, 1, xs, ys, 480);
  EXPECT_EQ(ys, (std::vector<long>{5, 5, 5}));

  map.getLineSeries(0, 0, 1000, 0, 3, xs, ys, WorldMap::calcDrawingLimit(3));
  EXPECT_EQ(xs.size(), 70u);
  // The widest coordinates a message can carry neither overflow nor loop long.
  map.getLineSeries(0, 0, INT_MAX, INT_MAX, 1, xs, ys, WorldMap::calcDrawingLimit(0));
  EXPECT_EQ(xs.size(), 482u);
  EXPECT_EQ(xs.back(), INT_MAX);

  EXPECT_FATAL(map.getLineSeries(0, 0, 1, 1, 0, xs, ys, 480),
               "WorldMap::getLineSeries\\(\\): invalid point distance");
}

TEST(WorldMap, NothingIsPaintedOutsideTheCanvas) {
  initAllegro(9, 63, 63, 63);
  WorldMap map;
  map.applyLineDrawing(0, 0, 10, 10, 3, 9);  // no map yet: ignored

  TestSyncEngine engine;
  ASSERT_TRUE(map.create(1650, 1600, &engine));
  EXPECT_EQ(map.getTotalSegments(), 17 * 16);
  map.drawRect(-5, -5, 2, 2, 9);
  EXPECT_EQ(pixelAt(2, 2), WHITE);
  EXPECT_EQ(pixelAt(3, 3), 0);

  // Past the right and bottom edges: the last column and row only.
  map.drawRect(1700, 1700, 5000, 5000, 9);
  EXPECT_EQ(pixelAt(1649, 1599), WHITE);
  EXPECT_EQ(pixelAt(1648, 1599), 0);
  unsigned int edge = (16 + 15 * 17) * 30000u;  // block of (1600..1699, 1500..1599)
  EXPECT_EQ(engine.map.getByte(edge + 99 * 100 + 49), 252);  // (1649, 1599)
  EXPECT_EQ(engine.map.getByte(edge + 99 * 100 + 50), 0);    // (1650, 1599): off canvas
  map.applyLineDrawing(INT_MAX, 0, 0, INT_MAX, 3, 9);
  EXPECT_EQ(pixelAt(1649, 0), WHITE);

  // Bytes with no pixel (off-canvas columns, sync padding) leave the bitmap alone.
  WorldMap::getMapChange(edge + 99 * 100 + 60, 7);
  WorldMap::getMapChange(272u * 30000u + 5u, 7);
  WorldMap::getMapChange(0xFFFFFFFFu, 7);
  EXPECT_EQ(pixelAt(1649, 1599), WHITE);
  map.reset();
  WorldMap::getMapChange(0, 17);  // a late change after the session ended
}

TEST(WorldMap, ASecondCanvasLeavesTheFirstPaintingItsOwnPlanes) {
  initAllegro(9, 63, 63, 63);
  TestSyncEngine hostEngine, clientEngine;
  WorldMap host;
  ASSERT_TRUE(host.create(1600, 1600, &hostEngine));
  { WorldMap bystander; }  // constructing and destroying another changes nothing
  EXPECT_NE(WorldMap::getMapBuffer(), nullptr);
  WorldMap client;
  ASSERT_TRUE(client.create(2000, 1600, &clientEngine));
  host.drawRect(1599, 1599, 5000, 5000, 9);
  EXPECT_EQ(hostEngine.map.getByte(255 * 30000 + 9999), 252);  // host's last pixel
  EXPECT_EQ(host.getPixelWidth(), 1600);
}

namespace {

struct Canvas {
  Bytes bytes;
  std::vector<bool> flushes;
  std::vector<int> pixels;
};

Canvas snapshotOf(TestSyncEngine& engine, const WorldMap& map) {
  Canvas c;
  for (unsigned int i = 0; i < engine.map.getSize(); ++i) c.bytes.push_back(engine.map.getByte(i));
  for (unsigned int k = 0; k < engine.map.getTotalSpecks(); ++k) c.flushes.push_back(engine.map.isFlushPending(k));
  for (int y = 0; y < map.getPixelHeight(); ++y)
    for (int x = 0; x < map.getPixelWidth(); ++x) c.pixels.push_back(pixelAt(x, y));
  return c;
}

}  // namespace

// The checkerboard in whole blocks equals its squares drawn one by one, over
// earlier paint and into the edge blocks: bytes, flush marks and mirror. A
// repaired block reaches the mirror in runs too.
TEST(WorldMap, CheckerboardAndRepairsInBlocksMatchPixelByPixel) {
  initAllegro(7, 10, 20, 30);
  RGB white = {63, 63, 63, 0};
  set_color(9, &white);
  const int w = 1650, h = 1620;
  auto paintEarlier = [](WorldMap& map) {
    map.drawRect(0, 0, 40, 7, 9);
    map.drawRect(1600, 1590, 1700, 1700, 9);
    map.drawRect(333, 444, 350, 470, 7);  // already the squares' colour in places
  };
  Canvas squares;
  {
    TestSyncEngine engine;
    WorldMap map;
    ASSERT_TRUE(map.create(w, h, &engine));
    paintEarlier(map);
    for (long y0 = 0; y0 < h; y0 += 7)
      for (long x0 = (y0 / 7) % 2 ? 7 : 0; x0 < w; x0 += 14) map.drawRect(x0, y0, x0 + 6, y0 + 6, 7);
    squares = snapshotOf(engine, map);
  }
  TestSyncEngine engine;
  WorldMap map;
  WorldMap::keepReductions(true);
  ASSERT_TRUE(map.create(w, h, &engine));
  WorldMap::keepReductions(false);
  paintEarlier(map);
  map.paintCheckerboard(7, 7);
  Canvas blocks = snapshotOf(engine, map);
  EXPECT_TRUE(blocks.bytes == squares.bytes);
  EXPECT_TRUE(blocks.flushes == squares.flushes);
  EXPECT_TRUE(blocks.pixels == squares.pixels);
  for (unsigned short s = 0; s < engine.map.getNumSegments(); ++s)
    ASSERT_EQ(engine.map.getCRC(s), libkorvet::DBuffer::crc32Update(0, engine.map.segmentData(s), 30000)) << s;

  // A repair of the bottom right block, which reaches past the canvas.
  Bytes repair(30000);
  for (unsigned int i = 0; i < repair.size(); ++i) repair[i] = static_cast<unsigned char>(i * 7 % 253);
  const unsigned short last = static_cast<unsigned short>(map.getTotalSegments() - 1);
  CanvasReductions* reductions = WorldMap::getReductions();
  ASSERT_NE(reductions, nullptr);
  while (reductions->update() > 0) {
  }
  engine.map.insertInfo(last, repair.data());
  EXPECT_EQ(reductions->pendingTiles(), 1u) << "the reduced copies hear of the repaired area";
  for (int y = 1600; y < h; ++y)
    for (int x = 1600; x < w; ++x) {
      unsigned int k = (y - 1600) * 100 + (x - 1600);
      ASSERT_EQ(pixelAt(x, y), makecol(repair[k], repair[k + 10000], repair[k + 20000])) << x << "," << y;
    }
}

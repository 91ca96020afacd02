#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "CanvasReductions.h"
#include "WorldMap.h"
#include "CanvasTestSupport.h"

namespace {

std::vector<unsigned char> bytesOf(BITMAP* b) {
  std::vector<unsigned char> out;
  for (int y = 0; y < b->h; ++y) out.insert(out.end(), b->line[y], b->line[y] + b->w * 3);
  return out;
}

struct ReducedCanvas : ::testing::Test {
  void SetUp() override {
    initAllegro();
    for (int i = 1; i <= 9; ++i) {
      RGB entry = {static_cast<unsigned char>(7 * i), static_cast<unsigned char>(63 - 5 * i),
                   static_cast<unsigned char>(i * i % 64), 0};
      set_color(i, &entry);
    }
    WorldMap::keepReductions(true);
    testing::internal::CaptureStdout();
    // An odd height, and widths that turn odd: copies with a last column
    // or row of their own.
    created = map.create(1650, 1701, &engine);
    testing::internal::GetCapturedStdout();
  }
  void TearDown() override {
    map.reset();
    WorldMap::keepReductions(false);
  }
  TestSyncEngine engine;
  WorldMap map;
  bool created = false;
};

TEST_F(ReducedCanvas, CopiesFollowStrokesAndRowsAsAFreshReductionWould) {
  ASSERT_TRUE(created);
  CanvasReductions* r = WorldMap::getReductions();
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(r->levels(), 3);  // 825 x 851, 413 x 426, 207 x 213
  EXPECT_EQ(r->level(3)->w, 207);
  EXPECT_EQ(r->level(3)->h, 213);
  // The copies take at most a third of the mirror's bytes.
  EXPECT_LE(r->memoryBytes() * 3, 1650u * 1701u * 3u);

  std::mt19937 random(21);
  auto coord = [&](int size) { return static_cast<long>(random() % (size + 200)) - 100; };
  std::vector<unsigned char> row(1650 * 3);
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 150; ++i)
      map.applyLineDrawing(coord(1650), coord(1701), coord(1650), coord(1701),
                           static_cast<unsigned char>(random() % 4), static_cast<unsigned char>(1 + random() % 9));
    for (unsigned char& b : row) b = static_cast<unsigned char>(random());
    map.writeRow(static_cast<int>(random() % 1701), row.data());
    map.writeRow(1700, row.data());
    // A few updates' worth at a time, as ticks bring them.
    int ticks = 0;
    while (r->update(40) > 0) ++ticks;
    EXPECT_GT(ticks, 0);
  }
  std::vector<std::vector<unsigned char>> kept;
  for (int k = 1; k <= r->levels(); ++k) kept.push_back(bytesOf(r->level(k)));
  r->rebuild();
  for (int k = 1; k <= r->levels(); ++k) EXPECT_TRUE(kept[k - 1] == bytesOf(r->level(k))) << "copy 1:" << (1 << k);

  // A copy's pixel is the rounded average of the four beneath it, byte by
  // byte, and the last odd column averages the one column there is.
  BITMAP* m = WorldMap::getMapBuffer();
  putpixel(m, 0, 0, makecol(0, 10, 255));
  putpixel(m, 1, 0, makecol(1, 10, 255));
  putpixel(m, 0, 1, makecol(1, 11, 255));
  putpixel(m, 1, 1, makecol(1, 11, 0));
  putpixel(m, 0, 1700, makecol(100, 0, 0));
  putpixel(m, 1, 1700, makecol(201, 0, 0));
  r->markPixel(0, 0);
  r->markArea(0, 1700, 2, 1701);
  r->update();
  EXPECT_EQ(getpixel(r->level(1), 0, 0), makecol(1, 11, 191));
  EXPECT_EQ(getpixel(r->level(1), 0, 850), makecol(151, 0, 0));
}

TEST_F(ReducedCanvas, DrawingAtAScaleShowsTheTransformsCanvasPoints) {
  ASSERT_TRUE(created);
  map.drawRect(400, 800, 599, 999, 3);  // one colour in a 200-pixel square
  WorldMap::getReductions()->update(1000);
  RGB c;
  get_color(3, &c);
  const int colour = makecol(c.r << 2, c.g << 2, c.b << 2);
  const int background = makecol(0, 32, 16);
  BITMAP* dest = create_bitmap(300, 200);
  // 1:4 from (0, 760): screen x p shows canvas 4p, y q canvas 760 + 4q.
  map.display(dest, 0, 760, 1, 4);
  EXPECT_EQ(getpixel(dest, 100, 10), colour);   // canvas (400, 800)
  EXPECT_EQ(getpixel(dest, 149, 59), colour);   // canvas (596, 996)
  EXPECT_EQ(getpixel(dest, 99, 30), 0);         // canvas (396, 880)
  EXPECT_EQ(getpixel(dest, 151, 30), 0);        // canvas (604, 880)
  // 4:1 from (550, 950): canvas (550 + p / 4, 950 + q / 4).
  map.display(dest, 550, 950, 4, 1);
  EXPECT_EQ(getpixel(dest, 199, 199), colour);  // canvas (599, 999)
  EXPECT_EQ(getpixel(dest, 200, 100), 0);       // canvas (600, 975)
  // Farther out than the canvas: its surroundings are the no-canvas green.
  map.display(dest, -400, 0, 1, 8);
  EXPECT_EQ(getpixel(dest, 10, 10), background);
  EXPECT_EQ(getpixel(dest, 50 + 60, 100 + 10), colour);  // canvas (480, 880)
  EXPECT_EQ(getpixel(dest, 299, 199), background);      // canvas (1992, 1592): past the right edge
  destroy_bitmap(dest);
}

}  // namespace

// Shell helpers without a display: the IPv4 parser, the outline filter on
// memory bitmaps, the palette, the tick counter and the map size checks.

#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "AllegTools.h"
#include "AllegWorker.h"
#include "DBuffer.h"
#include "GameEngine.h"

#include <allegro.h>

using libkorvet::DBuffer;

namespace {

std::string bytes(const DBuffer& b) {
  std::string s;
  for (unsigned int i = 0; i < b.size(); ++i) s += std::to_string(b.getByte(i)) + (i + 1 < b.size() ? "." : "");
  return s;
}

TEST(AllegTools, GetBinaryIP) {
  EXPECT_EQ(AllegTools::getErrMsg(), "AllOK");
  DBuffer out;
  const char* good[][2] = {{"192.168.0.1", "192.168.0.1"}, {"1.02.003.4", "1.2.3.4"}};
  for (const auto& ip : good) {
    out.appendByte(99);  // cleared first
    ASSERT_TRUE(AllegTools::getBinaryIP(ip[0], out)) << ip[0];
    EXPECT_EQ(bytes(out), ip[1]);
  }

  struct Case {
    std::string text, error;
  } bad[] = {
      {"1.2.3.4.5", "getBinaryIP found an unnecessary . in 1.2.3.4.5"},
      {"1.2.3.1000", "getBinaryIP got a section that is too long in 1.2.3.1000"},
      {"1.2.3.256", "getBinaryIP found an invalid address 1.2.3.256"},
      {"1.2.3.4x", "getBinaryIP found an invalid address part: 4x"},
      {"1..2.3", "getBinaryIP expected a number, but got . in 1..2.3"},
      {".1.2.3", "getBinaryIP expected a number, but got . in .1.2.3"},
  };
  for (const Case& c : bad) {
    out.clear();
    out.appendByte(7);
    EXPECT_FALSE(AllegTools::getBinaryIP(c.text, out)) << c.text;
    EXPECT_EQ(AllegTools::getErrMsg(), c.error);
    EXPECT_EQ(out.size(), 0u) << c.text;
  }
  // A success keeps the last failure's text.
  EXPECT_TRUE(AllegTools::getBinaryIP("127.0.0.1", out));
  EXPECT_EQ(AllegTools::getErrMsg(), "getBinaryIP expected a number, but got . in .1.2.3");
}

class OutlineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    install_allegro(SYSTEM_NONE, &errno, atexit);
    set_color_depth(24);
  }
  static const int BACK = 0x000000, OUTLINE = 0x0000ff, TEXT = 0xffffff;

  // The bitmap as rows of '.', 'o' and '#'.
  static std::string picture(BITMAP* b) {
    std::string s;
    for (int y = 0; y < b->h; ++y) {
      for (int x = 0; x < b->w; ++x) {
        int c = getpixel(b, x, y);
        s += c == BACK ? '.' : c == OUTLINE ? 'o' : c == TEXT ? '#' : '?';
      }
      s += '\n';
    }
    return s;
  }
};

TEST_F(OutlineTest, RecoloursBackgroundTouchingForeground) {
  BITMAP* b = create_bitmap(5, 5);
  clear_to_color(b, BACK);
  putpixel(b, 2, 2, TEXT);
  AllegTools::drawOutline(b, OUTLINE, BACK);
  EXPECT_EQ(picture(b), ".....\n.ooo.\n.o#o.\n.ooo.\n.....\n");
  destroy_bitmap(b);

  // Border pixels never change, and outline pixels do not spread further.
  b = create_bitmap(6, 4);
  clear_to_color(b, BACK);
  putpixel(b, 0, 0, TEXT);
  putpixel(b, 5, 3, TEXT);
  AllegTools::drawOutline(b, OUTLINE, BACK);
  EXPECT_EQ(picture(b), "#.....\n.o....\n....o.\n.....#\n");
  destroy_bitmap(b);
}

TEST(AllegWorker, Palette) {
  RGB colors[256];
  for (RGB& c : colors) c.r = c.g = c.b = 7;
  AllegWorker::makeColors(colors);
  auto rgb = [&](int i) {
    return std::to_string(colors[i].r) + "," + std::to_string(colors[i].g) + "," + std::to_string(colors[i].b);
  };
  std::string got;
  for (int i : {0, 1, 4, 10, 29, 30, 35, 60, 80, 81, 95, 100, 101, 254, 255}) got += rgb(i) + " ";
  // Entry 30 is just off the sprite mask colour; 101 to 254 are not touched.
  EXPECT_EQ(got,
            "0,0,0 15,15,15 51,51,51 63,0,0 51,0,51 63,1,63 0,63,63 63,63,43 63,0,31 10,15,7 63,45,12 0,31,63 "
            "7,7,7 7,7,7 0,0,0 ");
}

TEST(GameEngine, TickerDropsBacklogAboveOneSecond) {
  logicTime = 0;
  engineWarning = false;
  for (int i = 0; i < 31; ++i) ticker();
  EXPECT_EQ(logicTime.load(), 31);
  EXPECT_FALSE(engineWarning.load());
  ticker();
  EXPECT_EQ(logicTime.load(), 0);
  EXPECT_TRUE(engineWarning.load());

  leftClickLatch = false;
  buttonCallback(MOUSE_FLAG_MOVE | MOUSE_FLAG_LEFT_UP);
  EXPECT_FALSE(leftClickLatch.load());
  buttonCallback(MOUSE_FLAG_LEFT_DOWN);
  EXPECT_TRUE(leftClickLatch.load());
}

TEST(GameEngine, StrokesAreClippedToTheCanvas) {
  // A 1600 x 1600 canvas seen through a wider and taller screen.
  const struct {
    long in[4];
    const char* out;
  } cases[] = {
      {{10, 20, 30, 40}, "10,20-30,40"},
      {{-50, 10, -10, 40}, "none"},  // a zig-zag in the left margin
      {{-10, 40, -50, 70}, "none"},
      {{-100, 100, 100, 300}, "0,200-100,300"},
      {{1500, 1500, 1700, 1700}, "1500,1500-1599,1599"},
      {{-10, 1610, 20, 1580}, "1,1599-20,1580"},
      {{-10, 1590, 20, 1620}, "none"},  // past the corner, outside throughout
      {{1700, -5, 1700, -5}, "none"},
  };
  for (const auto& c : cases) {
    long x1 = c.in[0], y1 = c.in[1], x2 = c.in[2], y2 = c.in[3];
    const std::string got = GameEngine::clipToCanvas(x1, y1, x2, y2, 1600, 1600)
                                ? std::to_string(x1) + "," + std::to_string(y1) + "-" + std::to_string(x2) + "," +
                                      std::to_string(y2)
                                : "none";
    EXPECT_EQ(c.out, got) << c.in[0] << "," << c.in[1] << "-" << c.in[2] << "," << c.in[3];
  }
}

TEST(GameEngine, MapSizeTexts) {
  int w = 0, h = 0;
  std::string error;
  EXPECT_TRUE(GameEngine::checkMapSize("1600", "0", w, h, error));
  EXPECT_TRUE(w == 1600 && h == 0);
  const char* bad[][3] = {{"abc", "1600", "Map Width abc doesn't look like an integer."},
                          {"-5", "1600", "Map Width -5 is negative. This confuses me."},
                          {"1600", "-0001", "Map Height -1 is negative. This confuses me."}};
  for (const auto& c : bad) {
    EXPECT_FALSE(GameEngine::checkMapSize(c[0], c[1], w, h, error));
    EXPECT_EQ(error, c[2]);
  }
}
}  // namespace

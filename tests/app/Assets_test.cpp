// The run-time data in data/: the datafile's five fonts and every image the
// front end loads, checked for the properties the drawing code relies on.

#include <allegro.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace {

const std::string kData = std::string(BRELVIN_SOURCE_DIR) + "/data/";

class AssetsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(install_allegro(SYSTEM_NONE, &errno, atexit), 0);
    set_color_depth(24);
  }

  static BITMAP* image(const std::string& relative) {
    BITMAP* bmp = load_bitmap((kData + "graphics/" + relative).c_str(), nullptr);
    EXPECT_NE(bmp, nullptr) << relative;
    if (bmp) {
      EXPECT_EQ(bitmap_color_depth(bmp), 24) << relative;
    }
    return bmp;
  }
};

struct Freer {
  BITMAP* b;
  ~Freer() {
    if (b) destroy_bitmap(b);
  }
};

TEST_F(AssetsTest, DatafileHoldsFiveMonoFontsInTheirRoles) {
  DATAFILE* hoard = load_datafile((kData + "hoard.dat").c_str());
  ASSERT_NE(hoard, nullptr);
  FONT* f[5];
  for (int i = 0; i < 5; ++i) {
    ASSERT_NE(hoard[i].type, DAT_END) << "object " << i;
    ASSERT_EQ(hoard[i].type, DAT_FONT) << "object " << i;
    f[i] = static_cast<FONT*>(hoard[i].dat);
    // Text is drawn in palette colours, which only monochrome fonts take.
    EXPECT_TRUE(is_mono_font(f[i])) << "object " << i;
    EXPECT_EQ(get_font_range_begin(f[i], -1), 32) << "object " << i;
    EXPECT_GE(get_font_range_end(f[i], -1), 126) << "object " << i;
    for (int c = 33; c <= 126; ++c) {
      char s[2] = {char(c), 0};
      EXPECT_GT(text_length(f[i], s), 0) << "object " << i << " char " << c;
    }
  }
  FONT *xlarge = f[0], *medium = f[1], *large = f[2], *small = f[3], *tiny = f[4];
  EXPECT_TRUE(text_height(xlarge) > text_height(large) && text_height(large) > text_height(medium) &&
              text_height(medium) > text_height(small) && text_height(small) > text_height(tiny));
  EXPECT_GE(text_height(tiny), 9);
  unload_datafile(hoard);
}

TEST_F(AssetsTest, MenuTilesAreWholeTilesOfOneHeight) {
  const char* names[] = {"left_button_up.bmp",   "center_button_up.bmp",   "right_button_up.bmp",
                         "left_button_down.bmp", "center_button_down.bmp", "right_button_down.bmp",
                         "left_textbox.bmp",     "center_textbox.bmp",     "right_textbox.bmp"};
  for (const char* name : names) {
    Freer t{image(std::string("gui/") + name)};
    if (!t.b) continue;
    EXPECT_EQ(t.b->w, 32) << name;
    // Widgets take the pointer over y .. y + 37.
    EXPECT_EQ(t.b->h, 38) << name;
  }
  // The field's middle is opaque: text is drawn on it, not on the canvas.
  Freer field{image("gui/center_textbox.bmp")};
  ASSERT_NE(field.b, nullptr);
  EXPECT_NE(getpixel(field.b, 16, 19), makecol(255, 0, 255));
}

TEST_F(AssetsTest, PointerAndArrowsFitThePanel) {
  Freer pointer{image("cursor/cursor.bmp")};
  ASSERT_NE(pointer.b, nullptr);
  // The hot spot is the top-left pixel, so it must be drawn.
  EXPECT_NE(getpixel(pointer.b, 0, 0), makecol(255, 0, 255));

  const char* dirs[] = {"up", "down", "left", "right"};
  int w[4], h[4];
  for (int d = 0; d < 4; ++d) {
    Freer plain{image(std::string("cursor/") + dirs[d] + "_arrow.bmp")};
    Freer active{image(std::string("cursor/active_") + dirs[d] + "_arrow.bmp")};
    ASSERT_NE(plain.b, nullptr);
    ASSERT_NE(active.b, nullptr);
    // The active form is drawn over the plain one and must cover it.
    EXPECT_EQ(active.b->w, plain.b->w) << dirs[d];
    EXPECT_EQ(active.b->h, plain.b->h) << dirs[d];
    w[d] = plain.b->w;
    h[d] = plain.b->h;
  }

  Freer panel{image("gui/paint_gui.bmp")};
  ASSERT_NE(panel.b, nullptr);
  const int W = panel.b->w, H = panel.b->h;
  // The arrows sit around (W-415, H-83), measured from the panel's corner:
  // they must stay inside it, clear of the brushes (from W-352) and above the
  // scroll read-out (H-13).
  const int X = W - 415, Y = H - 83;
  EXPECT_GE(X - w[2] - 2, 0);
  EXPECT_LT(X + w[0] + 2 + w[3], W - 352);
  EXPECT_LE(Y + 2 + h[0] + h[3] + h[1], H - 13) << "the down arrow would cover the scroll read-out";
}

}  // namespace

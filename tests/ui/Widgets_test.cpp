#include <allegro.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "ButtonObject.h"
#include "InputStatus.h"
#include "KivSettings.h"
#include "TextBox.h"
#include "UiTestSetup.h"

namespace {

const int BACKSPACE = 63;
const int DEL = 77;
const int HOME = 78;
const int END = 79;
const int LEFT = 82;
const int RIGHT = 83;
const int FIRST_LETTER = 1;  // KEY_A

// Widgets are laid out with Allegro's font here: 8 pixels a character makes
// every width exact. No screen mode is set, so the x resolution is 0 and
// centred widgets straddle x = 0.
class WidgetsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::useFixedFont();
    InputStatus::reset();
    KivSettings::deleteMessages();
  }
  void TearDown() override { InputStatus::reset(); }

  // One tick in which scancode `code` goes down and types `ch`.
  static void press(char ch, int code) {
    bool keys[InputStatus::NUM_SCANCODES] = {};
    keys[code] = true;
    InputStatus::updateKeyboard(ch, keys);
  }
  // Ticks with no key down, long enough for every shadow flag to clear.
  static void releaseAll(char ch) {
    bool keys[InputStatus::NUM_SCANCODES] = {};
    InputStatus::updateKeyboard(ch, keys);
    InputStatus::updateKeyboard(ch, keys);
  }
  // Types the character and gives the box its tick; returns run()'s result.
  static bool type(TextBox& box, char ch, int code = FIRST_LETTER) {
    press(ch, code);
    bool changed = box.run();
    releaseAll(ch);
    box.run();
    return changed;
  }
  static bool key(TextBox& box, int code) { return type(box, 0, code); }
  static void pointAt(int x, int y) { InputStatus::updateCoordinates(x, y); }

  static BITMAP* tile(int w, int h, int r, int g, int b) {
    BITMAP* bmp = create_bitmap(w, h);
    clear_to_color(bmp, makecol(r, g, b));
    return bmp;
  }
};

TEST_F(WidgetsTest, ButtonsSpanWholeTiles) {
  // 48-pixel caption: the 96-pixel minimum is already whole tiles.
  ButtonObject small("Cancel", 100, 50, false, "CANCEL");
  EXPECT_EQ(96, small.getButtonWidth());
  EXPECT_EQ(100, small.getLeft());
  EXPECT_EQ(196, small.getRight());

  // 104 + 20 = 124 pixels, padded to 128: 2 pixels on each side.
  ButtonObject wide("Join Existing", 100, 50, false, "JOIN EXISTING");
  EXPECT_EQ(128, wide.getButtonWidth());
  EXPECT_EQ(98, wide.getLeft());
  EXPECT_EQ(226, wide.getRight());

  // 80 + 20 = 100, padded to 128; centred on x = 0 before padding.
  ButtonObject centred("Host a New", -1, 50, true, "HOST NEW");
  EXPECT_EQ(128, centred.getButtonWidth());
  EXPECT_EQ(-50 - 14, centred.getLeft());
  EXPECT_EQ(50 + 14, centred.getRight());

  // setText leaves the layout alone until resizeBox.
  centred.setText("Fullscreen and more text");
  EXPECT_EQ(128, centred.getButtonWidth());
  centred.resizeBox();
  EXPECT_EQ(224, centred.getButtonWidth());

  // Hit area: the extent and 37 pixels down, bounds included.
  pointAt(98, 50);
  EXPECT_TRUE(wide.detectCursor());
  pointAt(226, 87);
  EXPECT_TRUE(wide.detectCursor());
  pointAt(227, 60);
  EXPECT_FALSE(wide.detectCursor());
  pointAt(150, 88);
  EXPECT_FALSE(wide.detectCursor());
  pointAt(150, 49);
  EXPECT_FALSE(wide.detectCursor());
}

TEST_F(WidgetsTest, TextBoxLayoutAndCaretUnderThePointer) {
  TextBox box("1600", 40, 100, false, "Width", 3, "MAP WIDTH");
  EXPECT_EQ(5 * 8 + 20, box.getLabelWidth());
  EXPECT_EQ(96, box.getTextWidth());
  EXPECT_EQ(40, box.getLeft());
  EXPECT_EQ(100, box.getTextLeft());
  EXPECT_EQ(196, box.getRight());
  EXPECT_EQ(4, box.getIBeamPos());
  EXPECT_FALSE(box.getIBeamVisible());

  TextBox centred("", -1, 100, true, "Name", 9, "PLAYER NAME");
  EXPECT_EQ(-(288 + 52) / 2, centred.getLeft());
  EXPECT_EQ(centred.getLeft() + 52 + 288, centred.getRight());

  // The text starts at textLeft + 10 = 110; character k spans 110 + 8k to
  // 110 + 8k + 7 and its middle is 110 + 8k + 4.
  pointAt(50, 110);  // over the label, not the field
  EXPECT_FALSE(box.detectCursor());
  pointAt(100, 110);  // left of the first character
  EXPECT_TRUE(box.detectCursor());
  EXPECT_EQ(0, box.getIBeamPos());
  EXPECT_TRUE(box.getIBeamVisible());
  pointAt(110 + 8 + 4, 137);  // on the middle of the second character
  EXPECT_TRUE(box.detectCursor());
  EXPECT_EQ(1, box.getIBeamPos());
  pointAt(110 + 8 + 5, 100);  // just right of it
  EXPECT_TRUE(box.detectCursor());
  EXPECT_EQ(2, box.getIBeamPos());
  pointAt(196, 120);  // right of the text
  EXPECT_TRUE(box.detectCursor());
  EXPECT_EQ(4, box.getIBeamPos());
  pointAt(197, 120);
  EXPECT_FALSE(box.detectCursor());
  EXPECT_EQ(0, TextBox::getIBeam(0, "", font));

  // The caret blinks in 15-tick phases.
  for (int t = 0; t < 14; ++t) box.run();
  EXPECT_TRUE(box.getIBeamVisible());
  box.run();
  EXPECT_FALSE(box.getIBeamVisible());
}

TEST_F(WidgetsTest, EditingKeys) {
  TextBox box("abc", 0, 0, false, "L", 9, "EDIT");
  EXPECT_FALSE(key(box, DEL));  // caret at the end
  EXPECT_TRUE(key(box, BACKSPACE));
  EXPECT_EQ("ab", box.getText());
  EXPECT_FALSE(key(box, HOME));
  EXPECT_EQ(0, box.getIBeamPos());
  EXPECT_FALSE(key(box, BACKSPACE));  // caret at the start
  EXPECT_FALSE(key(box, LEFT));
  EXPECT_EQ(0, box.getIBeamPos());
  EXPECT_TRUE(type(box, 'x'));
  EXPECT_EQ("xab", box.getText());
  EXPECT_FALSE(key(box, RIGHT));
  EXPECT_EQ(2, box.getIBeamPos());
  EXPECT_TRUE(key(box, DEL));
  EXPECT_EQ("xa", box.getText());
  EXPECT_FALSE(key(box, END));
  EXPECT_EQ(2, box.getIBeamPos());
  EXPECT_TRUE(type(box, ' '));
  EXPECT_EQ("xa ", box.getText());
  // Special characters (Enter, Escape) are not inserted.
  EXPECT_FALSE(type(box, 13, 67));
  EXPECT_EQ("xa ", box.getText());

  // A box without focus or with the keyboard masked sees no keys.
  EXPECT_TRUE(InputStatus::maskKeyboard("GUIManager"));
  press('z', 26);
  EXPECT_FALSE(box.run());
  EXPECT_TRUE(InputStatus::unmaskKeyboard("GUIManager"));
}

TEST_F(WidgetsTest, TextIsBoundedByTheFieldInPixels) {
  // Three tiles: the text may be at most 96 - 20 = 76 pixels wide, so nine
  // characters of 8 pixels fit and the tenth is taken out again.
  TextBox box("", 0, 0, false, "Map Width", 3, "MAP WIDTH");
  for (int i = 0; i < 9; ++i) EXPECT_TRUE(type(box, static_cast<char>('1' + i)));
  EXPECT_EQ("123456789", box.getText());
  EXPECT_FALSE(type(box, '0'));
  EXPECT_EQ("123456789", box.getText());
  EXPECT_EQ(9, box.getIBeamPos());

  // Typing into the middle of a full field keeps what is already there.
  key(box, HOME);
  EXPECT_FALSE(type(box, 'x'));
  EXPECT_EQ("123456789", box.getText());
  EXPECT_EQ(0, box.getIBeamPos());

  // A text that came in too wide is cut at the first key event.
  TextBox remembered("0123456789abcdef", 0, 0, false, "IP", 3, "IP ADDR");
  EXPECT_TRUE(key(remembered, LEFT));
  EXPECT_EQ("012345678", remembered.getText());
  EXPECT_LE(remembered.getIBeamPos(), 9);
}

TEST_F(WidgetsTest, DrawingTilesCaptionAndCaret) {
  BITMAP* buffer = create_bitmap(400, 100);
  BITMAP* l = tile(32, 38, 200, 0, 0);
  BITMAP* c = tile(32, 38, 0, 200, 0);
  BITMAP* r = tile(32, 38, 0, 0, 200);
  BITMAP* beam = tile(4, 38, 200, 200, 200);
  const int background = makecol(10, 20, 30);
  clear_to_color(buffer, background);

  ButtonObject button("Join Existing", 100, 10, false, "JOIN");  // 98 to 226
  button.display(buffer, l, c, r);
  EXPECT_EQ(background, getpixel(buffer, 97, 20));
  EXPECT_EQ(makecol(200, 0, 0), getpixel(buffer, 98, 11));
  EXPECT_EQ(makecol(0, 200, 0), getpixel(buffer, 98 + 32, 11));
  EXPECT_EQ(makecol(0, 200, 0), getpixel(buffer, 98 + 95, 11));
  EXPECT_EQ(makecol(0, 0, 200), getpixel(buffer, 226 - 32, 11));
  EXPECT_EQ(makecol(0, 0, 200), getpixel(buffer, 225, 47));
  EXPECT_EQ(background, getpixel(buffer, 226, 20));
  // The black caption starts at x with the text centred vertically (v = 15).
  int black = 0;
  for (int y = 25; y < 33; ++y) {
    for (int x = 100; x < 204; ++x) black += getpixel(buffer, x, y) == palette_color[0];
  }
  EXPECT_GT(black, 20);
  EXPECT_EQ(makecol(200, 0, 0), getpixel(buffer, 98, 20));

  clear_to_color(buffer, background);
  TextBox box("ab", 20, 50, false, "Lb", 3, "EDIT");  // field 56 to 152
  box.display(buffer, l, c, r, beam, true);  // caret hidden until focus
  EXPECT_EQ(makecol(200, 0, 0), getpixel(buffer, 56, 51));
  EXPECT_EQ(makecol(0, 200, 0), getpixel(buffer, 56 + 32, 51));
  EXPECT_EQ(makecol(0, 0, 200), getpixel(buffer, 151, 51));
  EXPECT_EQ(background, getpixel(buffer, 152, 51));
  int label = 0;
  for (int y = 50; y < 100; ++y) {
    for (int x = 20; x < 56; ++x) label += getpixel(buffer, x, y) == palette_color[35];
  }
  EXPECT_GT(label, 10);
  // Caret between the two characters: 56 + 10 + 8 - 4 / 2 = 72.
  const int grey = makecol(200, 200, 200);
  EXPECT_NE(grey, getpixel(buffer, 72, 51));
  pointAt(56 + 10 + 8, 60);
  ASSERT_TRUE(box.detectCursor());
  ASSERT_EQ(1, box.getIBeamPos());
  box.display(buffer, l, c, r, beam, false);
  EXPECT_NE(grey, getpixel(buffer, 72, 51));
  box.display(buffer, l, c, r, beam, true);
  EXPECT_NE(grey, getpixel(buffer, 71, 51));
  EXPECT_EQ(grey, getpixel(buffer, 72, 51));
  EXPECT_EQ(grey, getpixel(buffer, 75, 87));
  EXPECT_NE(grey, getpixel(buffer, 76, 51));

  for (BITMAP* b : {buffer, l, c, r, beam}) destroy_bitmap(b);
}

// The program's own tiles, when the data folder has them.
TEST_F(WidgetsTest, ShippedTilesAreWholeTilesAndDraw) {
  const std::string dir = std::string(BRELVIN_SOURCE_DIR) + "/data/graphics/gui/";
  const char* names[] = {"left_button_up.bmp",   "center_button_up.bmp",
                         "right_button_up.bmp",  "left_button_down.bmp",
                         "center_button_down.bmp", "right_button_down.bmp",
                         "left_textbox.bmp",     "center_textbox.bmp",
                         "right_textbox.bmp",    "i_beam.bmp"};
  for (const char* n : names) {
    if (!exists((dir + n).c_str())) {
      GTEST_SKIP() << "data/graphics/gui/" << n
                   << " is not there yet; the shipped tiles are not checked";
    }
  }
  uitest::useDatafileFonts();
  BITMAP* images[10];
  for (int i = 0; i < 10; ++i) {
    images[i] = load_bitmap((dir + names[i]).c_str(), nullptr);
    ASSERT_NE(nullptr, images[i]) << names[i];
    if (i < 9) {
      EXPECT_EQ(32, images[i]->w) << names[i];
    }
  }
  BITMAP* buffer = create_bitmap(640, 480);
  clear_to_color(buffer, makecol(0, 0, 0));
  ButtonObject button("Join Existing Session", 100, 100, false, "JOIN EXISTING");
  EXPECT_EQ(0, button.getButtonWidth() % 32);
  button.display(buffer, images[0], images[1], images[2]);
  button.display(buffer, images[3], images[4], images[5]);
  TextBox box("127.0.0.1", 100, 200, false, "IP Address", 9, "IP ADDR");
  pointAt(box.getRight(), 210);
  ASSERT_TRUE(box.detectCursor());
  box.display(buffer, images[6], images[7], images[8], images[9], true);
  // Something was drawn over every tile of the field.
  for (int tx = box.getTextLeft(); tx < box.getRight(); tx += 32) {
    int drawn = 0;
    for (int y = 200; y < 200 + images[7]->h; ++y) {
      for (int x = tx; x < tx + 32; ++x) drawn += getpixel(buffer, x, y) != 0;
    }
    EXPECT_GT(drawn, 0) << "tile at " << tx;
  }
  destroy_bitmap(buffer);
  for (BITMAP* b : images) destroy_bitmap(b);
  uitest::useFixedFont();
}

}  // namespace

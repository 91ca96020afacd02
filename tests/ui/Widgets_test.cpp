#include <gtest/gtest.h>

#include "ButtonObject.h"
#include "InputStatus.h"
#include "TextBox.h"
#include "UiTestSetup.h"

namespace {

const int BACKSPACE = 63, DEL = 77, HOME = 78, END = 79, LEFT = 82, RIGHT = 83;
const int LETTER = 1;

// Allegro's font, 8 pixels a character, makes every width exact. No screen
// mode is set, so the x resolution is 0 and centred widgets straddle x = 0.
class WidgetsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::useFonts(false);
    InputStatus::reset();
  }
  void TearDown() override { InputStatus::reset(); }

  // One tick in which `code` goes down typing `ch`, given to the box, then
  // two quiet ticks so every shadow flag clears. Returns the first run().
  static bool type(TextBox& box, char ch, int code = LETTER) {
    bool keys[InputStatus::NUM_SCANCODES] = {};
    keys[code] = true;
    InputStatus::updateKeyboard(ch, keys);
    bool changed = box.run();
    keys[code] = false;
    InputStatus::updateKeyboard(ch, keys);
    InputStatus::updateKeyboard(ch, keys);
    box.run();
    return changed;
  }
  static bool key(TextBox& box, int code) { return type(box, 0, code); }
  static void pointAt(int x, int y) { InputStatus::updateCoordinates(x, y); }
};

TEST_F(WidgetsTest, ButtonsSpanWholeTiles) {
  ButtonObject wide("Join Existing", 100, 50, false, "J");  // 104 + 20 -> 128
  EXPECT_EQ(128, wide.getButtonWidth());

  const int hits[][3] = {{98, 50, 1}, {226, 87, 1}, {227, 60, 0}, {150, 88, 0}};
  for (const auto& h : hits) {
    pointAt(h[0], h[1]);
    EXPECT_EQ(h[2] == 1, wide.detectCursor()) << h[0] << "," << h[1];
  }
}

TEST_F(WidgetsTest, TextBoxLayoutAndCaretUnderThePointer) {
  TextBox box("1600", 40, 100, false, "Width", 3, "MAP WIDTH");
  EXPECT_TRUE(box.getTextLeft() == 100 && box.getRight() == 196);
  EXPECT_TRUE(box.getIBeamPos() == 4 && !box.getIBeamVisible());

  // Text from x = 110: character k has its middle at 110 + 8k + 4.
  const int clicks[][2] = {{100, 0}, {122, 1}, {123, 2}, {196, 4}};
  for (const auto& c : clicks) {
    pointAt(c[0], 137);
    EXPECT_TRUE(box.detectCursor());
    EXPECT_EQ(c[1], box.getIBeamPos()) << c[0];
  }
  EXPECT_TRUE(box.getIBeamVisible());
  pointAt(50, 110);  // the label is not the field
  EXPECT_FALSE(box.detectCursor());
}

TEST_F(WidgetsTest, EditingKeys) {
  TextBox box("abc", 0, 0, false, "L", 9, "EDIT");
  EXPECT_FALSE(key(box, DEL));  // at the end
  EXPECT_TRUE(key(box, BACKSPACE));
  EXPECT_FALSE(key(box, HOME));
  EXPECT_FALSE(key(box, BACKSPACE));  // at the start
  EXPECT_FALSE(key(box, LEFT));
  EXPECT_TRUE(type(box, 'x'));
  EXPECT_FALSE(key(box, RIGHT));
  EXPECT_TRUE(key(box, DEL));
  EXPECT_EQ("xa", box.getText());
  EXPECT_FALSE(key(box, END));
  EXPECT_TRUE(type(box, ' '));
  EXPECT_FALSE(type(box, 13, 67));  // Enter is not inserted
  EXPECT_EQ("xa ", box.getText());
  EXPECT_EQ(3, box.getIBeamPos());
}

TEST_F(WidgetsTest, TextIsBoundedByTheFieldInPixels) {
  // Three tiles allow 96 - 20 = 76 pixels: nine 8-pixel characters.
  TextBox box("", 0, 0, false, "Map Width", 3, "MAP WIDTH");
  for (char c = '1'; c <= '9'; ++c) EXPECT_TRUE(type(box, c));
  EXPECT_FALSE(type(box, '0'));
  EXPECT_EQ("123456789", box.getText());
  // Typing into the middle of a full field keeps what is already there.
  key(box, HOME);
  EXPECT_FALSE(type(box, 'x'));
  EXPECT_EQ("123456789", box.getText());

  // A remembered text too wide for the field is cut at the first key.
  TextBox remembered("0123456789abcdef", 0, 0, false, "IP", 3, "IP ADDR");
  EXPECT_TRUE(key(remembered, LEFT));
  EXPECT_EQ("012345678", remembered.getText());
  EXPECT_EQ(9, remembered.getIBeamPos());
}

}  // namespace

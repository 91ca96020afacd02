#include <allegro.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

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
    InputStatus::RawInput press;
    press.keysRead.push_back(code << 8 | static_cast<unsigned char>(ch));
    press.keysDown[code] = true;
    InputStatus::updateKeyboard(press);
    bool changed = box.run();
    InputStatus::updateKeyboard(InputStatus::RawInput());
    InputStatus::updateKeyboard(InputStatus::RawInput());
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

TEST_F(WidgetsTest, LongTextsScrollInTheFieldAndStayWhole) {
  // Three tiles show 96 - 20 = 76 pixels: nine and a half 8-pixel characters.
  TextBox box("", 0, 0, false, "Map Width", 3, "MAP WIDTH");
  for (char c : std::string("123456789abc")) EXPECT_TRUE(type(box, c));
  EXPECT_EQ("123456789abc", box.getText());
  EXPECT_EQ(96 - 76, box.getScrollOffset());  // the caret at the end in view
  key(box, HOME);
  EXPECT_EQ(0, box.getScrollOffset());
  key(box, END);
  // A click finds the character under the pointer in the scrolled text.
  pointAt(box.getTextLeft() + 10 + 1, 5);
  EXPECT_TRUE(box.detectCursor());
  EXPECT_EQ(3, box.getIBeamPos());
  EXPECT_EQ(20, box.getScrollOffset());

  // A remembered text opens scrolled to its end and keys leave it whole.
  TextBox remembered("0123456789abcdef", 0, 0, false, "IP", 3, "IP ADDR");
  EXPECT_EQ(128 - 76, remembered.getScrollOffset());
  EXPECT_FALSE(key(remembered, LEFT));
  EXPECT_EQ("0123456789abcdef", remembered.getText());

  // Drawn, the text stays inside the field: its last character ends at the
  // field's inner edge and nothing lies beyond it or over the label.
  BITMAP* shown = create_bitmap(300, 20);
  clear_bitmap(shown);
  remembered.display(shown, nullptr, nullptr, nullptr, nullptr, false);
  const int inner = remembered.getTextLeft() + 10, innerEnd = remembered.getRight() - 10;
  int outside = 0, lastColumn = -1;
  for (int y = 0; y < 20; ++y)
    for (int x = remembered.getTextLeft(); x < 300; ++x)
      if (getpixel(shown, x, y) == palette_color[35]) {
        outside += x < inner || x >= innerEnd;
        lastColumn = std::max(lastColumn, x);
      }
  destroy_bitmap(shown);
  EXPECT_EQ(0, outside);
  EXPECT_GT(lastColumn, innerEnd - 8);

  // At most 255 characters are typed; a longer remembered text is kept.
  TextBox full(std::string(254, 'x'), 0, 0, false, "L", 9, "EDIT");
  EXPECT_TRUE(type(full, 'y'));
  EXPECT_FALSE(type(full, 'z'));
  EXPECT_EQ(TextBox::MAX_TEXT_LENGTH, full.getText().size());
}

// A password box keeps what was typed but draws only stars: the same pixels
// as a box showing that many '*', caret included.
TEST_F(WidgetsTest, MaskedBoxDrawsStarsAndKeepsTheText) {
  TextBox secret("", 0, 0, false, "Password", 3, "PASSWORD"), stars("", 0, 0, false, "Password", 3, "PASSWORD");
  secret.setMasked(true);
  for (char c : std::string("open sesame")) type(secret, c);
  for (int i = 0; i < 11; ++i) type(stars, '*');
  EXPECT_EQ("open sesame", secret.getText());
  EXPECT_EQ(stars.getScrollOffset(), secret.getScrollOffset());
  BITMAP* a = create_bitmap(300, 20);
  BITMAP* b = create_bitmap(300, 20);
  BITMAP* caret = create_bitmap(2, 20);
  clear_bitmap(a);
  clear_bitmap(b);
  clear_to_color(caret, palette_color[35]);
  secret.display(a, nullptr, nullptr, nullptr, caret, true);
  stars.display(b, nullptr, nullptr, nullptr, caret, true);
  int differ = 0;
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 300; ++x) differ += getpixel(a, x, y) != getpixel(b, x, y);
  destroy_bitmap(a);
  destroy_bitmap(b);
  destroy_bitmap(caret);
  EXPECT_EQ(0, differ);
}

}  // namespace

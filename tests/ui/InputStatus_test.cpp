#include "InputStatus.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "KivSettings.h"
#include "UiTestSetup.h"

namespace {

using IS = InputStatus;
const int ESC = 59, KEY_A_CODE = 1, KEY_B_CODE = 2, ENTER = 67, LSHIFT = 115;

class InputStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    IS::reset();
    KivSettings::deleteMessages();
  }
  void TearDown() override { IS::reset(); }

  // One keyboard step: the character the engine repeats from its last read
  // and the scancodes down now. Returns whether a typed-key event came.
  static bool tick(char ch, std::initializer_list<int> down = {}) {
    bool keys[IS::NUM_SCANCODES] = {};
    for (int c : down) keys[c] = true;
    IS::updateKeyboard(ch, keys);
    return IS::getIsNewKey();
  }
  static std::string statusLine() {
    std::string owner, text;
    int color = 0;
    if (!KivSettings::getChatMessage(owner, text, color)) return "<none>";
    return owner + "|" + std::to_string(color) + "|" + text;
  }
};

TEST_F(InputStatusTest, ButtonEdgesLastOneTick) {
  // Fed left, right; then left pressed, clicked, released; right released.
  const bool ticks[][6] = {{1, 0, 1, 1, 0, 0}, {1, 0, 1, 0, 0, 0}, {1, 0, 1, 0, 0, 0},
                           {0, 1, 0, 0, 1, 0}, {0, 0, 0, 0, 0, 1}, {0, 0, 0, 0, 0, 0}};
  for (const auto& t : ticks) {
    IS::updateButtonStatus(t[0], t[1]);
    EXPECT_EQ(t[2], IS::getLeftPressed());
    EXPECT_EQ(t[3], IS::getLeftClicked());
    EXPECT_EQ(t[4], IS::getLeftReleased());
    EXPECT_EQ(t[1], IS::getRightClicked());
    EXPECT_EQ(t[5], IS::getRightReleased());
  }
}

TEST_F(InputStatusTest, OneTypedEventPerPress) {
  EXPECT_TRUE(tick('a', {KEY_A_CODE}));
  EXPECT_TRUE(IS::getKeyInput() == 'a' && !IS::getSpecialPressed());
  EXPECT_TRUE(tick('b', {KEY_A_CODE, KEY_B_CODE}));
  // Held, with the character repeating: nothing more.
  for (int t = 0; t < 5; ++t) EXPECT_FALSE(tick('b', {KEY_B_CODE}));
  tick('b');
  tick('b');
  // The same character again: the event comes two ticks after the press.
  EXPECT_FALSE(tick('b', {KEY_B_CODE}));
  EXPECT_FALSE(tick('b'));
  EXPECT_TRUE(tick('b'));
  EXPECT_FALSE(tick('b'));
  // A key-down whose character arrives a tick late.
  EXPECT_FALSE(tick('b', {KEY_A_CODE}));
  EXPECT_TRUE(tick('a', {KEY_A_CODE}));
  // Enter types a carriage return: an event, but a special one.
  EXPECT_TRUE(tick(13, {ENTER}));
  EXPECT_TRUE(IS::getSpecialPressed());
}

TEST_F(InputStatusTest, ShadowKeysOutliveTheirKeyByOneTick) {
  tick(27, {ESC});
  EXPECT_TRUE(IS::getShadowKey(ESC) && IS::getShadowPressed());
  tick(27);
  EXPECT_TRUE(IS::getShadowKey(ESC) && !IS::getShadowPressed());
  tick(27);
  EXPECT_FALSE(IS::getShadowKey(ESC));
  // A modifier is a key-down but types nothing.
  EXPECT_FALSE(tick(27, {LSHIFT}));
  EXPECT_TRUE(IS::getShadowPressed());
}

TEST_F(InputStatusTest, MaskingHidesKeysWithItsTexts) {
  EXPECT_TRUE(IS::maskKeyboard("GUIManager") && IS::maskKeyboard("GUIManager"));
  EXPECT_EQ("<none>", statusLine());
  tick('q', {ESC, 16});
  EXPECT_FALSE(IS::getShadowKey(ESC) || IS::getShadowPressed() || IS::getIsNewKey());
  EXPECT_EQ('q', IS::getKeyInput());

  EXPECT_FALSE(IS::maskKeyboard("MenuManager"));
  EXPECT_EQ("InputStatus|80|MenuManager couldn't acquire input that is being masked by GUIManager",
            statusLine());
  EXPECT_FALSE(IS::unmaskKeyboard("MenuManager"));
  EXPECT_EQ("InputStatus|80|MenuManager tried to unmask input held by GUIManager", statusLine());
  EXPECT_TRUE(IS::unmaskKeyboard("GUIManager"));
  EXPECT_TRUE(IS::getShadowKey(ESC) && IS::getIsNewKey());
}

TEST_F(InputStatusTest, RawReadingsFeedTheTick) {
  char lastKey = '*';
  IS::RawInput raw;
  raw.mouseX = 300;
  raw.leftLatch = true;  // down and up again between two polls
  raw.keyRead = true;
  raw.keyCode = (KEY_A_CODE << 8) | 'a';
  raw.keysDown[KEY_A_CODE] = true;
  IS::applyRaw(raw, lastKey);
  EXPECT_EQ('a', lastKey);
  EXPECT_TRUE(IS::getCursorX() == 300 && IS::getLeftClicked() && IS::getIsNewKey());

  // Nothing read: the character repeats; the right button is never reported.
  IS::RawInput idle;
  idle.mouseButtons = 2;
  IS::applyRaw(idle, lastKey);
  EXPECT_EQ('a', lastKey);
  EXPECT_TRUE(IS::getLeftReleased() && !IS::getRightPressed() && !IS::getIsNewKey());
}

}  // namespace

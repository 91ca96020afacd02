#include "InputStatus.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "KivSettings.h"

namespace {

const int ESC = 59;
const int KEY_A = 1;
const int KEY_B = 2;
const int KEY_ENTER_CODE = 67;
const int LSHIFT = 115;

class InputStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InputStatus::reset();
    KivSettings::deleteMessages();
  }
  void TearDown() override { InputStatus::reset(); }

  // One keyboard step: the character the engine repeats from its last read
  // and the scancodes that are down now.
  static void tick(char ch, std::initializer_list<int> down = {}) {
    bool keys[InputStatus::NUM_SCANCODES] = {};
    for (int c : down) keys[c] = true;
    InputStatus::updateKeyboard(ch, keys);
  }

  static std::string nextStatusLine() {
    std::string owner, text;
    int color = 0;
    if (!KivSettings::getChatMessage(owner, text, color)) return "<none>";
    EXPECT_EQ("InputStatus", owner);
    EXPECT_EQ(80, color);
    return text;
  }
};

TEST_F(InputStatusTest, ButtonEdgesLastOneTick) {
  InputStatus::updateCoordinates(123, 45);
  EXPECT_EQ(123, InputStatus::getCursorX());
  EXPECT_EQ(45, InputStatus::getCursorY());

  // Held for three ticks: clicked in the first only, released in the fourth.
  for (int t = 0; t < 3; ++t) {
    InputStatus::updateButtonStatus(true, false);
    EXPECT_TRUE(InputStatus::getLeftPressed()) << t;
    EXPECT_EQ(t == 0, InputStatus::getLeftClicked()) << t;
    EXPECT_FALSE(InputStatus::getLeftReleased()) << t;
  }
  InputStatus::updateButtonStatus(false, false);
  EXPECT_TRUE(InputStatus::getLeftReleased());
  EXPECT_FALSE(InputStatus::getLeftPressed());
  EXPECT_FALSE(InputStatus::getLeftClicked());
  InputStatus::updateButtonStatus(false, false);
  EXPECT_FALSE(InputStatus::getLeftReleased());

  // The right button on its own edges.
  InputStatus::updateButtonStatus(false, true);
  EXPECT_TRUE(InputStatus::getRightClicked());
  EXPECT_FALSE(InputStatus::getLeftClicked());
  InputStatus::updateButtonStatus(false, false);
  EXPECT_TRUE(InputStatus::getRightReleased());
}

TEST_F(InputStatusTest, ShadowKeyOutlivesItsKeyByOneTick) {
  tick(27, {ESC});
  EXPECT_TRUE(InputStatus::getShadowKey(ESC));
  EXPECT_TRUE(InputStatus::getShadowPressed());
  tick(27);
  EXPECT_TRUE(InputStatus::getShadowKey(ESC));
  EXPECT_FALSE(InputStatus::getShadowPressed());
  tick(27);
  EXPECT_FALSE(InputStatus::getShadowKey(ESC));

  // Held: set throughout, and still for the first tick after release.
  for (int t = 0; t < 4; ++t) tick(27, {ESC});
  EXPECT_TRUE(InputStatus::getShadowKey(ESC));
  tick(27);
  EXPECT_TRUE(InputStatus::getShadowKey(ESC));
  tick(27);
  EXPECT_FALSE(InputStatus::getShadowKey(ESC));

  // A modifier counts as a key-down but types nothing.
  tick(27, {LSHIFT});
  EXPECT_TRUE(InputStatus::getShadowPressed());
  EXPECT_FALSE(InputStatus::getIsNewKey());

  EXPECT_FALSE(InputStatus::getShadowKey(127));
  EXPECT_FALSE(InputStatus::getShadowKey(-1));
}

TEST_F(InputStatusTest, TypedKeysGiveOneEventPerPress) {
  // Two different characters: two events.
  tick('a', {KEY_A});
  EXPECT_TRUE(InputStatus::getIsNewKey());
  EXPECT_EQ('a', InputStatus::getKeyInput());
  EXPECT_FALSE(InputStatus::getSpecialPressed());
  tick('a');
  EXPECT_FALSE(InputStatus::getIsNewKey());
  tick('b', {KEY_B});
  EXPECT_TRUE(InputStatus::getIsNewKey());
  EXPECT_EQ('b', InputStatus::getKeyInput());

  // Held with the character repeating: nothing more.
  for (int t = 0; t < 10; ++t) {
    tick('b', {KEY_B});
    EXPECT_FALSE(InputStatus::getIsNewKey()) << t;
  }
  tick('b');
  tick('b');
  tick('b');

  // The same character again: its event comes two ticks after the press.
  tick('b', {KEY_B});
  EXPECT_FALSE(InputStatus::getIsNewKey());
  tick('b', {KEY_B});
  EXPECT_FALSE(InputStatus::getIsNewKey());
  tick('b');
  EXPECT_TRUE(InputStatus::getIsNewKey());
  EXPECT_EQ('b', InputStatus::getKeyInput());
  tick('b');
  EXPECT_FALSE(InputStatus::getIsNewKey());

  // A key-down seen before its character arrives pairs with a later tick.
  tick('b', {KEY_A});
  EXPECT_FALSE(InputStatus::getIsNewKey());
  tick('a', {KEY_A});
  EXPECT_TRUE(InputStatus::getIsNewKey());
  EXPECT_EQ('a', InputStatus::getKeyInput());
  tick('a');
  tick('a');

  // Enter types carriage return: an event, but a special one.
  tick(13, {KEY_ENTER_CODE});
  EXPECT_TRUE(InputStatus::getIsNewKey());
  EXPECT_TRUE(InputStatus::getSpecialPressed());
  EXPECT_TRUE(InputStatus::checkSpecialKeys());
}

TEST_F(InputStatusTest, MaskingHidesKeysFromEveryoneWithItsTexts) {
  EXPECT_EQ("NONE", InputStatus::getMaskingClass());
  EXPECT_TRUE(InputStatus::maskKeyboard("GUIManager"));
  EXPECT_TRUE(InputStatus::maskKeyboard("GUIManager"));
  EXPECT_EQ("<none>", nextStatusLine());

  tick('q', {ESC, 17});
  EXPECT_FALSE(InputStatus::getShadowKey(ESC));
  EXPECT_FALSE(InputStatus::getShadowPressed());
  EXPECT_FALSE(InputStatus::getIsNewKey());
  EXPECT_EQ('q', InputStatus::getKeyInput());

  EXPECT_FALSE(InputStatus::maskKeyboard("MenuManager"));
  EXPECT_EQ("MenuManager couldn't acquire input that is being masked by GUIManager",
            nextStatusLine());
  EXPECT_FALSE(InputStatus::unmaskKeyboard("MenuManager"));
  EXPECT_EQ("MenuManager tried to unmask input held by GUIManager", nextStatusLine());
  EXPECT_EQ("GUIManager", InputStatus::getMaskingClass());

  // The owner unmasks and reads this tick's events.
  EXPECT_TRUE(InputStatus::unmaskKeyboard("GUIManager"));
  EXPECT_EQ("NONE", InputStatus::getMaskingClass());
  EXPECT_TRUE(InputStatus::getShadowKey(ESC));
  EXPECT_TRUE(InputStatus::getIsNewKey());
  EXPECT_FALSE(InputStatus::unmaskKeyboard("GUIManager"));
  EXPECT_EQ("GUIManager tried to unmask input; but it was already unmasked",
            nextStatusLine());
  EXPECT_EQ("<none>", nextStatusLine());
}

TEST_F(InputStatusTest, RawReadingsFeedTheTick) {
  char lastKey = '*';
  InputStatus::RawInput raw;
  raw.mouseX = 300;
  raw.mouseY = 200;
  raw.leftLatch = true;  // down and up again between two polls
  raw.keyRead = true;
  raw.keyCode = (KEY_A << 8) | 'a';
  raw.keysDown[KEY_A] = true;
  InputStatus::applyRaw(raw, lastKey);
  EXPECT_EQ('a', lastKey);
  EXPECT_EQ(300, InputStatus::getCursorX());
  EXPECT_TRUE(InputStatus::getLeftClicked());
  EXPECT_TRUE(InputStatus::getIsNewKey());

  // Nothing read: the last character repeats, the button comes from mouse_b.
  InputStatus::RawInput idle;
  idle.mouseButtons = 1;
  InputStatus::applyRaw(idle, lastKey);
  EXPECT_EQ('a', lastKey);
  EXPECT_TRUE(InputStatus::getLeftPressed());
  EXPECT_FALSE(InputStatus::getLeftClicked());
  EXPECT_FALSE(InputStatus::getIsNewKey());
  idle.mouseButtons = 2;  // the right button is never reported
  InputStatus::applyRaw(idle, lastKey);
  EXPECT_TRUE(InputStatus::getLeftReleased());
  EXPECT_FALSE(InputStatus::getRightPressed());
}

}  // namespace

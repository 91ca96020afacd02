#include "InputStatus.h"

#include <allegro.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "DTime.h"
#include "KivSettings.h"
#include "UiTestSetup.h"

namespace {

using IS = InputStatus;
const int LSHIFT = 115;

class InputStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    IS::reset();
    KivSettings::deleteMessages();
  }
  void TearDown() override {
    IS::reset();
    libkorvet::DTime::setManualClock(false);
  }

  // A key taken from the buffer, and whether the handler saw the key let go
  // before it (a key held at the last poll types again only then).
  struct Read {
    int code;
    char ascii;
    bool releasedBefore = false;
  };
  // One tick: the keys read since the last one and the keys down now.
  // Returns the character typed in it, '.' for none.
  static char tick(const std::vector<Read>& read = {}, std::initializer_list<int> down = {}) {
    IS::RawInput raw;
    for (const Read& r : read) {
      raw.keysRead.push_back(r.code << 8 | static_cast<unsigned char>(r.ascii));
      if (r.releasedBefore) ++raw.keyReleases[r.code];
    }
    for (int c : down) raw.keysDown[c] = true;
    IS::updateKeyboard(raw);
    return IS::getIsNewKey() ? IS::getKeyInput() : '.';
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

// A fast typist against 33 ms ticks: keys overlap ticks, come twice between
// two polls, or several in one; a starved program may not see a release
// before the next press of the same key, or see a key down before its press
// reaches the buffer.
TEST_F(InputStatusTest, EveryKeyReadIsTypedOnceInOrder) {
  libkorvet::DTime::setManualClock(true);
  auto next = [](const std::vector<Read>& read, std::initializer_list<int> down) {
    libkorvet::DTime::advanceManualClock(33);
    return tick(read, down);
  };
  std::string got;
  got += next({{KEY_B, 'b'}}, {KEY_B});
  got += next({}, {KEY_B});
  got += next({{KEY_O, 'o'}}, {KEY_O});
  got += next({{KEY_O, 'o', true}}, {KEY_O});  // let go and pressed again between two polls
  got += next({{KEY_O, 'o'}}, {KEY_O});        // ... and again, the release unseen
  got += next({{KEY_K, 'k'}, {KEY_E, 'e'}, {KEY_E, 'e', true}}, {});
  got += next({}, {});
  got += next({}, {});
  got += next({{KEY_X, 'x'}}, {});  // down and up between two polls
  got += next({}, {KEY_M});         // down, its press not in the buffer yet
  got += next({{KEY_M, 'm'}}, {KEY_M});
  EXPECT_EQ("b.oookeex.m", got);
  // A release read before the press that follows it reaches the buffer, long
  // after the key last typed.
  libkorvet::DTime::advanceManualClock(1000);
  IS::RawInput released;
  released.keyReleases[KEY_M] = 1;
  released.keysDown[KEY_M] = true;
  IS::updateKeyboard(released);
  EXPECT_EQ('m', tick({{KEY_M, 'm'}}, {KEY_M}));
  EXPECT_FALSE(IS::getSpecialPressed());

  // The last key read is the engine's lastKey.
  char lastKey = '*';
  IS::RawInput raw;
  raw.keysRead = {KEY_Q << 8 | 'q', KEY_W << 8 | 'w'};
  IS::applyRaw(raw, lastKey);
  EXPECT_TRUE(lastKey == 'w' && IS::getKeyInput() == 'q');
}

TEST_F(InputStatusTest, ShadowFlagsComeWithTheirKeysEvent) {
  // Enter read after a letter: readers see it down in its own tick, after
  // the letter, not beside it.
  EXPECT_EQ('h', tick({{KEY_H, 'h'}, {KEY_ENTER, 13}}, {KEY_ENTER}));
  EXPECT_TRUE(IS::getShadowPressed() && !IS::getShadowKey(KEY_ENTER));
  EXPECT_EQ(13, tick({}, {KEY_ENTER}));
  EXPECT_TRUE(IS::getShadowPressed() && IS::getShadowKey(KEY_ENTER) && IS::getSpecialPressed());
  // Held: the flag stays without a new key-down; released, it lasts a tick.
  tick({}, {KEY_ENTER});
  EXPECT_TRUE(IS::getShadowKey(KEY_ENTER) && !IS::getShadowPressed());
  tick();
  EXPECT_TRUE(IS::getShadowKey(KEY_ENTER));
  tick();
  EXPECT_FALSE(IS::getShadowKey(KEY_ENTER));
  // A modifier is a key-down but types nothing.
  EXPECT_EQ('.', tick({}, {LSHIFT}));
  EXPECT_TRUE(IS::getShadowPressed());
  EXPECT_FALSE(IS::getShadowKey(127) || IS::getShadowKey(-1));
}

TEST_F(InputStatusTest, HeldEditingKeysRepeatOnTheEngineClock) {
  libkorvet::DTime::setManualClock(true);
  EXPECT_EQ(8, tick({{KEY_BACKSPACE, 8}}, {KEY_BACKSPACE}));
  std::vector<int> repeatsAt;
  for (int ms = 10; ms <= 1000; ms += 10) {
    libkorvet::DTime::advanceManualClock(10);
    // The desktop repeats too, after its own delay; only the engine's own
    // repeats count.
    const bool desktopRepeats = ms >= 660 && ms % 40 == 20;
    const std::vector<Read> desktop = desktopRepeats ? std::vector<Read>{{KEY_BACKSPACE, 8}} : std::vector<Read>{};
    if (tick(desktop, {KEY_BACKSPACE}) == 8) {
      EXPECT_TRUE(IS::getShadowPressed() && IS::getShadowKey(KEY_BACKSPACE));
      repeatsAt.push_back(ms);
    }
  }
  // Half a second, then 25 a second.
  ASSERT_EQ(13u, repeatsAt.size());
  EXPECT_EQ(500, repeatsAt.front());
  EXPECT_EQ(980, repeatsAt.back());
  // A stalled loop gets one repeat, not the ones it missed.
  libkorvet::DTime::advanceManualClock(400);
  EXPECT_EQ(8, tick({}, {KEY_BACKSPACE}));
  EXPECT_EQ('.', tick({}, {KEY_BACKSPACE}));
  // Released, it stops; a held letter types once, however the desktop
  // repeats it, and at most twice more under a repeat delay shorter than a
  // retyped key's.
  tick();
  libkorvet::DTime::advanceManualClock(1000);
  EXPECT_EQ('.', tick());
  for (int delay : {660, 100}) {
    std::string held(1, tick({{KEY_A, 'a'}}, {KEY_A}));
    libkorvet::DTime::advanceManualClock(delay);
    for (int n = 0; n < 6; ++n, libkorvet::DTime::advanceManualClock(40)) held += tick({{KEY_A, 'a'}}, {KEY_A});
    held += tick();
    EXPECT_EQ(delay == 660 ? "a......." : "aaa.....", held) << delay;
  }
}

TEST_F(InputStatusTest, MaskingHidesKeysWithItsTexts) {
  EXPECT_TRUE(IS::maskKeyboard("GUIManager") && IS::maskKeyboard("GUIManager"));
  EXPECT_EQ("<none>", statusLine());
  tick({{KEY_ESC, 27}, {KEY_Q, 'q'}}, {KEY_ESC, KEY_Q});
  EXPECT_FALSE(IS::getShadowKey(KEY_ESC) || IS::getShadowPressed() || IS::getIsNewKey());
  EXPECT_EQ(27, IS::getKeyInput());

  EXPECT_FALSE(IS::maskKeyboard("MenuManager"));
  EXPECT_EQ("InputStatus|80|MenuManager couldn't acquire input that is being masked by GUIManager",
            statusLine());
  EXPECT_FALSE(IS::unmaskKeyboard("MenuManager"));
  EXPECT_EQ("InputStatus|80|MenuManager tried to unmask input held by GUIManager", statusLine());
  EXPECT_TRUE(IS::unmaskKeyboard("GUIManager"));
  EXPECT_TRUE(IS::getShadowKey(KEY_ESC) && IS::getIsNewKey());
  EXPECT_FALSE(IS::unmaskKeyboard("GUIManager"));
  EXPECT_EQ("InputStatus|80|GUIManager tried to unmask input; but it was already unmasked", statusLine());
}

}  // namespace

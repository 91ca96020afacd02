// Sections: [constants and state] [feeding: buttons, shadow keys, typed-key
// queue and key repeat, keyboard reading] [reading] [masking].

#include "InputStatus.h"

#include <algorithm>
#include <atomic>
#include <deque>

#include "DTime.h"
#include "KivSettings.h"

// Last: its macros and globals must not leak into the headers above.
#include <allegro.h>

namespace {

// Shift, control, alt and alt-gr: they change what a key types but are not
// input of their own, so they never count as "a key went down" for readers.
const int FIRST_MODIFIER = 115;  // KEY_LSHIFT
const int LAST_MODIFIER = 120;   // KEY_ALTGR

// A shadow flag outlives its key by one tick, so a key that is down for less
// than a tick between two polls is still seen by every reader.
const int SHADOW_RELEASE_TICKS = 2;

const char* const NO_OWNER = "NONE";
const int NO_KEY = -1;

bool isModifier(int c) { return c >= FIRST_MODIFIER && c <= LAST_MODIFIER; }

// The editing and scrolling keys; others type once however long they are held.
bool repeats(int c) {
  return c == KEY_BACKSPACE || c == KEY_DEL || c == KEY_LEFT || c == KEY_RIGHT || c == KEY_UP || c == KEY_DOWN;
}

// A key read from the buffer, or repeated, waiting for its tick.
struct TypedKey {
  int scancode;  // NO_KEY when the buffer named none
  char ascii;
};

// What only the feed itself keeps between polls.
struct KeyFeed {
  std::deque<TypedKey> pending;
  unsigned char unmatchedReleases[InputStatus::NUM_SCANCODES] = {};
  // Per key: whether it was read since a poll last saw it up, when it last
  // typed, how many presses in a row it typed with no release seen, and
  // whether the desktop is repeating it.
  bool readSinceUp[InputStatus::NUM_SCANCODES] = {};
  libkorvet::DTime typedAt[InputStatus::NUM_SCANCODES];
  unsigned char retypes[InputStatus::NUM_SCANCODES] = {};
  bool desktopRepeating[InputStatus::NUM_SCANCODES] = {};
  int repeatKey = NO_KEY;
  char repeatAscii = 0;
  libkorvet::DTime repeatSince;  // the engine's clock, manual in tests
  int repeatsSent = 0;
};

KeyFeed& feed() {
  static KeyFeed f;
  return f;
}

// Counted on the keyboard handler's thread, taken by the main loop.
std::atomic<unsigned char> releaseCounts[InputStatus::NUM_SCANCODES];

void countRelease(int scancode) {
  // Bit 7 marks a release.
  const int c = scancode & 0x7F;
  if ((scancode & 0x80) != 0 && c < InputStatus::NUM_SCANCODES) releaseCounts[c].fetch_add(1);
}
END_OF_FUNCTION(countRelease)

}  // namespace

int InputStatus::cursorX = 0;
int InputStatus::cursorY = 0;
bool InputStatus::leftPressed = false;
bool InputStatus::rightPressed = false;
bool InputStatus::clickedLeft = false;
bool InputStatus::clickedRight = false;
bool InputStatus::releasedLeft = false;
bool InputStatus::releasedRight = false;
bool InputStatus::middlePressed = false;
bool InputStatus::clickedMiddle = false;
int InputStatus::wheelSteps = 0;
char InputStatus::keyInput = '*';
bool InputStatus::newKeyPress = false;
bool InputStatus::specialPressed = false;
bool InputStatus::shadowKeys[InputStatus::NUM_SCANCODES] = {};
short InputStatus::shadowCounter[InputStatus::NUM_SCANCODES] = {};
bool InputStatus::shadowPressed = false;
bool InputStatus::inputPressed = false;
bool InputStatus::maskingKeyboard = false;
std::string InputStatus::maskingClass = NO_OWNER;

InputStatus::InputStatus() {
  for (int c = 0; c < NUM_SCANCODES; ++c) {
    shadowKeys[c] = false;
    shadowCounter[c] = 0;
  }
}

void InputStatus::reset() {
  cursorX = cursorY = 0;
  leftPressed = rightPressed = false;
  clickedLeft = clickedRight = false;
  releasedLeft = releasedRight = false;
  middlePressed = clickedMiddle = false;
  wheelSteps = 0;
  keyInput = '*';
  newKeyPress = false;
  specialPressed = false;
  for (int c = 0; c < NUM_SCANCODES; ++c) {
    shadowKeys[c] = false;
    shadowCounter[c] = 0;
  }
  shadowPressed = inputPressed = false;
  maskingKeyboard = false;
  maskingClass = NO_OWNER;
  feed() = KeyFeed();
  for (std::atomic<unsigned char>& count : releaseCounts) count.store(0);
}

// ---------------------------------------------------------------------------
// Feeding

void InputStatus::updateCoordinates(int x, int y) {
  cursorX = x;
  cursorY = y;
}

void InputStatus::updateWheelAndMiddle(bool middle, int steps) {
  clickedMiddle = middle && !middlePressed;
  middlePressed = middle;
  wheelSteps = steps;
}

void InputStatus::updateButtonStatus(bool left, bool right) {
  clickedLeft = releasedLeft = false;
  clickedRight = releasedRight = false;
  if (left) {
    clickedLeft = !leftPressed;
    leftPressed = true;
  } else {
    releasedLeft = leftPressed;
    leftPressed = false;
  }
  if (right) {
    clickedRight = !rightPressed;
    rightPressed = true;
  } else {
    releasedRight = rightPressed;
    rightPressed = false;
  }
}

// Non-modifier keys get their flag when their typed-key event is delivered
// (deliverTypedKey), so a reader that sees a key's flag together with a
// key-down sees it in the tick of that key's own event, in typing order.
void InputStatus::updateShadowKeys(const bool* keysDown) {
  shadowPressed = false;
  inputPressed = false;
  for (int c = 0; c < NUM_SCANCODES; ++c) {
    if (keysDown[c]) {
      if (isModifier(c) && !shadowKeys[c]) {
        shadowKeys[c] = true;
        shadowPressed = true;
      }
      // The release count starts again whenever the key is seen down, so the
      // flag always lasts into the first tick after the final release.
      if (shadowKeys[c]) shadowCounter[c] = 0;
    } else if (shadowKeys[c]) {
      ++shadowCounter[c];
      if (shadowCounter[c] >= SHADOW_RELEASE_TICKS) shadowKeys[c] = false;
    }
  }
}

void InputStatus::queueKeys(const RawInput& raw) {
  KeyFeed& f = feed();
  int releases[NUM_SCANCODES];
  for (int c = 0; c < NUM_SCANCODES; ++c) releases[c] = f.unmatchedReleases[c] + raw.keyReleases[c];

  for (int code : raw.keysRead) {
    const int c = (code >> 8) & 0xFF;
    const char ascii = static_cast<char>(code & 0xFF);
    const bool known = c > 0 && c < NUM_SCANCODES;
    if (known) {
      if (releases[c] > 0 || !f.readSinceUp[c]) {
        // Let go before it, or the first read since the key went down.
        if (releases[c] > 0) --releases[c];
        f.retypes[c] = 0;
        f.desktopRepeating[c] = false;
      } else if (isDesktopRepeat(c)) {
        // Held keys repeat on the engine's clock.
        continue;
      } else {
        ++f.retypes[c];
      }
      f.readSinceUp[c] = true;
      f.typedAt[c].updateTime();
    }
    if (static_cast<int>(f.pending.size()) < MAX_PENDING_KEYS) f.pending.push_back({known ? c : NO_KEY, ascii});
    // The key pressed last is the one that repeats, if it is one that does.
    f.repeatKey = known && repeats(c) ? c : NO_KEY;
    f.repeatAscii = ascii;
    f.repeatSince.updateTime();
    f.repeatsSent = 0;
  }
  // A release whose next press is not read yet waits for it while the key is
  // down again; a key seen up needs none.
  for (int c = 0; c < NUM_SCANCODES; ++c) {
    f.unmatchedReleases[c] = static_cast<unsigned char>(raw.keysDown[c] ? std::min(releases[c], 255) : 0);
  }
}

// For a key read while it was already read in this hold, with no release
// seen before it.
bool InputStatus::isDesktopRepeat(int c) {
  KeyFeed& f = feed();
  if (f.retypes[c] >= MAX_RETYPES || f.typedAt[c].timeElapsed() >= static_cast<unsigned int>(RETYPE_WINDOW_MS))
    f.desktopRepeating[c] = true;
  return f.desktopRepeating[c];
}

void InputStatus::queueRepeat(const bool* keysDown) {
  KeyFeed& f = feed();
  if (f.repeatKey == NO_KEY) return;
  if (!keysDown[f.repeatKey]) {
    f.repeatKey = NO_KEY;
    return;
  }
  const unsigned int held = f.repeatSince.timeElapsed();
  if (held < static_cast<unsigned int>(REPEAT_DELAY_MS)) return;
  const int due = 1 + static_cast<int>((held - REPEAT_DELAY_MS) / REPEAT_INTERVAL_MS);
  if (due <= f.repeatsSent) return;
  // At most one per tick, and none while the last one still waits: a loop
  // that fell behind skips repeats instead of bursting them out later.
  f.repeatsSent = due;
  for (const TypedKey& k : f.pending)
    if (k.scancode == f.repeatKey) return;
  if (static_cast<int>(f.pending.size()) < MAX_PENDING_KEYS) f.pending.push_back({f.repeatKey, f.repeatAscii});
}

void InputStatus::deliverTypedKey() {
  KeyFeed& f = feed();
  if (f.pending.empty()) return;
  const TypedKey k = f.pending.front();
  f.pending.pop_front();
  keyInput = k.ascii;
  newKeyPress = true;
  specialPressed = checkSpecialKeys();
  shadowPressed = true;
  inputPressed = true;
  if (k.scancode != NO_KEY) {
    shadowKeys[k.scancode] = true;
    shadowCounter[k.scancode] = 0;
  }
}

void InputStatus::updateKeyboard(const RawInput& raw) {
  queueKeys(raw);
  queueRepeat(raw.keysDown);
  updateShadowKeys(raw.keysDown);
  newKeyPress = false;
  deliverTypedKey();
  for (int c = 0; c < NUM_SCANCODES; ++c)
    if (!raw.keysDown[c]) feed().readSinceUp[c] = false;
}

void InputStatus::watchKeyboard() {
  LOCK_FUNCTION(countRelease);
  keyboard_lowlevel_callback = countRelease;
}

void InputStatus::readKeyboard(RawInput& raw) {
  poll_keyboard();
  raw.keysRead.clear();
  // Bounded: the keyboard handler may go on filling the buffer meanwhile.
  for (int n = 0; n < MAX_PENDING_KEYS && keypressed(); ++n) raw.keysRead.push_back(readkey());
  // Releases after the buffer: the handler counts a release before it
  // buffers the next press of that key, so every key read here finds the
  // release that came before it.
  for (int c = 0; c < NUM_SCANCODES; ++c) raw.keyReleases[c] = releaseCounts[c].exchange(0);
  for (int c = 0; c < NUM_SCANCODES; ++c) raw.keysDown[c] = key[c] != 0;
}

void InputStatus::applyRaw(const RawInput& raw, char& lastKey) {
  // The latch catches a click that went down and up between two polls.
  const bool left = raw.leftLatch || (raw.mouseButtons & 1) != 0;
  const bool right = raw.rightLatch || (raw.mouseButtons & 2) != 0;
  updateCoordinates(raw.mouseX, raw.mouseY);
  updateButtonStatus(left, right);
  updateWheelAndMiddle((raw.mouseButtons & 4) != 0, raw.wheelSteps);
  if (!raw.keysRead.empty()) lastKey = static_cast<char>(raw.keysRead.back() & 0xFF);
  updateKeyboard(raw);
}

// ---------------------------------------------------------------------------
// Reading

int InputStatus::getCursorX() { return cursorX; }
int InputStatus::getCursorY() { return cursorY; }
bool InputStatus::getLeftPressed() { return leftPressed; }
bool InputStatus::getRightPressed() { return rightPressed; }
bool InputStatus::getMiddlePressed() { return middlePressed; }
bool InputStatus::getMiddleClicked() { return clickedMiddle; }
int InputStatus::getWheelSteps() { return wheelSteps; }
bool InputStatus::getLeftClicked() { return clickedLeft; }
bool InputStatus::getRightClicked() { return clickedRight; }
bool InputStatus::getLeftReleased() { return releasedLeft; }
bool InputStatus::getRightReleased() { return releasedRight; }
char InputStatus::getKeyInput() { return keyInput; }

bool InputStatus::getIsNewKey() { return !maskingKeyboard && newKeyPress; }

bool InputStatus::getSpecialPressed() {
  return !maskingKeyboard && specialPressed;
}

bool InputStatus::getShadowPressed() {
  return !maskingKeyboard && shadowPressed;
}

bool InputStatus::getShadowKey(int scancode) {
  if (maskingKeyboard || scancode < 0 || scancode >= NUM_SCANCODES) {
    return false;
  }
  return shadowKeys[scancode];
}

bool InputStatus::checkSpecialKeys() {
  return !KivSettings::isValidTyping(keyInput);
}

// ---------------------------------------------------------------------------
// Masking

bool InputStatus::maskKeyboard(const std::string& owner) {
  if (maskingKeyboard) {
    if (maskingClass == owner) return true;
    KivSettings::addChatMessage(
        "InputStatus",
        owner + " couldn't acquire input that is being masked by " +
            maskingClass,
        80);
    return false;
  }
  maskingKeyboard = true;
  maskingClass = owner;
  return true;
}

bool InputStatus::unmaskKeyboard(const std::string& owner) {
  if (maskingKeyboard) {
    if (maskingClass == owner) {
      maskingKeyboard = false;
      maskingClass = NO_OWNER;
      return true;
    }
    KivSettings::addChatMessage(
        "InputStatus", owner + " tried to unmask input held by " + maskingClass,
        80);
    return false;
  }
  KivSettings::addChatMessage(
      "InputStatus",
      owner + " tried to unmask input; but it was already unmasked", 80);
  return false;
}

bool InputStatus::getMaskingKeyboard() { return maskingKeyboard; }
std::string InputStatus::getMaskingClass() { return maskingClass; }

// Sections: [constants and state] [feeding: buttons, shadow keys, typed-key
// events, device poll] [reading] [masking].

#include "InputStatus.h"

#include <allegro.h>

#include "KivSettings.h"

namespace {

// Shift, control, alt and alt-gr: they change what a key types but are not
// input of their own, so they never count as "a key went down" for readers.
const int FIRST_MODIFIER = 115;  // KEY_LSHIFT
const int LAST_MODIFIER = 120;   // KEY_ALTGR

const int KEY_STATE_IDLE = 0;
const int KEY_STATE_HELD = 1;
// A shadow flag outlives its key by one tick, so a key that is down for less
// than a tick between two polls is still seen by every reader.
const int SHADOW_RELEASE_TICKS = 2;
const int KEY_TIMER_MAX = 300;

const char* const NO_OWNER = "NONE";

}  // namespace

int InputStatus::cursorX = 0;
int InputStatus::cursorY = 0;
bool InputStatus::leftPressed = false;
bool InputStatus::rightPressed = false;
bool InputStatus::clickedLeft = false;
bool InputStatus::clickedRight = false;
bool InputStatus::releasedLeft = false;
bool InputStatus::releasedRight = false;
char InputStatus::keyInput = '*';
bool InputStatus::newKeyPress = false;
bool InputStatus::specialPressed = false;
int InputStatus::keyState = KEY_STATE_IDLE;
int InputStatus::keyTimer = 255;
int InputStatus::countShadow = 0;
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
  keyInput = '*';
  newKeyPress = false;
  specialPressed = false;
  keyState = KEY_STATE_IDLE;
  keyTimer = 255;
  countShadow = 0;
  for (int c = 0; c < NUM_SCANCODES; ++c) {
    shadowKeys[c] = false;
    shadowCounter[c] = 0;
  }
  shadowPressed = inputPressed = false;
  maskingKeyboard = false;
  maskingClass = NO_OWNER;
}

// ---------------------------------------------------------------------------
// Feeding

void InputStatus::updateCoordinates(int x, int y) {
  cursorX = x;
  cursorY = y;
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

int InputStatus::updateShadowKeys(const bool* keysDown) {
  int newlyDown = 0;
  shadowPressed = false;
  inputPressed = false;
  for (int c = 0; c < NUM_SCANCODES; ++c) {
    if (keysDown[c]) {
      if (!shadowKeys[c]) {
        shadowKeys[c] = true;
        ++newlyDown;
        shadowPressed = true;
        if (c < FIRST_MODIFIER || c > LAST_MODIFIER) inputPressed = true;
      }
      // The release count starts again whenever the key is seen down, so the
      // flag always lasts into the first tick after the final release.
      shadowCounter[c] = 0;
    } else if (shadowKeys[c]) {
      ++shadowCounter[c];
      if (shadowCounter[c] >= SHADOW_RELEASE_TICKS) shadowKeys[c] = false;
    }
  }
  return newlyDown;
}

void InputStatus::typedKeyEvent(char newInput) {
  keyInput = newInput;
  newKeyPress = true;
  specialPressed = checkSpecialKeys();
}

// The engine hands over the last character taken from the keyboard buffer and
// repeats it every tick until another arrives, so a character alone cannot
// tell a new press of the same key from a held one. The key-down edges of the
// shadow keys can: each edge is paired with one character event.
void InputStatus::updateKeyboard(char newInput, const bool* keysDown) {
  countShadow += updateShadowKeys(keysDown);
  newKeyPress = false;

  if (keyState == KEY_STATE_IDLE) {
    if (inputPressed) {
      if (newInput == keyInput) {
        // The same key again: its character may not be in the buffer yet,
        // so the event waits until the held state has run two ticks.
        keyState = KEY_STATE_HELD;
        keyTimer = 0;
      } else {
        typedKeyEvent(newInput);
      }
      if (countShadow > 0) --countShadow;
    } else if (countShadow > 0) {
      // A key-down edge seen before its character arrived is paired with the
      // character of a later tick.
      if (newInput == keyInput) {
        --countShadow;
      } else {
        typedKeyEvent(newInput);
        if (countShadow > 0) --countShadow;
      }
    }
  }

  if (keyState == KEY_STATE_HELD) {
    if (newInput != keyInput || keyTimer > 1) {
      typedKeyEvent(newInput);
      keyState = KEY_STATE_IDLE;
    }
  }

  if (keyTimer < KEY_TIMER_MAX) ++keyTimer;
}

void InputStatus::updateKeyboard(char newInput) {
  bool keysDown[NUM_SCANCODES];
  for (int c = 0; c < NUM_SCANCODES; ++c) keysDown[c] = key[c] != 0;
  updateKeyboard(newInput, keysDown);
}

InputStatus::RawInput InputStatus::readDevices(bool leftLatch) {
  RawInput raw;
  poll_mouse();
  raw.mouseX = mouse_x;
  raw.mouseY = mouse_y;
  raw.mouseButtons = mouse_b;
  raw.leftLatch = leftLatch;
  poll_keyboard();
  if (keypressed()) {
    raw.keyRead = true;
    raw.keyCode = readkey();
    // Only the newest key counts; whatever else is buffered would otherwise
    // come out as stale events in later ticks.
    clear_keybuf();
  }
  for (int c = 0; c < NUM_SCANCODES; ++c) raw.keysDown[c] = key[c] != 0;
  return raw;
}

void InputStatus::applyRaw(const RawInput& raw, char& lastKey) {
  // The latch catches a click that went down and up between two polls.
  bool left = raw.leftLatch || (raw.mouseButtons & 1) != 0;
  updateCoordinates(raw.mouseX, raw.mouseY);
  updateButtonStatus(left, false);
  if (raw.keyRead) lastKey = static_cast<char>(raw.keyCode & 0xFF);
  updateKeyboard(lastKey, raw.keysDown);
}

void InputStatus::poll(bool leftLatch, char& lastKey) {
  applyRaw(readDevices(leftLatch), lastKey);
}

// ---------------------------------------------------------------------------
// Reading

int InputStatus::getCursorX() { return cursorX; }
int InputStatus::getCursorY() { return cursorY; }
bool InputStatus::getLeftPressed() { return leftPressed; }
bool InputStatus::getRightPressed() { return rightPressed; }
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

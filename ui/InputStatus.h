#ifndef UI_INPUTSTATUS_H
#define UI_INPUTSTATUS_H

// InputStatus: the one program-wide snapshot of mouse and keyboard input for
// the current logic tick. The game engine feeds it once per tick (coordinates,
// buttons, keyboard, in that order); every widget reads edges from it through
// the static getters. One component at a time may take the keyboard (masking),
// after which the key getters report nothing to anyone.
// Requires: main thread only.

#include <string>

class InputStatus {
 public:
  // Allegro scancodes 0 to 126 are tracked.
  static const int NUM_SCANCODES = 127;

  // What the devices said in one poll, before any edge detection. The game
  // engine fills it from Allegro (readDevices); tests build it by hand.
  struct RawInput {
    int mouseX = 0;
    int mouseY = 0;
    int mouseButtons = 0;      // Allegro's mouse_b bits
    bool leftLatch = false;    // the mouse callback saw the left button go down
    bool keyRead = false;      // a key was taken from the keyboard buffer
    int keyCode = 0;           // readkey(): scancode in the high byte, ASCII in the low
    bool keysDown[NUM_SCANCODES] = {};  // Allegro's key[] array
  };

  InputStatus();

  // Restores every member to its process-start value (masking included).
  static void reset();

  // Feeding, once per tick in this order.
  static void updateCoordinates(int x, int y);
  static void updateButtonStatus(bool left, bool right);
  // Reads the pressed keys from Allegro's key[] array.
  static void updateKeyboard(char newInput);
  // The same step with the pressed keys supplied by the caller
  // (keysDown[c] for scancodes 0 to NUM_SCANCODES - 1).
  static void updateKeyboard(char newInput, const bool* keysDown);

  // One whole poll. readDevices reads Allegro (polling mouse and keyboard,
  // taking at most one key and emptying the keyboard buffer); applyRaw turns
  // those readings into this tick's state. lastKey is the ASCII code of the
  // last key taken from the buffer, kept by the caller from tick to tick: it
  // repeats until another key is read, which is what updateKeyboard expects.
  static RawInput readDevices(bool leftLatch);
  static void applyRaw(const RawInput& raw, char& lastKey);
  static void poll(bool leftLatch, char& lastKey);

  // Reading.
  static int getCursorX();
  static int getCursorY();
  static bool getLeftPressed();
  static bool getRightPressed();
  static bool getLeftClicked();
  static bool getRightClicked();
  static bool getLeftReleased();
  static bool getRightReleased();
  static char getKeyInput();  // not masked
  static bool getIsNewKey();
  static bool getSpecialPressed();
  static bool getShadowPressed();
  static bool getShadowKey(int scancode);
  static bool checkSpecialKeys();

  // Masking: the owner's name identifies who holds the keyboard.
  static bool maskKeyboard(const std::string& owner);
  static bool unmaskKeyboard(const std::string& owner);
  static bool getMaskingKeyboard();
  static std::string getMaskingClass();

  static int getNumInstances() { return -1; }

 private:
  // Returns the number of keys newly seen down in this pass.
  static int updateShadowKeys(const bool* keysDown);
  static void typedKeyEvent(char newInput);

  static int cursorX, cursorY;
  static bool leftPressed, rightPressed;
  static bool clickedLeft, clickedRight;
  static bool releasedLeft, releasedRight;
  static char keyInput;
  static bool newKeyPress;
  static bool specialPressed;
  static int keyState;
  static int keyTimer;
  static int countShadow;
  static bool shadowKeys[NUM_SCANCODES];
  static short shadowCounter[NUM_SCANCODES];
  static bool shadowPressed;
  static bool inputPressed;
  static bool maskingKeyboard;
  static std::string maskingClass;
};

#endif  // UI_INPUTSTATUS_H

#ifndef UI_INPUTSTATUS_H
#define UI_INPUTSTATUS_H

// InputStatus: the one program-wide snapshot of mouse and keyboard input for
// the current logic tick. The game engine feeds it once per tick (coordinates,
// buttons, keyboard, in that order); every widget reads edges from it through
// the static getters. Every key read from the keyboard buffer is delivered as
// one typed-key event, in order, one per tick; a key's shadow flag is raised in
// the tick its event is delivered and stays while it is held. One component at
// a time may take the keyboard (masking), after which the key getters report
// nothing to anyone.
// Requires: main thread only.

#include <string>
#include <vector>

class InputStatus {
 public:
  // Allegro scancodes 0 to 126 are tracked.
  static const int NUM_SCANCODES = 127;

  // What the devices said in one poll, before any edge detection. The game
  // engine fills the keyboard part from Allegro (readKeyboard); tests build
  // it by hand.
  struct RawInput {
    int mouseX = 0;
    int mouseY = 0;
    int mouseButtons = 0;      // Allegro's mouse_b bits
    bool leftLatch = false;    // the mouse callback saw the left button go down
    bool rightLatch = false;   // ... and the right one
    int wheelSteps = 0;        // wheel turns since the last poll, away from the user positive
    // Every key taken from the keyboard buffer since the last poll, oldest
    // first, as readkey() gives it: scancode in the high byte, ASCII in the low.
    std::vector<int> keysRead;
    bool keysDown[NUM_SCANCODES] = {};  // Allegro's key[] array
    // Releases the keyboard handler reported since the last poll, read after
    // the buffer: a key already read while it is held types again after one;
    // the desktop's own repeat of a held key comes without.
    unsigned char keyReleases[NUM_SCANCODES] = {};
  };

  // Held Backspace, Delete and arrow keys repeat after this delay, this often.
  static const int REPEAT_DELAY_MS = 500;
  static const int REPEAT_INTERVAL_MS = 40;
  // Typed keys waiting for their tick; more are dropped.
  static const int MAX_PENDING_KEYS = 64;
  // A key read again while it is held, with no release seen, is a new press
  // when it comes this soon after the key last typed, at most this many
  // times in a row: a starved program can get a release and the next press
  // of a key in one batch, and then neither is reported. Later, or beyond
  // that, it is the desktop's repeat (which starts after the repeat delay),
  // and so is every read of the key until it is let go.
  static const int RETYPE_WINDOW_MS = 200;
  static const int MAX_RETYPES = 2;

  InputStatus();

  // Restores every member to its process-start value (masking included).
  static void reset();

  // Feeding, once per tick in this order.
  static void updateCoordinates(int x, int y);
  static void updateButtonStatus(bool left, bool right);
  // The middle button and the wheel turns since the last tick.
  static void updateWheelAndMiddle(bool middle, int wheelSteps);
  // Every key read becomes one typed-key event, in order, one per tick; the
  // desktop's repeat of a held key is dropped and Backspace, Delete and the
  // arrows repeat on the engine's clock instead.
  static void updateKeyboard(const RawInput& raw);

  // Starts counting key releases in the keyboard handler (for readKeyboard).
  // Requires: Allegro's keyboard installed.
  static void watchKeyboard();
  // Takes every key from the keyboard buffer, then the releases counted
  // since the last call, and reads the keys down now.
  static void readKeyboard(RawInput& raw);
  // One whole tick of input from a reading; lastKey becomes the ASCII code of
  // the last key read, if any.
  static void applyRaw(const RawInput& raw, char& lastKey);

  // Reading.
  static int getCursorX();
  static int getCursorY();
  static bool getLeftPressed();
  static bool getRightPressed();
  static bool getLeftClicked();
  static bool getRightClicked();
  static bool getLeftReleased();
  static bool getRightReleased();
  static bool getMiddlePressed();
  static bool getMiddleClicked();
  // Wheel turns in this tick: positive away from the user (up), negative toward.
  static int getWheelSteps();
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
  static void updateShadowKeys(const bool* keysDown);
  static void queueKeys(const RawInput& raw);
  static bool isDesktopRepeat(int scancode);
  static void queueRepeat(const bool* keysDown);
  static void deliverTypedKey();

  static int cursorX, cursorY;
  static bool leftPressed, rightPressed;
  static bool clickedLeft, clickedRight;
  static bool releasedLeft, releasedRight;
  static bool middlePressed, clickedMiddle;
  static int wheelSteps;
  static char keyInput;
  static bool newKeyPress;
  static bool specialPressed;
  static bool shadowKeys[NUM_SCANCODES];
  static short shadowCounter[NUM_SCANCODES];
  static bool shadowPressed;
  static bool inputPressed;
  static bool maskingKeyboard;
  static std::string maskingClass;
};

#endif  // UI_INPUTSTATUS_H

#ifndef TESTS_UI_TICKDRIVER_H
#define TESTS_UI_TICKDRIVER_H

// One logic tick of input as the game engine feeds it: a device reading
// (pointer, left button, a key taken from the keyboard buffer with its
// scancode down) turned into InputStatus's state by applyRaw. Also a scratch
// folder holding a copy of the delivered settings file.

#include <allegro.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ConfigWriter.h"
#include "DTime.h"
#include "InputStatus.h"

namespace uitest {

// The desktop repeats a held key after its repeat delay (660 ms by default).
// A reading fed while one of these lives comes that long after the last one,
// on the manual clock, which is off again when it ends.
struct AfterRepeatDelay {
  static const unsigned int DESKTOP_REPEAT_DELAY_MS = 660;
  AfterRepeatDelay() {
    libkorvet::DTime::setManualClock(true);
    libkorvet::DTime::advanceManualClock(DESKTOP_REPEAT_DELAY_MS);
  }
  ~AfterRepeatDelay() { libkorvet::DTime::setManualClock(false); }
};

struct TickDriver {
  char lastKey = '*';
  int x = 0, y = 0;
  bool left = false, right = false, middle = false;
  int wheel = 0;  // turns in the next tick only

  // The pointer at (x, y) with the left button as given; scancode >= 0 is
  // held down this tick and its key (with ascii, 0 for keys without a
  // character) is read from the buffer. The same scancode in the next tick
  // is the key held on; see repeat() for the desktop's repeat.
  void feed(int scancode = -1, char ascii = 0) {
    InputStatus::RawInput raw;
    raw.mouseX = x;
    raw.mouseY = y;
    raw.mouseButtons = (left ? 1 : 0) | (right ? 2 : 0) | (middle ? 4 : 0);
    raw.wheelSteps = wheel;
    wheel = 0;
    if (scancode >= 0) {
      raw.keysDown[scancode] = true;
      raw.keysRead.push_back(scancode << 8 | static_cast<unsigned char>(ascii));
    }
    InputStatus::applyRaw(raw, lastKey);
  }
  // The key held on and read again as the desktop repeats it, its delay after
  // the last reading.
  void repeat(int scancode, char ascii) {
    AfterRepeatDelay later;
    feed(scancode, ascii);
  }
};

// Removes the scratch folders when the test program ends (not in the child
// of a death test, which exits while its parent still uses them).
struct ScratchFolders {
  pid_t owner = getpid();
  std::vector<std::string> dirs;
  ~ScratchFolders() {
    if (getpid() != owner) return;
    for (const std::string& d : dirs) std::system(("rm -rf " + d).c_str());
  }
};

// A fresh folder with data/kivsettings.cfg in it, set as the settings path.
inline std::string scratchSettings() {
  static ScratchFolders folders;
  char pattern[] = "/tmp/brelvin-ui-XXXXXX";
  std::string dir = std::string(mkdtemp(pattern)) + "/";
  folders.dirs.push_back(dir);
  std::ifstream in(std::string(BRELVIN_SOURCE_DIR) + "/data/kivsettings.cfg");
  std::stringstream text;
  text << in.rdbuf();
  std::ofstream(dir + "kivsettings.cfg") << text.str();
  ConfigWriter::setPath(dir);
  return dir;
}

}  // namespace uitest

#endif  // TESTS_UI_TICKDRIVER_H

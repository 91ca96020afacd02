#ifndef TESTS_SESSION_CANVASTESTSUPPORT_H
#define TESTS_SESSION_CANVASTESTSUPPORT_H

// Shared by the canvas and protocol tests: Allegro without a display, a sync
// engine over a bare data map (no network), and the status-line queue.

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "KivSettings.h"
#include "SyncDataMap.h"
#include "SyncEngine.h"
#include "SyncSettings.h"

// Last, and after everything else a test includes: its macros collide.
#include <allegro.h>

// Memory bitmaps at 24 bits, and a palette entry to paint with.
inline void initAllegro() {
  static bool done = false;
  if (!done) {
    install_allegro(SYSTEM_NONE, &errno, atexit);
    set_color_depth(24);
    done = true;
  }
}

inline void setPaletteEntry(int index, int r, int g, int b) {
  RGB entry;
  entry.r = static_cast<unsigned char>(r);
  entry.g = static_cast<unsigned char>(g);
  entry.b = static_cast<unsigned char>(b);
  entry.filler = 0;
  set_color(index, &entry);
}

// Hands out indexes the way the sync server does, over a map of
// 30000-byte segments and 3-byte specks.
class TestSyncEngine : public libksync::SyncEngine {
 public:
  TestSyncEngine() : settings([](std::string) {}), map(&settings), nextIndex(0) {
    settings.setSegmentSize(30000, 3);
    settings.setIsServer();
    settings.setEngine(this);
  }
  unsigned int getSyncIndex(unsigned short size) override {
    unsigned int old = nextIndex;
    unsigned int index = settings.calcSyncIndex(size, nextIndex);
    map.addData(nextIndex - old);
    return index;
  }
  libksync::SyncDataMap* retrieveDataMap() override { return &map; }

  libksync::SyncSettings settings;
  libksync::SyncDataMap map;
  unsigned int nextIndex;
};

struct StatusLine {
  std::string owner;
  std::string text;
  int color;
};

inline std::vector<StatusLine> drainChat() {
  std::vector<StatusLine> lines;
  StatusLine line;
  while (KivSettings::getChatMessage(line.owner, line.text, line.color)) lines.push_back(line);
  return lines;
}

#endif  // TESTS_SESSION_CANVASTESTSUPPORT_H

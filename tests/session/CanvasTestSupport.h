#ifndef TESTS_SESSION_CANVASTESTSUPPORT_H
#define TESTS_SESSION_CANVASTESTSUPPORT_H

// Shared by all session tests: Allegro without a display, a sync engine over a
// bare data map (no network), byte helpers and the chat queue.

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DBuffer.h"
#include "KivSettings.h"
#include "SyncDataMap.h"
#include "SyncEngine.h"
#include "SyncSettings.h"

// Last: its macros collide with the headers above.
#include <allegro.h>

typedef std::vector<unsigned char> Bytes;

// Memory bitmaps at 24 bits, with a palette entry to paint with (6-bit values).
inline void initAllegro(int index = 5, unsigned char r = 10, unsigned char g = 20, unsigned char b = 30) {
  static bool done = false;
  if (!done) install_allegro(SYSTEM_NONE, &errno, atexit);
  set_color_depth(24);
  done = true;
  RGB entry = {r, g, b, 0};
  set_color(index, &entry);
}

// Hands out indexes as the sync server does: 30000-byte segments, 3-byte specks.
class TestSyncEngine : public libksync::SyncEngine {
 public:
  TestSyncEngine() : settings([](std::string) {}), map(&settings), nextIndex(0) {
    settings.setSegmentSize(30000, 3);
    settings.setIsServer();
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
  std::string owner, text;
  int color;
};

// The queued lines; repeats seen so far are forgotten, so the next line is
// shown even when it equals one of these.
inline std::vector<StatusLine> drainChat() {
  std::vector<StatusLine> lines;
  StatusLine line;
  while (KivSettings::getChatMessage(line.owner, line.text, line.color)) lines.push_back(line);
  KivSettings::deleteMessages();
  return lines;
}

inline bool hasLine(const std::vector<StatusLine>& lines, const std::string& owner, const std::string& text,
                    int color = 80) {
  for (const StatusLine& l : lines)
    if (l.owner == owner && l.text == text && l.color == color) return true;
  return false;
}

// Exactly one status line was posted, by owner, starting with prefix.
inline void expectStatus(const std::string& owner, const std::string& prefix) {
  std::vector<StatusLine> lines = drainChat();
  ASSERT_EQ(lines.size(), 1u) << prefix;
  EXPECT_EQ(lines[0].owner, owner);
  EXPECT_EQ(lines[0].color, 80);
  EXPECT_EQ(lines[0].text.substr(0, prefix.size()), prefix);
}

inline Bytes bytesOf(const libkorvet::DBuffer& b) {
  Bytes out;
  for (unsigned int i = 0; i < b.size(); ++i) out.push_back(b.getByte(i));
  return out;
}

inline libkorvet::DBuffer bufferOf(const Bytes& bytes) {
  libkorvet::DBuffer b;
  for (unsigned char c : bytes) b.appendByte(c);
  return b;
}

inline libkorvet::DBuffer text(const std::string& s) {
  libkorvet::DBuffer b;
  b.appendString(s);
  return b;
}

// Stands in for a connection.
struct Recorder {
  void sendMessage(unsigned char, const libkorvet::DBuffer& body) { bodies.push_back(bytesOf(body)); }
  std::vector<Bytes> bodies;
};

#endif  // TESTS_SESSION_CANVASTESTSUPPORT_H

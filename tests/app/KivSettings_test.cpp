// Settings: option parsing and its texts, brush, typing filter, chat queue
// and palette, on Allegro without a display.

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AllegWorker.h"
#include "DTime.h"
#include "FatalTest.h"
#include "KivSettings.h"

#include <allegro.h>

namespace {

class KivSettingsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    install_allegro(SYSTEM_NONE, &errno, atexit);
    set_color_depth(24);
  }
};

TEST_F(KivSettingsTest, FlushFrequency) {
  struct Case {
    const char* text;
    int period;
  } good[] = {{"10", 100}, {"3", 333}, {"2000", 0}};
  for (const Case& c : good) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(KivSettings::setFlushFrequency(c.text)) << c.text;
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Using a flush period of " + std::to_string(c.period) + " ms\n");
    EXPECT_EQ(KivSettings::getFlushPeriod(), c.period);
  }

  KivSettings::setFlushFrequency("10");
  EXPECT_FALSE(KivSettings::setFlushFrequency("-5"));
  EXPECT_EQ(KivSettings::getErrMsg(), "Updates/Sec must be greater than zero");
  EXPECT_EQ(KivSettings::getFlushPeriod(), 100);  // failures change nothing

  EXPECT_TRUE(KivSettings::setSyncBandwidth("0"));
  EXPECT_FALSE(KivSettings::setSyncBandwidth("-1"));
  EXPECT_EQ(KivSettings::getErrMsg(), "Sync Bandwidth must be non-negative");
  EXPECT_FALSE(KivSettings::setSyncBandwidth("fast"));
  EXPECT_EQ(KivSettings::getErrMsg(), "Sync Bandwidth must be an integer");
}

TEST_F(KivSettingsTest, ResolutionChecksAndPaletteReapplied) {
  PALETTE colors = {};
  AllegWorker::makeColors(colors);
  KivSettings::storePallete(colors);

  struct Case {
    const char *x, *y, *mode, *error;
  } bad[] = {
      {"639", "480", "Windowed", "Horizontal resolution must be at least 640"},
      {"wide", "480", "Windowed", "Horizontal resolution must be an integer"},
      {"640", "480", "windowed", "Invalid mode, should be Fullscreen or Windowed"},
  };
  for (const Case& c : bad) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(KivSettings::setResolution(c.x, c.y, c.mode));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the mode is not touched
    EXPECT_EQ(KivSettings::getErrMsg(), c.error);
  }

  // Without a display every mode is refused; the resolution stays.
  set_palette(black_palette);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(KivSettings::setResolution("1024", "768", "Windowed"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Settings graphics mode...\n    complete\n");
  EXPECT_EQ(KivSettings::getErrMsg(), "Graphics resolution not available");
  EXPECT_EQ(KivSettings::getXResolution(), 0);
  RGB entry;
  // Entry 0 and the 100 swatch colours are kept, the rest stays black.
  get_color(100, &entry);
  EXPECT_EQ(entry.g * 100 + entry.b, 3163);
  get_color(101, &entry);
  EXPECT_EQ(entry.r + entry.g + entry.b, 0);
}

TEST_F(KivSettingsTest, BrushSizeAndTyping) {
  KivSettings::setBrushSize(3);
  EXPECT_EQ(KivSettings::getBrushSize(), 3);
  KivSettings::incrementBrushSize();
  EXPECT_EQ(KivSettings::getBrushSize(), 3);
  KivSettings::setBrushSize(0);
  KivSettings::decrementBrushSize();
  EXPECT_EQ(KivSettings::getBrushSize(), 0);
  EXPECT_FATAL(KivSettings::setBrushSize(4), "^KivSettings::setBrushSize\\(\\) got an invalid size\n");

  for (char c : {' ', 'a', '~'}) EXPECT_TRUE(KivSettings::isValidTyping(c)) << c;
  for (int c : {0, 9, 13, 31, 127, 128, 200, 255}) EXPECT_FALSE(KivSettings::isValidTyping(static_cast<char>(c))) << c;
}

TEST_F(KivSettingsTest, ChatQueueIsFifoAndStatusLinesAreLogged) {
  KivSettings::deleteMessages();
  testing::internal::CaptureStdout();
  KivSettings::addChatMessage("KivServer", "Client joined", 80);
  KivSettings::addChatMessage("ann", "hello", 12);
  KivSettings::addChatMessage("bob", "hi", 4);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "KivServer Client joined\n");

  std::string owner, message;
  int color = 0;
  EXPECT_TRUE(KivSettings::getChatMessage(owner, message, color));
  EXPECT_TRUE(KivSettings::getChatMessage(owner, message, color));
  EXPECT_EQ(owner + "|" + message + "|" + std::to_string(color), "ann|hello|12");
  EXPECT_TRUE(KivSettings::getChatMessage(owner, message, color));
  EXPECT_EQ(owner + "|" + message + "|" + std::to_string(color), "bob|hi|4");
  EXPECT_FALSE(KivSettings::getChatMessage(owner, message, color));
  EXPECT_EQ(owner, "bob");  // untouched when empty
}

// A burst of one line shows once, then its count when its second is over; the
// console gets the same. Peer bytes arrive escaped, and a flood keeps the newest.
TEST_F(KivSettingsTest, RepeatsAreCountedPeerBytesEscapedAndTheQueueBounded) {
  libkorvet::DTime::setManualClock(true);
  KivSettings::deleteMessages();
  auto drain = [] {
    std::vector<std::string> lines;
    std::string owner, message;
    int color = 0;
    while (KivSettings::getChatMessage(owner, message, color)) lines.push_back(owner + "|" + message);
    return lines;
  };
  testing::internal::CaptureStdout();
  for (int i = 0; i < 5; ++i) KivSettings::addChatMessage("KivServer", "Dropping excess DRAW", 80);
  KivSettings::addChatMessage("Ann", "Dropping excess DRAW", 4);  // another owner: a line of its own
  for (int i = 0; i < 3; ++i) KivSettings::logLine("ChatProtocol::addChat() called");
  EXPECT_EQ(drain(), (std::vector<std::string>{"KivServer|Dropping excess DRAW", "Ann|Dropping excess DRAW"}));
  libkorvet::DTime::advanceManualClock(KivSettings::REPEAT_WINDOW_MS - 1);
  EXPECT_TRUE(drain().empty());
  libkorvet::DTime::advanceManualClock(1);
  EXPECT_EQ(drain(), (std::vector<std::string>{"KivServer|Dropping excess DRAW (x5)"}));
  KivSettings::addChatMessage("KivServer", "Dropping excess DRAW", 80);  // a new burst
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "KivServer Dropping excess DRAW\nChatProtocol::addChat() called\nKivServer Dropping excess DRAW (x5)\n"
            "ChatProtocol::addChat() called (x3)\nKivServer Dropping excess DRAW\n");
  drain();

  KivSettings::addChatMessage("e\x1b[2Jve", std::string("header \x01\x7f\xff\\"), 4);
  EXPECT_EQ(drain(), (std::vector<std::string>{"e\\x1B[2Jve|header \\x01\\x7F\\xFF\\"}));

  for (int i = 0; i < 1000; ++i) KivSettings::addChatMessage("Eve", std::to_string(i), 4);
  std::vector<std::string> kept = drain();
  ASSERT_EQ(KivSettings::MAX_QUEUED_LINES, kept.size());
  EXPECT_EQ("Eve|999", kept.back());
  libkorvet::DTime::setManualClock(false);
}
}  // namespace

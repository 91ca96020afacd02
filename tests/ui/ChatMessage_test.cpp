#include "ChatMessage.h"

#include <allegro.h>

#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "AllegTools.h"
#include "KivSettings.h"
#include "UiTestSetup.h"

namespace {

class ChatMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::useDatafileFonts();
    // The line is rimmed by the shell's outline filter; naming it here also
    // makes sure the linker keeps it for the chat display.
    outline = &AllegTools::drawOutline;
  }
  void TearDown() override {
    for (ChatMessage* m : shown) delete m;
    uitest::useFixedFont();
  }

  static int countColour(BITMAP* bmp, int colour, int x0, int x1) {
    int n = 0;
    for (int y = 0; y < bmp->h; ++y) {
      for (int x = x0; x < x1 && x < bmp->w; ++x) n += getpixel(bmp, x, y) == colour;
    }
    return n;
  }

  void (*outline)(BITMAP*, long, long) = nullptr;
  std::deque<ChatMessage*> shown;
};

TEST_F(ChatMessageTest, DisplayTimeGrowsWithTheText) {
  EXPECT_EQ(480, ChatMessage::displayTimeFor(""));
  EXPECT_EQ(780, ChatMessage::displayTimeFor(std::string(100, 'x')));

  // A line reaching x resolution - 7 is cut to x resolution - 8.
  EXPECT_EQ(910, ChatMessage::imageWidth(500, 400, 1024));
  EXPECT_EQ(1016, ChatMessage::imageWidth(500, 506, 1024));
  EXPECT_EQ(1016, ChatMessage::imageWidth(500, 507, 1024));
  EXPECT_EQ(1016, ChatMessage::imageWidth(3000, 3000, 1024));
  EXPECT_EQ(10, ChatMessage::imageWidth(0, 0, 640));
}

TEST_F(ChatMessageTest, LineIsOwnerThenTextWithABlackRim) {
  FONT* f = KivSettings::getSmallFont();
  const std::string owner = "KivServer";
  const std::string text = "Client joined";
  ChatMessage line(owner, text, 80, ChatMessage::displayTimeFor(text));
  EXPECT_EQ(owner, line.getOwner());
  EXPECT_EQ(text, line.getText());
  EXPECT_EQ(80, line.getColor());
  EXPECT_EQ(480 + 3 * 13, line.getDisplayTime());

  BITMAP* g = line.getGraphic();
  ASSERT_NE(nullptr, g);
  const int ownerWidth = text_length(f, owner.c_str());
  EXPECT_EQ(ownerWidth + 9 + text_length(f, text.c_str()) + 1, g->w);
  EXPECT_EQ(text_height(f) + 2, g->h);

  const int mask = makecol(255, 0, 255);
  const int black = makecol(0, 0, 0);
  EXPECT_GT(countColour(g, palette_color[34], 0, ownerWidth + 1), 0);
  EXPECT_EQ(0, countColour(g, palette_color[34], ownerWidth + 9, g->w));
  EXPECT_GT(countColour(g, palette_color[80], ownerWidth + 9, g->w), 0);
  EXPECT_EQ(0, countColour(g, palette_color[80], 0, ownerWidth + 1));
  EXPECT_GT(countColour(g, black, 0, g->w), 0);
  EXPECT_GT(countColour(g, mask, 0, g->w), 0);

  // No letter pixel touches the transparent background: the rim is whole.
  for (int y = 1; y < g->h - 1; ++y) {
    for (int x = 1; x < g->w - 1; ++x) {
      int p = getpixel(g, x, y);
      if (p == mask || p == black) continue;
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          ASSERT_NE(mask, getpixel(g, x + dx, y + dy)) << x << "," << y;
        }
      }
    }
  }

  // A colour outside the palette table is shown as a status line.
  ChatMessage odd("Bob", "hi", 1000, 480);
  ChatMessage negative("Bob", "hi", -3, 480);
  BITMAP* o = odd.getGraphic();
  const int textX = text_length(f, "Bob") + 9;
  EXPECT_GT(countColour(o, palette_color[80], textX, o->w), 0);
  EXPECT_GT(countColour(negative.getGraphic(), palette_color[80], textX, o->w), 0);
}

TEST_F(ChatMessageTest, LinesLeaveFromTheFrontOnly) {
  const std::string longText(100, 'x');
  shown.push_back(new ChatMessage("Ann", longText, 4, ChatMessage::displayTimeFor(longText)));
  shown.push_back(new ChatMessage("Bob", "hi", 4, ChatMessage::displayTimeFor("hi")));
  ChatMessage* shortLine = shown.back();

  // The short line has run out after 486 ticks but waits behind the long one.
  for (int t = 0; t < 486; ++t) ChatMessage::ageLines(shown);
  ASSERT_EQ(2u, shown.size());
  EXPECT_EQ(0, shortLine->getDisplayTime());
  EXPECT_EQ(780 - 486, shown.front()->getDisplayTime());
  for (int t = 486; t < 779; ++t) ChatMessage::ageLines(shown);
  ASSERT_EQ(2u, shown.size());
  EXPECT_EQ(1, shown.front()->getDisplayTime());
  ChatMessage::ageLines(shown);
  EXPECT_TRUE(shown.empty());

  // The time never goes below zero.
  ChatMessage done("Bob", "", 4, 1);
  done.decrementTime();
  done.decrementTime();
  EXPECT_EQ(0, done.getDisplayTime());
}

TEST_F(ChatMessageTest, LinesAreListedTopLeftOldestFirst) {
  shown.push_back(new ChatMessage("Ann", "first line", 4, 480));
  shown.push_back(new ChatMessage("Bob", "second", 10, 480));
  BITMAP* buffer = create_bitmap(400, 200);
  const int background = makecol(0, 0, 255);
  clear_to_color(buffer, background);
  ChatMessage::drawLines(buffer, shown);

  const int mask = makecol(255, 0, 255);
  int y = 32;
  for (ChatMessage* m : shown) {
    BITMAP* g = m->getGraphic();
    for (int gy = 0; gy < g->h; ++gy) {
      for (int gx = 0; gx < g->w; ++gx) {
        int p = getpixel(g, gx, gy);
        ASSERT_EQ(p == mask ? background : p, getpixel(buffer, 10 + gx, y + gy));
      }
    }
    y += g->h + 12;
  }
  EXPECT_EQ(background, getpixel(buffer, 9, 33));
  destroy_bitmap(buffer);
}

}  // namespace

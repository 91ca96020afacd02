#include "ChatMessage.h"

#include <allegro.h>

#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "AllegTools.h"
#include "KivSettings.h"
#include "UiTestSetup.h"

namespace {

// The outline filter lives in the shell's library, which links before this
// one; naming it here keeps it in the link.
auto* const outlineFilter = &AllegTools::drawOutline;

int count(BITMAP* bmp, int colour, int x0, int x1) {
  int n = 0;
  for (int y = 0; y < bmp->h; ++y) {
    for (int x = x0; x < x1 && x < bmp->w; ++x) n += getpixel(bmp, x, y) == colour;
  }
  return n;
}

// How long lines stay and the order they leave in is checked through the
// paint screen, which takes them from the queue.
TEST(ChatMessage, ImageWidth) {
  // Cut to x resolution - 8 once the line reaches x resolution - 7.
  EXPECT_EQ(1016, ChatMessage::imageWidth(500, 506, 1024));
  EXPECT_EQ(1016, ChatMessage::imageWidth(500, 507, 1024));
  EXPECT_EQ(1016, ChatMessage::imageWidth(3000, 3000, 1024));
}

TEST(ChatMessage, OwnerThenTextWithABlackRim) {
  ASSERT_NE(nullptr, outlineFilter);
  uitest::useFonts(true);
  FONT* f = KivSettings::getSmallFont();
  ChatMessage line("KivServer", "Client joined", 80, 519);
  BITMAP* g = line.getGraphic();
  const int ownerWidth = text_length(f, "KivServer");
  EXPECT_EQ(ownerWidth + 9 + text_length(f, "Client joined") + 1, g->w);
  EXPECT_EQ(text_height(f) + 2, g->h);
  EXPECT_GT(count(g, palette_color[34], 0, ownerWidth + 1), 0);
  EXPECT_GT(count(g, palette_color[80], ownerWidth + 9, g->w), 0);
  EXPECT_GT(count(g, makecol(0, 0, 0), 0, g->w), 0);  // the rim

  // A colour outside the palette table shows as a status line.
  ChatMessage odd("KivServer", "Client joined", 1000, 480);
  EXPECT_GT(count(odd.getGraphic(), palette_color[80], ownerWidth + 9, g->w), 0);
  uitest::useFonts(false);
}

TEST(ChatMessage, LinesListTopLeft) {
  uitest::useFonts(false);
  std::deque<ChatMessage*> shown = {new ChatMessage("Ann", "hello", 4, 10), new ChatMessage("Bob", "hi", 4, 10)};

  BITMAP* buffer = create_bitmap(1200, 100);
  clear_to_color(buffer, makecol(0, 0, 255));
  ChatMessage::drawLines(buffer, shown);
  EXPECT_EQ(makecol(0, 0, 255), getpixel(buffer, 10, 32));  // mask is transparent
  EXPECT_EQ(palette_color[34], getpixel(buffer, 10 + 1 + 2, 32 + 1 + 1));  // 'A'
  EXPECT_EQ(palette_color[34], getpixel(buffer, 10 + 1 + 2, 32 + 10 + 12 + 1 + 1));  // 'B'
  destroy_bitmap(buffer);
  for (ChatMessage* line : shown) delete line;
}

}  // namespace

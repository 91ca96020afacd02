#include "ChatMessage.h"

#include <allegro.h>

#include <utility>

#include "AllegTools.h"
#include "DEngine.h"
#include "KivSettings.h"

namespace {

const int OWNER_GAP = 9;
const int OWNER_COLOR = 34;
const int STATUS_COLOR = 80;
const int PALETTE_SIZE = 256;
const int LIST_LEFT = 10;
const int LIST_TOP = 32;
const int LINE_SPACING = 12;

FONT* smallFont() {
  FONT* f = KivSettings::getSmallFont();
  return f != nullptr ? f : font;
}

}  // namespace

ChatMessage::ChatMessage(std::string owner, std::string text, int color,
                         int displayTime)
    : owner(std::move(owner)),
      text(std::move(text)),
      color(color),
      displayTime(displayTime) {
  FONT* f = smallFont();
  int ownerWidth = text_length(f, this->owner.c_str());
  int width = imageWidth(ownerWidth, text_length(f, this->text.c_str()),
                         KivSettings::getXResolution());
  graphic = create_bitmap(width, text_height(f) + 2);
  if (graphic == nullptr) {
    libkorvet::DEngine::fatalError(
        "ChatMessage::ChatMessage couldn't create_bitmap()");
  }

  const int mask = makecol(255, 0, 255);
  clear_to_color(graphic, mask);
  // The colour is an index into the palette table; anything outside it would
  // be read past the table's end, so such lines are shown as status lines.
  int index = (color >= 0 && color < PALETTE_SIZE) ? color : STATUS_COLOR;
  textout_ex(graphic, f, this->owner.c_str(), 1, 1, palette_color[OWNER_COLOR],
             -1);
  textout_ex(graphic, f, this->text.c_str(), ownerWidth + OWNER_GAP, 1,
             palette_color[index], -1);
  // A black rim keeps the line readable over any part of the picture.
  AllegTools::drawOutline(graphic, makecol(0, 0, 0), mask);
}

ChatMessage::~ChatMessage() { destroy_bitmap(graphic); }

void ChatMessage::decrementTime() {
  if (displayTime > 0) --displayTime;
}

int ChatMessage::displayTimeFor(const std::string& text) {
  return BASE_DISPLAY_TICKS +
         TICKS_PER_CHARACTER * static_cast<int>(text.size());
}

int ChatMessage::imageWidth(int ownerWidth, int textWidth, int xResolution) {
  int width = ownerWidth + OWNER_GAP + textWidth + 1;
  if (xResolution > 0 && width >= xResolution - 7) width = xResolution - 8;
  return width;
}

void ChatMessage::ageLines(std::deque<ChatMessage*>& shown) {
  for (ChatMessage* line : shown) line->decrementTime();
  while (!shown.empty() && shown.front()->getDisplayTime() <= 0) {
    delete shown.front();
    shown.pop_front();
  }
}

std::size_t ChatMessage::linesThatFit(int yResolution) {
  int pitch = text_height(smallFont()) + 2 + LINE_SPACING;
  int fit = (yResolution - LIST_TOP) / pitch;
  return fit < 1 ? 1 : static_cast<std::size_t>(fit);
}

void ChatMessage::drawLines(BITMAP* buffer,
                            const std::deque<ChatMessage*>& shown) {
  int y = LIST_TOP;
  for (const ChatMessage* line : shown) {
    draw_sprite(buffer, line->getGraphic(), LIST_LEFT, y);
    y += line->getGraphic()->h + LINE_SPACING;
  }
}

#include "ButtonObject.h"

#include <allegro.h>

#include <algorithm>
#include <utility>

#include "InputStatus.h"
#include "KivSettings.h"

namespace {

const int TILE_WIDTH = 32;
const int MIN_BUTTON_WIDTH = 96;
const int CAPTION_MARGIN = 20;
// The pointer counts as over the button this far below its top edge.
const int HIT_HEIGHT = 37;

// Before start-up has stored the datafile fonts, Allegro's own font keeps
// layout and drawing working instead of dereferencing a null font.
FONT* mediumFont() {
  FONT* f = KivSettings::getMedFont();
  return f != nullptr ? f : font;
}

}  // namespace

ButtonObject::ButtonObject(std::string text, int x, int y, bool centered,
                           std::string action)
    : text(std::move(text)),
      action(std::move(action)),
      x(x),
      y(y),
      isCentered(centered) {
  resizeBox();
}

void ButtonObject::resizeBox() {
  buttonWidth = std::max(text_length(mediumFont(), text.c_str()) + CAPTION_MARGIN,
                         MIN_BUTTON_WIDTH);
  if (isCentered) {
    left = KivSettings::getXResolution() / 2 - buttonWidth / 2;
  } else {
    left = x;
  }
  right = left + buttonWidth;

  // Widen evenly on both sides to whole tiles, so no tile is cut.
  int rest = buttonWidth % TILE_WIDTH;
  if (rest != 0) {
    int pad = TILE_WIDTH - rest;
    left -= pad / 2;
    right += pad - pad / 2;
    buttonWidth = right - left;
  }
}

bool ButtonObject::detectCursor() const {
  int px = InputStatus::getCursorX();
  int py = InputStatus::getCursorY();
  return px >= left && px <= right && py >= y && py <= y + HIT_HEIGHT;
}

void ButtonObject::display(BITMAP* buffer, BITMAP* leftTile,
                           BITMAP* centerTile, BITMAP* rightTile) const {
  if (buffer == nullptr) return;
  if (centerTile != nullptr) {
    int last = std::max(right - 2 * TILE_WIDTH, left + TILE_WIDTH);
    for (int tx = left + TILE_WIDTH; tx <= last; tx += TILE_WIDTH) {
      draw_sprite(buffer, centerTile, tx, y);
    }
  }
  if (leftTile != nullptr) draw_sprite(buffer, leftTile, left, y);
  if (rightTile != nullptr) draw_sprite(buffer, rightTile, right - TILE_WIDTH, y);

  FONT* f = mediumFont();
  int tileHeight = centerTile != nullptr ? centerTile->h : 0;
  int v = std::max((tileHeight - text_height(f)) / 2, 0);
  int colour = palette_color[textColor];
  if (isCentered) {
    textout_centre_ex(buffer, f, text.c_str(),
                      KivSettings::getXResolution() / 2, y + v, colour, -1);
  } else {
    textout_ex(buffer, f, text.c_str(), x, y + v, colour, -1);
  }
}

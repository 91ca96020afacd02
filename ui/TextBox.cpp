#include "TextBox.h"

#include <allegro.h>

#include <algorithm>
#include <utility>

#include "InputStatus.h"
#include "KivSettings.h"

namespace {

const int TILE_WIDTH = 32;
// Space between the label and the field, and the field's inner margins: the
// text starts 10 pixels in and must stay 20 pixels short of the right edge.
const int LABEL_GAP = 20;
const int TEXT_INSET = 10;
const int TEXT_MARGIN = 20;
const int HIT_HEIGHT = 37;
// The caret shows and hides in phases of 15 ticks.
const int BLINK_TICKS = 14;

FONT* mediumFont() {
  FONT* f = KivSettings::getMedFont();
  return f != nullptr ? f : font;
}

int widthOf(FONT* f, const std::string& s) { return text_length(f, s.c_str()); }

}  // namespace

TextBox::TextBox(std::string text, int x, int y, bool centered,
                 std::string label, int widthInTiles, std::string action)
    : x(x), y(y), isCentered(centered) {
  setLabel(std::move(label));
  setTextWidth(widthInTiles);
  this->text = std::move(text);
  this->action = std::move(action);
  labelColor = 35;
  textColor = 35;
  iBeamPos = static_cast<int>(this->text.size());
  iBeamVisible = false;
  calcBoundaries();
}

void TextBox::setLabel(std::string newLabel) {
  label = std::move(newLabel);
  labelWidth = widthOf(mediumFont(), label) + LABEL_GAP;
  calcBoundaries();
}

void TextBox::setTextWidth(int tiles) {
  textWidth = tiles * TILE_WIDTH;
  calcBoundaries();
}

void TextBox::calcBoundaries() {
  if (isCentered) {
    left = KivSettings::getXResolution() / 2 - (textWidth + labelWidth) / 2;
  } else {
    left = x;
  }
  textLeft = left + labelWidth;
  right = textLeft + textWidth;
}

void TextBox::showCaret() {
  iBeamVisible = true;
  blinkCounter = 0;
}

bool TextBox::detectCursor() {
  int px = InputStatus::getCursorX();
  int py = InputStatus::getCursorY();
  if (px < textLeft || px > right || py < y || py > y + HIT_HEIGHT) return false;
  iBeamPos = getIBeam(textLeft + TEXT_INSET, text, mediumFont());
  showCaret();
  return true;
}

int TextBox::getIBeam(int startX, const std::string& text, FONT* f) {
  int px = InputStatus::getCursorX();
  int previous = 0;  // width of the characters before character i
  for (std::size_t i = 0; i < text.size(); ++i) {
    int upTo = widthOf(f, text.substr(0, i + 1));
    if (startX + previous + (upTo - previous) / 2 >= px) {
      return static_cast<int>(i);
    }
    previous = upTo;
  }
  return static_cast<int>(text.size());
}

// Typing never pushes out what is already there: a character that does not
// fit is taken back out, wherever the caret was.
bool TextBox::insertTyped() {
  text.insert(text.begin() + iBeamPos, InputStatus::getKeyInput());
  ++iBeamPos;
  showCaret();
  if (widthOf(mediumFont(), text) > right - textLeft - TEXT_MARGIN) {
    --iBeamPos;
    text.erase(iBeamPos, 1);
    return false;
  }
  return true;
}

// A text that came in too wide (a remembered name, a longer label after a
// resize) is cut from the end, down to a single character at least.
void TextBox::trimToField() {
  FONT* f = mediumFont();
  while (text.size() >= 2 && widthOf(f, text) > right - textLeft - TEXT_MARGIN) {
    text.erase(text.size() - 1);
  }
  iBeamPos = std::min(iBeamPos, static_cast<int>(text.size()));
}

bool TextBox::run() {
  const std::string before = text;

  if (++blinkCounter > BLINK_TICKS) {
    iBeamVisible = !iBeamVisible;
    blinkCounter = 0;
  }
  iBeamPos = std::max(0, std::min(iBeamPos, static_cast<int>(text.size())));
  const int length = static_cast<int>(text.size());

  if (InputStatus::getShadowPressed()) {
    if (InputStatus::getShadowKey(KEY_BACKSPACE)) {
      if (iBeamPos > 0) {
        --iBeamPos;
        text.erase(iBeamPos, 1);
      }
    } else if (InputStatus::getShadowKey(KEY_DEL)) {
      if (iBeamPos < length) text.erase(iBeamPos, 1);
    } else if (InputStatus::getShadowKey(KEY_RIGHT)) {
      if (iBeamPos < length) ++iBeamPos;
    } else if (InputStatus::getShadowKey(KEY_LEFT)) {
      if (iBeamPos > 0) --iBeamPos;
    } else if (InputStatus::getShadowKey(KEY_HOME)) {
      iBeamPos = 0;
    } else if (InputStatus::getShadowKey(KEY_END)) {
      iBeamPos = length;
    }
    showCaret();
  }

  if (InputStatus::getIsNewKey()) {
    if (!InputStatus::getSpecialPressed()) insertTyped();
    trimToField();
  }
  return text != before;
}

void TextBox::display(BITMAP* buffer, BITMAP* leftTile, BITMAP* centerTile,
                      BITMAP* rightTile, BITMAP* iBeam, bool active) {
  if (buffer == nullptr) return;
  FONT* f = mediumFont();
  int tileHeight = centerTile != nullptr ? centerTile->h : 0;
  int v = std::max((tileHeight - text_height(f)) / 2, 0);

  textout_ex(buffer, f, label.c_str(), left, y + v, palette_color[labelColor],
             -1);

  if (centerTile != nullptr) {
    for (int tx = textLeft + TILE_WIDTH; tx <= right - TILE_WIDTH;
         tx += TILE_WIDTH) {
      draw_sprite(buffer, centerTile, tx, y);
    }
  }
  if (leftTile != nullptr) draw_sprite(buffer, leftTile, textLeft, y);
  if (rightTile != nullptr) draw_sprite(buffer, rightTile, right - TILE_WIDTH, y);

  textout_ex(buffer, f, text.c_str(), textLeft + TEXT_INSET, y + v,
             palette_color[textColor], -1);

  if (active && iBeamVisible && iBeam != nullptr) {
    iBeamPos = std::max(0, std::min(iBeamPos, static_cast<int>(text.size())));
    int caretX = textLeft + TEXT_INSET + widthOf(f, text.substr(0, iBeamPos)) -
                 iBeam->w / 2;
    draw_sprite(buffer, iBeam, caretX, y);
  }
}

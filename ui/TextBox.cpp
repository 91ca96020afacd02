#include "TextBox.h"

#include <allegro.h>

#include <algorithm>
#include <utility>

#include "InputStatus.h"
#include "KivSettings.h"

namespace {

const int TILE_WIDTH = 32;
// Space between the label and the field, and the field's inner margin on
// either side of the text.
const int LABEL_GAP = 20;
const int TEXT_INSET = 10;
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
  // A long remembered text opens scrolled to its end, where the caret is.
  calcBoundaries();
}

void TextBox::setLabel(std::string newLabel) {
  label = std::move(newLabel);
  // Trailing spaces are not seen: the gap to the field counts from the
  // label's last letter, so labels of a column end in line.
  const std::size_t end = label.find_last_not_of(' ');
  labelWidth = widthOf(mediumFont(), end == std::string::npos ? std::string() : label.substr(0, end + 1)) + LABEL_GAP;
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
  keepCaretVisible();
}

void TextBox::placeField(int fieldLeft) {
  isCentered = false;
  x = fieldLeft - labelWidth;
  calcBoundaries();
}

void TextBox::setText(const std::string& newText) {
  text = newText;
  iBeamPos = static_cast<int>(text.size());
  keepCaretVisible();
}

int TextBox::visibleWidth() const { return std::max(right - textLeft - 2 * TEXT_INSET, 0); }

// The caret stays inside the field; a text shorter than what is hidden on the
// left plus the field's width is scrolled back, so no room is wasted.
void TextBox::keepCaretVisible() {
  FONT* f = mediumFont();
  iBeamPos = std::max(0, std::min(iBeamPos, static_cast<int>(text.size())));
  const std::string drawn = shown();
  const int caretX = widthOf(f, drawn.substr(0, iBeamPos));
  const int room = visibleWidth();
  if (caretX - scrollOffset > room) scrollOffset = caretX - room;
  if (caretX < scrollOffset) scrollOffset = caretX;
  const int total = widthOf(f, drawn);
  if (total - scrollOffset < room) scrollOffset = std::max(0, total - room);
}

void TextBox::showCaret() {
  iBeamVisible = true;
  blinkCounter = 0;
}

bool TextBox::detectCursor() {
  int px = InputStatus::getCursorX();
  int py = InputStatus::getCursorY();
  if (px < textLeft || px > right || py < y || py > y + HIT_HEIGHT) return false;
  iBeamPos = getIBeam(textLeft + TEXT_INSET - scrollOffset, shown(), mediumFont());
  keepCaretVisible();
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

void TextBox::insertTyped() {
  if (text.size() >= MAX_TEXT_LENGTH) return;
  text.insert(text.begin() + iBeamPos, InputStatus::getKeyInput());
  ++iBeamPos;
  showCaret();
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

  if (InputStatus::getIsNewKey() && !InputStatus::getSpecialPressed()) insertTyped();
  keepCaretVisible();
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

  // What is scrolled out of view is drawn neither over the label nor past
  // the field.
  int clipLeft, clipTop, clipRight, clipBottom;
  get_clip_rect(buffer, &clipLeft, &clipTop, &clipRight, &clipBottom);
  const int innerLeft = textLeft + TEXT_INSET;
  set_clip_rect(buffer, std::max(clipLeft, innerLeft), clipTop,
                std::min(clipRight, innerLeft + visibleWidth() - 1), clipBottom);
  const std::string drawn = shown();
  textout_ex(buffer, f, drawn.c_str(), innerLeft - scrollOffset, y + v,
             palette_color[textColor], -1);
  set_clip_rect(buffer, clipLeft, clipTop, clipRight, clipBottom);

  if (active && iBeamVisible && iBeam != nullptr) {
    keepCaretVisible();
    int caretX = innerLeft + widthOf(f, drawn.substr(0, iBeamPos)) - scrollOffset -
                 iBeam->w / 2;
    draw_sprite(buffer, iBeam, caretX, y);
  }
}

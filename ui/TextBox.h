#ifndef UI_TEXTBOX_H
#define UI_TEXTBOX_H

// TextBox: a labelled, editable one-line text field of whole 32-pixel tiles
// with a blinking caret. While it has focus the owning menu calls run() once
// per tick. A text wider than the field scrolls inside it so the caret stays
// in view; the text itself is never cut, only bounded to MAX_TEXT_LENGTH
// characters typed. The menu supplies the tile and caret images when it draws.
// Requires: KivSettings' fonts and resolution set before layout.

#include <cstddef>
#include <string>

struct BITMAP;
struct FONT;

class TextBox {
 public:
  static constexpr std::size_t MAX_TEXT_LENGTH = 255;

  TextBox(std::string text, int x, int y, bool centered, std::string label,
          int widthInTiles, std::string action);

  void setLabel(std::string newLabel);
  void setTextWidth(int tiles);
  void calcBoundaries();
  // Stops centring: the field starts at fieldLeft, the label just before it.
  void placeField(int fieldLeft);
  // Replaces the text; the caret goes to its end, in view.
  void setText(const std::string& newText);
  // A masked box (a password) draws one '*' per character, so what was typed
  // never reaches the screen or a screenshot; editing is unchanged.
  void setMasked(bool on) { masked = on; keepCaretVisible(); }
  bool isMasked() const { return masked; }

  // True when the pointer is over the field; the caret then moves under the
  // pointer, becomes visible and restarts its blink.
  bool detectCursor();
  // One tick of editing while the box has focus; true if the text changed.
  bool run();
  // Null tiles are skipped; the caret is drawn only when active. The text is
  // cut at the field's inner edges.
  void display(BITMAP* buffer, BITMAP* left, BITMAP* center, BITMAP* right,
               BITMAP* iBeam, bool active);

  // Caret index under the pointer for text drawn from startX: before the
  // first character whose middle is at or right of the pointer.
  static int getIBeam(int startX, const std::string& text, FONT* font);

  const std::string& getText() const { return text; }
  const std::string& getAction() const { return action; }
  const std::string& getLabel() const { return label; }
  int getY() const { return y; }
  int getLeft() const { return left; }
  int getTextLeft() const { return textLeft; }
  int getRight() const { return right; }
  int getTextWidth() const { return textWidth; }
  int getLabelWidth() const { return labelWidth; }
  int getIBeamPos() const { return iBeamPos; }
  bool getIBeamVisible() const { return iBeamVisible; }
  // Pixels of the text scrolled out of view on the left.
  int getScrollOffset() const { return scrollOffset; }

  static int getNumInstances() { return -1; }

 private:
  void showCaret();
  void insertTyped();
  int visibleWidth() const;
  void keepCaretVisible();
  // What the field draws and measures: the text, or its mask.
  std::string shown() const { return masked ? std::string(text.size(), '*') : text; }

  std::string label;
  std::string text;
  std::string action;
  int x;
  int y;
  int labelColor = 35;
  int textColor = 35;
  int textWidth = 0;
  int labelWidth = 0;
  int left = 0;
  int textLeft = 0;
  int right = 0;
  int iBeamPos = 0;
  bool iBeamVisible = false;
  int blinkCounter = 0;
  int scrollOffset = 0;
  bool isCentered;
  bool masked = false;
};

#endif  // UI_TEXTBOX_H

#ifndef UI_BUTTONOBJECT_H
#define UI_BUTTONOBJECT_H

// ButtonObject: a menu button drawn from 32-pixel-wide tiles (left, repeated
// centre, right) with a caption in the medium font. Layout always spans whole
// tiles; the owning menu supplies the tile images when it draws and reports
// the button's action name when the button is used.
// Requires: KivSettings' fonts and resolution set before layout.

#include <string>

struct BITMAP;

class ButtonObject {
 public:
  ButtonObject(std::string text, int x, int y, bool centered,
               std::string action);

  // Recomputes width and horizontal extent from the caption.
  void resizeBox();
  // True when the pointer (this tick's InputStatus) is over the button.
  bool detectCursor() const;
  // Null tiles are skipped.
  void display(BITMAP* buffer, BITMAP* left, BITMAP* center,
               BITMAP* right) const;

  const std::string& getText() const { return text; }
  // Does not re-run the layout.
  void setText(const std::string& newText) { text = newText; }
  const std::string& getAction() const { return action; }
  void setAction(const std::string& newAction) { action = newAction; }
  int getX() const { return x; }
  int getY() const { return y; }
  int getLeft() const { return left; }
  int getRight() const { return right; }
  int getButtonWidth() const { return buttonWidth; }
  bool getIsCentered() const { return isCentered; }

  static int getNumInstances() { return -1; }

 private:
  std::string text;
  std::string action;
  int x;
  int y;
  int left = 0;
  int right = 0;
  int textColor = 0;
  bool isCentered;
  int buttonWidth = 0;
};

#endif  // UI_BUTTONOBJECT_H

#ifndef UI_CHATMESSAGE_H
#define UI_CHATMESSAGE_H

// ChatMessage: one chat or status line on screen, pre-rendered once (owner,
// then text, in the small font with a black rim) into an image it owns, with
// the number of logic ticks it has left. The paint panel keeps the lines in a
// queue, oldest first, and uses the static helpers below to age and draw them.
// Requires: KivSettings' small font and resolution set; a colour depth chosen.

#include <cstddef>
#include <deque>
#include <string>

struct BITMAP;

class ChatMessage {
 public:
  // Lines stay 480 ticks (16 seconds at 30 ticks a second) plus 3 ticks for
  // each character of the text.
  static const int BASE_DISPLAY_TICKS = 480;
  static const int TICKS_PER_CHARACTER = 3;

  ChatMessage(std::string owner, std::string text, int color, int displayTime);
  ~ChatMessage();
  ChatMessage(const ChatMessage&) = delete;
  ChatMessage& operator=(const ChatMessage&) = delete;

  BITMAP* getGraphic() const { return graphic; }
  const std::string& getOwner() const { return owner; }
  const std::string& getText() const { return text; }
  int getColor() const { return color; }
  int getDisplayTime() const { return displayTime; }
  void decrementTime();

  static int displayTimeFor(const std::string& text);
  // Width of the rendered line: owner, a 9-pixel gap, text and one pixel,
  // cut to xResolution - 8 when it would reach xResolution - 7. An unknown
  // resolution (0 or less) cuts nothing.
  static int imageWidth(int ownerWidth, int textWidth, int xResolution);

  // One session tick of the lines on screen: every line counts down, then
  // expired lines are destroyed from the front only, so a line never
  // overtakes an older one that is still shown.
  static void ageLines(std::deque<ChatMessage*>& shown);
  // Draws the lines top-left, oldest first, 12 pixels apart.
  static void drawLines(BITMAP* buffer, const std::deque<ChatMessage*>& shown);
  // How many lines drawLines can show on a screen of this height (at least
  // one): more would be drawn off the screen.
  static std::size_t linesThatFit(int yResolution);

  static int getNumInstances() { return -1; }

 private:
  std::string owner;
  std::string text;
  int color;
  int displayTime;
  BITMAP* graphic = nullptr;
};

#endif  // UI_CHATMESSAGE_H

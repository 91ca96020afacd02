#ifndef APP_ALLEGTOOLS_H
#define APP_ALLEGTOOLS_H

// AllegTools: stateless graphics and text helpers shared by the front end
// (a banner, an outline filter for text bitmaps, an IPv4 parser and
// an integer printer). The only state is the text of the last parse failure.

#include <string>

struct BITMAP;
struct FONT;

namespace libkorvet {
class DBuffer;
}  // namespace libkorvet

class AllegTools {
 public:
  AllegTools() {}

  // Draws text in a banner across the top of target; the caller keeps it on
  // screen as long as it should show. Requires: the small font.
  void debugMessage(BITMAP* target, const std::string& text);
  // Recolours every backColor pixel that touches (in its 3x3 neighbourhood)
  // a pixel of neither colour, scanning in place; border pixels never change.
  static void drawOutline(BITMAP* bmp, long outlineColor, long backColor);
  // Parses a dotted IPv4 address into four bytes appended to the cleared out
  // buffer (network order). On failure out is empty and getErrMsg() tells why.
  static bool getBinaryIP(const std::string& text, libkorvet::DBuffer& out);
  static void showInt(BITMAP* bmp, FONT* font, int value, int x, int y, int color, int background);
  static std::string getErrMsg();

  static int getNumInstances() { return -1; }

 private:
  static std::string errMsg;
};

#endif  // APP_ALLEGTOOLS_H

#include "AllegTools.h"

#include <iostream>
#include <sstream>
#include <string>

#include "DBuffer.h"
#include "DEngine.h"
#include "KivSettings.h"

#include <allegro.h>

using libkorvet::DBuffer;
using libkorvet::DEngine;

std::string AllegTools::errMsg = "AllOK";

std::string AllegTools::getErrMsg() { return errMsg; }

void AllegTools::debugMessage(BITMAP* target, const std::string& text) {
  if (target == nullptr) return;
  rectfill(target, 0, 0, target->w - 1, 30, palette_color[1]);
  textout_ex(target, KivSettings::getSmallFont(), text.c_str(), 10, 10, palette_color[35], palette_color[0]);
}

void AllegTools::drawOutline(BITMAP* bmp, long outlineColor, long backColor) {
  if (bmp == nullptr || bmp->w < 3 || bmp->h < 3) return;
  for (int y = 1; y <= bmp->h - 2; ++y) {
    for (int x = 1; x <= bmp->w - 2; ++x) {
      if (getpixel(bmp, x, y) != backColor) continue;
      bool touchesForeground = false;
      for (int dy = -1; dy <= 1 && !touchesForeground; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          long c = getpixel(bmp, x + dx, y + dy);
          if (c != outlineColor && c != backColor) {
            touchesForeground = true;
            break;
          }
        }
      }
      if (touchesForeground) putpixel(bmp, x, y, static_cast<int>(outlineColor));
    }
  }
}

bool AllegTools::getBinaryIP(const std::string& text, DBuffer& out) {
  out.clear();
  bool ok = true;
  std::size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    std::string partText;
    int count = 0;
    bool finished = false;
    while (pos < text.size() && ok && !finished) {
      const char c = text[pos];
      if (c == '.') {
        if (part == 3) {
          errMsg = std::string("getBinaryIP found an unnecessary ") + "." + " in " + text;
          ok = false;
        } else {
          finished = true;
        }
      } else {
        partText += c;
        ++count;
      }
      if (count > 3) {
        errMsg = "getBinaryIP got a section that is too long in " + text;
        ok = false;
      }
      ++pos;
      if (pos == text.size() && part == 3 && count != 0) finished = true;
    }

    if (count == 0) {
      errMsg = "getBinaryIP expected a number, but got . in " + text;
      ok = false;
    }
    if (!ok) {
      out.clear();
      return false;
    }
    if (finished) {
      int value = 0;
      if (!DEngine::strToInt(partText, value)) {
        errMsg = "getBinaryIP found an invalid address part: " + partText;
        out.clear();
        return false;
      }
      if (static_cast<unsigned int>(value) > 255) {
        errMsg = "getBinaryIP found an invalid address " + text;
        out.clear();
        return false;
      }
      out.appendVariable<unsigned char>(static_cast<unsigned char>(value));
    }
    // A part cut short by the end of the text adds nothing; the next part
    // then finds no digits and reports it.
  }
  return true;
}

void AllegTools::showInt(BITMAP* bmp, FONT* font, int value, int x, int y, int color, int background) {
  std::ostringstream s;
  s << value;
  textout_ex(bmp, font, s.str().c_str(), x, y, color, background);
}

#ifndef TESTS_UI_UITESTSETUP_H
#define TESTS_UI_UITESTSETUP_H

// Allegro without a display for the widget tests: the system driver that
// needs no hardware, 24-bit memory bitmaps, a palette whose entries are all
// distinct and neither black nor the mask colour, and the datafile's fonts
// when the datafile is there (Allegro's 8-pixel font otherwise).

#include <allegro.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "KivSettings.h"

namespace uitest {

inline DATAFILE*& datafile() {
  static DATAFILE* d = nullptr;
  return d;
}

inline void startAllegro() {
  static bool started = false;
  if (started) return;
  started = true;
  set_uformat(U_ASCII);
  install_allegro(SYSTEM_NONE, &errno, atexit);
  set_color_depth(24);
  set_color_conversion(COLORCONV_TOTAL);

  RGB colors[256];
  for (int i = 0; i < 256; ++i) {
    colors[i].r = static_cast<unsigned char>(i % 4 * 16 + 15);
    colors[i].g = static_cast<unsigned char>(i / 4 % 8 * 6 + 15);
    colors[i].b = static_cast<unsigned char>(i / 32 % 8 * 6 + 3);
    colors[i].filler = 0;
  }
  colors[0].r = colors[0].g = colors[0].b = 0;
  KivSettings::storePallete(colors);
  KivSettings::resetPallete();
}

// The five datafile fonts, or null when the datafile is not (yet) there.
inline DATAFILE* loadDatafile() {
  startAllegro();
  if (datafile() != nullptr) return datafile();
  std::string path = std::string(BRELVIN_SOURCE_DIR) + "/data/hoard.dat";
  if (!exists(path.c_str())) return nullptr;
  DATAFILE* d = load_datafile(path.c_str());
  if (d == nullptr) return nullptr;
  for (int i = 0; i < 5; ++i) {
    if (d[i].type != DAT_FONT) {
      unload_datafile(d);
      return nullptr;
    }
  }
  datafile() = d;
  return d;
}

// Stores the datafile's fonts (in the order start-up uses) if there are any,
// Allegro's font otherwise; true when the datafile's fonts are in use.
inline bool useDatafileFonts() {
  DATAFILE* d = loadDatafile();
  if (d == nullptr) {
    KivSettings::storeFonts(font, font, font, font, font);
    return false;
  }
  KivSettings::storeFonts(static_cast<FONT*>(d[0].dat),
                          static_cast<FONT*>(d[2].dat),
                          static_cast<FONT*>(d[1].dat),
                          static_cast<FONT*>(d[3].dat),
                          static_cast<FONT*>(d[4].dat));
  return true;
}

// Allegro's font: every character 8 pixels wide, for exact layout numbers.
inline void useFixedFont() {
  startAllegro();
  KivSettings::storeFonts(font, font, font, font, font);
}

}  // namespace uitest

#endif  // TESTS_UI_UITESTSETUP_H

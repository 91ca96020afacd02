#ifndef TESTS_UI_UITESTSETUP_H
#define TESTS_UI_UITESTSETUP_H

// Allegro without a display: 24-bit memory bitmaps, a palette of distinct
// colours (entry 0 black), and either the datafile's fonts (if the datafile
// is there) or Allegro's 8-pixel font, which makes every text width exact.

#include <allegro.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "KivSettings.h"

namespace uitest {

inline void useFonts(bool fromDatafile) {
  static DATAFILE* data = nullptr;
  static bool started = false;
  if (!started) {
    started = true;
    set_uformat(U_ASCII);
    install_allegro(SYSTEM_NONE, &errno, atexit);
    set_color_depth(24);
    RGB colors[256] = {};
    for (int i = 1; i < 100; ++i) {
      colors[i] = RGB{static_cast<unsigned char>(i % 64),
                      static_cast<unsigned char>(i / 64 * 30 + 10), 20, 0};
    }
    KivSettings::storePallete(colors);
    KivSettings::resetPallete();
    std::string path = std::string(BRELVIN_SOURCE_DIR) + "/data/hoard.dat";
    if (exists(path.c_str())) data = load_datafile(path.c_str());
  }
  if (fromDatafile && data != nullptr) {
    // Start-up's order: extra-large, large, medium, small, tiny.
    auto f = [](int i) { return static_cast<FONT*>(data[i].dat); };
    KivSettings::storeFonts(f(0), f(2), f(1), f(3), f(4));
  } else {
    KivSettings::storeFonts(font, font, font, font, font);
  }
}

}  // namespace uitest

#endif  // TESTS_UI_UITESTSETUP_H

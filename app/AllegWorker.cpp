#include "AllegWorker.h"

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <new>
#include <string>

#include "ConfigWriter.h"
#include "EmergencyExit.h"
#include "GameEngine.h"
#include "KivSettings.h"

#include <allegro.h>

namespace {

// The datafile must hold at least five objects, all fonts: anything else
// would hand the front end pointers to data that are not fonts.
bool holdsFiveFonts(const DATAFILE* data) {
  for (int i = 0; i < 5; ++i) {
    if (data[i].type == DAT_END || data[i].type != DAT_FONT || data[i].dat == nullptr) return false;
  }
  return true;
}

// Before the options are applied there is no screen to report on; a small
// window is opened for the message so that it is seen, not only logged.
bool ensureScreen() {
  if (screen != nullptr) return true;
  return set_gfx_mode(GFX_AUTODETECT_WINDOWED, 640, 480, 0, 0) >= 0;
}

}  // namespace

int AllegWorker::initAllegro(bool) {
  set_uformat(U_ASCII);
  if (install_allegro(SYSTEM_AUTODETECT, &errno, atexit) != 0) return -1;
  // From here on a lost display or a stop signal ends the program at once.
  EmergencyExit::install();
  install_timer();
  install_keyboard();
  if (install_mouse() <= 0) return -3;
  set_color_depth(24);

  if (set_display_switch_mode(SWITCH_BACKGROUND) == 0) {
    std::cout << "Using SWITCH_BACKGROUND mode" << std::endl;
  } else if (set_display_switch_mode(SWITCH_BACKAMNESIA) == 0) {
    std::cout << "Using SWITCH_BACKAMNESIA mode" << std::endl;
  } else {
    return -5;
  }
  set_keyboard_rate(25, 25);

  // The window's title and its close button, which ends the program the way
  // the main menu's Exit does.
  set_window_title("Brelvin");
  set_close_button_callback(closeButtonCallback);
  return 0;
}

void AllegWorker::showError(int code) {
  if (code == -3) {
    std::cout << "Unable to initialize the mouse" << std::endl;
    allegro_message("Unable to initialize the mouse");
  } else if (code == -5) {
    std::cout << "Couldn't set a background mode" << std::endl;
    allegro_message("Couldn't set a background mode");
  } else if (code == -1) {
    // The library itself did not start (typically: no display to open).
    std::cout << "Couldn't initialize Allegro" << std::endl;
  }
  std::cout << allegro_error << std::endl;
  allegro_message("%s", allegro_error);
}

int AllegWorker::initProgram() {
  PALETTE colors = {};
  makeColors(colors);

  KivSettings::setWorkingDir("./");
  ConfigWriter::setPath("./");

  DATAFILE* data = load_datafile("hoard.dat");
  if (data != nullptr && !holdsFiveFonts(data)) {
    unload_datafile(data);
    data = nullptr;
  }
  if (data == nullptr) {
    showProgErr(-1);
    return -1;
  }

  KivSettings::storeFonts(static_cast<FONT*>(data[0].dat), static_cast<FONT*>(data[2].dat),
                          static_cast<FONT*>(data[1].dat), static_cast<FONT*>(data[3].dat),
                          static_cast<FONT*>(data[4].dat));
  KivSettings::storePallete(colors);
  KivSettings::resetPallete();

  // The pointer's hot spot is its top-left pixel.
  show_mouse(screen);
  scare_mouse();
  set_mouse_sprite_focus(0, 0);
  unscare_mouse();

  int result = 0;
  GameEngine* engine = new (std::nothrow) GameEngine();
  if (engine == nullptr) {
    result = -2;
  } else {
    engine->run();
    delete engine;
  }

  // No font pointer may outlive the datafile.
  KivSettings::clear();
  unload_datafile(data);

  if (result != 0) showProgErr(result);
  return result;
}

void AllegWorker::showProgErr(int code) {
  std::string text;
  if (code == -1) text = "Couldn't open hoard.h";
  if (code == -2) text = "Couldn't create GameEngine object";

  if (!text.empty()) {
    std::cout << text << std::endl;
    if (ensureScreen()) {
      // The settings' palette may not be stored yet; this one is the same.
      PALETTE colors = {};
      makeColors(colors);
      set_palette(colors);
      textout_ex(screen, font, text.c_str(), 10, 10, palette_color[35], palette_color[0]);
    }
  }
  rest(5000);
}

void AllegWorker::initHeadless() {
  install_allegro(SYSTEM_NONE, &errno, atexit);
  set_color_depth(24);
  PALETTE colors = {};
  makeColors(colors);
  for (int i = 0; i < PAL_SIZE; ++i) set_color(i, &colors[i]);
}

void AllegWorker::makeColors(RGB* colors) {
  colors[0].r = colors[0].g = colors[0].b = 0;
  colors[255].r = colors[255].g = colors[255].b = 0;

  static const int shades[5] = {15, 27, 39, 51, 63};
  for (int group = 0; group < 20; ++group) {
    for (int j = 0; j < 5; ++j) {
      const int v = shades[j];
      const int half = v / 2;
      const int fifth = v / 5;
      const int dim = static_cast<int>(v / 1.4);
      int r = 0, g = 0, b = 0;
      switch (group) {
        case 0: r = v; g = v; b = v; break;                 // 1-5 grey
        case 1: r = v; break;                               // 6-10 red
        case 2: g = v; break;                               // 11-15 green
        case 3: b = v; break;                               // 16-20 blue
        case 4: r = v; g = v; break;                        // 21-25 yellow
        case 5: r = v; b = v; break;                        // 26-30 magenta
        case 6: g = v; b = v; break;                        // 31-35 cyan
        case 7: r = v; g = v; b = half; break;              // 36-40
        case 8: r = v; g = half; b = half; break;           // 41-45
        case 9: r = half; g = v; b = half; break;           // 46-50
        case 10: r = half; g = half; b = v; break;          // 51-55
        case 11: r = v; g = v; b = half + 12; break;        // 56-60
        case 12: r = v; g = half + 12; b = v; break;        // 61-65
        case 13: r = half + 12; g = v; b = v; break;        // 66-70
        case 14: r = v; g = half; b = 0; break;             // 71-75
        case 15: r = v; g = 0; b = half; break;             // 76-80
        case 16: r = dim; g = v; b = half; break;           // 81-85
        case 17: r = half; g = 0; b = v; break;             // 86-90
        case 18: r = v; g = dim; b = fifth; break;          // 91-95
        default: r = 0; g = half; b = v; break;             // 96-100
      }
      RGB& c = colors[1 + group * 5 + j];
      c.r = static_cast<unsigned char>(r);
      c.g = static_cast<unsigned char>(g);
      c.b = static_cast<unsigned char>(b);
    }
  }
  // Pure magenta is the sprite mask colour in 24-bit mode, and the back
  // buffer reaches the screen as a sprite: keep entry 30 just off it.
  colors[30].g = 1;
}

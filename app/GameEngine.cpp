#include "GameEngine.h"

#include <iostream>
#include <new>
#include <string>

#include "AllegTools.h"
#include "ConfigWriter.h"
#include "KivSettings.h"
#include "WorldMap.h"

#include <allegro.h>
#include <jpgalleg.h>

using libkorvet::DEngine;

std::atomic<int> logicTime(0);
std::atomic<bool> engineWarning(false);
std::atomic<bool> leftClickLatch(false);
std::atomic<bool> closeRequested(false);

namespace {

const char* const CONFIG_FILE = "kivsettings.cfg";
const int TICKS_PER_SECOND = 30;
const int MAX_TICKS_PER_FRAME = 100;

}  // namespace

void ticker() {
  if (logicTime.load() > TICKS_PER_SECOND) {
    engineWarning.store(true);
    logicTime.store(0);
  } else {
    logicTime.fetch_add(1);
  }
}
END_OF_FUNCTION(ticker)

void buttonCallback(int flags) {
  if (flags & MOUSE_FLAG_LEFT_DOWN) leftClickLatch.store(true);
}
END_OF_FUNCTION(buttonCallback)

void closeButtonCallback() { closeRequested.store(true); }
END_OF_FUNCTION(closeButtonCallback)

// ---------------------------------------------------------------------------
// Construction and destruction

GameEngine::GameEngine()
    : buffer(nullptr),
      worldMap(nullptr),
      allegTools(nullptr),
      errMsg("Initializing..."),
      mapWidthText(DEngine::intToStr(1600)),
      mapHeightText(DEngine::intToStr(1600)),
      scrollX(0),
      scrollY(0),
      framesDrawn(0),
      ticksSinceRate(0),
      fps(0),
      lastKey('*'),
      engineOK(true),
      exitRequested(false),
      resolutionChanged(false) {
  // The system pointer stays hidden; the paint panel draws its own.
  scare_mouse();

  loadUserOptions();
  if (!applyUserOptions()) {
    errMsg = KivSettings::getErrMsg();
    engineOK = false;
    return;
  }

  if (jpgalleg_init() != 0) {
    errMsg = "Couldn't initialize Jpeg Alleg!";
    engineOK = false;
    return;
  }

  allegTools = new (std::nothrow) AllegTools();
  if (allegTools == nullptr) {
    errMsg = "Couldn't create AllegTools";
    engineOK = false;
    return;
  }

  worldMap = new (std::nothrow) WorldMap();
  if (worldMap == nullptr) {
    errMsg = "Couldn't create WorldMap";
    engineOK = false;
    return;
  }

  if (!setupGUI()) {
    engineOK = false;
    return;
  }

  LOCK_FUNCTION(ticker);
  LOCK_FUNCTION(buttonCallback);
  mouse_callback = buttonCallback;
  if (install_int_ex(ticker, BPS_TO_TIMER(TICKS_PER_SECOND)) != 0) {
    engineOK = false;
    errMsg += "Couldn't start ticker function";
    return;
  }

  errMsg += "Success";
}

GameEngine::~GameEngine() {
  delete worldMap;
  if (buffer != nullptr) destroy_bitmap(buffer);
  delete allegTools;
}

bool GameEngine::setupGUI() {
  if (buffer != nullptr) {
    destroy_bitmap(buffer);
    buffer = nullptr;
  }
  buffer = create_bitmap(KivSettings::getXResolution(), KivSettings::getYResolution());
  if (buffer == nullptr) {
    // Every frame is drawn into this buffer: without it nothing can be shown.
    errMsg = "Couldn't create the screen buffer";
    return false;
  }
  clear_bitmap(buffer);
  std::cout << "Initialized graphics" << std::endl;
  return true;
}

// ---------------------------------------------------------------------------
// Options

void GameEngine::loadUserOptions() {
  updateFrequencyText = ConfigWriter::loadString(CONFIG_FILE, "UPDATE_FREQUENCY");
  syncBandwidthText = ConfigWriter::loadString(CONFIG_FILE, "SYNC_BANDWIDTH");
  xResolutionText = ConfigWriter::loadString(CONFIG_FILE, "X_RESOLUTION");
  yResolutionText = ConfigWriter::loadString(CONFIG_FILE, "Y_RESOLUTION");
  windowModeText = ConfigWriter::loadString(CONFIG_FILE, "WINDOW_MODE");
}

void GameEngine::saveUserOptions() {
  ConfigWriter::writeString(CONFIG_FILE, "UPDATE_FREQUENCY", updateFrequencyText);
  ConfigWriter::writeString(CONFIG_FILE, "SYNC_BANDWIDTH", syncBandwidthText);
  ConfigWriter::writeString(CONFIG_FILE, "X_RESOLUTION", xResolutionText);
  ConfigWriter::writeString(CONFIG_FILE, "Y_RESOLUTION", yResolutionText);
  ConfigWriter::writeString(CONFIG_FILE, "WINDOW_MODE", windowModeText);
}

bool GameEngine::applyUserOptions() {
  bool ok = KivSettings::setFlushFrequency(updateFrequencyText) &&
            KivSettings::setSyncBandwidth(syncBandwidthText) &&
            KivSettings::setResolution(xResolutionText, yResolutionText, windowModeText);
  if (ok && resolutionChanged) ok = setupGUI();
  resolutionChanged = false;
  return ok;
}

bool GameEngine::checkMapSize(const std::string& widthText, const std::string& heightText, int& width,
                              int& height, std::string& error) {
  if (!DEngine::strToInt(widthText, width)) {
    error = "Map Width " + widthText + " doesn't look like an integer.";
    return false;
  }
  if (width < 0) {
    error = "Map Width " + DEngine::intToStr(width) + " is negative. This confuses me.";
    return false;
  }
  if (!DEngine::strToInt(heightText, height)) {
    error = "Map Height " + heightText + " doesn't look like an integer.";
    return false;
  }
  if (height < 0) {
    error = "Map Height " + DEngine::intToStr(height) + " is negative. This confuses me.";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Main loop

void GameEngine::run() {
  if (!engineOK) {
    showInitErr();
    return;
  }
  for (;;) {
    if (closeRequested.load()) exitRequested = true;
    if (exitRequested) {
      showExitScreen();
      return;
    }
    if (logicTime.load() > 0) {
      int ran = 0;
      do {
        doLogic();
        ++ticksSinceRate;
        logicTime.fetch_sub(1);
        ++ran;
      } while (logicTime.load() > 0 && ran < MAX_TICKS_PER_FRAME);
      drawGraphics();
      ++framesDrawn;
    } else {
      rest(10);
    }
  }
}

void GameEngine::doLogic() {
  poll_mouse();
  updateMouse();
  updateKeyboard();
  worldMap->run(static_cast<int>(scrollX), static_cast<int>(scrollY));
  calculateFPS();
  checkEngineWarning();
  netEngine.update(100);
}

void GameEngine::updateMouse() {
  bool left = leftClickLatch.exchange(false);
  if (!left) left = (mouse_b & 1) != 0;
  inputStatus.updateCoordinates(mouse_x, mouse_y);
  // The right button is never reported.
  inputStatus.updateButtonStatus(left, false);
}

void GameEngine::updateKeyboard() {
  poll_keyboard();
  if (keypressed()) {
    lastKey = static_cast<char>(readkey() & 0xff);
    clear_keybuf();
  }
  // The same code repeats until another key is read; the input snapshot
  // turns that into single key events.
  inputStatus.updateKeyboard(lastKey);
}

void GameEngine::calculateFPS() {
  if (ticksSinceRate >= TICKS_PER_SECOND) {
    fps = framesDrawn;
    framesDrawn = 0;
    ticksSinceRate = 0;
  }
}

bool GameEngine::checkEngineWarning() {
  engineWarning.store(false);
  return false;
}

void GameEngine::drawGraphics() {
  clear_bitmap(buffer);
  // The canvas, or its empty background, under everything else.
  worldMap->display(buffer, static_cast<int>(scrollX), static_cast<int>(scrollY));
  showFPS();
  if (screen == nullptr) return;
  acquire_screen();
  draw_sprite(screen, buffer, 0, 0);
  release_screen();
}

void GameEngine::showFPS() {
  if (fps >= TICKS_PER_SECOND) return;
  std::string text = "FPS: " + DEngine::intToStr(fps);
  textout_ex(buffer, KivSettings::getSmallFont(), text.c_str(), KivSettings::getXResolution() - 100, 5,
             palette_color[4], palette_color[0]);
}

// ---------------------------------------------------------------------------
// Start and end screens

void GameEngine::showInitErr() {
  std::cout << errMsg << std::endl;
  // Options that fail before any mode is set leave no screen: a small window
  // is opened so the reason is seen and the key wait can be answered.
  if (screen == nullptr) {
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 640, 480, 0, 0) < 0) {
      rest(2500);
      return;
    }
    KivSettings::resetPallete();
  }
  textout_ex(screen, KivSettings::getMedFont(), errMsg.c_str(), 10, 10, palette_color[10], palette_color[0]);
  rest(2500);
  std::cout << "Hit any key to exit" << std::endl;
  textout_ex(screen, KivSettings::getMedFont(), "Hit any key to exit", 10, 110, palette_color[4], palette_color[0]);
  clear_keybuf();
  while (!keypressed() && !closeRequested.load()) rest(10);
}

void GameEngine::showExitScreen() {
  const std::string path = KivSettings::getWorkingDir() + "graphics" + "/" + "screens" + "/" + "shut_down.jpg";
  BITMAP* picture = load_jpg(path.c_str(), nullptr);
  if (picture != nullptr) {
    stretch_sprite(screen, picture, 0, 0, KivSettings::getXResolution(), KivSettings::getYResolution());
    destroy_bitmap(picture);
  } else {
    const std::string text = "Coudln't load " + path;
    textout_ex(screen, KivSettings::getMedFont(), text.c_str(), 10, 10, palette_color[10], palette_color[0]);
    std::cout << text << std::endl;
  }
}

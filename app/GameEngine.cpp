#include "GameEngine.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <new>
#include <string>

#include "AllegTools.h"
#include "ConfigWriter.h"
#include "DrawingData.h"
#include "GUIManager.h"
#include "KivSettings.h"
#include "MenuManager.h"
#include "NetSystem.h"
#include "PictureLoader.h"
#include "WorldMap.h"

#include <allegro.h>
#include <jpgalleg.h>

using libkorvet::DEngine;

std::atomic<int> logicTime(0);
std::atomic<bool> engineWarning(false);
std::atomic<bool> leftClickLatch(false);
std::atomic<bool> rightClickLatch(false);
std::atomic<bool> closeRequested(false);

namespace {

const char* const CONFIG_FILE = "kivsettings.cfg";
// The two synchronization bandwidths the options' pacing button picks from:
// a LAN's rate per client, and the most the steady pacing carries.
const char* const LAN_BANDWIDTH = KivSettings::LAN_SYNC_BANDWIDTH;
const char* const STEADY_BANDWIDTH = "65535";
// The host setup's size boxes open with this value.
const long DEFAULT_MAP_SIZE = 1600;
const int TICKS_PER_SECOND = 30;
const int MAX_TICKS_PER_FRAME = 100;
// Completion handlers and events one engine step may run.
const int NET_STEP_OPS = 100;
// A second that lost one frame to a late batch of two ticks is not a slow one.
const int SLOW_FRAME_RATE = TICKS_PER_SECOND - 1;
const int BANNER_TICKS = 10 * TICKS_PER_SECOND;

// A reason of several lines, for one line on screen.
std::string oneLine(std::string text) {
  for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at))
    text.replace(at, 1, " - ");
  return text;
}

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
  if (flags & MOUSE_FLAG_RIGHT_DOWN) rightClickLatch.store(true);
}
END_OF_FUNCTION(buttonCallback)

void closeButtonCallback() { closeRequested.store(true); }
END_OF_FUNCTION(closeButtonCallback)

// ---------------------------------------------------------------------------
// Construction and destruction

GameEngine::GameEngine()
    : buffer(nullptr),
      worldMap(nullptr),
      guiManager(nullptr),
      netSystem(nullptr),
      menuManager(nullptr),
      allegTools(nullptr),
      autosave(&netEngine, "pictures"),
      errMsg("Initializing..."),
      mapWidthText(DEngine::intToStr(DEFAULT_MAP_SIZE)),
      mapHeightText(DEngine::intToStr(DEFAULT_MAP_SIZE)),
      scrollX(0),
      scrollY(0),
      framesDrawn(0),
      ticksSinceRate(0),
      fps(0),
      fpsMeasured(false),
      lastKey('*'),
      lastWheel(0),
      engineOK(true),
      exitRequested(false),
      keepTypedNames(false),
      bannerTicks(0) {
  // The system pointer stays hidden; the paint panel draws its own.
  scare_mouse();

  loadUserOptions();
  if (!applyUserOptions()) {
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

  // The canvas is shown at other scales than 1:1, from reduced copies.
  WorldMap::keepReductions(true);
  worldMap = new (std::nothrow) WorldMap();
  if (worldMap == nullptr) {
    errMsg = "Couldn't create WorldMap";
    engineOK = false;
    return;
  }

  netSystem = new (std::nothrow) NetSystem(&netEngine);
  if (netSystem == nullptr) {
    errMsg = "Couldn't create NetSystem";
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
  InputStatus::watchKeyboard();
  if (install_int_ex(ticker, BPS_TO_TIMER(TICKS_PER_SECOND)) != 0) {
    engineOK = false;
    errMsg += "Couldn't start ticker function";
    return;
  }

  menuManager->setMenu(MAIN_MENU);
  errMsg += "Success";
}

GameEngine::~GameEngine() {
  delete worldMap;
  delete guiManager;
  if (buffer != nullptr) destroy_bitmap(buffer);
  delete allegTools;
  // The session objects go with the facade, before the engine they use.
  delete netSystem;
  delete menuManager;
}

bool GameEngine::setupGUI() {
  BITMAP* newBuffer = create_bitmap(KivSettings::getXResolution(), KivSettings::getYResolution());
  if (newBuffer == nullptr) {
    errMsg = "Couldn't create the screen buffer";
    return false;
  }
  clear_bitmap(newBuffer);
  GUIManager* newGui = new GUIManager(netSystem);
  MenuManager* newMenus = new MenuManager();
  bool ok = newGui->initialize();
  if (!ok) {
    errMsg = newGui->getErrMsg();
  } else if (!newMenus->initialize()) {
    errMsg = newMenus->getErrMsg();
    ok = false;
  }
  if (!ok) {
    // The front end in use, if any, stays whole: it reports the failure.
    delete newGui;
    delete newMenus;
    destroy_bitmap(newBuffer);
    return false;
  }

  if (buffer != nullptr) destroy_bitmap(buffer);
  delete guiManager;
  delete menuManager;
  buffer = newBuffer;
  guiManager = newGui;
  menuManager = newMenus;
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
  // Settings from before autosaving existed have no entry for it.
  autosaveText = ConfigWriter::loadStringOr(CONFIG_FILE, "AUTOSAVE_SECONDS",
                                            DEngine::intToStr(KivSettings::DEFAULT_AUTOSAVE_SECONDS));
  savedOptions = {updateFrequencyText, syncBandwidthText, xResolutionText,
                  yResolutionText,     windowModeText,    autosaveText};
}

bool GameEngine::saveUserOptions() {
  // All six in one rewrite: a file that cannot be parsed is not touched.
  std::string error;
  if (ConfigWriter::tryWriteStrings(CONFIG_FILE,
                                    {{"UPDATE_FREQUENCY", updateFrequencyText},
                                     {"SYNC_BANDWIDTH", syncBandwidthText},
                                     {"X_RESOLUTION", xResolutionText},
                                     {"Y_RESOLUTION", yResolutionText},
                                     {"WINDOW_MODE", windowModeText},
                                     {"AUTOSAVE_SECONDS", autosaveText}},
                                    error))
    return true;
  errMsg = oneLine(error);
  return false;
}

bool GameEngine::saveChanges() {
  std::string* const texts[] = {&updateFrequencyText, &syncBandwidthText, &xResolutionText,
                                &yResolutionText,     &windowModeText,    &autosaveText};
  auto restore = [&] {
    for (std::size_t i = 0; i < savedOptions.size(); ++i) *texts[i] = savedOptions[i];
  };
  // A settings file that cannot be rewritten takes nothing, so nothing is
  // applied either, and the options show again what is in effect.
  std::string error;
  if (!ConfigWriter::canRewrite(CONFIG_FILE, error)) {
    errMsg = oneLine(error);
    restore();
    return false;
  }
  if (!applyUserOptions()) {
    // The texts stay, to be mended. The size is left as it was; the
    // options applied before the one at fault are taken back.
    const std::string reason = errMsg;
    KivSettings::setFlushFrequency(savedOptions[0]);
    KivSettings::setSyncBandwidth(savedOptions[1]);
    KivSettings::setAutosaveSeconds(savedOptions[5]);
    errMsg = reason;
    return false;
  }
  if (!saveUserOptions()) {
    // The file went bad or full since it was checked: back to what it holds.
    const std::string reason = errMsg;
    restore();
    applyUserOptions();
    errMsg = reason;
    return false;
  }
  for (std::size_t i = 0; i < savedOptions.size(); ++i) savedOptions[i] = *texts[i];
  return true;
}

bool GameEngine::remember(const std::string& id, const std::string& value) {
  std::string error;
  if (ConfigWriter::tryWriteString(CONFIG_FILE, id, value, error)) return true;
  errMsg = oneLine(error);
  return false;
}

bool GameEngine::applyUserOptions() {
  if (!KivSettings::setFlushFrequency(updateFrequencyText) || !KivSettings::setSyncBandwidth(syncBandwidthText) ||
      !KivSettings::setAutosaveSeconds(autosaveText) ||
      !KivSettings::setResolution(xResolutionText, yResolutionText, windowModeText)) {
    errMsg = KivSettings::getErrMsg();
    return false;
  }
  // The back buffer, panel and menus are laid out for one screen size and
  // follow every change of it, whichever Save made it. Before the first
  // build (at start-up) there is nothing to follow yet.
  const bool sameSize = buffer != nullptr && buffer->w == KivSettings::getXResolution() &&
                        buffer->h == KivSettings::getYResolution();
  if (buffer == nullptr || sameSize || setupGUI()) {
    appliedWindowMode = windowModeText;
    return true;
  }
  // The new size has no front end: back to the one that has.
  const std::string reason = errMsg;
  KivSettings::setResolution(DEngine::intToStr(buffer->w), DEngine::intToStr(buffer->h), appliedWindowMode);
  errMsg = reason;
  return false;
}

bool GameEngine::hostNewGame() {
  if (!pictureText.empty())
    return PictureLoader::host(pictureText, *netSystem, *worldMap, errMsg) == PictureLoader::HOSTED;
  int width = 0;
  int height = 0;
  if (!checkMapSize(mapWidthText, mapHeightText, width, height, errMsg)) return false;
  // Zero passes here; the facade and the canvas judge the size.
  if (netSystem->hostNewGame(static_cast<unsigned int>(width), static_cast<unsigned int>(height), worldMap))
    return true;
  errMsg = netSystem->getErrMsg();
  return false;
}

bool GameEngine::stopRunningGame() {
  autosave.end(*worldMap);
  netSystem->resetVariables();
  forgetSession();
  return true;
}

void GameEngine::forgetSession() {
  // Its chat and status lines (and the chat line, which would keep the
  // keyboard from the menus), its strokes, its canvas, its zoom and where
  // it was scrolled to: the menus show none of it and the next session
  // starts afresh at the canvas's top-left.
  guiManager->deleteMessages();
  guiManager->dropStrokes();
  guiManager->resetView();
  worldMap->reset();
  scrollX = 0;
  scrollY = 0;
}

bool GameEngine::clipToCanvas(long& x1, long& y1, long& x2, long& y2, long width, long height) {
  if (width <= 0 || height <= 0) return false;
  // The segment as x1 + t * dx, y1 + t * dy for t in [0, 1], narrowed to the
  // part inside each of the canvas's four edges in turn.
  const double dx = static_cast<double>(x2) - x1;
  const double dy = static_cast<double>(y2) - y1;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {static_cast<double>(x1), static_cast<double>(width - 1) - x1, static_cast<double>(y1),
                       static_cast<double>(height - 1) - y1};
  double from = 0.0;
  double to = 1.0;
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0.0) {
      if (q[i] < 0.0) return false;  // parallel to this edge, outside it
      continue;
    }
    const double t = q[i] / p[i];
    if (p[i] < 0.0) {
      from = std::max(from, t);
    } else {
      to = std::min(to, t);
    }
    if (from > to) return false;
  }
  auto onCanvas = [](double v, long size) { return std::min(std::max(std::lround(v), 0L), size - 1); };
  const long startX = x1, startY = y1;
  x1 = onCanvas(startX + from * dx, width);
  y1 = onCanvas(startY + from * dy, height);
  x2 = onCanvas(startX + to * dx, width);
  y2 = onCanvas(startY + to * dy, height);
  return true;
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
    if (closeRequested.load() && !exitRequested) {
      // The window can be closed in the middle of a session: end it first,
      // as leaving it through the menus would, so that the session objects
      // go before the canvas they paint on.
      stopRunningGame();
      exitRequested = true;
    }
    if (exitRequested) {
      showExitScreen();
      return;
    }
    if (logicTime.load() > 0) {
      frameLog.ticksBegin();
      int ran = 0;
      do {
        doLogic();
        ++ticksSinceRate;
        logicTime.fetch_sub(1);
        ++ran;
      } while (logicTime.load() > 0 && ran < MAX_TICKS_PER_FRAME);
      frameLog.ticksEnd(ran);
      drawGraphics();
      ++framesDrawn;
      if (frameLog.on()) frameLog.drawn(menuManager->getMenu() == NO_MENU ? guiManager->getView().label() : "menu");
    } else {
      serveNetwork();
    }
  }
}

void GameEngine::serveNetwork() {
  // Until the next tick is due the network is served, so that what arrives
  // (a join's pictures, say) is parsed as it comes, not a tick later. One
  // step is short (the host's budget bounds what its data may cost), and a
  // due tick ends the polling, so ticks and frames keep their pace.
  while (logicTime.load() == 0 && !closeRequested.load()) {
    if (netEngine.update(NET_STEP_OPS) <= 0) rest(1);
  }
}

void GameEngine::doLogic() {
  // Polling switches the library's mouse to polled mode for good, in which
  // a press and release between two polls leave no trace and the click
  // latch never fires; only a driver that cannot report by itself is polled.
  if (mouse_needs_poll()) poll_mouse();
  updateMouse();
  updateKeyboard();
  bool sessionTick = false;
  if (menuManager->getMenu() != NO_MENU) {
    guiManager->checkScrollingLimits(scrollX, scrollY, worldMap);
  } else {
    sessionTick = true;
    guiManager->run(scrollX, scrollY, worldMap);
    if (guiManager->getRequestSave()) pictureSaver.start(WorldMap::getMapBuffer());
    if (guiManager->getRequestHalt()) {
      // The segment of this tick belongs to the session that just ended.
      stopRunningGame();
      sessionTick = false;
      menuManager->setMenu(MAIN_MENU);
    }
  }
  pictureSaver.poll();
  autosave.tick(*worldMap);

  if (bannerTicks > 0) {
    runBanner();
  } else {
    runMenu();
  }
  worldMap->run(static_cast<int>(scrollX), static_cast<int>(scrollY));

  if (netSystem->netOK()) {
    if (sessionTick) doDrawing();
  } else {
    // The session failed: its reason shows across the top of the screen for
    // a while, then the main menu. The program goes on drawing meanwhile.
    // A reconnect that ended had its notice up all along: the error menu
    // says why it ended, and leads back to the join setup.
    const std::string reason = netSystem->getErrMsg();
    const bool reconnecting = netSystem->endedReconnecting();
    stopRunningGame();
    if (reconnecting) {
      showErrorMenu(reason, CLIENT_SETUP);
    } else {
      bannerText = reason;
      bannerTicks = BANNER_TICKS;
      menuManager->setMenu(MAIN_MENU);
    }
  }

  calculateFPS();
  checkEngineWarning();
  netEngine.update(NET_STEP_OPS);
}

void GameEngine::runBanner() {
  --bannerTicks;
  if (InputStatus::getShadowPressed() && InputStatus::getShadowKey(KEY_ESC)) bannerTicks = 0;
  // Shown anew, so neither the Escape that ended the wait nor a click made
  // while it lasted acts in it.
  if (bannerTicks == 0) menuManager->setMenu(MAIN_MENU);
}

void GameEngine::runMenu() {
  const std::string action = menuManager->run();
  const MenuState state = menuManager->getMenu();

  if (action != "NONE") {
    if (state == MAIN_MENU) {
      if (action == "HOST NEW") {
        openHostSetup();
      } else if (action == "JOIN EXISTING") {
        openJoinSetup();
      } else if (action == "OPTIONS") {
        openOptions();
      } else if (action == "EXIT") {
        exitRequested = true;
      }
    } else if (state == HOST_SETUP) {
      if (action == "PLAYER NAME") {
        netSystem->setPlayerName(menuManager->getUserText());
      } else if (action == "GAME NAME") {
        netSystem->setGameName(menuManager->getUserText());
      } else if (action == "MAP WIDTH") {
        mapWidthText = menuManager->getUserText();
      } else if (action == "MAP HEIGHT") {
        mapHeightText = menuManager->getUserText();
      } else if (action == "PICTURE") {
        pictureText = menuManager->getUserText();
      } else if (action == "PASSWORD") {
        netSystem->setHostPassword(menuManager->getUserText());
      } else if (action == "BEGIN HOSTING") {
        if (!remember("PREVIOUS_GAME_NAME", netSystem->getGameName()) ||
            !remember("PREVIOUS_PLAYER_NAME", netSystem->getPlayerName())) {
          keepTypedNames = true;
          showErrorMenu(errMsg, HOST_SETUP);
        } else if (hostNewGame()) {
          autosave.begin(netSystem->getGameName(), KivSettings::getAutosaveSeconds(), *worldMap);
          menuManager->setMenu(NO_MENU);
        } else {
          // A picture that cannot be the canvas comes back as it was typed,
          // to be mended; other failures start the setup afresh.
          const std::string player = netSystem->getPlayerName();
          const std::string game = netSystem->getGameName();
          stopRunningGame();
          if (!pictureText.empty()) {
            netSystem->setPlayerName(player);
            netSystem->setGameName(game);
            keepTypedNames = true;
          }
          showErrorMenu(errMsg, HOST_SETUP);
        }
      } else if (action == "CANCEL") {
        menuManager->setMenu(MAIN_MENU);
      }
    } else if (state == CLIENT_SETUP) {
      if (action == "PLAYER NAME") {
        netSystem->setPlayerName(menuManager->getUserText());
      } else if (action == "IP ADDR") {
        netSystem->setHostIP(menuManager->getUserText());
      } else if (action == "PASSWORD") {
        netSystem->setJoinPassword(menuManager->getUserText());
      } else if (action == "CONNECT") {
        if (!remember("PREVIOUS_INPUT_ADDRESS", netSystem->getHostIP()) ||
            !remember("PREVIOUS_PLAYER_NAME", netSystem->getPlayerName())) {
          keepTypedNames = true;
          showErrorMenu(errMsg, CLIENT_SETUP);
        } else if (netSystem->joinExistingGame(worldMap)) {
          menuManager->setMenu(WAIT_FOR_CONNECT);
        } else {
          errMsg = netSystem->getErrMsg();
          abandonJoin();
          showErrorMenu(errMsg, CLIENT_SETUP);
        }
      } else if (action == "CANCEL") {
        menuManager->setMenu(MAIN_MENU);
      }
    } else if (state == OPTIONS_MENU) {
      if (action == "UPDATE FREQUENCY") {
        updateFrequencyText = menuManager->getUserText();
      } else if (action == "SYNC BANDWIDTH") {
        syncBandwidthText = menuManager->getUserText();
        menuManager->setSyncPacing(syncBandwidthText);
      } else if (action == MenuManager::LINK_PACED_ACTION || action == MenuManager::STEADY_PACED_ACTION) {
        // The button shows the pacing to be saved: pressing it picks the other.
        syncBandwidthText = action == MenuManager::LINK_PACED_ACTION ? STEADY_BANDWIDTH : LAN_BANDWIDTH;
        menuManager->setBoxText("SYNC BANDWIDTH", syncBandwidthText);
        menuManager->setSyncPacing(syncBandwidthText);
      } else if (action == "X RESOLUTION") {
        xResolutionText = menuManager->getUserText();
      } else if (action == "Y RESOLUTION") {
        yResolutionText = menuManager->getUserText();
      } else if (action == "AUTOSAVE SECONDS") {
        autosaveText = menuManager->getUserText();
      } else if (action == "Windowed") {
        // The button shows the current mode: pressing it flips the mode.
        windowModeText = "Fullscreen";
      } else if (action == "Fullscreen") {
        windowModeText = "Windowed";
      } else if (action == "SAVE CHANGES") {
        if (saveChanges()) {
          menuManager->setMenu(MAIN_MENU);
        } else {
          showErrorMenu(errMsg, OPTIONS_MENU);
        }
      } else if (action == "CANCEL") {
        // The edited texts stay and are applied by a later Save.
        menuManager->setMenu(MAIN_MENU);
      }
    } else if (state == ERROR_MESSAGE) {
      if (action == "EXIT") {
        // Back to the setup menu the failure came from, with the names it
        // shows: a failed attempt reset the facade's names to defaults.
        const MenuState back = menuManager->getChainedState();
        const bool typed = keepTypedNames;
        keepTypedNames = false;
        if (back == HOST_SETUP)
          openHostSetup(typed);
        else if (back == CLIENT_SETUP)
          openJoinSetup(typed);
        else if (back == OPTIONS_MENU)
          openOptions();
        else
          menuManager->setMenu(back);
      }
    }
  }

  if (menuManager->getMenu() == WAIT_FOR_CONNECT) {
    if (netSystem->netOK()) {
      if (netSystem->clientReady()) {
        menuManager->setMenu(NO_MENU);
      } else if (action == "EXIT") {
        // Cancel: the connection attempt is abandoned.
        abandonJoin();
        openJoinSetup();
      }
    } else {
      errMsg = netSystem->getErrMsg();
      abandonJoin();
      showErrorMenu(errMsg, CLIENT_SETUP);
    }
  }
}

void GameEngine::showErrorMenu(const std::string& message, MenuState back) {
  menuManager->setMessage(message);
  menuManager->setChainedState(back);
  menuManager->setMenu(ERROR_MESSAGE);
}

void GameEngine::openHostSetup(bool typed) {
  if (typed) {
    // Nothing was reset: the facade still holds what the boxes showed.
    menuManager->setMenu(HOST_SETUP);
    menuManager->setBoxText("PLAYER NAME", netSystem->getPlayerName());
    menuManager->setBoxText("MAP WIDTH", mapWidthText);
    menuManager->setBoxText("MAP HEIGHT", mapHeightText);
    menuManager->setBoxText("PICTURE", pictureText);
    menuManager->setBoxText("PASSWORD", netSystem->getHostPassword());
    return;
  }
  const std::string game = ConfigWriter::loadString(CONFIG_FILE, "PREVIOUS_GAME_NAME");
  const std::string player = ConfigWriter::loadString(CONFIG_FILE, "PREVIOUS_PLAYER_NAME");
  menuManager->setMenu(HOST_SETUP);
  netSystem->setPlayerName(player);
  netSystem->setGameName(game);
  // The new menu's size boxes show the default: host what they show.
  mapWidthText = DEngine::intToStr(DEFAULT_MAP_SIZE);
  mapHeightText = DEngine::intToStr(DEFAULT_MAP_SIZE);
  pictureText.clear();
  netSystem->setHostPassword("");
}

void GameEngine::openJoinSetup(bool typed) {
  if (typed) {
    menuManager->setMenu(CLIENT_SETUP);
    menuManager->setBoxText("PLAYER NAME", netSystem->getPlayerName());
    menuManager->setBoxText("IP ADDR", netSystem->getHostIP());
    menuManager->setBoxText("PASSWORD", netSystem->getJoinPassword());
    return;
  }
  const std::string player = ConfigWriter::loadString(CONFIG_FILE, "PREVIOUS_PLAYER_NAME");
  const std::string address = ConfigWriter::loadString(CONFIG_FILE, "PREVIOUS_INPUT_ADDRESS");
  menuManager->setMenu(CLIENT_SETUP);
  netSystem->setHostIP(address);
  netSystem->setPlayerName(player);
  netSystem->setJoinPassword("");
}

void GameEngine::openOptions() {
  menuManager->setMenu(OPTIONS_MENU);
  // Edits left by Cancel or a failed Save stay in the engine until a Save
  // applies them; the boxes show them, not the file's values.
  menuManager->setBoxText("UPDATE FREQUENCY", updateFrequencyText);
  menuManager->setBoxText("SYNC BANDWIDTH", syncBandwidthText);
  menuManager->setSyncPacing(syncBandwidthText);
  menuManager->setBoxText("X RESOLUTION", xResolutionText);
  menuManager->setBoxText("Y RESOLUTION", yResolutionText);
  menuManager->setBoxText("AUTOSAVE SECONDS", autosaveText);
  menuManager->setWindowMode(windowModeText);
}

void GameEngine::abandonJoin() {
  netSystem->resetVariables();
  // A greeting may already have built the canvas over the session's sync
  // map, which the reset just freed: the canvas must let go of it too.
  forgetSession();
}

void GameEngine::doDrawing() {
  // While the host has locked the canvas a client paints nothing.
  if (netSystem->canvasLocked()) {
    guiManager->clearOldHighlights();
    return;
  }
  for (int i = 0; i < guiManager->getHighlightSize(); ++i) {
    DrawingData data;
    if (!guiManager->getHighlighting(data, i)) continue;
    // Where the canvas is smaller than the screen the view reaches past its
    // edges; only the part of a segment on the canvas is painted and sent
    // (the drawing message cannot carry negative points either).
    long x1 = data.getFirstX(), y1 = data.getFirstY();
    long x2 = data.getSecondX(), y2 = data.getSecondY();
    if (guiManager->startsStroke(i)) netSystem->beginStroke();
    if (!clipToCanvas(x1, y1, x2, y2, worldMap->getPixelWidth(), worldMap->getPixelHeight())) continue;
    worldMap->applyLineDrawing(x1, y1, x2, y2, KivSettings::getBrushSize(), KivSettings::getFillType());
    netSystem->addUDPDrawing(x1, y1, x2, y2);
  }
  guiManager->clearOldHighlights();
}

void GameEngine::updateMouse() {
  bool left = leftClickLatch.exchange(false);
  if (!left) left = (mouse_b & 1) != 0;
  bool right = rightClickLatch.exchange(false);
  if (!right) right = (mouse_b & 2) != 0;
  inputStatus.updateCoordinates(mouse_x, mouse_y);
  inputStatus.updateButtonStatus(left, right);
  // The wheel counts on; a tick takes the turns since the last one.
  const int wheel = mouse_z;
  inputStatus.updateWheelAndMiddle((mouse_b & 4) != 0, wheel - lastWheel);
  lastWheel = wheel;
}

void GameEngine::updateKeyboard() {
  // Every key in the buffer is taken: the input snapshot hands them out in
  // order, one a tick.
  InputStatus::RawInput raw;
  InputStatus::readKeyboard(raw);
  if (!raw.keysRead.empty()) lastKey = static_cast<char>(raw.keysRead.back() & 0xff);
  inputStatus.updateKeyboard(raw);
}

void GameEngine::calculateFPS() {
  if (ticksSinceRate >= TICKS_PER_SECOND) {
    fps = framesDrawn;
    fpsMeasured = true;
    framesDrawn = 0;
    ticksSinceRate = 0;
  }
}

bool GameEngine::checkEngineWarning() {
  engineWarning.store(false);
  return false;
}

void GameEngine::drawGraphics() {
  if (buffer == nullptr) return;
  clear_bitmap(buffer);
  // The canvas, or its empty background, under the menus too.
  const ViewTransform& view = guiManager->getView();
  worldMap->display(buffer, scrollX, scrollY, view.num(), view.den());
  if (bannerTicks == 0) menuManager->display(buffer);
  showDrawingColor();
  showFPS();
  if (menuManager->getMenu() == NO_MENU) guiManager->showPaintGUI(buffer, scrollX, scrollY);
  guiManager->display(buffer);
  if (bannerTicks > 0)
    allegTools->debugMessage(buffer, bannerText);
  else if (netSystem->isReconnecting())
    allegTools->debugMessage(buffer, netSystem->reconnectStatus());
  if (screen == nullptr) return;
  acquire_screen();
  draw_sprite(screen, buffer, 0, 0);
  release_screen();
}

void GameEngine::showDrawingColor() {
  if (menuManager->getMenu() != NO_MENU) return;
  // A preview of brush and colour under the pointer, as large as the
  // brush paints at the view's scale.
  const int x = InputStatus::getCursorX();
  const int y = InputStatus::getCursorY();
  const ViewTransform& view = guiManager->getView();
  const int size = static_cast<int>((2 * KivSettings::getBrushSize() + 1) * view.num() / view.den() / 2);
  rectfill(buffer, x - size, y - size, x + size, y + size, palette_color[KivSettings::getFillType()]);
}

void GameEngine::showFPS() {
  // Nothing before a whole second has been counted.
  if (!fpsMeasured || fps >= SLOW_FRAME_RATE) return;
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

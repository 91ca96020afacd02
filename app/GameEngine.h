#ifndef APP_GAMEENGINE_H
#define APP_GAMEENGINE_H

// GameEngine: owns the long-lived objects of the running program and drives
// them from one fixed-rate loop on the main thread: 30 logic ticks a second
// (input, menus, canvas, network engine), one frame drawn per batch of ticks.
// Start-up creates one, calls run() until the user quits, and deletes it.

#include <array>
#include <atomic>
#include <string>

#include "Autosave.h"
#include "DEngine.h"
#include "FrameLog.h"
#include "InputStatus.h"
#include "MenuManager.h"
#include "PictureSaver.h"

struct BITMAP;
class AllegTools;
class GUIManager;
class NetSystem;
class WorldMap;

// Shared with the graphics library's timer, mouse and window threads; they
// only store into these.
extern std::atomic<int> logicTime;         // logic ticks owed
extern std::atomic<bool> engineWarning;    // a backlog of ticks was dropped
extern std::atomic<bool> leftClickLatch;   // left button went down since the last poll
extern std::atomic<bool> rightClickLatch;  // ... and the right one
extern std::atomic<bool> closeRequested;   // the window's close button was pressed

// Timer interrupt, 30 calls a second: counts one tick owed, or drops a
// backlog of more than a second.
void ticker();
// Mouse callback: latches left-button presses so a click between two polls
// is still seen.
void buttonCallback(int flags);
// Window close button: asks the loop to end the way the main menu's Exit does.
void closeButtonCallback();

class GameEngine {
 public:
  GameEngine();
  ~GameEngine();
  GameEngine(const GameEngine&) = delete;
  GameEngine& operator=(const GameEngine&) = delete;

  // The main loop; returns when the user exits. After a failed construction
  // it only shows the reason and waits for a key.
  void run();
  // Polls the network engine until a tick is due (or the window is closed).
  void serveNetwork();
  void doLogic();
  void drawGraphics();
  // Acts on the action the menu reported in this tick.
  void runMenu();
  // Paints the strokes the paint panel collected and queues them for the network.
  void doDrawing();
  bool hostNewGame();
  bool stopRunningGame();
  // The error menu with the message, returning to the given menu.
  void showErrorMenu(const std::string& message, MenuState back);
  // Open the host or join setup with the remembered names, or with the ones
  // the user typed when they could not be remembered.
  void openHostSetup(bool typed = false);
  void openJoinSetup(bool typed = false);
  // The options menu showing the option texts Save will apply.
  void openOptions();
  // Ends a join that never became a session: facade first, then the canvas.
  void abandonJoin();
  // What the front end kept of a session that ended: its lines, strokes,
  // canvas and scroll position.
  void forgetSession();

  void loadUserOptions();
  // False with the reason in errMsg when the file cannot be rewritten.
  bool saveUserOptions();
  // The options' Save: the option texts applied and written, or, with the
  // reason in errMsg, none of them. After a file that cannot be rewritten
  // the texts are those in effect again; after a text at fault they stay.
  bool saveChanges();
  // False with the reason in errMsg; a new screen size is applied with the
  // front end built for it, or not at all.
  bool applyUserOptions();
  // Builds back buffer, paint panel and menus for the current screen size and
  // replaces the old ones only when all three could be built.
  bool setupGUI();
  // Writes one remembered value; false with the reason in errMsg, the file
  // left as it was.
  bool remember(const std::string& id, const std::string& value);

  void updateMouse();
  void updateKeyboard();
  void showDrawingColor();
  void showFPS();
  void calculateFPS();
  bool checkEngineWarning();
  void showInitErr();
  void showExitScreen();
  // One tick of the failure banner: it ends on Escape or when its time is up.
  void runBanner();

  // The part of a stroke segment on a canvas of width x height pixels; false
  // when none of it is.
  static bool clipToCanvas(long& x1, long& y1, long& x2, long& y2, long width, long height);

  // The checks of the host setup's map size texts: on failure false with the
  // user's text in error.
  static bool checkMapSize(const std::string& widthText, const std::string& heightText, int& width,
                           int& height, std::string& error);

  bool isEngineOK() const { return engineOK; }
  std::string getErrMsg() const { return errMsg; }

  static int getNumInstances() { return -1; }

 private:
  libkorvet::DEngine netEngine;
  BITMAP* buffer;
  WorldMap* worldMap;
  GUIManager* guiManager;
  NetSystem* netSystem;
  MenuManager* menuManager;
  AllegTools* allegTools;
  InputStatus inputStatus;
  // Ctrl+S in a session: the canvas into pictures/ of the working directory.
  PictureSaver pictureSaver;
  // A hosted session's own saves, into the same folder.
  Autosave autosave;
  // Frame times, when BRELVIN_FRAME_LOG names a file.
  FrameLog frameLog;

  std::string errMsg;
  std::string mapWidthText;
  std::string mapHeightText;
  // The host setup's picture to start from; empty for a blank canvas.
  std::string pictureText;
  std::string updateFrequencyText;
  std::string syncBandwidthText;
  std::string xResolutionText;
  std::string yResolutionText;
  std::string windowModeText;
  std::string autosaveText;
  // The six texts above as start-up read them or the last Save wrote them.
  std::array<std::string, 6> savedOptions;
  // The window mode of the screen the front end was built for, to go back
  // to when a new one cannot be built.
  std::string appliedWindowMode;
  long scrollX;
  long scrollY;
  int framesDrawn;
  int ticksSinceRate;
  int fps;
  bool fpsMeasured;  // a whole second has been counted
  char lastKey;
  int lastWheel;  // the mouse wheel's count at the last tick
  bool engineOK;
  bool exitRequested;
  // The setup menu the error menu returns to shows the names typed, which
  // could not be remembered, instead of the remembered ones.
  bool keepTypedNames;
  // A failed session's reason across the top of the screen, and the ticks
  // it stays there before the main menu shows.
  std::string bannerText;
  int bannerTicks;
};

#endif  // APP_GAMEENGINE_H

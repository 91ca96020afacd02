#ifndef UI_MENUMANAGER_H
#define UI_MENUMANAGER_H

// MenuManager: shows one full-screen menu at a time (title, a column of
// centred buttons and text boxes, and for the error menu a wrapped message)
// and reports at most one action name per tick to the game engine, which
// decides what the action does. It owns the widgets of the current menu and
// the ten tile images they are drawn with.
// Requires: main thread only; KivSettings' fonts and resolution set.

#include <cstddef>
#include <string>
#include <vector>

struct BITMAP;
struct FONT;

class ButtonObject;
class TextBox;

enum MenuState {
  NO_MENU = 0,  // the canvas is shown and painted; no menu
  MAIN_MENU = 1,
  HOST_SETUP = 2,
  CLIENT_SETUP = 3,
  ERROR_MESSAGE = 4,
  OPTIONS_MENU = 5,
  WAIT_FOR_CONNECT = 6
};

class MenuManager {
 public:
  // Ticks after a menu appears during which its input is ignored, so the
  // click or key that opened it cannot act in it.
  static constexpr int INPUT_DELAY_TICKS = 15;
  // Vertical distance between consecutive widgets, and the top of the first.
  static constexpr int WIDGET_SPACING = 48;
  static constexpr int FIRST_WIDGET_Y = 100;
  // The options menu's pacing button: its action names the pacing it shows
  // (the one Save will apply), as the window-mode button does.
  static constexpr const char* LINK_PACED_ACTION = "SYNC BY LINK";
  static constexpr const char* STEADY_PACED_ACTION = "SYNC STEADY";

  MenuManager();
  ~MenuManager();
  MenuManager(const MenuManager&) = delete;
  MenuManager& operator=(const MenuManager&) = delete;

  // Loads the button, text field and caret images; false with
  // "Couldn't load " + path at the first that is missing.
  bool initialize();
  std::string getErrMsg() const { return errMsg; }

  // Replaces the current menu (widgets, title, focus) and restarts the input
  // delay. Reads the remembered names and options from "kivsettings.cfg".
  void setMenu(MenuState state);
  MenuState getMenu() const { return menu; }
  void setChainedState(MenuState state) { chainedState = state; }
  MenuState getChainedState() const { return chainedState; }

  // One tick: the action of this tick, "NONE" if none.
  std::string run();
  // The whole text of the text box that reported the last text-box action.
  std::string getUserText() const { return userText; }
  // Text of the error menu. Requires: not empty when the error menu is drawn.
  void setMessage(const std::string& text) { message = text; }
  std::string getMessage() const { return message; }

  // Shows a text in the current menu's text box with that action (false if it
  // has none), or a mode on the options menu's window-mode button: for texts
  // the game engine holds rather than the configuration file.
  bool setBoxText(const std::string& boxAction, const std::string& text);
  void setWindowMode(const std::string& mode);
  // Shows on the options menu's pacing button the pacing a synchronization
  // bandwidth text gives: by the link above 65535, steady otherwise.
  void setSyncPacing(const std::string& bandwidthText);

  // Draws the current menu; nothing in NO_MENU.
  void display(BITMAP* buffer);

  // The error message cut into lines of at most n characters, preferring a
  // break before a space; n comes from the text's width in font against the
  // screen height. Requires: the text is not empty and has a width in font
  // (fatal otherwise).
  static std::vector<std::string> wrapMessage(const std::string& text, FONT* font, int yResolution);

  // Read access for the game engine's diagnostics and for tests.
  const std::string& getTitle() const { return title; }
  const std::vector<ButtonObject*>& getButtons() const { return buttons; }
  const std::vector<TextBox*>& getTextBoxes() const { return textBoxes; }
  // 0 nothing, 1 a button is held, 2 a text box has focus; index into the
  // matching vector.
  int getFocusKind() const { return focusKind; }
  int getFocusIndex() const { return focusIndex; }

  static int getNumInstances() { return -1; }

 private:
  void clearOldMenu();
  void clearVectors();
  void releaseImages();
  void checkActions();
  ButtonObject* addButton(const std::string& text, const std::string& action);
  TextBox* addTextBox(const std::string& label, const std::string& text, const std::string& action,
                      int widthInTiles);
  void displayErrorMsg(BITMAP* buffer);
  // The boxes from first on, count of them (all by default), in one column.
  void alignTextBoxes(std::size_t first = 0, std::size_t count = static_cast<std::size_t>(-1));

  void initMainMenu();
  void initHostSetup();
  void initClientSetup();
  void initErrorMessage();
  void initOptionsMenu();
  void initWaitForConnect();

  std::vector<ButtonObject*> buttons;
  std::vector<TextBox*> textBoxes;
  BITMAP* buttonUpLeft;
  BITMAP* buttonUpCenter;
  BITMAP* buttonUpRight;
  BITMAP* buttonDownLeft;
  BITMAP* buttonDownCenter;
  BITMAP* buttonDownRight;
  BITMAP* textboxLeft;
  BITMAP* textboxCenter;
  BITMAP* textboxRight;
  BITMAP* iBeam;
  ButtonObject* windowModeButton;  // not owned: one of buttons
  ButtonObject* syncPacingButton;  // not owned: one of buttons
  MenuState menu;
  MenuState chainedState;
  int focusKind;
  int focusIndex;
  std::string action;
  std::string userText;
  std::string title;
  std::string errMsg;
  std::string message;
  int inputDelay;
  int nextY;
  // Between consecutive widgets of the current menu: WIDGET_SPACING, or less
  // where a long menu would not fit the screen otherwise.
  int spacing;
};

#endif  // UI_MENUMANAGER_H

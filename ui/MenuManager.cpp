// Sections: [construction and images] [menu builders] [one tick: run and
// checkActions] [drawing and message wrapping].

#include "MenuManager.h"

#include <algorithm>
#include <new>

#include "ButtonObject.h"
#include "ConfigWriter.h"
#include "DEngine.h"
#include "InputStatus.h"
#include "KivSettings.h"
#include "SyncSettings.h"
#include "TextBox.h"

// Last: its macros and globals must not leak into the headers above.
#include <allegro.h>

using libkorvet::DEngine;

namespace {

const char* const CONFIG_FILE = "kivsettings.cfg";
const char* const NO_ACTION = "NONE";
const char* const LINK_PACED_CAPTION = "Joins paced by the link";
const char* const STEADY_PACED_CAPTION = "Joins at 64 KB/s at most";

// Focus kinds: what the left button or the keyboard is currently bound to.
const int FOCUS_NONE = 0;
const int FOCUS_BUTTON = 1;
const int FOCUS_TEXTBOX = 2;

// The wrapped message starts here and never breaks closer to a line's start
// than this many characters, so no line is left with a lone short word.
const int MESSAGE_TOP = 100;
const int MIN_BREAK = 5;

const int TITLE_Y = 10;
const int TITLE_COLOR = 35;
const int MESSAGE_COLOR = 80;
const int HINT_COLOR = 80;
const int HINT_FROM_BOTTOM = 50;

// Before start-up has stored the datafile fonts, Allegro's own font keeps
// layout and drawing working instead of dereferencing a null font.
FONT* orDefault(FONT* f) { return f != nullptr ? f : font; }

BITMAP* loadImage(const std::string& path) { return load_bitmap(path.c_str(), nullptr); }

}  // namespace

// ---------------------------------------------------------------------------
// Construction and images

MenuManager::MenuManager()
    : buttonUpLeft(nullptr),
      buttonUpCenter(nullptr),
      buttonUpRight(nullptr),
      buttonDownLeft(nullptr),
      buttonDownCenter(nullptr),
      buttonDownRight(nullptr),
      textboxLeft(nullptr),
      textboxCenter(nullptr),
      textboxRight(nullptr),
      iBeam(nullptr),
      windowModeButton(nullptr),
      syncPacingButton(nullptr),
      menu(NO_MENU),
      chainedState(MAIN_MENU),
      focusKind(FOCUS_NONE),
      focusIndex(0),
      action(NO_ACTION),
      userText(NO_ACTION),
      title("None"),
      errMsg("AllOK"),
      message("Everything is OK, nothing is ruined. This is real."),
      inputDelay(0),
      nextY(0),
      spacing(WIDGET_SPACING) {}

MenuManager::~MenuManager() {
  clearVectors();
  releaseImages();
}

void MenuManager::releaseImages() {
  BITMAP** images[] = {&buttonUpLeft,   &buttonUpCenter,   &buttonUpRight, &buttonDownLeft,
                       &buttonDownCenter, &buttonDownRight, &textboxLeft,   &textboxCenter,
                       &textboxRight,   &iBeam};
  for (BITMAP** image : images) {
    if (*image != nullptr) destroy_bitmap(*image);
    *image = nullptr;
  }
}

bool MenuManager::initialize() {
  // A second call replaces the images instead of leaking the first set.
  releaseImages();
  struct Image {
    BITMAP** target;
    const char* file;
  };
  const Image images[] = {{&buttonUpLeft, "left_button_up.bmp"},
                          {&buttonUpCenter, "center_button_up.bmp"},
                          {&buttonUpRight, "right_button_up.bmp"},
                          {&buttonDownLeft, "left_button_down.bmp"},
                          {&buttonDownCenter, "center_button_down.bmp"},
                          {&buttonDownRight, "right_button_down.bmp"},
                          {&textboxLeft, "left_textbox.bmp"},
                          {&textboxCenter, "center_textbox.bmp"},
                          {&textboxRight, "right_textbox.bmp"},
                          {&iBeam, "i_beam.bmp"}};
  const std::string folder = KivSettings::getWorkingDir() + "graphics" + "/" + "gui" + "/";
  for (const Image& image : images) {
    const std::string path = folder + image.file;
    *image.target = loadImage(path);
    if (*image.target == nullptr) {
      errMsg = "Couldn't load " + path;
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Menu builders

void MenuManager::clearVectors() {
  for (ButtonObject* button : buttons) delete button;
  for (TextBox* box : textBoxes) delete box;
  buttons.clear();
  textBoxes.clear();
  windowModeButton = nullptr;
  syncPacingButton = nullptr;
}

void MenuManager::clearOldMenu() {
  title = "None";
  clearVectors();
  nextY = FIRST_WIDGET_Y;
  spacing = WIDGET_SPACING;
  focusKind = FOCUS_NONE;
  focusIndex = 0;
}

void MenuManager::setMenu(MenuState state) {
  clearOldMenu();
  menu = state;
  inputDelay = INPUT_DELAY_TICKS;
  switch (state) {
    case MAIN_MENU:
      initMainMenu();
      break;
    case HOST_SETUP:
      initHostSetup();
      break;
    case CLIENT_SETUP:
      initClientSetup();
      break;
    case ERROR_MESSAGE:
      initErrorMessage();
      break;
    case OPTIONS_MENU:
      initOptionsMenu();
      break;
    case WAIT_FOR_CONNECT:
      initWaitForConnect();
      break;
    case NO_MENU:
      break;
  }
}

ButtonObject* MenuManager::addButton(const std::string& text, const std::string& actionName) {
  ButtonObject* button = new (std::nothrow) ButtonObject(text, -1, nextY, true, actionName);
  if (button == nullptr) DEngine::fatalError("MenuManager::addButton()");
  buttons.push_back(button);
  nextY += spacing;
  return button;
}

TextBox* MenuManager::addTextBox(const std::string& label, const std::string& text,
                                 const std::string& actionName, int widthInTiles) {
  TextBox* box = new (std::nothrow) TextBox(text, -1, nextY, true, label, widthInTiles, actionName);
  if (box == nullptr) DEngine::fatalError("MenuManager::addTextBox()");
  textBoxes.push_back(box);
  nextY += spacing;
  return box;
}

void MenuManager::initMainMenu() {
  title = "Brelvin";
  nextY = 148;
  addButton("Host New Session", "HOST NEW");
  addButton("Join Existing Session", "JOIN EXISTING");
  addButton("Options", "OPTIONS");
  addButton("Exit", "EXIT");
}

void MenuManager::initHostSetup() {
  title = "Host a Session";
  const std::string player = ConfigWriter::loadString(CONFIG_FILE, "PREVIOUS_PLAYER_NAME");
  // Read so that a configuration file without it fails here, where the
  // game engine will need it as soon as hosting starts.
  ConfigWriter::loadString(CONFIG_FILE, "PREVIOUS_GAME_NAME");
  nextY = 148;
  addTextBox("User Name", player, "PLAYER NAME", 9);
  addTextBox("Map Width", DEngine::intToStr(1600), "MAP WIDTH", 3);
  addTextBox("Map Height", DEngine::intToStr(1600), "MAP HEIGHT", 3);
  // The two size boxes, one above the other, in one column.
  alignTextBoxes(1, 2);
  // Empty: a blank canvas of the size above; a PNG: that picture, its size.
  addTextBox("Picture", "", "PICTURE", 9);
  // Empty: an open session. Never saved: it lives only in this run.
  addTextBox("Password", "", "PASSWORD", 9)->setMasked(true);
  addButton("Start", "BEGIN HOSTING");
  addButton("Cancel", "CANCEL");
}

void MenuManager::initClientSetup() {
  title = "Join a Session";
  const std::string player = ConfigWriter::loadString(CONFIG_FILE, "PREVIOUS_PLAYER_NAME");
  const std::string address = ConfigWriter::loadString(CONFIG_FILE, "PREVIOUS_INPUT_ADDRESS");
  nextY = 148;
  addTextBox("User Name", player, "PLAYER NAME", 9);
  addTextBox("IP Address", address, "IP ADDR", 9);
  addTextBox("Password", "", "PASSWORD", 9)->setMasked(true);
  addButton("Connect", "CONNECT");
  addButton("Cancel", "CANCEL");
}

void MenuManager::initOptionsMenu() {
  title = "Options";
  nextY = 100;
  // Nine widgets of 38 rows: closer together where the last would not be
  // whole on the screen (on the smallest, 480 rows), never overlapping.
  const int widgets = 9;
  const int fit = (KivSettings::getYResolution() - nextY - 42) / (widgets - 1);
  if (KivSettings::getYResolution() > 0 && fit < spacing) spacing = std::max(fit, 40);
  addTextBox("Network Updates/Sec", ConfigWriter::loadString(CONFIG_FILE, "UPDATE_FREQUENCY"),
             "UPDATE FREQUENCY", 2);
  addTextBox("Synchronization Bandwidth (bytes/sec)",
             ConfigWriter::loadString(CONFIG_FILE, "SYNC_BANDWIDTH"), "SYNC BANDWIDTH", 4);
  addTextBox("Horizontal Resolution", ConfigWriter::loadString(CONFIG_FILE, "X_RESOLUTION"),
             "X RESOLUTION", 2);
  addTextBox("Vertical Resolution ", ConfigWriter::loadString(CONFIG_FILE, "Y_RESOLUTION"),
             "Y RESOLUTION", 2);
  // Files from before the entry existed are read as the default.
  addTextBox("Autosave every (seconds, 0: never)",
             ConfigWriter::loadStringOr(CONFIG_FILE, "AUTOSAVE_SECONDS",
                                        DEngine::intToStr(KivSettings::DEFAULT_AUTOSAVE_SECONDS)),
             "AUTOSAVE SECONDS", 2);
  // The button shows the mode that will be saved, and its action names that
  // mode, so the game engine knows which way the user flipped it.
  alignTextBoxes();
  const std::string mode = ConfigWriter::loadString(CONFIG_FILE, "WINDOW_MODE");
  windowModeButton = addButton(mode, mode);
  syncPacingButton = addButton("", "");
  setSyncPacing(ConfigWriter::loadString(CONFIG_FILE, "SYNC_BANDWIDTH"));
  addButton("Save", "SAVE CHANGES");
  addButton("Cancel", "CANCEL");
}

// The fields start in one column with their labels before them, the whole
// group centred, so fields of a group line up however long their labels are.
void MenuManager::alignTextBoxes(std::size_t first, std::size_t count) {
  first = std::min(first, textBoxes.size());
  const std::size_t end = first + std::min(count, textBoxes.size() - first);
  int labelWidth = 0;
  int fieldWidth = 0;
  for (std::size_t i = first; i < end; ++i) {
    labelWidth = std::max(labelWidth, textBoxes[i]->getLabelWidth());
    fieldWidth = std::max(fieldWidth, textBoxes[i]->getTextWidth());
  }
  const int fieldLeft = KivSettings::getXResolution() / 2 - (labelWidth + fieldWidth) / 2 + labelWidth;
  for (std::size_t i = first; i < end; ++i) textBoxes[i]->placeField(fieldLeft);
}

bool MenuManager::setBoxText(const std::string& boxAction, const std::string& text) {
  for (TextBox* box : textBoxes) {
    if (box->getAction() == boxAction) {
      box->setText(text);
      return true;
    }
  }
  return false;
}

void MenuManager::setWindowMode(const std::string& mode) {
  if (windowModeButton == nullptr) return;
  windowModeButton->setText(mode);
  windowModeButton->setAction(mode);
  windowModeButton->resizeBox();
}

void MenuManager::setSyncPacing(const std::string& bandwidthText) {
  if (syncPacingButton == nullptr) return;
  int bandwidth = 0;
  const bool byLink = ConfigWriter::strToInt(bandwidthText, bandwidth) &&
                      bandwidth > static_cast<int>(libksync::SyncSettings::MAX_PACED_BANDWIDTH);
  syncPacingButton->setText(byLink ? LINK_PACED_CAPTION : STEADY_PACED_CAPTION);
  syncPacingButton->setAction(byLink ? LINK_PACED_ACTION : STEADY_PACED_ACTION);
  syncPacingButton->resizeBox();
}

void MenuManager::initWaitForConnect() {
  title = "Connecting...";
  nextY = 244;
  addButton("Cancel", "EXIT");
}

void MenuManager::initErrorMessage() {
  title = "Errors Encountered:";
  nextY = 292;
  addButton("That Sucks!", "EXIT");
}

// ---------------------------------------------------------------------------
// One tick

std::string MenuManager::run() {
  action = NO_ACTION;
  if (inputDelay > 0) {
    --inputDelay;
    return action;
  }
  if (menu == NO_MENU) return action;

  checkActions();
  const bool escape = InputStatus::getShadowPressed() && InputStatus::getShadowKey(KEY_ESC);
  switch (menu) {
    case MAIN_MENU:
    case ERROR_MESSAGE:
      if (escape) action = "EXIT";
      break;
    case HOST_SETUP:
    case CLIENT_SETUP:
    case OPTIONS_MENU:
      if (escape) action = "CANCEL";
      break;
    case WAIT_FOR_CONNECT:
    case NO_MENU:
      break;
  }

  if ((menu == CLIENT_SETUP || menu == OPTIONS_MENU) && windowModeButton != nullptr) {
    std::string shown;
    if (action == "Windowed") {
      shown = "Fullscreen";
    } else if (action == "Fullscreen") {
      shown = "Windowed";
    }
    // The other caption may span another number of tiles; setWindowMode
    // lays the button out again so the hit box follows what is drawn.
    if (!shown.empty()) setWindowMode(shown);
  }
  return action;
}

void MenuManager::checkActions() {
  action = NO_ACTION;

  // Every edit is reported in the tick it happens; there is no confirm key.
  if (focusKind == FOCUS_TEXTBOX && focusIndex < static_cast<int>(textBoxes.size())) {
    TextBox* box = textBoxes[focusIndex];
    if (box->run()) {
      action = box->getAction();
      userText = box->getText();
    }
  }

  // A button acts on release, and only if the pointer is still over it.
  if (InputStatus::getLeftReleased() && focusKind == FOCUS_BUTTON) {
    if (focusIndex < static_cast<int>(buttons.size()) && buttons[focusIndex]->detectCursor()) {
      action = buttons[focusIndex]->getAction();
    }
    focusKind = FOCUS_NONE;
    focusIndex = 0;
  }

  // A click on empty space changes nothing, so a text box keeps its focus.
  if (InputStatus::getLeftClicked()) {
    for (size_t i = 0; i < buttons.size(); ++i) {
      if (buttons[i]->detectCursor()) {
        focusKind = FOCUS_BUTTON;
        focusIndex = static_cast<int>(i);
      }
    }
    for (size_t i = 0; i < textBoxes.size(); ++i) {
      if (textBoxes[i]->detectCursor()) {
        focusKind = FOCUS_TEXTBOX;
        focusIndex = static_cast<int>(i);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Drawing and message wrapping

void MenuManager::display(BITMAP* buffer) {
  if (menu == NO_MENU || buffer == nullptr) return;
  const int xRes = KivSettings::getXResolution();
  const int yRes = KivSettings::getYResolution();

  textout_centre_ex(buffer, orDefault(KivSettings::getXLargeFont()), title.c_str(), xRes / 2, TITLE_Y,
                    palette_color[TITLE_COLOR], -1);

  for (size_t i = 0; i < buttons.size(); ++i) {
    if (focusKind == FOCUS_BUTTON && focusIndex == static_cast<int>(i)) {
      buttons[i]->display(buffer, buttonDownLeft, buttonDownCenter, buttonDownRight);
    } else {
      buttons[i]->display(buffer, buttonUpLeft, buttonUpCenter, buttonUpRight);
    }
  }
  for (size_t i = 0; i < textBoxes.size(); ++i) {
    const bool active = focusKind == FOCUS_TEXTBOX && focusIndex == static_cast<int>(i);
    textBoxes[i]->display(buffer, textboxLeft, textboxCenter, textboxRight, iBeam, active);
  }

  if (menu == ERROR_MESSAGE) {
    displayErrorMsg(buffer);
  } else if (menu == HOST_SETUP) {
    textout_centre_ex(buffer, orDefault(KivSettings::getSmallFont()), "(Map dimensions are in pixels)",
                      xRes / 2, yRes - HINT_FROM_BOTTOM, palette_color[HINT_COLOR], -1);
  }
}

std::vector<std::string> MenuManager::wrapMessage(const std::string& text, FONT* f, int yResolution) {
  const int width = text_length(orDefault(f), text.c_str());
  if (width <= 0) DEngine::fatalError("Something is wrong in MenuManager::displayErrorMsg()");

  // The message is cut into as many pieces as it is wider than the screen
  // is tall (less a margin), plus one. A screen too small for the margin,
  // or glyphs wider than that span, must still give at least one character
  // a line, or the loop below would never finish.
  const int span = std::max(yResolution - 32, 1);
  const int pieces = width / span + 1;
  const size_t perLine = std::max<size_t>(text.size() / static_cast<size_t>(pieces), 1);

  std::vector<std::string> lines;
  std::string rest = text;
  while (!rest.empty()) {
    size_t length = std::min(perLine, rest.size());
    if (length < rest.size() && length > static_cast<size_t>(MIN_BREAK)) {
      for (size_t p = length; p >= static_cast<size_t>(MIN_BREAK); --p) {
        if (rest[p] == ' ') {
          length = p;
          break;
        }
      }
    }
    // A space at the break stays at the start of the next line.
    lines.push_back(rest.substr(0, length));
    rest.erase(0, length);
  }
  return lines;
}

void MenuManager::displayErrorMsg(BITMAP* buffer) {
  FONT* f = orDefault(KivSettings::getMedFont());
  const std::vector<std::string> lines = wrapMessage(message, f, KivSettings::getYResolution());
  const int xCentre = KivSettings::getXResolution() / 2;
  int y = MESSAGE_TOP;
  for (const std::string& line : lines) {
    textout_centre_ex(buffer, f, line.c_str(), xCentre, y, palette_color[MESSAGE_COLOR], -1);
    y += text_height(f) + 1;
  }
}

// Sections: [GUIHighlight] [construction and images] [panel layout]
// [one session tick] [chat input] [panel clicks and shortcuts]
// [stroke capture] [drawing].

#include "GUIManager.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <new>

#include "ChatMessage.h"
#include "DEngine.h"
#include "InputStatus.h"
#include "KivSettings.h"
#include "NetSystem.h"
#include "WorldMap.h"

// Last: its macros and globals must not leak into the headers above.
#include <allegro.h>

using libkorvet::DEngine;

namespace {

const char* const MASK_OWNER = "GUIManager";

// Palette: 20 columns of five shades, 16 pixels apart, 14-pixel swatches.
const int PALETTE_COLUMNS = 20;
const int PALETTE_ROWS = 5;
const int SWATCH_PITCH = 16;
const int SWATCH_SIZE = 14;
const int NUM_COLORS = PALETTE_COLUMNS * PALETTE_ROWS;

const int HIGHLIGHT_COLOR = 35;
const int BRUSH_HIGHLIGHT_COLOR = 34;
const int BRUSH_FRAME_COLOR = 45;

const int CURSOR_BLINK_TICKS = 30;
const int CURSOR_SHOWN_TICKS = 15;
const int CHAT_TEXT_COLOR = 4;
const int CHAT_INPUT_FROM_BOTTOM = 200;
const int SCROLL_TEXT_FROM_BOTTOM = 13;
const int SCROLL_TEXT_COLOR = 0;
const int SCROLL_TEXT_BACKGROUND = 5;
const int SCALE_TEXT_ABOVE_ARROW = 12;
const int SCALE_TEXT_COLOR = 35;
// The join's progress bar, centred just above the panel.
const int PROGRESS_HEIGHT = 14;
const int PROGRESS_GAP = 3;
const int PROGRESS_BACKGROUND = 1;
const int PROGRESS_FILL = 33;
const int PROGRESS_FRAME = 35;
const int PROGRESS_TEXT = 4;

FONT* orDefault(FONT* f) { return f != nullptr ? f : font; }

bool inside(int px, int py, long x0, long y0, long x1, long y1) {
  return px >= x0 && px <= x1 && py >= y0 && py <= y1;
}

// Moves the end (x2, y2) of a segment that ends on the screen area x0..xEnd
// by y0..yEnd back to the segment's last point outside that area, in the
// ring of pixels just around it. A start inside the area gives the start.
void stopBefore(long& x2, long& y2, long x1, long y1, long x0, long y0, long xEnd, long yEnd) {
  const double dx = static_cast<double>(x2) - x1;
  const double dy = static_cast<double>(y2) - y1;
  // The end lies inside: the segment reaches the ring where it has entered
  // both the ring's columns and its rows.
  double t = 0.0;
  if (dx > 0 && x1 < x0 - 1) t = std::max(t, (x0 - 1 - x1) / dx);
  if (dx < 0 && x1 > xEnd + 1) t = std::max(t, (xEnd + 1 - x1) / dx);
  if (dy > 0 && y1 < y0 - 1) t = std::max(t, (y0 - 1 - y1) / dy);
  if (dy < 0 && y1 > yEnd + 1) t = std::max(t, (yEnd + 1 - y1) / dy);
  x2 = x1 + std::lround(t * dx);
  y2 = y1 + std::lround(t * dy);
}

}  // namespace

// ---------------------------------------------------------------------------
// GUIHighlight

void GUIHighlight::setCoords(unsigned int newX, unsigned int newY) {
  x = newX;
  y = newY;
}

void GUIHighlight::setDimensions(unsigned int w, unsigned int h) {
  width = w;
  height = h;
}

void GUIHighlight::display(BITMAP* bmp) const {
  if (bmp == nullptr) return;
  const int x0 = static_cast<int>(x);
  const int y0 = static_cast<int>(y);
  const int x1 = x0 + static_cast<int>(width);
  const int y1 = y0 + static_cast<int>(height);
  rect(bmp, x0, y0, x1, y1, color);
  rect(bmp, x0 - 1, y0 - 1, x1 + 1, y1 + 1, color);
}

// ---------------------------------------------------------------------------
// Construction and images

GUIManager::GUIManager(NetSystem* net)
    : cursorImage(nullptr),
      upArrow(nullptr),
      downArrow(nullptr),
      leftArrow(nullptr),
      rightArrow(nullptr),
      activeUpArrow(nullptr),
      activeDownArrow(nullptr),
      activeLeftArrow(nullptr),
      activeRightArrow(nullptr),
      paintGui(nullptr),
      pointerImage(nullptr),
      pointerOffsetX(0),
      pointerOffsetY(0),
      netSystem(net),
      playerList(net),
      guiX(0),
      guiY(0),
      xResolution(0),
      yResolution(0),
      scrollDirection(SCROLL_NONE),
      scrollSpeed(SCROLL_SPEED),
      chatInput("Hi"),
      chatActive(false),
      cursorBlink(0),
      segmentTimer(0),
      requestHalt(false),
      requestSave(false),
      wasDrawing(false),
      enteredGui(false),
      strokeOpen(false),
      strokeStarting(false),
      errMsg("AllOK") {}

GUIManager::~GUIManager() {
  // An open chat line holds the keyboard; a panel rebuilt after this one
  // would not know it and every reader would stay deaf.
  closeChat();
  for (ChatMessage* line : shownMessages) delete line;
  shownMessages.clear();
  releaseImages();
}

void GUIManager::releaseImages() {
  BITMAP** images[] = {&cursorImage,   &upArrow,         &downArrow,       &leftArrow,
                       &rightArrow,    &activeUpArrow,   &activeDownArrow, &activeLeftArrow,
                       &activeRightArrow, &paintGui};
  for (BITMAP** image : images) {
    if (*image != nullptr) destroy_bitmap(*image);
    *image = nullptr;
  }
  pointerImage = nullptr;
}

bool GUIManager::initialize() {
  return initialize(KivSettings::getXResolution(), KivSettings::getYResolution());
}

bool GUIManager::initialize(int screenWidth, int screenHeight) {
  std::cout << KivSettings::getWorkingDir() << std::endl;
  releaseImages();
  xResolution = screenWidth;
  yResolution = screenHeight;

  struct Image {
    BITMAP** target;
    const char* file;
  };
  const Image cursors[] = {{&cursorImage, "cursor.bmp"},
                           {&upArrow, "up_arrow.bmp"},
                           {&activeUpArrow, "active_up_arrow.bmp"},
                           {&downArrow, "down_arrow.bmp"},
                           {&activeDownArrow, "active_down_arrow.bmp"},
                           {&rightArrow, "right_arrow.bmp"},
                           {&activeRightArrow, "active_right_arrow.bmp"},
                           {&leftArrow, "left_arrow.bmp"},
                           {&activeLeftArrow, "active_left_arrow.bmp"}};
  const std::string graphics = KivSettings::getWorkingDir() + "graphics" + "/";
  for (const Image& image : cursors) {
    const std::string path = graphics + "cursor" + "/" + image.file;
    *image.target = load_bitmap(path.c_str(), nullptr);
    if (*image.target == nullptr) {
      errMsg = "Couldn't load cursor from " + path;
      return false;
    }
  }
  pointerImage = cursorImage;
  pointerOffsetX = 0;
  pointerOffsetY = 0;

  const std::string panelPath = graphics + "gui" + "/" + "paint_gui.bmp";
  paintGui = load_bitmap(panelPath.c_str(), nullptr);
  if (paintGui == nullptr) {
    errMsg = "Couldn't paint GUI from " + panelPath;
    return false;
  }

  // Centred at the bottom edge of the screen.
  guiX = xResolution / 2 - paintGui->w / 2;
  guiY = yResolution - paintGui->h;
  view.setViewSize(xResolution, guiY);
  addPaintComponents();
  return true;
}

bool GUIManager::onPanel(int px, int py) const {
  return inside(px, py, guiX, guiY, guiX + getPanelWidth() - 1, guiY + getPanelHeight() - 1);
}

int GUIManager::getPanelWidth() const { return paintGui != nullptr ? paintGui->w : 0; }
int GUIManager::getPanelHeight() const { return paintGui != nullptr ? paintGui->h : 0; }

// ---------------------------------------------------------------------------
// Panel layout

// Everything is measured from the panel image's right and bottom edges, so a
// wider image grows to the left and top.
void GUIManager::addPaintComponents() {
  const int W = paintGui->w;
  const int H = paintGui->h;

  paletteOrigin = Coordinate(guiX + W - 330, guiY + H - 90);
  paletteHighlight.setColor(palette_color[HIGHLIGHT_COLOR]);
  paletteHighlight.setCoords(static_cast<unsigned int>(guiX + W - 331),
                             static_cast<unsigned int>(guiY + H - 91));
  paletteHighlight.setDimensions(15, 15);

  // Column c holds the five shades of one colour group.
  for (int c = 0; c < PALETTE_COLUMNS; ++c) {
    for (int r = 0; r < PALETTE_ROWS; ++r) {
      const int n = 1 + PALETTE_ROWS * c + r;
      const int px = W - 330 + SWATCH_PITCH * c;
      const int py = H - 90 + SWATCH_PITCH * r;
      rect(paintGui, px - 1, py - 1, px + 13, py + 13, palette_color[0]);
      rectfill(paintGui, px, py, px + SWATCH_SIZE - 1, py + SWATCH_SIZE - 1, palette_color[n]);
    }
  }

  for (int k = 0; k < NUM_BRUSHES; ++k) {
    const int ix = W - 346 - k;
    const int iy = H - 80 + 19 * k;
    brushButtons[k] = Coordinate(guiX + ix, guiY + iy);
    rect(paintGui, ix - 3, iy - 3, ix + 2 * k + 3, iy + 2 * k + 3, palette_color[BRUSH_FRAME_COLOR]);
    rectfill(paintGui, ix, iy, ix + 2 * k, iy + 2 * k, palette_color[0]);
    brushHighlights[k].setCoords(static_cast<unsigned int>(guiX + ix - 1),
                                 static_cast<unsigned int>(guiY + iy - 1));
    brushHighlights[k].setDimensions(2 * (k + 1), 2 * (k + 1));
    brushHighlights[k].setColor(palette_color[BRUSH_HIGHLIGHT_COLOR]);
  }

  const int X = W - 415;
  const int Y = H - 83;
  const int upX = X, upY = Y;
  const int rightX = X + upArrow->w + 2, rightY = Y + 1 + upArrow->h;
  const int leftX = X - leftArrow->w - 2, leftY = Y + 1 + upArrow->h;
  const int downX = X, downY = Y + 2 + upArrow->h + rightArrow->h;
  draw_sprite(paintGui, upArrow, upX, upY);
  draw_sprite(paintGui, rightArrow, rightX, rightY);
  draw_sprite(paintGui, leftArrow, leftX, leftY);
  draw_sprite(paintGui, downArrow, downX, downY);
  upArrowPos = Coordinate(guiX + upX, guiY + upY);
  rightArrowPos = Coordinate(guiX + rightX, guiY + rightY);
  leftArrowPos = Coordinate(guiX + leftX, guiY + leftY);
  downArrowPos = Coordinate(guiX + downX, guiY + downY);
}

Coordinate GUIManager::getArrowPos(int direction) const {
  switch (direction) {
    case SCROLL_UP:
      return upArrowPos;
    case SCROLL_DOWN:
      return downArrowPos;
    case SCROLL_LEFT:
      return leftArrowPos;
    default:
      return rightArrowPos;
  }
}

// ---------------------------------------------------------------------------
// One session tick

void GUIManager::run(long& scrollX, long& scrollY, WorldMap* map) {
  const long canvasWidth = map != nullptr ? map->getPixelWidth() : 1;
  const long canvasHeight = map != nullptr ? map->getPixelHeight() : 1;
  view.setCanvasSize(canvasWidth, canvasHeight);
  overview.layout(canvasWidth, canvasHeight, xResolution, paintGui != nullptr ? guiY : yResolution);
  doNetworkChat();
  const int px = InputStatus::getCursorX(), py = InputStatus::getCursorY();
  // A click on the open list is the list's, never a stroke.
  const bool overList = playerList.covers(px, py, xResolution);
  playerList.run(!chatActive && InputStatus::getIsNewKey() ? InputStatus::getKeyInput() : 0,
                 InputStatus::getLeftClicked(), px, py, xResolution);
  doScrolling(scrollX, scrollY, map);
  doZooming(scrollX, scrollY);
  checkScrollingLimits(scrollX, scrollY, map);
  handleESC();
  handleSaveKey();
  handleUndoKeys();
  checkChatMessages();
  view.originX = scrollX;
  view.originY = scrollY;
  const bool onMap = overview.run(view);
  scrollX = view.originX;
  scrollY = view.originY;
  const bool overPanel = checkGUIs(scrollX, scrollY, map) || overList || playerList.covers(px, py, xResolution);
  view.originX = scrollX;
  view.originY = scrollY;
  updateHighlighting(scrollX, scrollY, overPanel || onMap ||
                                           overview.contains(InputStatus::getCursorX(), InputStatus::getCursorY()));
}

void GUIManager::doZooming(long& scrollX, long& scrollY) {
  view.originX = scrollX;
  view.originY = scrollY;
  const int px = InputStatus::getCursorX(), py = InputStatus::getCursorY();
  for (int steps = InputStatus::getWheelSteps(); steps > 0; --steps) view.zoomIn(px, py);
  for (int steps = InputStatus::getWheelSteps(); steps < 0; ++steps) view.zoomOut(px, py);
  if (InputStatus::getShadowPressed()) {
    if (InputStatus::getShadowKey(KEY_PGUP)) view.zoomIn(px, py);
    if (InputStatus::getShadowKey(KEY_PGDN)) view.zoomOut(px, py);
    if (InputStatus::getShadowKey(KEY_HOME)) view.zoomTo(ViewTransform::ZOOM_1_1, px, py);
  }

  // The canvas point under the pointer when the middle button went down
  // stays under it while the button is held.
  if (InputStatus::getMiddleClicked()) {
    middleDragging = true;
    dragFromX = px;
    dragFromY = py;
    dragOriginX = view.originX;
    dragOriginY = view.originY;
  }
  if (!InputStatus::getMiddlePressed()) middleDragging = false;
  if (middleDragging) {
    view.originX = dragOriginX - static_cast<long>(static_cast<long long>(px - dragFromX) * view.den() / view.num());
    view.originY = dragOriginY - static_cast<long>(static_cast<long long>(py - dragFromY) * view.den() / view.num());
  }
  scrollX = view.originX;
  scrollY = view.originY;
}

void GUIManager::doScrolling(long& scrollX, long& scrollY, WorldMap*) {
  // The same share of the screen at every scale.
  const long speed = view.canvasDistance(scrollSpeed);
  scrollDirection = SCROLL_NONE;
  pointerImage = cursorImage;
  pointerOffsetX = 0;
  pointerOffsetY = 0;
  // All four are applied; the last one pressed in this order names the
  // direction whose arrow lights up.
  if (InputStatus::getShadowKey(KEY_DOWN)) {
    scrollY += speed;
    scrollDirection = SCROLL_DOWN;
  }
  if (InputStatus::getShadowKey(KEY_UP)) {
    scrollY -= speed;
    scrollDirection = SCROLL_UP;
  }
  if (InputStatus::getShadowKey(KEY_RIGHT)) {
    scrollX += speed;
    scrollDirection = SCROLL_RIGHT;
  }
  if (InputStatus::getShadowKey(KEY_LEFT)) {
    scrollX -= speed;
    scrollDirection = SCROLL_LEFT;
  }
}

void GUIManager::checkScrollingLimits(long& scrollX, long& scrollY, WorldMap* map) const {
  if (scrollX < 0) scrollX = 0;
  if (scrollY < 0) scrollY = 0;
  if (map == nullptr) return;
  // The panel covers the bottom of the screen: the view (the screen above
  // the panel) may go down until the canvas's last row is just above it.
  ViewTransform limited = view;
  limited.setViewSize(xResolution, paintGui != nullptr ? guiY : yResolution);
  limited.setCanvasSize(map->getPixelWidth(), map->getPixelHeight());
  limited.originX = scrollX;
  limited.originY = scrollY;
  limited.clamp();
  scrollX = limited.originX;
  scrollY = limited.originY;
}

void GUIManager::handleESC() {
  if (InputStatus::getShadowPressed() && InputStatus::getShadowKey(KEY_ESC)) requestHalt = true;
}

// The typed S (the keyboard gives Control+S as code 19) with either Control
// key down: one save per press, none from a held key. While the chat line is
// open the keyboard is masked and the keys are text.
void GUIManager::handleSaveKey() {
  if (!InputStatus::getIsNewKey()) return;
  const char typed = InputStatus::getKeyInput();
  if ((typed == 19 || typed == 's' || typed == 'S') &&
      (InputStatus::getShadowKey(KEY_LCONTROL) || InputStatus::getShadowKey(KEY_RCONTROL)))
    requestSave = true;
}

// As the save key: the keyboard gives Control+Z as code 26 and Control+Y
// as 25, with Shift or without.
void GUIManager::handleUndoKeys() {
  if (!InputStatus::getIsNewKey() || netSystem == nullptr) return;
  if (!InputStatus::getShadowKey(KEY_LCONTROL) && !InputStatus::getShadowKey(KEY_RCONTROL)) return;
  const char typed = InputStatus::getKeyInput();
  const bool shift = InputStatus::getShadowKey(KEY_LSHIFT) || InputStatus::getShadowKey(KEY_RSHIFT);
  const bool z = typed == 26 || typed == 'z' || typed == 'Z';
  const bool y = typed == 25 || typed == 'y' || typed == 'Y';
  if (z && !shift)
    netSystem->undoOwnStroke();
  else if (y || z)
    netSystem->redoOwnStroke();
}

bool GUIManager::getRequestSave() {
  const bool save = requestSave;
  requestSave = false;
  return save;
}

bool GUIManager::getRequestHalt() {
  const bool halt = requestHalt;
  requestHalt = false;
  return halt;
}

void GUIManager::checkChatMessages() {
  // Only what fits on the screen is kept, and only the newest of a burst is
  // rendered at all.
  const std::size_t fit = ChatMessage::linesThatFit(yResolution);
  struct Incoming {
    std::string owner, text;
    int color;
  };
  std::deque<Incoming> incoming;
  Incoming next;
  while (KivSettings::getChatMessage(next.owner, next.text, next.color)) {
    incoming.push_back(next);
    if (incoming.size() > fit) incoming.pop_front();
  }
  for (const Incoming& in : incoming) {
    ChatMessage* line =
        new (std::nothrow) ChatMessage(in.owner, in.text, in.color, ChatMessage::displayTimeFor(in.text));
    if (line == nullptr) DEngine::fatalError("GUIManager::showChatMessages() new ChatMessage");
    shownMessages.push_back(line);
  }
  while (shownMessages.size() > fit) {
    delete shownMessages.front();
    shownMessages.pop_front();
  }
  ChatMessage::ageLines(shownMessages);
}

void GUIManager::deleteMessages() {
  playerList.close();
  for (ChatMessage* line : shownMessages) delete line;
  shownMessages.clear();
  KivSettings::deleteMessages();
  closeChat();
}

// ---------------------------------------------------------------------------
// Chat input

void GUIManager::closeChat() {
  if (!chatActive) return;
  chatActive = false;
  if (InputStatus::getMaskingKeyboard() && InputStatus::getMaskingClass() == MASK_OWNER) {
    InputStatus::unmaskKeyboard(MASK_OWNER);
  }
}

// While the line is open the keyboard is masked for everyone; the line reads
// its keys by unmasking, reading and masking again within this step.
void GUIManager::doNetworkChat() {
  if (chatActive) {
    if (!InputStatus::unmaskKeyboard(MASK_OWNER)) chatActive = false;
    if (chatActive) {
      if (InputStatus::getIsNewKey() && !InputStatus::getSpecialPressed()) {
        FONT* f = orDefault(KivSettings::getSmallFont());
        if (chatInput.size() < MAX_CHAT_INPUT && text_length(f, chatInput.c_str()) < xResolution / 2) {
          chatInput += InputStatus::getKeyInput();
          cursorBlink = 0;
        }
      }
      if (InputStatus::getShadowPressed()) {
        if (InputStatus::getShadowKey(KEY_ENTER)) {
          chatActive = false;
          if (!chatInput.empty() && netSystem != nullptr) netSystem->sendChat(chatInput);
        } else if (InputStatus::getShadowKey(KEY_ESC)) {
          // The text is dropped, and the keyboard stays unmasked, so the
          // same press also reaches the Escape check of this tick.
          chatActive = false;
        } else if (InputStatus::getShadowKey(KEY_BACKSPACE) || InputStatus::getShadowKey(KEY_LEFT)) {
          if (!chatInput.empty()) chatInput.erase(chatInput.size() - 1);
        }
      }
      if (chatActive && !InputStatus::maskKeyboard(MASK_OWNER)) chatActive = false;
    }
  } else if (InputStatus::getShadowPressed() && InputStatus::getShadowKey(KEY_ENTER)) {
    chatActive = true;
    chatInput.clear();
    if (!InputStatus::maskKeyboard(MASK_OWNER)) chatActive = false;
  }

  if (++cursorBlink > CURSOR_BLINK_TICKS) cursorBlink = 0;
}

// ---------------------------------------------------------------------------
// Panel clicks and shortcuts

bool GUIManager::checkGUIs(long& scrollX, long& scrollY, WorldMap* map) {
  const int px = InputStatus::getCursorX();
  const int py = InputStatus::getCursorY();
  const bool overPanel = onPanel(px, py);

  if (InputStatus::getIsNewKey()) {
    const char typed = InputStatus::getKeyInput();
    const int fill = KivSettings::getFillType();
    if (typed == '=') {
      KivSettings::incrementBrushSize();
    } else if (typed == '-') {
      KivSettings::decrementBrushSize();
    } else if (typed == '.') {
      KivSettings::setFillType(static_cast<unsigned char>(fill + 1 > NUM_COLORS ? 1 : fill + 1));
    } else if (typed == ',') {
      KivSettings::setFillType(static_cast<unsigned char>(fill == 0 ? NUM_COLORS : fill - 1));
    } else if (typed == 'm' || typed == 'M') {
      overview.toggle();
    }
  }
  if (InputStatus::getRightClicked() && !overPanel && !overview.contains(px, py))
    pickColour(map, view.toCanvasX(px), view.toCanvasY(py));

  bool consumed = false;
  if (InputStatus::getLeftClicked()) {
    for (int c = 0; c < PALETTE_COLUMNS && !consumed; ++c) {
      for (int r = 0; r < PALETTE_ROWS && !consumed; ++r) {
        const long x0 = paletteOrigin.getX() - 1 + SWATCH_PITCH * c;
        const long y0 = paletteOrigin.getY() - 1 + SWATCH_PITCH * r;
        if (inside(px, py, x0, y0, x0 + 15, y0 + 15)) {
          paletteHighlight.setCoords(static_cast<unsigned int>(x0), static_cast<unsigned int>(y0));
          KivSettings::setFillType(static_cast<unsigned char>(1 + PALETTE_ROWS * c + r));
          consumed = true;
        }
      }
    }
    if (!consumed) {
      for (int k = 0; k < NUM_BRUSHES; ++k) {
        const long x0 = brushButtons[k].getX();
        const long y0 = brushButtons[k].getY();
        if (inside(px, py, x0 - 3, y0 - 3, x0 + 2 * k + 3, y0 + 2 * k + 3)) {
          KivSettings::setBrushSize(static_cast<unsigned char>(k));
          consumed = true;
        }
      }
    }
  }

  if (InputStatus::getLeftPressed() && !consumed) {
    const long speed = view.canvasDistance(scrollSpeed);
    bool scrolled = false;
    auto over = [&](const Coordinate& pos, BITMAP* image) {
      return inside(px, py, pos.getX(), pos.getY(), pos.getX() + image->w, pos.getY() + image->h);
    };
    if (over(upArrowPos, upArrow)) {
      scrollY -= speed;
      scrollDirection = SCROLL_UP;
      scrolled = true;
    }
    if (over(downArrowPos, downArrow)) {
      scrollY += speed;
      scrollDirection = SCROLL_DOWN;
      scrolled = true;
    }
    if (over(rightArrowPos, rightArrow)) {
      scrollX += speed;
      scrollDirection = SCROLL_RIGHT;
      scrolled = true;
    }
    if (over(leftArrowPos, leftArrow)) {
      scrollX -= speed;
      scrollDirection = SCROLL_LEFT;
      scrolled = true;
    }
    if (scrolled) checkScrollingLimits(scrollX, scrollY, map);
  }
  return overPanel;
}

// The palette entry of the pixel's colour; a pixel no entry has (a mixed
// one, if any) takes the nearest. Black is entry 0 unless a swatch has it.
void GUIManager::pickColour(WorldMap* map, long canvasX, long canvasY) {
  unsigned char rgb[3];
  if (map == nullptr || !map->pixelAt(canvasX, canvasY, rgb)) return;
  int best = -1;
  long bestDistance = 0;
  for (int n = 1; n <= NUM_COLORS && bestDistance >= 0; ++n) {
    RGB entry;
    get_color(n, &entry);
    const long dr = (entry.r << 2) - rgb[0], dg = (entry.g << 2) - rgb[1], db = (entry.b << 2) - rgb[2];
    const long distance = dr * dr + dg * dg + db * db;
    if (best < 0 || distance < bestDistance) {
      best = n;
      bestDistance = distance;
    }
    if (distance == 0) break;
  }
  RGB black;
  get_color(0, &black);
  if (bestDistance != 0 && (black.r << 2) == rgb[0] && (black.g << 2) == rgb[1] && (black.b << 2) == rgb[2]) best = 0;
  if (best >= 0) KivSettings::setFillType(static_cast<unsigned char>(best));
}

// ---------------------------------------------------------------------------
// Stroke capture

// A held button yields one segment per tick, chained end to start, so the
// game engine can paint and send the stroke while it is still being drawn.
void GUIManager::updateHighlighting(long scrollX, long scrollY, bool overPanel) {
  bool clicked = InputStatus::getLeftClicked();
  bool pressed = InputStatus::getLeftPressed();
  bool released = InputStatus::getLeftReleased();

  if (overPanel) {
    // A drag that reaches the panel ends there.
    released = wasDrawing;
    wasDrawing = false;
    enteredGui = true;
    clicked = pressed = false;
  } else {
    wasDrawing = (clicked || pressed) && !released;
    if (enteredGui) {
      enteredGui = false;
      // A drag that comes back from the panel starts a new segment.
      if (pressed) clicked = true;
    }
  }

  long screenX = InputStatus::getCursorX();
  long screenY = InputStatus::getCursorY();
  if (overPanel && strokeOpen) {
    // The pointer is not on the canvas: the segment ends where it meets the
    // panel (or the overview map), not under it (nor short of it).
    const bool onMap = overview.contains(static_cast<int>(screenX), static_cast<int>(screenY));
    const long x0 = onMap ? overview.getX() - 1 : guiX, y0 = onMap ? overview.getY() - 1 : guiY;
    const long x1 = onMap ? overview.getX() + overview.getWidth() : guiX + getPanelWidth() - 1;
    const long y1 = onMap ? overview.getY() + overview.getHeight() : guiY + getPanelHeight() - 1;
    stopBefore(screenX, screenY, view.toScreenX(currentStroke.getFirstX()),
               view.toScreenY(currentStroke.getFirstY()), x0, y0, x1, y1);
  }
  view.originX = scrollX;
  view.originY = scrollY;
  const long canvasX = view.toCanvasX(screenX);
  const long canvasY = view.toCanvasY(screenY);

  auto push = [this]() {
    highlights.push_back(currentStroke);
    highlightStarts.push_back(strokeStarting);
    strokeStarting = false;
  };
  if (clicked) {
    currentStroke.setFirstCoords(canvasX, canvasY);
    segmentTimer = 0;
    strokeOpen = true;
    strokeStarting = true;
  } else if (pressed) {
    ++segmentTimer;
    if (segmentTimer > 0 && strokeOpen) {
      segmentTimer = 0;
      currentStroke.setSecondCoords(canvasX, canvasY);
      push();
      currentStroke.setFirstCoords(canvasX, canvasY);
    }
  } else if (released) {
    if (strokeOpen) {
      currentStroke.setSecondCoords(canvasX, canvasY);
      push();
    }
    strokeOpen = false;
  }

  while (highlights.size() > static_cast<size_t>(MAX_HIGHLIGHTS)) {
    highlights.pop_front();
    highlightStarts.pop_front();
  }
}

void GUIManager::dropStrokes() {
  highlights.clear();
  highlightStarts.clear();
  strokeStarting = false;
  strokeOpen = false;
  wasDrawing = false;
  enteredGui = false;
  segmentTimer = 0;
}

bool GUIManager::startsStroke(int index) const {
  return index >= 0 && index < static_cast<int>(highlightStarts.size()) && highlightStarts[static_cast<size_t>(index)];
}

bool GUIManager::getHighlighting(DrawingData& out, int index) const {
  if (index < 0 || index >= static_cast<int>(highlights.size())) return false;
  out = highlights[static_cast<size_t>(index)];
  return true;
}

// ---------------------------------------------------------------------------
// Drawing

// The frame follows the fill type, which the keyboard shortcuts and a panel
// rebuilt after a resolution change also set, not only a click on a swatch.
void GUIManager::placePaletteHighlight() {
  const int n = KivSettings::getFillType();
  if (n < 1 || n > NUM_COLORS) return;
  const int c = (n - 1) / PALETTE_ROWS;
  const int r = (n - 1) % PALETTE_ROWS;
  paletteHighlight.setCoords(static_cast<unsigned int>(paletteOrigin.getX() - 1 + SWATCH_PITCH * c),
                             static_cast<unsigned int>(paletteOrigin.getY() - 1 + SWATCH_PITCH * r));
}

void GUIManager::showJoinProgress(BITMAP* buffer, double done) const {
  const int width = getPanelWidth() / 2;
  const int x0 = guiX + (getPanelWidth() - width) / 2, x1 = x0 + width - 1;
  const int y1 = guiY - PROGRESS_GAP, y0 = y1 - PROGRESS_HEIGHT + 1;
  rectfill(buffer, x0, y0, x1, y1, palette_color[PROGRESS_BACKGROUND]);
  const int filled = static_cast<int>(done * (width - 2));
  if (filled > 0) rectfill(buffer, x0 + 1, y0 + 1, x0 + filled, y1 - 1, palette_color[PROGRESS_FILL]);
  rect(buffer, x0, y0, x1, y1, palette_color[PROGRESS_FRAME]);
  const std::string label = "Verifying the picture: " + DEngine::intToStr(static_cast<long>(done * 100)) + "%";
  textout_centre_ex(buffer, font, label.c_str(), (x0 + x1) / 2, y0 + (PROGRESS_HEIGHT - text_height(font)) / 2,
                    palette_color[PROGRESS_TEXT], -1);
}

void GUIManager::showPaintGUI(BITMAP* buffer, long scrollX, long scrollY) {
  if (buffer == nullptr || paintGui == nullptr) return;
  draw_sprite(buffer, paintGui, guiX, guiY);
  const double joined = netSystem != nullptr ? netSystem->joinProgress() : -1.0;
  if (joined >= 0) showJoinProgress(buffer, joined);

  // Colour 0 (black, reachable with ",") has no swatch to frame.
  const int fill = KivSettings::getFillType();
  if (fill >= 1 && fill <= NUM_COLORS) {
    placePaletteHighlight();
    paletteHighlight.display(buffer);
  }

  const unsigned char brush = KivSettings::getBrushSize();
  if (brush > 3) DEngine::fatalError("GUIManager::showPaintGUI(): got an invalid brush size");
  brushHighlights[brush].display(buffer);

  switch (scrollDirection) {
    case SCROLL_UP:
      draw_sprite(buffer, activeUpArrow, upArrowPos.getX(), upArrowPos.getY());
      break;
    case SCROLL_DOWN:
      draw_sprite(buffer, activeDownArrow, downArrowPos.getX(), downArrowPos.getY());
      break;
    case SCROLL_LEFT:
      draw_sprite(buffer, activeLeftArrow, leftArrowPos.getX(), leftArrowPos.getY());
      break;
    case SCROLL_RIGHT:
      draw_sprite(buffer, activeRightArrow, rightArrowPos.getX(), rightArrowPos.getY());
      break;
    default:
      break;
  }

  // The scale, at the top of the scroll box.
  textout_centre_ex(buffer, font, view.label().c_str(), upArrowPos.getX() + upArrow->w / 2 + 2,
                    upArrowPos.getY() - SCALE_TEXT_ABOVE_ARROW, palette_color[SCALE_TEXT_COLOR], -1);
  ViewTransform shown = view;
  shown.originX = scrollX;
  shown.originY = scrollY;
  overview.display(buffer, shown);

  const std::string position = DEngine::intToStr(scrollX) + "," + DEngine::intToStr(scrollY);
  textout_centre_ex(buffer, font, position.c_str(), upArrowPos.getX() + upArrow->w / 2 + 2,
                    yResolution - SCROLL_TEXT_FROM_BOTTOM, palette_color[SCROLL_TEXT_COLOR],
                    palette_color[SCROLL_TEXT_BACKGROUND]);
}

void GUIManager::display(BITMAP* buffer) {
  if (buffer == nullptr) return;
  ChatMessage::drawLines(buffer, shownMessages);
  playerList.display(buffer, xResolution);
  if (pointerImage != nullptr) {
    draw_sprite(buffer, pointerImage, InputStatus::getCursorX() + pointerOffsetX,
                InputStatus::getCursorY() + pointerOffsetY);
  }
  displayChatInput(buffer);
}

void GUIManager::displayChatInput(BITMAP* buffer) {
  if (!chatActive) return;
  const std::string shown = " " + chatInput + (cursorBlink <= CURSOR_SHOWN_TICKS ? "_" : " ");
  textout_ex(buffer, orDefault(KivSettings::getSmallFont()), shown.c_str(), xResolution / 4,
             yResolution - CHAT_INPUT_FROM_BOTTOM, palette_color[CHAT_TEXT_COLOR],
             palette_color[0]);
}

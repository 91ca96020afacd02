#ifndef UI_GUIMANAGER_H
#define UI_GUIMANAGER_H

// GUIManager: the whole user interface while a session runs. It draws the
// paint panel (palette, brush buttons, scroll arrows) centred at the bottom of
// the screen, scrolls and zooms the view (its ViewTransform, through which
// every pointer position becomes a canvas point), runs the overview map and
// the right button's colour picker, turns mouse drags into stroke segments (one
// per tick, at most 30 pending) that the game engine commits each tick, runs
// the chat input line, and shows the chat and status lines, the pointer and,
// while a joined canvas is verified for the first time, the join's progress.
// GUIHighlight is the two-pixel frame around the selected colour and brush.
// Requires: main thread only; KivSettings' fonts, palette and resolution set.

#include <cstddef>
#include <deque>
#include <string>

#include "Coordinate.h"
#include "DrawingData.h"
#include "OverviewMap.h"
#include "PlayerListOverlay.h"
#include "ViewTransform.h"

struct BITMAP;

class ChatMessage;
class NetSystem;
class WorldMap;

class GUIHighlight {
 public:
  GUIHighlight() = default;

  void setCoords(unsigned int newX, unsigned int newY);
  void setDimensions(unsigned int w, unsigned int h);
  // A colour value of the current colour depth (makecol, palette_color[]).
  void setColor(int c) { color = c; }
  // Two outlines, (x, y)-(x + width, y + height) and one pixel outside it.
  void display(BITMAP* bmp) const;

  unsigned int getX() const { return x; }
  unsigned int getY() const { return y; }
  unsigned int getWidth() const { return width; }
  unsigned int getHeight() const { return height; }
  int getColor() const { return color; }

 private:
  unsigned int x = 0;
  unsigned int y = 0;
  unsigned int width = 1;
  unsigned int height = 1;
  // Wide enough for a 24-bit colour; a 16-bit field would change the colour.
  int color = 0;
};

class GUIManager {
 public:
  static constexpr int SCROLL_SPEED = 20;      // pixels per tick
  static constexpr int MAX_HIGHLIGHTS = 30;    // pending stroke segments
  static constexpr std::size_t MAX_CHAT_INPUT = 256;  // characters of the chat line
  static constexpr int NUM_BRUSHES = 4;
  // scrollDirection values.
  enum Direction { SCROLL_UP = 0, SCROLL_DOWN = 1, SCROLL_LEFT = 2, SCROLL_RIGHT = 3, SCROLL_NONE = 4 };

  // Requires: net outlives this object (it may be null: chat lines are then
  // dropped when sent).
  explicit GUIManager(NetSystem* net);
  ~GUIManager();
  GUIManager(const GUIManager&) = delete;
  GUIManager& operator=(const GUIManager&) = delete;

  // Loads the pointer, arrow and panel images and lays the panel out for the
  // screen size in KivSettings; false with the reason in getErrMsg().
  bool initialize();
  // The same for a given screen size; everything that depends on the screen
  // (panel position, view limits, chat width) uses this size from then on.
  bool initialize(int screenWidth, int screenHeight);
  std::string getErrMsg() const { return errMsg; }

  // One session tick: chat input, scrolling and zooming, Escape, chat
  // lines, the overview map, panel clicks, the colour picker and stroke
  // capture. scrollX/scrollY are the canvas coordinates of the screen's
  // top-left corner.
  void run(long& scrollX, long& scrollY, WorldMap* map);
  // Keeps the view inside the canvas, far enough down that its last rows
  // clear the panel; a canvas smaller than the view leaves a negative value
  // at 1:1 and nearer, and is centred farther out.
  void checkScrollingLimits(long& scrollX, long& scrollY, WorldMap* map) const;
  // The scale and the view's size; its origin is the scroll position of
  // the last tick. Every blit of the canvas goes through it.
  const ViewTransform& getView() const { return view; }
  // Back to 1:1 (a session ended); the overview's toggle stays.
  void resetView() { view.resetScale(); }
  const OverviewMap& getOverview() const { return overview; }

  // The panel; above it, while a joined canvas is still being verified for
  // the first time, a bar with the share verified.
  void showPaintGUI(BITMAP* buffer, long scrollX, long scrollY);
  // Chat lines, pointer and chat input; every frame, menus included.
  void display(BITMAP* buffer);

  // True once after Escape was pressed in a session tick.
  bool getRequestHalt();
  // True once after Ctrl+S was pressed in a session tick.
  bool getRequestSave();

  int getHighlightSize() const { return static_cast<int>(highlights.size()); }
  // False for an index outside 0 to size - 1.
  bool getHighlighting(DrawingData& out, int index) const;
  // Whether that pending segment is the first of a stroke (a press).
  bool startsStroke(int index) const;
  void clearOldHighlights() {
    highlights.clear();
    highlightStarts.clear();
  }
  // Forgets the pending segments and the stroke being drawn: a session that
  // ends takes none of them into the next.
  void dropStrokes();

  // Destroys the lines on screen, empties KivSettings' queue of lines not
  // yet shown, and closes the chat line (the session is over).
  void deleteMessages();
  // Closes the chat line and gives the keyboard back, dropping the text.
  void closeChat();

  // Read access for the game engine and for tests.
  bool isChatActive() const { return chatActive; }
  const PlayerListOverlay& getPlayerList() const { return playerList; }
  const std::string& getChatInput() const { return chatInput; }
  const std::deque<ChatMessage*>& getShownMessages() const { return shownMessages; }
  int getScrollDirection() const { return scrollDirection; }
  int getGuiX() const { return guiX; }
  int getGuiY() const { return guiY; }
  int getPanelWidth() const;
  int getPanelHeight() const;
  // True for a screen point on one of the pixels the panel covers.
  bool onPanel(int px, int py) const;
  const Coordinate& getPaletteOrigin() const { return paletteOrigin; }
  // Requires: 0 <= k < NUM_BRUSHES.
  const Coordinate& getBrushButton(int k) const { return brushButtons[k]; }
  const GUIHighlight& getPaletteHighlight() const { return paletteHighlight; }
  // Screen position of the arrow of a direction (SCROLL_UP to SCROLL_RIGHT).
  Coordinate getArrowPos(int direction) const;

  static int getNumInstances() { return -1; }

 private:
  void releaseImages();
  void addPaintComponents();
  void doNetworkChat();
  void doScrolling(long& scrollX, long& scrollY, WorldMap* map);
  // Wheel, PageUp / PageDown, Home and the middle-button drag.
  void doZooming(long& scrollX, long& scrollY);
  // A right click on the canvas takes the palette colour under the pointer.
  void pickColour(WorldMap* map, long canvasX, long canvasY);
  void handleESC();
  void handleSaveKey();
  // Ctrl+Z undoes the user's newest stroke, Ctrl+Y and Ctrl+Shift+Z redo.
  void handleUndoKeys();
  void checkChatMessages();
  bool checkGUIs(long& scrollX, long& scrollY, WorldMap* map);
  void updateHighlighting(long scrollX, long scrollY, bool overPanel);
  void displayChatInput(BITMAP* buffer);
  void showJoinProgress(BITMAP* buffer, double done) const;
  void placePaletteHighlight();

  ViewTransform view;
  OverviewMap overview;
  // The middle-button drag: where it started and the origin then.
  bool middleDragging = false;
  int dragFromX = 0, dragFromY = 0;
  long dragOriginX = 0, dragOriginY = 0;
  std::deque<ChatMessage*> shownMessages;
  std::deque<DrawingData> highlights;
  std::deque<bool> highlightStarts;
  DrawingData currentStroke;
  BITMAP* cursorImage;
  BITMAP* upArrow;
  BITMAP* downArrow;
  BITMAP* leftArrow;
  BITMAP* rightArrow;
  BITMAP* activeUpArrow;
  BITMAP* activeDownArrow;
  BITMAP* activeLeftArrow;
  BITMAP* activeRightArrow;
  BITMAP* paintGui;
  BITMAP* pointerImage;  // always cursorImage
  int pointerOffsetX;
  int pointerOffsetY;
  NetSystem* netSystem;  // not owned
  PlayerListOverlay playerList;
  Coordinate brushButtons[NUM_BRUSHES];
  GUIHighlight brushHighlights[NUM_BRUSHES];
  Coordinate paletteOrigin;
  GUIHighlight paletteHighlight;
  Coordinate upArrowPos;
  Coordinate downArrowPos;
  Coordinate rightArrowPos;
  Coordinate leftArrowPos;
  int guiX;
  int guiY;
  int xResolution;
  int yResolution;
  int scrollDirection;
  int scrollSpeed;
  std::string chatInput;
  bool chatActive;
  int cursorBlink;
  int segmentTimer;
  bool requestHalt;
  bool requestSave;
  bool wasDrawing;
  bool enteredGui;
  // True between the tick a stroke starts on the canvas and the tick it
  // ends: a release or hold without one (a click that began on the panel)
  // must not add a segment from a stale starting point.
  bool strokeOpen;
  // The next segment pushed begins a stroke.
  bool strokeStarting;
  std::string errMsg;
};

#endif  // UI_GUIMANAGER_H

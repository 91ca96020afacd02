#ifndef UI_OVERVIEWMAP_H
#define UI_OVERVIEWMAP_H

// OverviewMap: a small picture of the whole canvas in the screen's top-right
// corner, with the part the view shows framed. M shows and hides it (the
// paint panel asks); a click or a drag on it centres the view on that point.
// Its picture follows the canvas a few times a second, from the smallest
// reduced copy when the canvas keeps them. Owned by the paint panel; main
// thread only.

struct BITMAP;
class ViewTransform;
class WorldMap;

class OverviewMap {
 public:
  // The map's longer side; its other side follows the canvas's shape.
  static constexpr int MAX_SIDE = 200;
  // Gap to the screen's right edge, and its top (clear of the frame-rate line).
  static constexpr int MARGIN = 8;
  static constexpr int TOP = 24;
  // Frames between two refreshes of the picture: at most about four a second.
  static constexpr int REFRESH_FRAMES = 8;

  OverviewMap() = default;
  ~OverviewMap();
  OverviewMap(const OverviewMap&) = delete;
  OverviewMap& operator=(const OverviewMap&) = delete;

  void toggle() { shown = !shown; }
  void hide();
  bool isShown() const { return shown; }

  // Lays the map out for a canvas of this size on a screen screenWidth wide,
  // keeping it above bottomLimit (the paint panel's top).
  void layout(long canvasWidth, long canvasHeight, int screenWidth, int bottomLimit);
  int getX() const { return x; }
  int getY() const { return y; }
  int getWidth() const { return width; }
  int getHeight() const { return height; }
  // True for a screen point on the shown map (its frame included).
  bool contains(int px, int py) const;

  // One tick's pointer on the map: a left click on it starts moving the
  // view, which follows the pointer until the button goes up. True while the
  // pointer's left button belongs to the map (the canvas must not take it).
  bool run(ViewTransform& view);
  // The map's point for a canvas point and back, both rounded down.
  int toMapX(long canvasX) const;
  int toMapY(long canvasY) const;
  long toCanvasX(int mapX) const;
  long toCanvasY(int mapY) const;

  // Every frame of a session: the picture (refreshed when due), its border
  // and the view's frame.
  void display(BITMAP* buffer, const ViewTransform& view);

 private:
  void refresh();

  BITMAP* picture = nullptr;
  long canvasWidth = 1;
  long canvasHeight = 1;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int framesToRefresh = 0;
  unsigned long shownVersion = 0;
  bool stale = true;
  bool shown = false;
  bool dragging = false;
};

#endif  // UI_OVERVIEWMAP_H

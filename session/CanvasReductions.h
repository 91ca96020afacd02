#ifndef SESSION_CANVASREDUCTIONS_H
#define SESSION_CANVASREDUCTIONS_H

// CanvasReductions: copies of the canvas's mirror bitmap at 1:2, 1:4, 1:8 ...
// down to a copy no larger than SMALLEST_SIDE on its longer side, each pixel
// the average of the four beneath it. The canvas marks what changes (per
// TILE x TILE area) and update() brings the copies up to date a bounded
// number of areas at a time, so a frame at any scale is one blit from the
// nearest copy. The copies together take at most a third of the mirror's
// memory. Owned by the canvas whose mirror it reads; main thread only.

#include <cstddef>
#include <vector>

struct BITMAP;

class CanvasReductions {
 public:
  // Side of the areas changes are tracked in; a power of two, so that every
  // area's part of each copy starts and ends on whole pixels down to 1:64.
  static constexpr int TILE = 64;
  // The smallest copy's longer side is at most this (the overview map's source).
  static constexpr int SMALLEST_SIDE = 256;
  // Areas brought up to date by one update(): about a millisecond of work,
  // so that a canvas changed everywhere at once (a join, a loaded picture)
  // catches up over a few seconds without holding up a frame.
  static constexpr int TILES_PER_UPDATE = 192;

  // Requires: mirror outlives this object and keeps its size.
  explicit CanvasReductions(BITMAP* mirror);
  ~CanvasReductions();
  CanvasReductions(const CanvasReductions&) = delete;
  CanvasReductions& operator=(const CanvasReductions&) = delete;

  // The mirror changed at (x, y), or in the rectangle [x0, x1) x [y0, y1).
  // Every byte the canvas changes comes here (the mirror's change callback),
  // so this one stays small.
  void markPixel(int x, int y) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    const std::size_t tile = static_cast<std::size_t>(y / TILE) * tilesX + static_cast<std::size_t>(x / TILE);
    if (dirty[tile]) return;
    dirty[tile] = 1;
    queue.push_back(static_cast<int>(tile));
  }
  void markArea(int x0, int y0, int x1, int y1);
  // Brings up to date at most maxTiles of the changed areas, oldest first;
  // the number left.
  std::size_t update(int maxTiles = TILES_PER_UPDATE);
  std::size_t pendingTiles() const { return queue.size() - head; }
  // Recomputes every copy from the mirror.
  void rebuild();
  // Moves on whenever update() or rebuild() changed a copy.
  unsigned long version() const { return changes; }

  // Draws the canvas at scale num/den (screen pixels per canvas pixel) into
  // dest's rectangle from (destX, destY), destW x destH, with canvas point
  // (originX, originY) at its top-left corner; screen pixel p shows canvas
  // point origin + floor(p * den / num). Around the canvas, dest shows the
  // dark green of no canvas. Requires: dest has the mirror's colour depth.
  void draw(BITMAP* dest, int destX, int destY, int destW, int destH, long originX, long originY, long num,
            long den) const;

  // The same from the copies given (copies[0] the mirror, then 1:2, 1:4 ...).
  static void drawFrom(const std::vector<BITMAP*>& copies, BITMAP* dest, int destX, int destY, int destW, int destH,
                       long originX, long originY, long num, long den);

  // Copy k = 1 .. levels() is 1:2^k; copy 0 is the mirror itself.
  int levels() const { return static_cast<int>(copies.size()) - 1; }
  BITMAP* level(int k) const { return copies[static_cast<std::size_t>(k)]; }
  // Bytes the copies take (the mirror not counted).
  std::size_t memoryBytes() const;

 private:
  // Level k's pixels [x0, x1) x [y0, y1), from level k - 1.
  void reduce(int k, int x0, int y0, int x1, int y1);
  void reduceTile(int tile);

  std::vector<BITMAP*> copies;  // copies[0] is the mirror (not owned)
  int width;   // the mirror's
  int height;
  int tilesX;
  int tilesY;
  std::vector<unsigned char> dirty;  // per tile
  std::vector<int> queue;            // changed tiles in the order marked
  std::size_t head;                  // queue entries before this are done
  unsigned long changes;
};

#endif  // SESSION_CANVASREDUCTIONS_H

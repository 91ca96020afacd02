#ifndef SESSION_WORLDMAP_H
#define SESSION_WORLDMAP_H

// WorldMap: the shared canvas. Its pixels live in the sync engine's data map
// as three byte planes (red, green, blue) per 100 x 100 block, allocated in
// the order block 0 red/green/blue, block 1 red/green/blue, ...; a local
// bitmap mirrors those bytes through the data map's change callback.
// One per program (the game engine's). The data map's change callback is a
// plain function, so the bitmap it updates is class-wide: the canvas created
// last owns it. The session server or client calls create() before the sync
// engine starts, and reset() after the session objects (and data map) are gone.
//
// Sync index of a pixel component: block * 30000 + plane * 10000 + ly * 100 + lx.

#include <string>
#include <vector>

struct BITMAP;
class CanvasReductions;

namespace libksync {
class SyncDataMap;
class SyncEngine;
template <typename T>
class SyncArray;
}  // namespace libksync

class WorldMap {
 public:
  // Told of every line a stroke paints before it is painted, and of every
  // pixel it changes with the value before and after (red, green, blue); the
  // host's stroke history listens here. Pixels are numbered y * width + x.
  class PaintObserver {
   public:
    virtual ~PaintObserver() = default;
    virtual void lineBegins(long x1, long y1, long x2, long y2) = 0;
    virtual void pixelPainted(unsigned int pixel, const unsigned char* before, const unsigned char* after) = 0;
  };

  // Bytes of one canvas block: three planes of 100 x 100. The session
  // configures the sync segment size to the same value.
  static const int KIV_SEGMENT_SIZE = 30000;
  static const int MIN_MAP_SIZE = 1600;
  static const int MAX_MAP_SIZE = 10000;

  WorldMap();
  ~WorldMap();
  WorldMap(const WorldMap&) = delete;
  WorldMap& operator=(const WorldMap&) = delete;

  // Allocates the planes through engine and builds a black bitmap of w x h.
  // False with "Map size too small" / "Map size too large" outside 1600..10000.
  // Requires: nothing else has allocated on engine yet, and it is not started.
  bool create(int w, int h, libksync::SyncEngine* engine);
  void reset();
  void destroyMap();
  std::string getErrMsg() const { return errMsg; }

  // The created size, or 1600 x 1600 without a map.
  int getPixelWidth() const;
  int getPixelHeight() const;
  bool isCreated() const { return mapCreated; }
  int getTotalSegments() const { return totalSegments; }

  // Stamps squares of side 2 * brushSize + 1 along the line, in palette
  // colour fillType. Everything is clipped to the canvas.
  void applyLineDrawing(long x1, long y1, long x2, long y2, unsigned char brushSize,
                        unsigned char fillType);
  // n + 2 evenly spaced points from (x1, y1) to (x2, y2), both included,
  // n = min(length / pointDistance, maxPoints) (1 for a zero length).
  // Requires: pointDistance > 0 (fatal otherwise).
  void getLineSeries(long x1, long y1, long x2, long y2, int pointDistance, std::vector<long>& xs,
                     std::vector<long>& ys, int maxPoints);
  static int calcDrawingLimit(int brushSize);
  // The most pixels applyLineDrawing writes for this line (before clipping):
  // what painting a received line costs the host.
  static long lineCost(long x1, long y1, long x2, long y2, unsigned char brushSize);
  // Fills the rectangle (corners included, clamped to the canvas) with a
  // palette colour; without a map, or with an index outside the palette,
  // nothing happens.
  void drawRect(long x1, long y1, long x2, long y2, int colorIndex);
  // The red, green and blue bytes of a pixel as the planes hold them; false
  // outside the canvas or without one.
  bool pixelAt(long x, long y, unsigned char rgb[3]) const;
  // Squares of side `square` in a palette colour over the whole canvas,
  // every other one (the top left one painted), exactly as drawRect of each
  // would paint them; the squares between keep what they hold. Whole blocks
  // at a time: the largest canvas takes a fraction of a second, not seconds.
  void paintCheckerboard(int square, int colorIndex);

  // At most one; null stops the reports. Requires: it outlives its use.
  void setPaintObserver(PaintObserver* observer) { paintObserver = observer; }
  PaintObserver* getPaintObserver() const { return paintObserver; }
  // One pixel's three bytes, y * width + x; writing one is no stroke (the
  // observer is not told). Requires: created, pixel inside the canvas.
  void readPixel(unsigned int pixel, unsigned char* rgb) const;
  void writePixel(unsigned int pixel, const unsigned char* rgb);

  // Moves the canvas onto the data map of another engine with all it holds
  // (bytes, and on clients the marks of local paint), keeping its bitmap and
  // size: a client that reconnects goes on with the canvas it had.
  // Requires: created; nothing allocated on engine yet, which is not started.
  void moveTo(libksync::SyncEngine* engine);
  // Writes row y from 3 bytes a pixel (red, green, blue, as the planes hold
  // them) into the planes and the mirror: a whole picture written byte by
  // byte through the change callback would take many seconds at the largest
  // size. Requires: created, 0 <= y < height (fatal otherwise).
  void writeRow(int y, const unsigned char* rgb);
  // Moves on whenever a byte of the canvas changes: two equal readings mean
  // nothing changed between them. 0 without a map.
  unsigned long long changeCount() const;

  // The data map's byte-change callback: mirrors one byte into the bitmap.
  static void getMapChange(unsigned int index, unsigned char value);
  // The data map's run callback: mirrors the pixels of a run of bytes (a
  // repaired block, say) into the bitmap, rows at a time.
  static void getMapRange(const libksync::SyncDataMap& map, unsigned int index, unsigned int count);

  // The canvas with its point (scrollX, scrollY) at dest's top-left corner,
  // at scale num/den (screen pixels per canvas pixel).
  void display(BITMAP* dest, int scrollX, int scrollY);
  void display(BITMAP* dest, long scrollX, long scrollY, long num, long den);
  // Every logic tick: brings a share of the reduced copies up to date.
  void run(int, int);

  // Whether canvases created from now on keep reduced copies of themselves
  // (the program that shows the canvas at other scales does; headless ones
  // need not pay for them). Off by default.
  static void keepReductions(bool on) { reductionsWanted = on; }
  // The current canvas's reduced copies, or null.
  static CanvasReductions* getReductions() { return reductions; }

  static BITMAP* getMapBuffer() { return mapBuffer; }
  static int getNumInstances() { return -1; }

 private:
  void resetVariables();
  // The n of getLineSeries.
  static long interiorPoints(long x1, long y1, long x2, long y2, int pointDistance, int maxPoints);
  // Destroys the bitmap and clears the class-wide geometry.
  static void releaseCanvas();
  // Mirrors pixels lo..hi - 1 (local, row-major) of block s from its bytes.
  static void mirrorBlock(const unsigned char* block, unsigned int s, unsigned int lo, unsigned int hi);
  // The palette colour as plane bytes; false for an index outside the palette.
  static bool planeColour(int colorIndex, unsigned char rgb[3]);
  // The block's three planes are sync segment s of the data map, so whole
  // blocks can be read and written as segments.
  bool blocksAreSegments() const;
  void connectMirror(libksync::SyncDataMap* map);
  // The block and the index inside its planes of pixel (x, y).
  void locate(long x, long y, long& block, unsigned int& local) const;

  static BITMAP* mapBuffer;
  static int mapWidth;
  static int mapHeight;
  static int numXSegments;
  static int numYSegments;
  static int segmentWidth;
  static int segmentHeight;
  static int segmentPixels;
  static CanvasReductions* reductions;
  static bool reductionsWanted;
  // The instance whose canvas the class-wide members describe, if any.
  static WorldMap* owner;

  std::vector<libksync::SyncArray<unsigned char>*> redPlanes;
  std::vector<libksync::SyncArray<unsigned char>*> greenPlanes;
  std::vector<libksync::SyncArray<unsigned char>*> bluePlanes;
  // Where the planes' bytes are: the data map of the engine given to create().
  libksync::SyncDataMap* dataMap;
  PaintObserver* paintObserver;
  std::string errMsg;
  int totalSegments;
  bool mapCreated;
  // This canvas's own geometry, so that it paints only its own planes.
  int pixelWidth;
  int pixelHeight;
  int blocksPerRow;
};

#endif  // SESSION_WORLDMAP_H

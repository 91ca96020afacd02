// WorldMap: canvas storage in synchronized planes, stroke rasterisation and
// the mirror bitmap.
//
// [SECTION] lifecycle: construction, create, move, reset
// [SECTION] rasterisation: strokes, line series, rectangles, whole rows
// [SECTION] mirror bitmap: change callback, display

#include "WorldMap.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <utility>

#include "CanvasReductions.h"
#include "DBuffer.h"
#include "DEngine.h"
#include "SyncArray.h"
#include "SyncDataMap.h"
#include "SyncEngine.h"
#include "SyncMapSegment.h"

// Last: its macros and globals must not leak into the other headers.
#include <allegro.h>

using libkorvet::DEngine;
using libksync::SyncArray;
using libksync::SyncDataMap;
using libksync::SyncEngine;

BITMAP* WorldMap::mapBuffer = nullptr;
int WorldMap::mapWidth = 0;
int WorldMap::mapHeight = 0;
int WorldMap::numXSegments = 0;
int WorldMap::numYSegments = 0;
int WorldMap::segmentWidth = 0;
int WorldMap::segmentHeight = 0;
int WorldMap::segmentPixels = 0;
WorldMap* WorldMap::owner = nullptr;
CanvasReductions* WorldMap::reductions = nullptr;
bool WorldMap::reductionsWanted = false;

namespace {

const int BLOCK_SIDE = 100;
const int BLOCK_PIXELS = BLOCK_SIDE * BLOCK_SIDE;
const int DEFAULT_PIXEL_SIZE = 1600;

// Writes n pixels of row y from x on (all inside the bitmap), component i
// of each taken from r[i * step], g[i * step] and b[i * step]: straight
// into the row at 24 and 32 bits a pixel, through putpixel otherwise.
void putPixels(BITMAP* bmp, int x, int y, int n, const unsigned char* r, const unsigned char* g,
               const unsigned char* b, int step) {
  const int depth = bitmap_color_depth(bmp);
  if (depth != 24 && depth != 32) {
    for (int i = 0; i < n; ++i)
      putpixel(bmp, x + i, y, makecol_depth(depth, r[i * step], g[i * step], b[i * step]));
    return;
  }
  bmp_select(bmp);
  uintptr_t addr = bmp_write_line(bmp, y);
  if (depth == 24) {
    addr += static_cast<uintptr_t>(x) * 3;
#ifdef ALLEGRO_LITTLE_ENDIAN
    // A 24-bit pixel is its colour's three low bytes, lowest first: each
    // component lands in the byte its shift names.
    const int rs = _rgb_r_shift_24, gs = _rgb_g_shift_24, bs = _rgb_b_shift_24;
    if (rs % 8 == 0 && gs % 8 == 0 && bs % 8 == 0 && rs <= 16 && gs <= 16 && bs <= 16) {
      unsigned char* p = reinterpret_cast<unsigned char*>(addr);
      for (int i = 0; i < n; ++i, p += 3) {
        p[rs / 8] = r[i * step];
        p[gs / 8] = g[i * step];
        p[bs / 8] = b[i * step];
      }
      bmp_unwrite_line(bmp);
      return;
    }
#endif
    for (int i = 0; i < n; ++i, addr += 3) bmp_write24(addr, makecol24(r[i * step], g[i * step], b[i * step]));
  } else {
    addr += static_cast<uintptr_t>(x) * 4;
    for (int i = 0; i < n; ++i, addr += 4) bmp_write32(addr, makecol32(r[i * step], g[i * step], b[i * step]));
  }
  bmp_unwrite_line(bmp);
}

}  // namespace

// ---------------------------------------------------------------------------
// [SECTION] lifecycle
// ---------------------------------------------------------------------------

WorldMap::WorldMap()
    : dataMap(nullptr),
      paintObserver(nullptr),
      totalSegments(0), mapCreated(false), pixelWidth(0), pixelHeight(0), blocksPerRow(0) {
  resetVariables();
}

WorldMap::~WorldMap() { destroyMap(); }

void WorldMap::resetVariables() {
  destroyMap();
  dataMap = nullptr;
  errMsg = "AllOK";
  mapCreated = false;
  totalSegments = 0;
  pixelWidth = 0;
  pixelHeight = 0;
  blocksPerRow = 0;
}

void WorldMap::reset() { resetVariables(); }

void WorldMap::destroyMap() {
  // Only the handles go: the bytes belong to the sync engine's data map.
  for (SyncArray<unsigned char>* plane : redPlanes) delete plane;
  for (SyncArray<unsigned char>* plane : greenPlanes) delete plane;
  for (SyncArray<unsigned char>* plane : bluePlanes) delete plane;
  redPlanes.clear();
  greenPlanes.clear();
  bluePlanes.clear();
  if (owner == this) releaseCanvas();
}

void WorldMap::releaseCanvas() {
  delete reductions;
  reductions = nullptr;
  if (mapBuffer) destroy_bitmap(mapBuffer);
  mapBuffer = nullptr;
  mapWidth = 0;
  mapHeight = 0;
  numXSegments = 0;
  numYSegments = 0;
  segmentWidth = 0;
  segmentHeight = 0;
  segmentPixels = 0;
  owner = nullptr;
}

bool WorldMap::create(int w, int h, SyncEngine* engine) {
  if (!engine) DEngine::fatalError("WorldMap::create(): engine is NULL");
  SyncDataMap* planes = engine->retrieveDataMap();
  resetVariables();

  if (w < MIN_MAP_SIZE || h < MIN_MAP_SIZE) {
    errMsg = "Map size too small";
    return false;
  }
  if (w > MAX_MAP_SIZE || h > MAX_MAP_SIZE) {
    errMsg = "Map size too large";
    return false;
  }

  // The change callback reaches the bitmap through the class-wide state, so
  // only one bitmap is live: a newer canvas supersedes any other's. Each
  // canvas keeps its own geometry for painting its own planes.
  if (owner) releaseCanvas();
  owner = this;
  pixelWidth = w;
  pixelHeight = h;
  blocksPerRow = (w + BLOCK_SIDE - 1) / BLOCK_SIDE;
  mapWidth = w;
  mapHeight = h;
  segmentPixels = BLOCK_PIXELS;
  segmentWidth = BLOCK_SIDE;
  segmentHeight = BLOCK_SIDE;
  numXSegments = (w + BLOCK_SIDE - 1) / BLOCK_SIDE;
  numYSegments = (h + BLOCK_SIDE - 1) / BLOCK_SIDE;
  totalSegments = numXSegments * numYSegments;

  std::cout << "KIV_SEGMENT_SIZE: " << KIV_SEGMENT_SIZE << "\n"
            << "segmentWidth: " << segmentWidth << "\n"
            << "segmentHeight: " << segmentHeight << "\n"
            << "numXSegments: " << numXSegments << "\n"
            << "numYSegments: " << numYSegments << "\n"
            << "totalSegments: " << totalSegments << "\n"
            << "segmentPixels: " << segmentPixels << std::endl;

  // The allocation order fixes every pixel's sync index, which host and
  // clients must agree on: block by block, red, green, blue.
  redPlanes.resize(totalSegments, nullptr);
  greenPlanes.resize(totalSegments, nullptr);
  bluePlanes.resize(totalSegments, nullptr);
  for (int s = 0; s < totalSegments; ++s) {
    redPlanes[s] = new SyncArray<unsigned char>(*engine, BLOCK_PIXELS);
    greenPlanes[s] = new SyncArray<unsigned char>(*engine, BLOCK_PIXELS);
    bluePlanes[s] = new SyncArray<unsigned char>(*engine, BLOCK_PIXELS);
  }

  dataMap = planes;
  if (dataMap) connectMirror(dataMap);

  // The planes start all zero and a byte that never changes never reaches
  // the callback, so the bitmap has to start out black to agree with them.
  mapBuffer = create_bitmap(w, h);
  if (!mapBuffer) {
    DEngine::addFatal("WorldMap::create(): couldn't create a bitmap of ");
    DEngine::addFatal(DEngine::intToStr(w) + " x ");
    DEngine::fatalError(DEngine::intToStr(h));
  }
  clear_to_color(mapBuffer, makecol_depth(bitmap_color_depth(mapBuffer), 0, 0, 0));
  if (reductionsWanted) reductions = new CanvasReductions(mapBuffer);
  mapCreated = true;
  return true;
}

void WorldMap::moveTo(SyncEngine* engine) {
  if (!engine || !mapCreated || !dataMap) DEngine::fatalError("WorldMap::moveTo(): no canvas to move");
  SyncDataMap* target = engine->retrieveDataMap();
  // The same allocation as create(), so every pixel keeps its sync index.
  std::vector<SyncArray<unsigned char>*> red(totalSegments), green(totalSegments), blue(totalSegments);
  for (int s = 0; s < totalSegments; ++s) {
    red[s] = new SyncArray<unsigned char>(*engine, BLOCK_PIXELS);
    green[s] = new SyncArray<unsigned char>(*engine, BLOCK_PIXELS);
    blue[s] = new SyncArray<unsigned char>(*engine, BLOCK_PIXELS);
  }
  target->copyFrom(*dataMap);
  dataMap->changeCallback = nullptr;
  dataMap->rangeCallback = nullptr;
  connectMirror(target);
  for (int s = 0; s < totalSegments; ++s) {
    delete redPlanes[s];
    delete greenPlanes[s];
    delete bluePlanes[s];
  }
  redPlanes.swap(red);
  greenPlanes.swap(green);
  bluePlanes.swap(blue);
  dataMap = target;
}

void WorldMap::connectMirror(SyncDataMap* map) {
  map->changeCallback = &WorldMap::getMapChange;
  map->rangeCallback = &WorldMap::getMapRange;
}

int WorldMap::getPixelWidth() const { return mapCreated ? pixelWidth : DEFAULT_PIXEL_SIZE; }

int WorldMap::getPixelHeight() const { return mapCreated ? pixelHeight : DEFAULT_PIXEL_SIZE; }

// ---------------------------------------------------------------------------
// [SECTION] rasterisation
// ---------------------------------------------------------------------------

int WorldMap::calcDrawingLimit(int brushSize) {
  if (brushSize <= 0) return 480;
  return 480 / (2 * brushSize + 1);
}

namespace {
int pointDistanceFor(unsigned char brushSize) { return brushSize == 0 ? 1 : 3; }
}  // namespace

long WorldMap::lineCost(long x1, long y1, long x2, long y2, unsigned char brushSize) {
  long side = 2 * static_cast<long>(brushSize) + 1;
  long points = interiorPoints(x1, y1, x2, y2, pointDistanceFor(brushSize), calcDrawingLimit(brushSize)) + 2;
  return points * side * side;
}

void WorldMap::applyLineDrawing(long x1, long y1, long x2, long y2, unsigned char brushSize,
                                unsigned char fillType) {
  if (paintObserver && mapCreated) paintObserver->lineBegins(x1, y1, x2, y2);
  long s = brushSize;
  int pointDistance = pointDistanceFor(brushSize);
  std::vector<long> xs;
  std::vector<long> ys;
  getLineSeries(x1, y1, x2, y2, pointDistance, xs, ys, calcDrawingLimit(brushSize));
  for (std::size_t i = 0; i < xs.size(); ++i)
    drawRect(xs[i] - s, ys[i] - s, xs[i] + s, ys[i] + s, fillType);
}

void WorldMap::getLineSeries(long x1, long y1, long x2, long y2, int pointDistance,
                             std::vector<long>& xs, std::vector<long>& ys, int maxPoints) {
  xs.clear();
  ys.clear();
  if (pointDistance <= 0) DEngine::fatalError("WorldMap::getLineSeries(): invalid point distance");

  xs.push_back(x1);
  ys.push_back(y1);

  double dx = static_cast<double>(x2) - static_cast<double>(x1);
  double dy = static_cast<double>(y2) - static_cast<double>(y1);
  long n = interiorPoints(x1, y1, x2, y2, pointDistance, maxPoints);
  double stepX = dx / static_cast<double>(n + 1);
  double stepY = dy / static_cast<double>(n + 1);
  for (long k = 1; k <= n; ++k) {
    xs.push_back(dx == 0 ? x1 : std::lround(static_cast<double>(x1) + stepX * k));
    ys.push_back(dy == 0 ? y1 : std::lround(static_cast<double>(y1) + stepY * k));
  }

  xs.push_back(x2);
  ys.push_back(y2);
}

long WorldMap::interiorPoints(long x1, long y1, long x2, long y2, int pointDistance, int maxPoints) {
  // Differences of received 32-bit coordinates can exceed 32 bits, and their
  // squares 64: the length is taken in floating point.
  double dx = static_cast<double>(x2) - static_cast<double>(x1);
  double dy = static_cast<double>(y2) - static_cast<double>(y1);
  double length = std::floor(std::sqrt(dx * dx + dy * dy));

  long n = 1;
  if (length != 0) {
    double steps = std::floor(length / pointDistance);
    n = steps > maxPoints ? maxPoints : static_cast<long>(steps);
  }
  if (n > maxPoints) n = maxPoints;
  if (n < 0) n = 0;
  return n;
}

void WorldMap::drawRect(long x1, long y1, long x2, long y2, int colorIndex) {
  if (!mapCreated || pixelWidth == 0 || pixelHeight == 0) return;
  unsigned char rgb[3];
  if (!planeColour(colorIndex, rgb)) return;
  const unsigned char r = rgb[0], g = rgb[1], b = rgb[2];

  auto clamp = [](long v, long size) -> long { return v < 0 ? 0 : (v >= size ? size - 1 : v); };
  x1 = clamp(x1, pixelWidth);
  x2 = clamp(x2, pixelWidth);
  y1 = clamp(y1, pixelHeight);
  y2 = clamp(y2, pixelHeight);
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);

  const unsigned char after[3] = {r, g, b};
  for (long x = x1; x <= x2; ++x) {
    long column = x / BLOCK_SIDE;
    unsigned int lx = static_cast<unsigned int>(x % BLOCK_SIDE);
    for (long y = y1; y <= y2; ++y) {
      long s = column + (y / BLOCK_SIDE) * blocksPerRow;
      unsigned int local = lx + static_cast<unsigned int>(y % BLOCK_SIDE) * BLOCK_SIDE;
      if (paintObserver) {
        // Brush stamps overlap: most pixels of a stroke already hold its
        // colour, and a write that changes nothing is no one's concern.
        const unsigned char before[3] = {redPlanes[s]->get(local), greenPlanes[s]->get(local),
                                         bluePlanes[s]->get(local)};
        if (before[0] == r && before[1] == g && before[2] == b) continue;
        paintObserver->pixelPainted(static_cast<unsigned int>(y * pixelWidth + x), before, after);
      }
      redPlanes[s]->set(local, r);
      greenPlanes[s]->set(local, g);
      bluePlanes[s]->set(local, b);
    }
  }
}

bool WorldMap::pixelAt(long x, long y, unsigned char rgb[3]) const {
  if (!mapCreated || x < 0 || y < 0 || x >= pixelWidth || y >= pixelHeight) return false;
  const long s = x / BLOCK_SIDE + (y / BLOCK_SIDE) * blocksPerRow;
  const unsigned int local = static_cast<unsigned int>(x % BLOCK_SIDE + (y % BLOCK_SIDE) * BLOCK_SIDE);
  rgb[0] = redPlanes[s]->get(local);
  rgb[1] = greenPlanes[s]->get(local);
  rgb[2] = bluePlanes[s]->get(local);
  return true;
}

bool WorldMap::planeColour(int colorIndex, unsigned char rgb[3]) {
  // A palette has 256 entries; anything else would read past it.
  if (colorIndex < 0 || colorIndex >= PAL_SIZE) return false;
  RGB entry;
  get_color(colorIndex, &entry);
  rgb[0] = static_cast<unsigned char>(entry.r << 2);
  rgb[1] = static_cast<unsigned char>(entry.g << 2);
  rgb[2] = static_cast<unsigned char>(entry.b << 2);
  return true;
}

bool WorldMap::blocksAreSegments() const {
  if (!dataMap || dataMap->getSegmentSize() != KIV_SEGMENT_SIZE) return false;
  for (int s = 0; s < totalSegments; ++s) {
    unsigned int first = static_cast<unsigned int>(s) * KIV_SEGMENT_SIZE;
    if (redPlanes[s]->getStartIndex() != first || greenPlanes[s]->getStartIndex() != first + BLOCK_PIXELS ||
        bluePlanes[s]->getStartIndex() != first + 2 * BLOCK_PIXELS)
      return false;
  }
  return true;
}

void WorldMap::paintCheckerboard(int square, int colorIndex) {
  unsigned char rgb[3];
  if (!mapCreated || square <= 0 || !planeColour(colorIndex, rgb)) return;
  if (!blocksAreSegments()) {
    for (long y0 = 0; y0 < pixelHeight; y0 += square)
      for (long x0 = (y0 / square) % 2 ? square : 0; x0 < pixelWidth; x0 += 2 * square)
        drawRect(x0, y0, x0 + square - 1, y0 + square - 1, colorIndex);
    return;
  }
  // Each block is read, painted and written back whole: one run of writes,
  // one mirror update. Most blocks come out alike (on a fresh canvas, two
  // kinds), so each kind's CRC is computed once and handed to the map.
  std::vector<unsigned char> image(KIV_SEGMENT_SIZE);
  std::vector<std::pair<std::vector<unsigned char>, unsigned int>> kinds;
  const std::size_t MAX_KINDS = 4;
  unsigned char columnOdd[BLOCK_SIDE];
  for (int s = 0; s < totalSegments; ++s) {
    const int bx = (s % blocksPerRow) * BLOCK_SIDE;
    const int by = (s / blocksPerRow) * BLOCK_SIDE;
    const int columns = std::min(BLOCK_SIDE, pixelWidth - bx);
    const int rows = std::min(BLOCK_SIDE, pixelHeight - by);
    std::copy_n(dataMap->segmentData(static_cast<unsigned short>(s)), KIV_SEGMENT_SIZE, image.begin());
    for (int lx = 0; lx < columns; ++lx) columnOdd[lx] = static_cast<unsigned char>(((bx + lx) / square) % 2);
    for (int ly = 0; ly < rows; ++ly) {
      const unsigned char rowOdd = static_cast<unsigned char>(((by + ly) / square) % 2);
      for (int lx = 0; lx < columns; ++lx) {
        if (columnOdd[lx] != rowOdd) continue;
        const int k = ly * BLOCK_SIDE + lx;
        image[k] = rgb[0];
        image[k + BLOCK_PIXELS] = rgb[1];
        image[k + 2 * BLOCK_PIXELS] = rgb[2];
      }
    }
    const unsigned short segment = static_cast<unsigned short>(s);
    dataMap->setBytes(static_cast<unsigned int>(s) * KIV_SEGMENT_SIZE, image.data(), KIV_SEGMENT_SIZE);
    auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const std::pair<std::vector<unsigned char>, unsigned int>& k) {
      return k.first == image;
    });
    if (kind == kinds.end()) {
      if (kinds.size() == MAX_KINDS) continue;  // left to the map's own cache
      kinds.emplace_back(image, libkorvet::DBuffer::crc32Update(0, image.data(), image.size()));
      kind = kinds.end() - 1;
    }
    dataMap->offerCRC(segment, dataMap->getSegment(segment).getVersion(), kind->second);
  }
}

void WorldMap::locate(long x, long y, long& block, unsigned int& local) const {
  block = x / BLOCK_SIDE + (y / BLOCK_SIDE) * blocksPerRow;
  local = static_cast<unsigned int>(x % BLOCK_SIDE) + static_cast<unsigned int>(y % BLOCK_SIDE) * BLOCK_SIDE;
}

void WorldMap::readPixel(unsigned int pixel, unsigned char* rgb) const {
  if (!mapCreated || pixel >= static_cast<unsigned int>(pixelWidth) * static_cast<unsigned int>(pixelHeight))
    DEngine::fatalError("WorldMap::readPixel(): no such pixel");
  long block;
  unsigned int local;
  locate(pixel % pixelWidth, pixel / pixelWidth, block, local);
  rgb[0] = redPlanes[block]->get(local);
  rgb[1] = greenPlanes[block]->get(local);
  rgb[2] = bluePlanes[block]->get(local);
}

void WorldMap::writePixel(unsigned int pixel, const unsigned char* rgb) {
  if (!mapCreated || pixel >= static_cast<unsigned int>(pixelWidth) * static_cast<unsigned int>(pixelHeight))
    DEngine::fatalError("WorldMap::writePixel(): no such pixel");
  long block;
  unsigned int local;
  locate(pixel % pixelWidth, pixel / pixelWidth, block, local);
  redPlanes[block]->set(local, rgb[0]);
  greenPlanes[block]->set(local, rgb[1]);
  bluePlanes[block]->set(local, rgb[2]);
}

void WorldMap::writeRow(int y, const unsigned char* rgb) {
  if (!mapCreated || !dataMap || y < 0 || y >= pixelHeight) DEngine::fatalError("WorldMap::writeRow(): no such row");
  const long blockRow = y / BLOCK_SIDE;
  const unsigned int local = static_cast<unsigned int>(y % BLOCK_SIDE) * BLOCK_SIDE;
  unsigned char planes[3][BLOCK_SIDE];
  // The mirror is written below, a pixel at a time instead of a byte.
  const SyncDataMap::ChangeCallback callback = dataMap->changeCallback;
  const SyncDataMap::RangeCallback rangeCallback = dataMap->rangeCallback;
  dataMap->changeCallback = nullptr;
  dataMap->rangeCallback = nullptr;
  for (int column = 0; column < blocksPerRow; ++column) {
    const int first = column * BLOCK_SIDE;
    const int count = std::min(BLOCK_SIDE, pixelWidth - first);
    for (int i = 0; i < count; ++i)
      for (int p = 0; p < 3; ++p) planes[p][i] = rgb[(first + i) * 3 + p];
    const long s = column + blockRow * blocksPerRow;
    const unsigned int n = static_cast<unsigned int>(count);
    dataMap->setBytes(redPlanes[s]->getStartIndex() + local, planes[0], n);
    dataMap->setBytes(greenPlanes[s]->getStartIndex() + local, planes[1], n);
    dataMap->setBytes(bluePlanes[s]->getStartIndex() + local, planes[2], n);
  }
  dataMap->changeCallback = callback;
  dataMap->rangeCallback = rangeCallback;
  if (owner != this || !mapBuffer) return;
  putPixels(mapBuffer, 0, y, pixelWidth, rgb, rgb + 1, rgb + 2, 3);
  if (reductions) reductions->markArea(0, y, pixelWidth, y + 1);
}

unsigned long long WorldMap::changeCount() const {
  if (!mapCreated || !dataMap) return 0;
  unsigned long long count = 0;
  for (unsigned short s = 0; s < dataMap->getNumSegments(); ++s) count += dataMap->getSegment(s).getVersion();
  return count;
}

// ---------------------------------------------------------------------------
// [SECTION] mirror bitmap
// ---------------------------------------------------------------------------

void WorldMap::getMapChange(unsigned int index, unsigned char value) {
  // The data map may outlive the bitmap for a moment at the end of a
  // session; a change then has nowhere to go.
  if (!mapBuffer || segmentPixels == 0 || segmentWidth == 0 || numXSegments == 0) return;

  unsigned int s = index / KIV_SEGMENT_SIZE;
  // Bytes past the canvas's blocks (sync padding) have no pixel; without
  // this check their block number would alias a visible one.
  if (s >= static_cast<unsigned int>(numXSegments) * static_cast<unsigned int>(numYSegments))
    return;
  unsigned int rest = index % KIV_SEGMENT_SIZE;
  unsigned int plane = rest / segmentPixels;
  unsigned int k = rest % segmentPixels;
  int lx = static_cast<int>(k % segmentWidth);
  int ly = static_cast<int>(k / segmentWidth);
  int x = lx + static_cast<int>(s % numXSegments) * segmentWidth;
  int y = ly + static_cast<int>(s / numXSegments) * segmentHeight;
  // Edge blocks reach past the canvas; those bytes are never shown.
  if (x >= mapWidth || y >= mapHeight) return;

  int depth = bitmap_color_depth(mapBuffer);
  int pixel = getpixel(mapBuffer, x, y);
  int r = getr_depth(depth, pixel);
  int g = getg_depth(depth, pixel);
  int b = getb_depth(depth, pixel);
  switch (plane) {
    case 0:
      r = value;
      break;
    case 1:
      g = value;
      break;
    case 2:
      b = value;
      break;
    default:
      DEngine::fatalError("WorldMap::getMapChange(): invalid colorType");
  }
  putpixel(mapBuffer, x, y, makecol_depth(depth, r, g, b));
  if (reductions) reductions->markPixel(x, y);
}

void WorldMap::getMapRange(const SyncDataMap& map, unsigned int index, unsigned int count) {
  if (!mapBuffer || segmentPixels == 0 || segmentWidth == 0 || numXSegments == 0 || count == 0) return;
  if (map.getSegmentSize() != KIV_SEGMENT_SIZE) {
    // Blocks are not segments: byte by byte, as any other write.
    for (unsigned int i = 0; i < count; ++i) getMapChange(index + i, map.getByte(index + i));
    return;
  }
  const unsigned int s = index / KIV_SEGMENT_SIZE;
  const unsigned int from = index % KIV_SEGMENT_SIZE;
  const unsigned int to = std::min<unsigned int>(from + count, KIV_SEGMENT_SIZE);
  // The pixels any plane of the run touches; mirroring more is harmless.
  unsigned int lo = BLOCK_PIXELS, hi = 0;
  for (unsigned int p = 0; p < 3; ++p) {
    unsigned int a = std::max(from, p * BLOCK_PIXELS), b = std::min(to, (p + 1) * BLOCK_PIXELS);
    if (a >= b) continue;
    lo = std::min(lo, a - p * BLOCK_PIXELS);
    hi = std::max(hi, b - p * BLOCK_PIXELS);
  }
  if (lo < hi) mirrorBlock(map.segmentData(static_cast<unsigned short>(s)), s, lo, hi);
}

void WorldMap::mirrorBlock(const unsigned char* block, unsigned int s, unsigned int lo, unsigned int hi) {
  if (s >= static_cast<unsigned int>(numXSegments) * static_cast<unsigned int>(numYSegments)) return;
  const int bx = static_cast<int>(s % numXSegments) * BLOCK_SIDE;
  const int by = static_cast<int>(s / numXSegments) * BLOCK_SIDE;
  const int firstRow = static_cast<int>(lo / BLOCK_SIDE), lastRow = static_cast<int>((hi - 1) / BLOCK_SIDE);
  int firstColumn = 0, endColumn = BLOCK_SIDE;
  if (firstRow == lastRow) {
    firstColumn = static_cast<int>(lo % BLOCK_SIDE);
    endColumn = static_cast<int>((hi - 1) % BLOCK_SIDE) + 1;
  }
  // Edge blocks reach past the canvas; those bytes are never shown.
  const int n = std::min(bx + endColumn, mapWidth) - (bx + firstColumn);
  if (n <= 0) return;
  int row = firstRow;
  for (; row <= lastRow && by + row < mapHeight; ++row) {
    const unsigned char* r = block + row * BLOCK_SIDE + firstColumn;
    putPixels(mapBuffer, bx + firstColumn, by + row, n, r, r + BLOCK_PIXELS, r + 2 * BLOCK_PIXELS, 1);
  }
  if (reductions && row > firstRow) reductions->markArea(bx + firstColumn, by + firstRow, bx + firstColumn + n, by + row);
}

void WorldMap::display(BITMAP* dest, int scrollX, int scrollY) {
  if (!dest) return;
  if (!mapCreated || !mapBuffer) {
    clear_to_color(dest, makecol_depth(bitmap_color_depth(dest), 0, 32, 16));
    return;
  }
  // The destination is the screen-sized back buffer, so its size is the
  // window onto the canvas; blit clips whatever lies outside the canvas.
  blit(mapBuffer, dest, scrollX, scrollY, 0, 0, dest->w, dest->h);
}

void WorldMap::display(BITMAP* dest, long scrollX, long scrollY, long num, long den) {
  if (num == den || !dest || !mapCreated || !mapBuffer) {
    display(dest, static_cast<int>(scrollX), static_cast<int>(scrollY));
    return;
  }
  if (reductions)
    reductions->draw(dest, 0, 0, dest->w, dest->h, scrollX, scrollY, num, den);
  else
    CanvasReductions::drawFrom({mapBuffer}, dest, 0, 0, dest->w, dest->h, scrollX, scrollY, num, den);
}

void WorldMap::run(int, int) {
  if (reductions && owner == this) reductions->update();
}

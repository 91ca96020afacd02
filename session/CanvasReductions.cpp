// CanvasReductions: the reduced copies, their change tracking and the
// drawing of the canvas at any scale.

#include "CanvasReductions.h"

#include <algorithm>

#include "DEngine.h"

// Last: its macros and globals must not leak into the other headers.
#include <allegro.h>

using libkorvet::DEngine;

namespace {

// floor(a / b) and ceil(a / b) for b > 0.
long long floorDiv(long long a, long long b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
long long ceilDiv(long long a, long long b) { return -floorDiv(-a, b); }

}  // namespace

CanvasReductions::CanvasReductions(BITMAP* mirror)
    : width(0), height(0), tilesX(0), tilesY(0), head(0), changes(0) {
  if (mirror == nullptr) DEngine::fatalError("CanvasReductions: no mirror");
  width = mirror->w;
  height = mirror->h;
  copies.push_back(mirror);
  const int depth = bitmap_color_depth(mirror);
  int w = mirror->w, h = mirror->h;
  while (std::max(w, h) > SMALLEST_SIDE) {
    w = (w + 1) / 2;
    h = (h + 1) / 2;
    BITMAP* copy = create_bitmap_ex(depth, w, h);
    if (copy == nullptr) DEngine::fatalError("CanvasReductions: couldn't create a reduced copy");
    copies.push_back(copy);
  }
  tilesX = (mirror->w + TILE - 1) / TILE;
  tilesY = (mirror->h + TILE - 1) / TILE;
  dirty.assign(static_cast<std::size_t>(tilesX) * tilesY, 0);
  rebuild();
}

CanvasReductions::~CanvasReductions() {
  for (std::size_t k = 1; k < copies.size(); ++k) destroy_bitmap(copies[k]);
}

std::size_t CanvasReductions::memoryBytes() const {
  std::size_t bytes = 0;
  for (std::size_t k = 1; k < copies.size(); ++k) {
    const BITMAP* b = copies[k];
    bytes += static_cast<std::size_t>(b->w) * b->h * ((bitmap_color_depth(copies[k]) + 7) / 8) +
             static_cast<std::size_t>(b->h) * sizeof(unsigned char*);
  }
  return bytes;
}

// ---------------------------------------------------------------------------
// Change tracking

void CanvasReductions::markArea(int x0, int y0, int x1, int y1) {
  x0 = std::max(x0, 0);
  y0 = std::max(y0, 0);
  x1 = std::min(x1, copies[0]->w);
  y1 = std::min(y1, copies[0]->h);
  if (x0 >= x1 || y0 >= y1) return;
  for (int ty = y0 / TILE; ty <= (y1 - 1) / TILE; ++ty)
    for (int tx = x0 / TILE; tx <= (x1 - 1) / TILE; ++tx) markPixel(tx * TILE, ty * TILE);
}

std::size_t CanvasReductions::update(int maxTiles) {
  for (int done = 0; done < maxTiles && head < queue.size(); ++done) {
    const int tile = queue[head++];
    dirty[static_cast<std::size_t>(tile)] = 0;
    reduceTile(tile);
    ++changes;
  }
  if (head == queue.size()) {
    queue.clear();
    head = 0;
  } else if (head > 4096 && head * 2 > queue.size()) {
    queue.erase(queue.begin(), queue.begin() + static_cast<long>(head));
    head = 0;
  }
  return pendingTiles();
}

void CanvasReductions::rebuild() {
  for (int k = 1; k <= levels(); ++k) reduce(k, 0, 0, copies[static_cast<std::size_t>(k)]->w,
                                              copies[static_cast<std::size_t>(k)]->h);
  std::fill(dirty.begin(), dirty.end(), 0);
  queue.clear();
  head = 0;
  ++changes;
}

// A tile's part of each copy: its pixels' share at that level, whole pixels
// down to 1:TILE, one pixel (shared with neighbours) below. A pixel shared
// with a neighbour still waiting is computed again when that one's turn comes.
void CanvasReductions::reduceTile(int tile) {
  const int x0 = (tile % tilesX) * TILE, y0 = (tile / tilesX) * TILE;
  const int x1 = std::min(x0 + TILE, copies[0]->w), y1 = std::min(y0 + TILE, copies[0]->h);
  for (int k = 1; k <= levels(); ++k)
    reduce(k, x0 >> k, y0 >> k, ((x1 - 1) >> k) + 1, ((y1 - 1) >> k) + 1);
}

// Each pixel is the rounded average of the 2 x 2 beneath it; at an odd edge
// the last column or row stands in for the missing one, which averages the
// pixels that are there. Bitmaps of 3 or 4 bytes a pixel average byte by
// byte, whatever the order of the colours in them.
void CanvasReductions::reduce(int k, int x0, int y0, int x1, int y1) {
  BITMAP* src = copies[static_cast<std::size_t>(k - 1)];
  BITMAP* dst = copies[static_cast<std::size_t>(k)];
  x1 = std::min(x1, dst->w);
  y1 = std::min(y1, dst->h);
  const int depth = bitmap_color_depth(dst);
  const int lastX = src->w - 1, lastY = src->h - 1;
  if (depth == 24 || depth == 32) {
    const int bpp = depth / 8;
    for (int y = y0; y < y1; ++y) {
      const unsigned char* r0 = src->line[2 * y];
      const unsigned char* r1 = src->line[std::min(2 * y + 1, lastY)];
      unsigned char* out = dst->line[y] + x0 * bpp;
      for (int x = x0; x < x1; ++x) {
        const int a = 2 * x * bpp, b = std::min(2 * x + 1, lastX) * bpp;
        for (int c = 0; c < bpp; ++c) *out++ = static_cast<unsigned char>((r0[a + c] + r0[b + c] + r1[a + c] + r1[b + c] + 2) >> 2);
      }
    }
    return;
  }
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) {
      const int px[4] = {getpixel(src, 2 * x, 2 * y), getpixel(src, std::min(2 * x + 1, lastX), 2 * y),
                         getpixel(src, 2 * x, std::min(2 * y + 1, lastY)),
                         getpixel(src, std::min(2 * x + 1, lastX), std::min(2 * y + 1, lastY))};
      int r = 2, g = 2, b = 2;
      for (int p : px) {
        r += getr_depth(depth, p);
        g += getg_depth(depth, p);
        b += getb_depth(depth, p);
      }
      putpixel(dst, x, y, makecol_depth(depth, r >> 2, g >> 2, b >> 2));
    }
}

// ---------------------------------------------------------------------------
// Drawing

void CanvasReductions::draw(BITMAP* dest, int destX, int destY, int destW, int destH, long originX, long originY,
                            long num, long den) const {
  drawFrom(copies, dest, destX, destY, destW, destH, originX, originY, num, den);
}

void CanvasReductions::drawFrom(const std::vector<BITMAP*>& copies, BITMAP* dest, int destX, int destY, int destW,
                                int destH, long originX, long originY, long num, long den) {
  if (dest == nullptr || copies.empty() || destW <= 0 || destH <= 0 || num <= 0 || den <= 0) return;
  const BITMAP* mirror = copies[0];
  const int levels = static_cast<int>(copies.size()) - 1;
  // The visible part of the canvas.
  const long long spanX = ceilDiv(static_cast<long long>(destW) * den, num);
  const long long spanY = ceilDiv(static_cast<long long>(destH) * den, num);
  const long long cx0 = std::max<long long>(originX, 0), cy0 = std::max<long long>(originY, 0);
  const long long cx1 = std::min<long long>(originX + spanX, mirror->w);
  const long long cy1 = std::min<long long>(originY + spanY, mirror->h);
  const int background = makecol_depth(bitmap_color_depth(dest), 0, 32, 16);
  if (cx0 >= cx1 || cy0 >= cy1) {
    rectfill(dest, destX, destY, destX + destW - 1, destY + destH - 1, background);
    return;
  }

  // The smallest copy that still has a pixel for every screen pixel.
  int k = 0;
  while (k < levels && (static_cast<long long>(num) << (k + 1)) <= den) ++k;
  BITMAP* src = copies[static_cast<std::size_t>(k)];
  const int sx0 = static_cast<int>(cx0 >> k), sy0 = static_cast<int>(cy0 >> k);
  const int sx1 = std::min(static_cast<int>(((cx1 - 1) >> k) + 1), src->w);
  const int sy1 = std::min(static_cast<int>(((cy1 - 1) >> k) + 1), src->h);
  const int dx0 = destX + static_cast<int>(floorDiv((cx0 - originX) * num, den));
  const int dy0 = destY + static_cast<int>(floorDiv((cy0 - originY) * num, den));
  const int dx1 = destX + static_cast<int>(ceilDiv((cx1 - originX) * num, den));
  const int dy1 = destY + static_cast<int>(ceilDiv((cy1 - originY) * num, den));

  int cl, ct, cr, cb;
  get_clip_rect(dest, &cl, &ct, &cr, &cb);
  const int clipOn = get_clip_state(dest);
  set_clip_rect(dest, std::max(destX, cl), std::max(destY, ct), std::min(destX + destW - 1, cr),
                std::min(destY + destH - 1, cb));
  set_clip_state(dest, TRUE);
  // Around a canvas smaller than the view, the background of no canvas.
  if (dx0 > destX || dy0 > destY || dx1 < destX + destW || dy1 < destY + destH)
    rectfill(dest, destX, destY, destX + destW - 1, destY + destH - 1, background);
  if (sx1 - sx0 == dx1 - dx0 && sy1 - sy0 == dy1 - dy0)
    blit(src, dest, sx0, sy0, dx0, dy0, sx1 - sx0, sy1 - sy0);
  else
    stretch_blit(src, dest, sx0, sy0, sx1 - sx0, sy1 - sy0, dx0, dy0, dx1 - dx0, dy1 - dy0);
  set_clip_rect(dest, cl, ct, cr, cb);
  set_clip_state(dest, clipOn);
}

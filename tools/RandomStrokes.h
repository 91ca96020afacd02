#ifndef TOOLS_RANDOMSTROKES_H
#define TOOLS_RANDOMSTROKES_H

// Covers a canvas with count random strokes, the same ones for the same
// seed: straight lines of up to 150 pixels each way from a random point, in a
// random brush size and palette colour. For the headless peer's --prepaint
// and the session benchmark's covered canvases. Paints the local canvas
// only; nothing is sent.

#include <algorithm>
#include <random>

#include "WorldMap.h"

inline void paintRandomStrokes(WorldMap& map, int count, unsigned int seed) {
  const long w = map.getPixelWidth(), h = map.getPixelHeight();
  std::mt19937 rng(seed);
  for (int i = 0; i < count; ++i) {
    long x = static_cast<long>(rng() % static_cast<unsigned long>(w));
    long y = static_cast<long>(rng() % static_cast<unsigned long>(h));
    long x2 = std::max(0L, std::min<long>(w - 1, x + static_cast<long>(rng() % 301) - 150));
    long y2 = std::max(0L, std::min<long>(h - 1, y + static_cast<long>(rng() % 301) - 150));
    map.applyLineDrawing(x, y, x2, y2, static_cast<unsigned char>(rng() % 4),
                         static_cast<unsigned char>(1 + rng() % 99));
  }
}

#endif  // TOOLS_RANDOMSTROKES_H

// Zoom benchmark: a hosted canvas, covered with random strokes, shown at each
// scale the wheel reaches (1024 x 768 screen, 648 rows above the panel) while
// 8 painters each add a stroke segment every tick, as the host paints what
// its clients send. One frame is what the program does per tick for the
// canvas: the painters' segments, bringing the reduced copies up to date,
// the canvas at the scale and the overview map. Printed per size and scale:
// the median and worst frame of 300, and the parts; then the memory of the
// reduced copies against the canvas's own, and how long the copies take to
// catch up after the whole canvas changed at once (a join's pictures).
// Last, what keeping the copies adds to every changed byte: a 2000 x 2000
// square painted through the canvas's change callback with and without them,
// on a 2000 x 2000 canvas.
//
//   zoom_bench [--sizes N,N,...] [--frames N]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "AllegWorker.h"
#include "CanvasReductions.h"
#include "HeadlessSession.h"
#include "NetSystem.h"
#include "OverviewMap.h"
#include "ViewTransform.h"
#include "WorldMap.h"
#include "../tools/RandomStrokes.h"

#include <allegro.h>

namespace {

typedef std::chrono::steady_clock Clock;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

struct Painter {
  long x, y;
  int dx, dy;
  unsigned char brush, colour;
};

struct Figures {
  std::vector<double> frame, paint, reduce, draw;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}
double worst(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

void run(int size, int frames) {
  HeadlessSession session;
  NetSystem& net = session.net();
  net.setSessionPort(0);
  WorldMap::keepReductions(true);
  WorldMap& map = session.map();
  if (!net.hostNewGame(static_cast<unsigned int>(size), static_cast<unsigned int>(size), &map)) {
    std::printf("%d x %d: couldn't host: %s\n", size, size, net.getErrMsg().c_str());
    return;
  }
  paintRandomStrokes(map, size / 10, 1);
  CanvasReductions* reductions = WorldMap::getReductions();
  while (reductions->update() > 0) {
  }

  BITMAP* buffer = create_bitmap(1024, 768);
  ViewTransform view;
  view.setViewSize(1024, 648);
  view.setCanvasSize(size, size);
  OverviewMap overview;
  overview.toggle();
  overview.layout(size, size, 1024, 648);

  std::mt19937 rng(8);
  std::vector<Painter> painters(8);
  for (Painter& p : painters)
    p = {static_cast<long>(rng() % size), static_cast<long>(rng() % size), static_cast<int>(rng() % 41) - 20,
         static_cast<int>(rng() % 41) - 20, static_cast<unsigned char>(rng() % 4),
         static_cast<unsigned char>(1 + rng() % 99)};

  std::printf("%5d x %-5d  scale   frame median / worst ms   (paint, copies, draw: median / worst)\n", size, size);
  view.zoomTo(ViewTransform::ZOOM_4_1, 0, 0);
  for (;;) {
    view.originX = size / 2;
    view.originY = size / 2;
    view.clamp();
    Figures f;
    for (int i = 0; i < frames; ++i) {
      const Clock::time_point start = Clock::now();
      for (Painter& p : painters) {
        long nx = p.x + p.dx, ny = p.y + p.dy;
        if (nx < 0 || nx >= size) p.dx = -p.dx, nx = p.x + p.dx;
        if (ny < 0 || ny >= size) p.dy = -p.dy, ny = p.y + p.dy;
        map.applyLineDrawing(p.x, p.y, nx, ny, p.brush, p.colour);
        p.x = nx, p.y = ny;
      }
      const Clock::time_point painted = Clock::now();
      map.run(0, 0);
      const Clock::time_point reduced = Clock::now();
      map.display(buffer, view.originX, view.originY, view.num(), view.den());
      overview.display(buffer, view);
      const Clock::time_point drawn = Clock::now();
      f.paint.push_back(std::chrono::duration<double, std::milli>(painted - start).count());
      f.reduce.push_back(std::chrono::duration<double, std::milli>(reduced - painted).count());
      f.draw.push_back(std::chrono::duration<double, std::milli>(drawn - reduced).count());
      f.frame.push_back(std::chrono::duration<double, std::milli>(drawn - start).count());
    }
    std::printf("%13s %-7s %6.2f / %-6.2f            (%.2f / %.2f, %.2f / %.2f, %.2f / %.2f)\n", "",
                view.label().c_str(), median(f.frame), worst(f.frame), median(f.paint), worst(f.paint),
                median(f.reduce), worst(f.reduce), median(f.draw), worst(f.draw));
    if (view.getStep() == ViewTransform::WHOLE_CANVAS || !view.zoomOut(0, 0)) break;
  }

  const double mirror = 3.0 * size * size;
  std::printf("%13s reduced copies: %d, %.1f MB = %.3f of the mirror bitmap (%.1f MB), %.3f of mirror and planes\n",
              "", reductions->levels(), reductions->memoryBytes() / 1e6, reductions->memoryBytes() / mirror,
              mirror / 1e6, reductions->memoryBytes() / (2 * mirror));

  // Every area changed at once: how many updates (ticks) until the copies
  // agree again, the longest of them, and one full rebuild for comparison.
  reductions->markArea(0, 0, size, size);
  const size_t tiles = reductions->pendingTiles();
  int ticks = 0;
  double longest = 0;
  const Clock::time_point all = Clock::now();
  while (reductions->pendingTiles() > 0) {
    const Clock::time_point t = Clock::now();
    reductions->update();
    longest = std::max(longest, msSince(t));
    ++ticks;
  }
  const double catchUp = msSince(all);
  const Clock::time_point rebuilt = Clock::now();
  reductions->rebuild();
  std::printf("%13s whole canvas changed (%zu areas): caught up in %d updates (%.1f s of ticks), %.0f ms of work, "
              "longest update %.2f ms; a full rebuild takes %.0f ms\n",
              "", tiles, ticks, ticks / 30.0, catchUp, longest, msSince(rebuilt));
  destroy_bitmap(buffer);
  WorldMap::keepReductions(false);
}

// Milliseconds to paint a 2000 x 2000 square (12 million bytes, each through
// the change callback) on a fresh canvas, with or without reduced copies.
double squareMs(int size, bool copies) {
  HeadlessSession session;
  session.net().setSessionPort(0);
  WorldMap::keepReductions(copies);
  if (!session.net().hostNewGame(static_cast<unsigned int>(size), static_cast<unsigned int>(size), &session.map()))
    return -1;
  const Clock::time_point start = Clock::now();
  session.map().drawRect(0, 0, 1999, 1999, 7);
  const double ms = msSince(start);
  WorldMap::keepReductions(false);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {1600, 10000};
  int frames = 300;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--sizes") {
      sizes.clear();
      std::stringstream list(argv[i + 1]);
      std::string item;
      while (std::getline(list, item, ',')) sizes.push_back(std::atoi(item.c_str()));
    } else if (flag == "--frames") {
      frames = std::max(1, std::atoi(argv[i + 1]));
    }
  }
  AllegWorker::initHeadless();
  for (int size : sizes) run(size, frames);
  // Turn about, the fastest of five each: the machine's other work makes
  // single runs differ by half.
  double without = 1e9, with = 1e9;
  for (int i = 0; i < 5; ++i) {
    without = std::min(without, squareMs(2000, false));
    with = std::min(with, squareMs(2000, true));
  }
  std::printf("a 2000 x 2000 square through the change callback: %.0f ms without reduced copies, %.0f ms with them "
              "(%.2f times; fastest of five each)\n",
              without, with, with / without);
  return EXIT_SUCCESS;
}

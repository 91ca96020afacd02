// Undo benchmark, on the host's canvas and its stroke history (the session
// code itself, no clients):
//
//   undo_bench [--size W H] [--minutes M] [--painters N]
//
// 1. What recording costs: brush-3 lines painted with and without the
//    history listening, in nanoseconds a pixel.
// 2. N (8) painters scribble nonstop for M (30) minutes of the session's
//    clock (stepped, not waited for), one segment a tick each, strokes of
//    one to four seconds: the history's memory (largest and last) against
//    its cap, the strokes each painter can still undo, the painters told
//    their oldest strokes were forgotten.
// 3. Painter 1 then undoes 50 strokes: no pixel that another painter painted
//    last changes (checked against a record of who painted each pixel last),
//    and how long the undos took.
// 4. Rollback of painter 2's last minute: strokes, pixels, time.
// The network side (latency seen on another client, copies converging) is
// undo_net_bench's.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "AllegWorker.h"
#include "DEngine.h"
#include "DTime.h"
#include "KivServer.h"
#include "KivSettings.h"
#include "NetSystem.h"
#include "StrokeHistory.h"
#include "WorldMap.h"

using libkorvet::DEngine;
using libkorvet::DTime;
typedef std::chrono::steady_clock Clock;

namespace {

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Passes the canvas's reports on to the history and notes who painted each
// pixel last.
class Owners : public WorldMap::PaintObserver {
 public:
  Owners(StrokeHistory* h, unsigned int pixels) : history(h), owner(pixels, 0) {}
  void lineBegins(long x1, long y1, long x2, long y2) override { history->lineBegins(x1, y1, x2, y2); }
  void pixelPainted(unsigned int pixel, const unsigned char* before, const unsigned char* after) override {
    history->pixelPainted(pixel, before, after);
    if (before[0] != after[0] || before[1] != after[1] || before[2] != after[2])
      owner[pixel] = static_cast<unsigned char>(history->painting());
  }
  StrokeHistory* history;
  std::vector<unsigned char> owner;
};

// One painter's hand: a random walk, strokes of 30 to 120 segments with a
// short pause between them.
struct Hand {
  long x, y;
  int left = 0;
  int pause = 0;
  unsigned char brush = 0, color = 1;
};

}  // namespace

int main(int argc, char** argv) {
  unsigned int width = 4000, height = 4000;
  int minutes = 30, painters = 8;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--size" && i + 2 < argc) {
      width = static_cast<unsigned int>(std::atoi(argv[++i]));
      height = static_cast<unsigned int>(std::atoi(argv[++i]));
    } else if (a == "--minutes" && i + 1 < argc) {
      minutes = std::atoi(argv[++i]);
    } else if (a == "--painters" && i + 1 < argc) {
      painters = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: undo_bench [--size W H] [--minutes M] [--painters N]\n");
      return 2;
    }
  }
  AllegWorker::initHeadless();
  KivSettings::setFlushFrequency("15");
  DTime::setManualClock(true);
  DEngine engine;
  WorldMap map;
  NetSystem net(&engine);
  net.setSessionPort(0);
  if (!net.hostNewGame(width, height, &map)) {
    std::fprintf(stderr, "couldn't host: %s\n", net.getErrMsg().c_str());
    return 1;
  }
  StrokeHistory& history = *net.getServer()->getHistory();
  auto step = [&](unsigned int ms) {
    DTime::advanceManualClock(ms);
    engine.update(-1);
  };

  // 1. Recording cost.
  {
    const int lines = 20000;
    double ns[2];
    long long pixels = 0;
    for (int recorded = 0; recorded < 2; ++recorded) {
      map.setPaintObserver(recorded ? &history : nullptr);
      std::mt19937 rng(3);
      pixels = 0;
      Clock::time_point start = Clock::now();
      for (int i = 0; i < lines; ++i) {
        long x = static_cast<long>(rng() % (width - 200)), y = static_cast<long>(rng() % (height - 200));
        long x2 = x + static_cast<long>(rng() % 200), y2 = y + static_cast<long>(rng() % 200);
        // Other colours in the second pass, so that it changes as many pixels.
        map.applyLineDrawing(x, y, x2, y2, 3, static_cast<unsigned char>(1 + (i + 50 * recorded) % 99));
        pixels += WorldMap::lineCost(x, y, x2, y2, 3);
      }
      ns[recorded] = secondsSince(start) * 1e9 / static_cast<double>(pixels);
    }
    std::printf("painting, brush 3, %lld pixels a pass: %.1f ns a pixel without the history, %.1f ns with it (%.2fx)\n",
                pixels, ns[0], ns[1], ns[1] / ns[0]);
    history.rollback(StrokeHistory::HOST, 60);
    history.takeForgotten();
  }

  // 2. Nonstop painters.
  Owners owners(&history, width * height);
  map.setPaintObserver(&owners);
  std::vector<Hand> hands(static_cast<std::size_t>(painters));
  std::mt19937 rng(17);
  for (int p = 0; p < painters; ++p) {
    hands[static_cast<std::size_t>(p)].x = static_cast<long>(rng() % width);
    hands[static_cast<std::size_t>(p)].y = static_cast<long>(rng() % height);
    history.setDelimited(static_cast<StrokeHistory::Painter>(p + 1), true);
  }
  const long ticks = static_cast<long>(minutes) * 60 * 30;
  std::size_t peak = 0;
  long long segments = 0;
  std::vector<StrokeHistory::Painter> told;
  Clock::time_point start = Clock::now();
  for (long t = 0; t < ticks; ++t) {
    for (int p = 0; p < painters; ++p) {
      Hand& h = hands[static_cast<std::size_t>(p)];
      const StrokeHistory::Painter painter = static_cast<StrokeHistory::Painter>(p + 1);
      if (h.pause > 0) {
        --h.pause;
        continue;
      }
      if (h.left == 0) {
        h.left = 30 + static_cast<int>(rng() % 91);
        h.brush = static_cast<unsigned char>(rng() % 4);
        h.color = static_cast<unsigned char>(1 + rng() % 99);
        history.beginStroke(painter);
      }
      long nx = std::min<long>(width - 1, std::max<long>(0, h.x + static_cast<long>(rng() % 61) - 30));
      long ny = std::min<long>(height - 1, std::max<long>(0, h.y + static_cast<long>(rng() % 61) - 30));
      {
        StrokeHistory::PaintScope scope(&history, painter);
        map.applyLineDrawing(h.x, h.y, nx, ny, h.brush, h.color);
      }
      ++segments;
      h.x = nx;
      h.y = ny;
      if (--h.left == 0) {
        history.endStroke(painter);
        h.pause = 3 + static_cast<int>(rng() % 10);
      }
    }
    peak = std::max(peak, history.memoryUsed());
    for (StrokeHistory::Painter p : history.takeForgotten()) told.push_back(p);
    step(33);
  }
  const double paintSeconds = secondsSince(start);
  std::size_t fewest = static_cast<std::size_t>(-1), most = 0;
  for (int p = 1; p <= painters; ++p) {
    fewest = std::min(fewest, history.undoDepth(static_cast<StrokeHistory::Painter>(p)));
    most = std::max(most, history.undoDepth(static_cast<StrokeHistory::Painter>(p)));
  }
  std::printf("%d painters nonstop for %d minutes on %u x %u (%lld segments, %.1f s to run): history memory peak %.1f MB, "
              "last %.1f MB, cap %.1f MB; strokes kept per painter %zu to %zu; %zu painters told their oldest strokes "
              "were forgotten\n",
              painters, minutes, width, height, segments, paintSeconds, peak / 1048576.0,
              history.memoryUsed() / 1048576.0, StrokeHistory::MEMORY_CAP / 1048576.0, fewest, most, told.size());

  // 3. Painter 1 undoes 50 strokes.
  {
    std::vector<unsigned int> changed;
    unsigned int undone = 0;
    start = Clock::now();
    for (int i = 0; i < 50; ++i) {
      StrokeHistory::Result r = history.undo(1);
      undone += r.strokes;
      changed.insert(changed.end(), r.pixels.begin(), r.pixels.end());
    }
    const double undoSeconds = secondsSince(start);
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
    std::size_t others = 0;
    for (unsigned int pixel : changed)
      if (owners.owner[pixel] != 1) ++others;
    std::printf("painter 1 undid %u strokes in %.1f ms (%.2f ms each): %zu pixels changed, %zu of them last painted by "
                "another painter\n",
                undone, undoSeconds * 1000, undoSeconds * 1000 / std::max(1u, undone), changed.size(), others);
  }

  // 4. Rollback of painter 2's last minute.
  {
    start = Clock::now();
    StrokeHistory::Result r = net.getServer()->rollback(2, 1, "painter 2");
    std::printf("rollback of painter 2's last minute: %u strokes, %zu pixels, %.1f ms on the host's canvas\n", r.strokes,
                r.pixels.size(), secondsSince(start) * 1000);
  }
  map.setPaintObserver(nullptr);
  net.resetVariables();
  map.reset();
  return 0;
}

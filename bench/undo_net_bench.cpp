// Undo in a live session: a host and N (8) Brelvin clients in one process,
// each with its own engine and canvas, stepped as the game steps them (30
// ticks a second, the engine polled in between), on loopback. Real time.
//
//   undo_net_bench [--size W H] [--painters N] [--strokes S] [--scribble-seconds T]
//
// 1. Every client paints S (60) strokes over one shared square, then
//    painter A undoes 50 of them with Ctrl+Z, one a tick: how many pixels
//    changed on the host that another painter had painted last (checked
//    against a record of who painted each pixel last), and the time from
//    the last Ctrl+Z until every copy's segment CRCs equal the host's.
// 2. While six others paint, A paints a short stroke where no one else
//    paints, waits until client B shows it, and presses Ctrl+Z: the time
//    until B shows the undo (the tick at whose end it is on B's canvas),
//    50 times: median and 95th percentile.
// 3. Painter B scribbles nonstop for T (60) seconds; the host rolls back its
//    last minute in one action: strokes undone, pixels changed, time on the
//    host, and time until every copy equals the host's.
// The history's memory is printed after each phase.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "AllegWorker.h"
#include "DEngine.h"
#include "KivClient.h"
#include "KivServer.h"
#include "KivSettings.h"
#include "NetSystem.h"
#include "StrokeHistory.h"
#include "SyncClient.h"
#include "SyncDataMap.h"
#include "SyncServer.h"
#include "WorldMap.h"

using libkorvet::DEngine;
typedef std::chrono::steady_clock Clock;

namespace {

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

struct Peer {
  Peer() : net(&engine) {}
  DEngine engine;
  WorldMap map;
  NetSystem net;
  // A stroke in progress: the next point and segments left.
  long x = 0, y = 0;
  int left = 0;
  int pause = 0;
  unsigned char brush = 1, color = 1;
};

libksync::SyncDataMap* dataOf(Peer& p) {
  if (p.net.getServer()) return p.net.getServer()->getSyncServer()->retrieveDataMap();
  if (p.net.getClient() && p.net.getClient()->getSyncClient()) return p.net.getClient()->getSyncClient()->retrieveDataMap();
  return nullptr;
}

// Passes the host canvas's reports to its history, noting who painted each
// pixel last.
class Owners : public WorldMap::PaintObserver {
 public:
  Owners(StrokeHistory* h, unsigned int pixels) : history(h), owner(pixels, 0xFFFFFFFFu) {}
  void lineBegins(long x1, long y1, long x2, long y2) override { history->lineBegins(x1, y1, x2, y2); }
  void pixelPainted(unsigned int pixel, const unsigned char* before, const unsigned char* after) override {
    history->pixelPainted(pixel, before, after);
    if (before[0] != after[0] || before[1] != after[1] || before[2] != after[2]) owner[pixel] = history->painting();
  }
  StrokeHistory* history;
  std::vector<unsigned int> owner;
};

class Session {
 public:
  Session(unsigned int w, unsigned int h, int clients) : width(w), height(h), peers(static_cast<std::size_t>(clients + 1)) {
    for (auto& p : peers) p.reset(new Peer);
    host().net.setSessionPort(0);
    if (!host().net.hostNewGame(w, h, &host().map)) {
      std::fprintf(stderr, "couldn't host: %s\n", host().net.getErrMsg().c_str());
      std::exit(1);
    }
    for (int i = 1; i <= clients; ++i) {
      Peer& c = *peers[static_cast<std::size_t>(i)];
      c.net.setSessionPort(host().net.getListenPort());
      c.net.setHostIP("127.0.0.1");
      c.net.setPlayerName("painter" + std::to_string(i));
      c.net.joinExistingGame(&c.map);
    }
    next = Clock::now();
  }
  Peer& host() { return *peers[0]; }
  Peer& client(int i) { return *peers[static_cast<std::size_t>(i)]; }
  int clients() const { return static_cast<int>(peers.size()) - 1; }

  // One tick of every program: its logic, then its engine step; between
  // ticks the engines are polled.
  void tick(const std::function<void(int)>& logic = nullptr) {
    for (std::size_t i = 0; i < peers.size(); ++i) {
      Peer& p = *peers[i];
      if (!p.net.netOK()) {
        std::fprintf(stderr, "peer %zu failed: %s\n", i, p.net.getErrMsg().c_str());
        std::exit(1);
      }
      if (logic) logic(static_cast<int>(i));
    }
    next += std::chrono::milliseconds(33);
    do {
      for (auto& p : peers) p->engine.update(100);
      std::string owner, text;
      int color = 0;
      while (KivSettings::getChatMessage(owner, text, color)) continue;
    } while (Clock::now() < next);
    if (Clock::now() > next + std::chrono::milliseconds(500)) next = Clock::now();
  }

  bool allVerified() {
    for (int i = 1; i <= clients(); ++i) {
      NetSystem& n = client(i).net;
      if (!n.getClient() || !n.clientReady() || n.joinProgress() >= 0) return false;
    }
    return true;
  }
  bool converged() {
    libksync::SyncDataMap* reference = dataOf(host());
    for (int i = 1; i <= clients(); ++i) {
      libksync::SyncDataMap* copy = dataOf(client(i));
      if (!copy) return false;
      for (unsigned short s = 0; s < reference->getNumSegments(); ++s)
        if (copy->getCRC(s) != reference->getCRC(s)) return false;
    }
    return true;
  }
  // Ticks until cond holds (false after limitMs).
  bool until(const std::function<bool()>& cond, double limitMs, const std::function<void(int)>& logic = nullptr) {
    Clock::time_point start = Clock::now();
    while (!cond()) {
      if (msSince(start) > limitMs) return false;
      tick(logic);
    }
    return true;
  }

  // Paints the next segment of a peer's scribble inside the square
  // (x0, y0) to (x0 + side, y0 + side), as the game paints one: canvas,
  // then the protocol, the first segment of a stroke marking its start.
  void scribble(Peer& p, std::mt19937& rng, long x0, long y0, long side, int strokeSegments, int pauseTicks) {
    if (p.pause > 0) {
      --p.pause;
      return;
    }
    if (p.left == 0) {
      p.left = strokeSegments;
      p.x = x0 + static_cast<long>(rng() % static_cast<unsigned long>(side));
      p.y = y0 + static_cast<long>(rng() % static_cast<unsigned long>(side));
      p.brush = static_cast<unsigned char>(rng() % 4);
      p.color = static_cast<unsigned char>(1 + rng() % 99);
      p.net.beginStroke();
    }
    const long nx = std::min(x0 + side, std::max(x0, p.x + static_cast<long>(rng() % 41) - 20));
    const long ny = std::min(y0 + side, std::max(y0, p.y + static_cast<long>(rng() % 41) - 20));
    KivSettings::setBrushSize(p.brush);
    KivSettings::setFillType(p.color);
    p.map.applyLineDrawing(p.x, p.y, nx, ny, p.brush, p.color);
    p.net.addUDPDrawing(p.x, p.y, nx, ny);
    p.x = nx;
    p.y = ny;
    if (--p.left == 0) p.pause = pauseTicks;
  }

  unsigned int width, height;
  std::vector<std::unique_ptr<Peer>> peers;
  Clock::time_point next;
};

double quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(q * (v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
  unsigned int width = 4000, height = 4000;
  int painters = 8, strokes = 60, scribbleSeconds = 60;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--size" && i + 2 < argc) {
      width = static_cast<unsigned int>(std::atoi(argv[++i]));
      height = static_cast<unsigned int>(std::atoi(argv[++i]));
    } else if (a == "--painters" && i + 1 < argc) {
      painters = std::atoi(argv[++i]);
    } else if (a == "--strokes" && i + 1 < argc) {
      strokes = std::atoi(argv[++i]);
    } else if (a == "--scribble-seconds" && i + 1 < argc) {
      scribbleSeconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: undo_net_bench [--size W H] [--painters N] [--strokes S] [--scribble-seconds T]\n");
      return 2;
    }
  }
  if (painters < 2 || strokes < 50) {
    std::fprintf(stderr, "at least 2 painters and 50 strokes\n");
    return 2;
  }
  AllegWorker::initHeadless();
  KivSettings::setFlushFrequency("15");
  KivSettings::setSyncBandwidth(KivSettings::LAN_SYNC_BANDWIDTH);
  Session s(width, height, painters);
  KivServer& server = *s.host().net.getServer();
  StrokeHistory& history = *server.getHistory();
  Owners owners(&history, width * height);
  s.host().map.setPaintObserver(&owners);
  Clock::time_point start = Clock::now();
  if (!s.until([&] { return s.allVerified(); }, 600000)) {
    std::fprintf(stderr, "the clients did not join\n");
    return 1;
  }
  std::printf("%d clients joined a %u x %u canvas in %.1f s\n", painters, width, height, msSince(start) / 1000);
  auto memory = [&](const char* when) {
    std::printf("  history memory %s: %.1f MB (cap %.0f MB)\n", when, history.memoryUsed() / 1048576.0,
                StrokeHistory::MEMORY_CAP / 1048576.0);
  };
  std::mt19937 rng(5);
  // Painter A is client 1, B client 2.
  std::vector<StrokeHistory::Painter> ids(static_cast<std::size_t>(painters + 1), StrokeHistory::NOBODY);
  s.until([&] {
    for (int i = 1; i <= painters; ++i)
      for (const KivClient::Player& p : s.client(i).net.getClient()->getPlayers())
        if (p.you) ids[static_cast<std::size_t>(i)] = p.id;
    return std::find(ids.begin() + 1, ids.end(), StrokeHistory::NOBODY) == ids.end();
  }, 10000);

  // 1. Strokes over one square, then 50 undos of A.
  {
    std::vector<int> painted(static_cast<std::size_t>(painters + 1), 0);
    const long side = 600, x0 = width / 2 - 300, y0 = height / 2 - 300;
    s.until([&] { return *std::min_element(painted.begin() + 1, painted.end()) >= strokes; }, 600000, [&](int i) {
      if (i == 0) return;
      Peer& p = s.client(i);
      if (painted[static_cast<std::size_t>(i)] >= strokes && p.left == 0) return;
      const bool starting = p.left == 0 && p.pause == 0;
      s.scribble(p, rng, x0, y0, side, 8 + static_cast<int>(rng() % 8), 2);
      if (starting) ++painted[static_cast<std::size_t>(i)];
    });
    // Every stroke on the host, and every copy equal, before A undoes.
    s.until([&] { return s.converged(); }, 120000);
    std::vector<unsigned char> before(static_cast<std::size_t>(width) * height * 3);
    for (unsigned int p = 0; p < width * height; ++p) s.host().map.readPixel(p, &before[p * 3]);
    const std::size_t depth = history.undoDepth(ids[1]);
    int pressed = 0;
    Clock::time_point lastPress = Clock::now();
    s.until([&] { return pressed == 50; }, 60000, [&](int i) {
      if (i == 1 && pressed < 50) {
        s.client(1).net.undoOwnStroke();
        lastPress = Clock::now();
        ++pressed;
      }
    });
    const bool same = s.until([&] { return s.converged() && history.undoDepth(ids[1]) + 50 <= depth; }, 60000);
    const double convergeMs = msSince(lastPress);
    std::size_t changed = 0, others = 0;
    unsigned char now[3];
    for (unsigned int p = 0; p < width * height; ++p) {
      s.host().map.readPixel(p, now);
      if (now[0] == before[p * 3] && now[1] == before[p * 3 + 1] && now[2] == before[p * 3 + 2]) continue;
      ++changed;
      if (owners.owner[p] != ids[1]) ++others;
    }
    std::printf("1. %d painters, %d strokes each over one 600 x 600 square; A undid %zu strokes (50 Ctrl+Z, one a "
                "tick): %zu pixels changed, %zu of them last painted by another; every copy's CRCs equal the host's "
                "%.0f ms after the last Ctrl+Z%s\n",
                painters, strokes, depth - history.undoDepth(ids[1]), changed, others, convergeMs,
                same ? "" : " (did not converge within 60 s)");
    memory("after phase 1");
  }

  // 2. Latency of an undo on another client.
  {
    std::vector<double> ms;
    for (int k = 0; k < 50; ++k) {
      const int columns = static_cast<int>(width - 200) / 60;
      const long x = 100 + 60 * (k % columns), y = 100 + 60 * (k / columns);
      Peer& a = s.client(1);
      a.net.beginStroke();
      KivSettings::setBrushSize(1);
      KivSettings::setFillType(static_cast<unsigned char>(1 + k % 99));
      a.map.applyLineDrawing(x, y, x + 30, y, 1, KivSettings::getFillType());
      a.net.addUDPDrawing(x, y, x + 30, y);
      const unsigned int probe = static_cast<unsigned int>(y) * width + static_cast<unsigned int>(x + 15);
      auto shown = [&] {
        unsigned char rgb[3];
        s.client(2).map.readPixel(probe, rgb);
        return rgb[0] + rgb[1] + rgb[2] != 0;
      };
      auto others = [&](int i) {
        if (i >= 3) s.scribble(s.client(i), rng, static_cast<long>(width) / 2, static_cast<long>(height) / 2, 1000, 12, 3);
      };
      if (!s.until(shown, 10000, others)) continue;
      Clock::time_point pressed = Clock::now();
      a.net.undoOwnStroke();
      if (s.until([&] { return !shown(); }, 10000, others)) ms.push_back(msSince(pressed));
    }
    std::printf("2. Ctrl+Z on A to the pixels on B's canvas while %d others paint: n=%zu, median %.1f ms, p95 %.1f ms, "
                "max %.1f ms\n",
                std::max(0, painters - 2), ms.size(), quantile(ms, 0.5), quantile(ms, 0.95), quantile(ms, 1.0));
    memory("after phase 2");
  }

  // 3. Rollback of a minute of nonstop scribbling.
  {
    s.until([&] { return s.converged(); }, 120000);
    Clock::time_point scribbleStart = Clock::now();
    s.until([&] { return msSince(scribbleStart) > scribbleSeconds * 1000.0; }, scribbleSeconds * 1000.0 + 5000,
            [&](int i) {
              if (i == 2) s.scribble(s.client(2), rng, 200, 200, static_cast<long>(width) - 400, 60, 1);
            });
    // Its last segments reach the host.
    s.until([] { return false; }, 500);
    memory("after the scribbling");
    Clock::time_point rolled = Clock::now();
    StrokeHistory::Result r = server.rollback(ids[2], 1, "painter2");
    const double hostMs = msSince(rolled);
    const bool same = s.until([&] { return s.converged(); }, 120000);
    std::printf("3. rollback of %d s of nonstop scribbling: %u strokes, %zu pixels, %.0f ms on the host, copies equal "
                "the host's %.0f ms after the action%s\n",
                scribbleSeconds, r.strokes, r.pixels.size(), hostMs, msSince(rolled),
                same ? "" : " (not within 120 s)");
    memory("at the end");
  }
  s.host().map.setPaintObserver(nullptr);
  return 0;
}

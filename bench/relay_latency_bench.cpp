// Client-to-client stroke latency through a host: three processes on
// loopback (a host and two joined clients), each running its network as the
// game does, one engine step of at most 100 operations per 33 ms tick. Once
// both clients have verified their whole canvas, the painter paints a short
// stroke at a fresh place every interval (at a random phase against the
// ticks), as the game paints a segment (its own canvas, then the drawing
// protocol); the watcher notes the tick at whose end the stroke is on its
// canvas, the frame that shows it. Prints the count, median, 95th percentile
// and extremes of painter-to-watcher time, and the machine's load average.
//
//   relay_latency_bench [--strokes N] [--interval-ms T] [--size W H] [--bandwidth B] [--port P]
//
// Defaults: 60 strokes, 250 ms apart, 1600 x 1600, the sync bandwidth 65535,
// a free port. Steady-clock times are shared by the processes.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "AllegWorker.h"
#include "DEngine.h"
#include "KivClient.h"
#include "KivSettings.h"
#include "NetSystem.h"
#include "WorldMap.h"

// Last: its macros collide with the headers above.
#include <allegro.h>

using libkorvet::DEngine;
typedef std::chrono::steady_clock Clock;

namespace {

struct Options {
  int strokes = 60;
  int intervalMs = 250;
  unsigned int width = 1600, height = 1600;
  std::string bandwidth = "65535";
  unsigned short port = 0;
};

long long nowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

bool exists(const std::string& path) { return std::ifstream(path.c_str()).good(); }
void touch(const std::string& path) { std::ofstream(path.c_str()) << "1\n"; }

std::string loadAverage() {
  std::ifstream f("/proc/loadavg");
  std::string one, five, fifteen;
  f >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// Stroke i: a 40-pixel horizontal segment on a grid of 100-pixel cells; its
// middle is the point the watcher looks at.
struct Place {
  long x, y;
};
Place placeOf(int i, unsigned int width) {
  const int columns = static_cast<int>(width) / 100 - 1;
  return {50 + 100L * (i % columns), 50 + 100L * (i / columns)};
}

// One process: the network set up as the game sets it up, stepped once per
// tick; `logic` runs before the step and returns false to end.
int runPeer(const Options& o, bool hosting, const std::function<bool(NetSystem&, WorldMap&)>& logic) {
  AllegWorker::initHeadless();
  KivSettings::setFlushFrequency("15");
  if (!KivSettings::setSyncBandwidth(o.bandwidth)) return 2;
  DEngine engine;
  WorldMap map;
  NetSystem net(&engine);
  net.setSessionPort(o.port);
  net.setHostIP("127.0.0.1");
  bool started = hosting ? net.hostNewGame(o.width, o.height, &map) : net.joinExistingGame(&map);
  if (!started) {
    std::cerr << "couldn't start: " << net.getErrMsg() << std::endl;
    return 2;
  }
  Clock::time_point next = Clock::now();
  while (true) {
    if (!net.netOK()) {
      std::cerr << "session failed: " << net.getErrMsg() << std::endl;
      return 3;
    }
    if (!logic(net, map)) break;
    engine.update(100);
    // Status lines are not shown anywhere here.
    std::string owner, text;
    int color = 0;
    while (KivSettings::getChatMessage(owner, text, color)) continue;
    next += std::chrono::milliseconds(33);
    std::this_thread::sleep_until(next);
  }
  net.resetVariables();
  map.reset();
  return 0;
}

bool verified(NetSystem& net) { return net.getClient() && net.clientReady() && net.joinProgress() < 0; }

pid_t spawnPeer(const std::function<int()>& body) {
  std::cout.flush();
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

unsigned short freePort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::address_v4::loopback(), 0});
  return a.local_endpoint().port();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--strokes" && i + 1 < argc) o.strokes = std::atoi(argv[++i]);
    else if (a == "--interval-ms" && i + 1 < argc) o.intervalMs = std::atoi(argv[++i]);
    else if (a == "--size" && i + 2 < argc) {
      o.width = static_cast<unsigned int>(std::atoi(argv[++i]));
      o.height = static_cast<unsigned int>(std::atoi(argv[++i]));
    } else if (a == "--bandwidth" && i + 1 < argc) o.bandwidth = argv[++i];
    else if (a == "--port" && i + 1 < argc) o.port = static_cast<unsigned short>(std::atoi(argv[++i]));
    else {
      std::cerr << "usage: relay_latency_bench [--strokes N] [--interval-ms T] [--size W H] [--bandwidth B] "
                   "[--port P]" << std::endl;
      return 2;
    }
  }
  const int columns = static_cast<int>(o.width) / 100 - 1;
  if (o.strokes < 1 || o.strokes > columns * (static_cast<int>(o.height) / 100 - 1)) {
    std::cerr << "the canvas has no room for that many strokes" << std::endl;
    return 2;
  }
  if (o.port == 0) o.port = freePort();
  char pattern[] = "/tmp/brelvin-relay-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 2;
  const std::string dir = pattern;
  std::printf("load average before: %s\n", loadAverage().c_str());

  pid_t host = spawnPeer([&] {
    return runPeer(o, true, [&](NetSystem&, WorldMap&) {
      if (!exists(dir + "/host.up")) touch(dir + "/host.up");
      return !exists(dir + "/stop");
    });
  });
  for (int i = 0; i < 300 && !exists(dir + "/host.up"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

  const long long deadlineUs = nowUs() + (180000LL + 2LL * o.strokes * o.intervalMs) * 1000;
  pid_t watcher = spawnPeer([&] {
    std::vector<long long> seen(static_cast<size_t>(o.strokes), 0);
    int found = 0;
    int code = runPeer(o, false, [&](NetSystem& net, WorldMap&) {
      if (!verified(net)) return nowUs() < deadlineUs;
      if (!exists(dir + "/watcher.ready")) touch(dir + "/watcher.ready");
      BITMAP* canvas = WorldMap::getMapBuffer();
      // The last step's DRAW is on the canvas: this is the frame that shows it.
      for (int i = 0; i < o.strokes; ++i) {
        if (seen[static_cast<size_t>(i)] != 0) continue;
        Place p = placeOf(i, o.width);
        if (getpixel(canvas, static_cast<int>(p.x + 20), static_cast<int>(p.y)) != 0) {
          seen[static_cast<size_t>(i)] = nowUs();
          ++found;
        }
      }
      return found < o.strokes && nowUs() < deadlineUs;
    });
    std::ofstream out((dir + "/seen.txt").c_str());
    for (long long t : seen) out << t << "\n";
    return code;
  });

  pid_t painter = spawnPeer([&] {
    std::vector<long long> painted;
    std::mt19937 rng(11);
    long long nextUs = 0;
    int code = runPeer(o, false, [&](NetSystem& net, WorldMap& map) {
      if (!verified(net) || !exists(dir + "/watcher.ready")) return nowUs() < deadlineUs;
      if (static_cast<int>(painted.size()) == o.strokes) return !exists(dir + "/seen.txt") && nowUs() < deadlineUs;
      if (nowUs() < nextUs) return true;
      const int i = static_cast<int>(painted.size());
      Place p = placeOf(i, o.width);
      KivSettings::setBrushSize(1);
      KivSettings::setFillType(static_cast<unsigned char>(1 + i % 99));
      map.applyLineDrawing(p.x, p.y, p.x + 40, p.y, 1, KivSettings::getFillType());
      net.addUDPDrawing(p.x, p.y, p.x + 40, p.y);
      painted.push_back(nowUs());
      nextUs = painted.back() + o.intervalMs * 1000LL + static_cast<long long>(rng() % 33000);
      return true;
    });
    std::ofstream out((dir + "/painted.txt").c_str());
    for (long long t : painted) out << t << "\n";
    return code;
  });

  int watcherStatus = 0, painterStatus = 0, hostStatus = 0;
  waitpid(watcher, &watcherStatus, 0);
  waitpid(painter, &painterStatus, 0);
  touch(dir + "/stop");
  waitpid(host, &hostStatus, 0);

  std::vector<long long> painted, seen;
  long long t = 0;
  for (std::ifstream in((dir + "/painted.txt").c_str()); in >> t;) painted.push_back(t);
  for (std::ifstream in((dir + "/seen.txt").c_str()); in >> t;) seen.push_back(t);
  std::vector<double> ms;
  int missing = 0;
  for (size_t i = 0; i < painted.size() && i < seen.size(); ++i) {
    if (seen[i] == 0) {
      ++missing;
      continue;
    }
    ms.push_back(static_cast<double>(seen[i] - painted[i]) / 1000.0);
  }
  std::printf("load average after: %s\n", loadAverage().c_str());
  if (ms.empty()) {
    std::printf("no stroke arrived (painter %d, watcher %d, host %d)\n", painterStatus, watcherStatus, hostStatus);
    return 1;
  }
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double v : ms) sum += v;
  auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * (ms.size() - 1) + 0.5))]; };
  std::printf("client stroke -> other client, %ux%u, sync bandwidth %s: n=%zu (%d missing), min %.1f ms, median %.1f "
              "ms, p95 %.1f ms, max %.1f ms, mean %.1f ms\n",
              o.width, o.height, o.bandwidth.c_str(), ms.size(), missing, ms.front(), at(0.5), at(0.95), ms.back(),
              sum / ms.size());
  std::system(("rm -rf '" + dir + "'").c_str());
  return missing == 0 ? 0 : 1;
}

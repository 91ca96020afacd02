// Session benchmark: stroke latencies, join times and host load, each printed
// next to the bound the protocol's timing gives. Real time throughout.
//
//   session_bench [--peer PATH] [--skip-joins] [--skip-load] [--load-seconds S]
//
// 1. A host's stroke reaching a client (DRAW, sent every 30 / updates-per-
//    second session ticks) on a 1600 x 1600 canvas.
// 2. A client's stroke reaching a second client: DRAW to the host, then the
//    second client's error correction finds and repairs the segment.
// 3. Join time of 1600 x 1600 and 4000 x 4000 canvases, blank and covered with
//    random strokes, at the delivered sync bandwidth (65535 bytes per second).
// 4. Host CPU per session tick and resident memory with 8 headless clients
//    (brelvin_peer processes) painting on a 10000 x 10000 canvas.
// Clients of 1 to 3 are sync clients over plain connections with the
// canvas's byte layout: a process holds one canvas, the host's.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "DrawingProtocol.h"
#include "KivServer.h"
#include "KivSettings.h"
#include "NetSystem.h"
#include "SyncArray.h"
#include "SyncClient.h"
#include "SyncDataMap.h"
#include "ServerConnection.h"
#include "SyncServer.h"
#include "SyncServerFSM.h"
#include "WorldMap.h"

// Last: its macros collide with the headers above.
#include <allegro.h>

extern char** environ;

using libkorvet::DBuffer;
using libkorvet::DDispatcher;
using libkorvet::DEngine;
typedef std::chrono::steady_clock Clock;

namespace {

const int SEGMENT = 30000;
const unsigned int QUICK_SYNC = 10;
const double EDC_PERIOD_S = 0.5;
const unsigned int BANDWIDTH = 65535;
// Bytes of one chunk: the bandwidth's share of one EDC period.
const unsigned int CHUNK_BYTES = static_cast<unsigned int>(BANDWIDTH * EDC_PERIOD_S);

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

bool run(DEngine& engine, const std::function<bool()>& done, double seconds) {
  Clock::time_point start = Clock::now();
  while (!done()) {
    if (secondsSince(start) > seconds) return false;
    engine.update(-1);
  }
  return true;
}

// A connection that keeps the type-0 bodies it receives, with their arrival time.
class Listener : public DDispatcher {
 public:
  explicit Listener(DEngine* e) : DDispatcher(e) {
    addHandler(0, [this](DBuffer& b) {
      if (b.size() >= 4 && b.getByte(0) == 'D') drawArrivals.push_back(Clock::now());
      ++bodies;
    });
  }
  std::vector<Clock::time_point> drawArrivals;
  int bodies = 0;
};

// A sync client with the canvas's layout, as the session client sets it up.
struct SyncGuest {
  SyncGuest(DEngine* e, unsigned short port, int blocks) : connection(new Listener(e)), engine(e), blocks(blocks) {
    connection->startConnect("127.0.0.1", port);
  }
  bool join() {
    client.reset(new libksync::SyncClient(connection.get(), engine, 0, [](std::string) {}));
    client->setQueryBandwidth(128);
    if (!client->setSegmentSize(SEGMENT, 3)) return false;
    bytes.reset(new libksync::SyncArray<unsigned char>(*client, static_cast<unsigned int>(blocks) * SEGMENT));
    if (!client->setQueryPeriod(500)) return false;
    if (!client->initialize()) return false;
    // Like the placeholder: everything differs from the host until repaired.
    client->setEDCOverwrite(true);
    for (unsigned int i = 0; i < bytes->size(); i += 12) bytes->set(i, 80);
    client->setEDCOverwrite(false);
    return true;
  }
  bool equals(libksync::SyncDataMap* host) {
    if (!client || client->getState() != libksync::SyncClient::SYNCHRONIZING) return false;
    libksync::SyncDataMap* ours = client->retrieveDataMap();
    for (unsigned short s = 0; s < host->getNumSegments(); ++s)
      if (ours->getCRC(s) != host->getCRC(s)) return false;
    return true;
  }
  std::unique_ptr<Listener> connection;
  std::unique_ptr<libksync::SyncClient> client;
  std::unique_ptr<libksync::SyncArray<unsigned char>> bytes;
  DEngine* engine;
  int blocks;
};

struct Host {
  Host(unsigned int w, unsigned int h) : net(&engine) {
    net.setSessionPort(0);
    if (!net.hostNewGame(w, h, &map)) {
      std::cerr << "couldn't host: " << net.getErrMsg() << std::endl;
      std::exit(1);
    }
    dataMap = net.getServer()->getSyncServer()->retrieveDataMap();
  }
  ~Host() {
    net.resetVariables();
    map.reset();
  }
  unsigned short port() const { return net.getListenPort(); }
  DEngine engine;
  WorldMap map;
  NetSystem net;
  libksync::SyncDataMap* dataMap = nullptr;
};

void paintRandomStrokes(WorldMap& map, int w, int h, int count, unsigned int seed) {
  std::mt19937 rng(seed);
  for (int i = 0; i < count; ++i) {
    long x = static_cast<long>(rng() % static_cast<unsigned int>(w));
    long y = static_cast<long>(rng() % static_cast<unsigned int>(h));
    long x2 = std::max(0L, std::min<long>(w - 1, x + static_cast<long>(rng() % 301) - 150));
    long y2 = std::max(0L, std::min<long>(h - 1, y + static_cast<long>(rng() % 301) - 150));
    map.applyLineDrawing(x, y, x2, y2, static_cast<unsigned char>(rng() % 4),
                         static_cast<unsigned char>(1 + rng() % 99));
  }
}

// The join's bound from the protocol's timing: every reply of the first pass
// carries up to 10 segments, one series at a time, and a series takes one EDC
// period per chunk of bandwidth x period bytes (at least one period).
double joinBound(libksync::SyncDataMap* map, double& compressedMB) {
  double periods = 0;
  double compressed = 0;
  unsigned short n = map->getNumSegments();
  for (unsigned short first = 0; first < n; first = static_cast<unsigned short>(first + QUICK_SYNC)) {
    DBuffer series;
    for (unsigned short s = first; s < n && s < first + QUICK_SYNC; ++s) map->extractInfo(s, series);
    unsigned int size = series.compress(9).size();
    compressed += size;
    periods += std::max(1.0, static_cast<double>((size + CHUNK_BYTES - 1) / CHUNK_BYTES));
  }
  compressedMB = compressed / 1e6;
  return periods * EDC_PERIOD_S;
}

void strokeLatencies() {
  std::cout << "\n== Stroke latency, 1600 x 1600 canvas ==" << std::endl;
  Host host(1600, 1600);
  Listener watcher(&host.engine);
  watcher.startConnect("127.0.0.1", host.port());
  SyncGuest second(&host.engine, host.port(), 256);
  run(host.engine, [&] { return watcher.bodies > 0 && second.connection->bodies > 0; }, 10);
  second.join();

  // 1. The host's strokes as DRAW messages.
  std::vector<double> ms;
  std::mt19937 rng(3);
  for (int i = 0; i < 30; ++i) {
    // A random phase against the session tick.
    Clock::time_point wait = Clock::now();
    double pause = (rng() % 100) / 1000.0;
    run(host.engine, [&] { return secondsSince(wait) > pause; }, 1);
    size_t before = watcher.drawArrivals.size();
    Clock::time_point t0 = Clock::now();
    host.map.applyLineDrawing(100 + i * 10, 100, 150 + i * 10, 160, 1, 5);
    host.net.addUDPDrawing(100 + i * 10, 100, 150 + i * 10, 160);
    if (!run(host.engine, [&] { return watcher.drawArrivals.size() > before; }, 5)) continue;
    ms.push_back(std::chrono::duration<double, std::milli>(watcher.drawArrivals[before] - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  double sendInterval = 33.0 * (30 / (1000 / KivSettings::getFlushPeriod()));
  std::printf("host stroke -> client (DRAW): n=%zu min %.1f ms, median %.1f ms, max %.1f ms; "
              "bound: send interval %.0f ms (every %d ticks of 33 ms)\n",
              ms.size(), ms.front(), ms[ms.size() / 2], ms.back(), sendInterval,
              30 / (1000 / KivSettings::getFlushPeriod()));

  // 2. A client's stroke reaching a second, joined client through the host's
  // canvas and error correction.
  Clock::time_point joinStart = Clock::now();
  if (!run(host.engine, [&] { return second.equals(host.dataMap); }, 120)) {
    std::printf("second client did not join within 120 s\n");
    return;
  }
  std::printf("(second client joined in %.1f s)\n", secondsSince(joinStart));
  KivSettings::setBrushSize(2);
  std::vector<double> seconds;
  for (int i = 0; i < 6; ++i) {
    long x = 50 + static_cast<long>(rng() % 1500), y = 50 + static_cast<long>(rng() % 1500);
    KivSettings::setFillType(static_cast<unsigned char>(10 + i));
    DrawingProtocol painter;
    painter.addCoordinates(x, y, x + 30, y);
    DBuffer draw;
    for (int t = 0; t < 10 && !painter.prepareClientMessage(draw); ++t) {
    }
    // Segment and byte of the stroke's middle, red plane.
    long mx = x + 15;
    unsigned int index = static_cast<unsigned int>(((y / 100) * 16 + mx / 100) * SEGMENT + (y % 100) * 100 + mx % 100);
    Clock::time_point t0 = Clock::now();
    watcher.sendMessage(0, draw);
    bool hostHas = false;
    double hostMs = 0;
    unsigned char before = second.bytes->get(index);
    if (!run(host.engine, [&] {
          if (!hostHas && host.dataMap->getByte(index) != before) {
            hostHas = true;
            hostMs = secondsSince(t0) * 1000;
          }
          return hostHas && second.bytes->get(index) == host.dataMap->getByte(index);
        }, 60))
      continue;
    seconds.push_back(secondsSince(t0));
    std::printf("  client stroke at (%ld, %ld): on the host after %.1f ms, on the second client after %.2f s\n", x, y,
                hostMs, seconds.back());
  }
  std::sort(seconds.begin(), seconds.end());
  // One query covers (128 B/s x 0.5 s - 3) / 4 segments; one cycle over the
  // canvas takes that many periods, and the reply's series one period more.
  unsigned int perQuery = (128 / 2 - 3) / 4;
  double cycle = (256.0 / perQuery) * EDC_PERIOD_S + EDC_PERIOD_S;
  if (!seconds.empty())
    std::printf("client stroke -> second client (EDC): n=%zu min %.2f s, median %.2f s, max %.2f s; bound: one EDC "
                "cycle over 256 segments at %u per query = %.1f s\n",
                seconds.size(), seconds.front(), seconds[seconds.size() / 2], seconds.back(), perQuery, cycle);
}

void joinTime(int side, bool covered) {
  Host host(static_cast<unsigned int>(side), static_cast<unsigned int>(side));
  Clock::time_point paintStart = Clock::now();
  if (covered) paintRandomStrokes(host.map, side, side, side * side / 1000, 7);
  double paintS = secondsSince(paintStart);
  double compressedMB = 0;
  double bound = joinBound(host.dataMap, compressedMB);
  int blocks = ((side + 99) / 100) * ((side + 99) / 100);
  SyncGuest guest(&host.engine, host.port(), blocks);
  Clock::time_point start = Clock::now();
  run(host.engine, [&] { return guest.connection->bodies > 0; }, 10);
  guest.join();
  bool ok = run(host.engine, [&] { return guest.equals(host.dataMap); }, bound * 3 + 60);
  double took = secondsSince(start);
  std::printf("join %dx%d %-7s: %s %.1f s; bound %.1f s (%d segments, %.2f MB compressed at %u B/s, %u per "
              "reply)%s\n",
              side, side, covered ? "covered" : "blank", ok ? "" : "NOT DONE after", took, bound, blocks,
              compressedMB, BANDWIDTH, QUICK_SYNC,
              covered ? (" [" + std::to_string(side * side / 1000) + " strokes painted in " +
                         std::to_string(static_cast<int>(paintS * 1000)) + " ms]")
                            .c_str()
                      : "");
}

long vmRSSkB() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

double cpuSeconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void hostLoad(const std::string& peer, int loadSeconds) {
  std::cout << "\n== Host load, 10000 x 10000 canvas, 8 painting clients ==" << std::endl;
  long rssBefore = vmRSSkB();
  Host host(10000, 10000);
  long rssHosting = vmRSSkB();
  std::string port = std::to_string(host.port());
  std::vector<pid_t> peers;
  for (int i = 0; i < 8; ++i) {
    std::string seed = std::to_string(100 + i);
    std::string deadline = std::to_string((loadSeconds + 900) * 1000);
    std::vector<std::string> args = {peer, "--join", "127.0.0.1", "--port", port, "--seed", seed, "--area", "0",
                                     "0", "10000", "10000", "--paint-forever", "--deadline-ms", deadline,
                                     "--name", "peer" + std::to_string(i)};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, peer.c_str(), &actions, nullptr, argv.data(), environ) == 0) peers.push_back(pid);
    posix_spawn_file_actions_destroy(&actions);
  }

  // The game's loop: one engine step of at most 100 operations per 33 ms tick.
  auto tickLoop = [&](double seconds, long& ticks, double& maxStepMs, const std::function<bool()>& stop) {
    Clock::time_point start = Clock::now();
    Clock::time_point next = start;
    while (secondsSince(start) < seconds && !stop()) {
      Clock::time_point t = Clock::now();
      host.engine.update(100);
      maxStepMs = std::max(maxStepMs, std::chrono::duration<double, std::milli>(Clock::now() - t).count());
      ++ticks;
      next += std::chrono::milliseconds(33);
      std::this_thread::sleep_until(next);
    }
  };
  long ticks = 0;
  double maxStep = 0;
  Clock::time_point admitStart = Clock::now();
  tickLoop(240, ticks, maxStep, [&] { return host.net.getServer()->numClients() >= 8; });
  // Admitted clients first build their 10000 x 10000 placeholder, then join.
  auto joined = [&] {
    KivServer* server = host.net.getServer();
    if (server->numClients() < 8) return false;
    for (ServerConnection* c : server->getClients()) {
      libksync::SyncServerFSM* fsm = server->getSyncServer()->getClient(c);
      if (!fsm || fsm->getFSMState() != libksync::SyncServerFSM::JOINED) return false;
    }
    return true;
  };
  tickLoop(600, ticks, maxStep, joined);
  std::printf("%zu clients admitted and joined in %.1f s (each first builds its placeholder)\n",
              host.net.getServer()->numClients(), secondsSince(admitStart));

  ticks = 0;
  maxStep = 0;
  double cpu0 = cpuSeconds();
  Clock::time_point start = Clock::now();
  tickLoop(loadSeconds, ticks, maxStep, [] { return false; });
  double cpu = cpuSeconds() - cpu0;
  double wall = secondsSince(start);
  std::printf("host over %.0f s with %zu clients: %ld ticks, CPU %.2f ms per tick (%.1f%% of one core), longest "
              "engine step %.1f ms (tick budget 33 ms)\n",
              wall, host.net.getServer()->numClients(), ticks, cpu * 1000 / ticks, cpu / wall * 100, maxStep);
  std::printf("host VmRSS: %ld MB before hosting, %ld MB hosting, %ld MB with 8 clients\n", rssBefore / 1024,
              rssHosting / 1024, vmRSSkB() / 1024);

  for (pid_t pid : peers) kill(pid, SIGTERM);
  for (pid_t pid : peers) waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
  std::string peer;
  bool skipJoins = false, skipLoad = false;
  int loadSeconds = 30;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--peer" && i + 1 < argc) peer = argv[++i];
    else if (a == "--skip-joins") skipJoins = true;
    else if (a == "--skip-load") skipLoad = true;
    else if (a == "--load-seconds" && i + 1 < argc) loadSeconds = std::atoi(argv[++i]);
  }
  if (peer.empty()) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string("./x");
    peer = dir.substr(0, dir.rfind('/')) + "/../brelvin_peer";
  }

  install_allegro(SYSTEM_NONE, &errno, atexit);
  set_color_depth(24);
  for (int i = 1; i < 100; ++i) {
    RGB c = {static_cast<unsigned char>(i % 64), static_cast<unsigned char>((i * 7) % 64),
             static_cast<unsigned char>((i * 13) % 64), 0};
    set_color(i, &c);
  }
  // The delivered options: 15 updates per second, 65535 bytes per second.
  KivSettings::setFlushFrequency("15");
  KivSettings::setSyncBandwidth(std::to_string(BANDWIDTH));
  std::cout.setf(std::ios::unitbuf);

  strokeLatencies();
  if (!skipJoins) {
    std::cout << "\n== Join time at " << BANDWIDTH << " B/s ==" << std::endl;
    joinTime(1600, false);
    joinTime(1600, true);
    joinTime(4000, false);
    joinTime(4000, true);
  }
  if (!skipLoad) hostLoad(peer, loadSeconds);
  return 0;
}

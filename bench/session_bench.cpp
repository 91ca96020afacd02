// Session benchmark: stroke latencies, join times and host load, each printed
// next to the bound the protocol's timing gives. Real time throughout.
//
//   session_bench [--peer PATH] [--skip-latency] [--skip-joins] [--skip-join-load]
//                 [--skip-load] [--load-seconds S] [--bandwidths B,B...] [--joins J,J...]
//                 [--join-load-clients N]
//
// 1. A host's stroke reaching a client (DRAW, sent every 30 / updates-per-
//    second session ticks) on a 1600 x 1600 canvas.
// 2. A client's stroke reaching a second client that ignores relayed DRAW:
//    the second client's error correction finds and repairs the segment
//    (relay_latency_bench times the relay itself).
// 3. Join time for each sync bandwidth (10000000, link-paced, and 65535 by
//    default) and canvas (J is the side and b blank, c covered with side x
//    side / 1000 random strokes, r random bytes; by default 1600b, 1600c,
//    1600r, 4000b, 10000b). The host runs the game's loop; the client runs
//    on a thread of its own.
// 4. For each bandwidth, N (8) headless clients (brelvin_peer processes) join
//    a blank 10000 x 10000 canvas at once: their join times, the host's
//    longest engine step and its tick rate.
// 5. Host CPU per session tick and resident memory with 8 headless clients
//    painting on a 10000 x 10000 canvas (at the first bandwidth).
// Clients of 1 to 3 are sync clients over plain connections with the
// canvas's byte layout: a process holds one canvas, the host's.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
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
#include "SyncSettings.h"
#include "WorldMap.h"
#include "../tools/RandomStrokes.h"

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
// The shipped option: a link of 10 MB/s per client.
const unsigned int LINK_RATE = 10000000;
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
    client->setLinkRate(static_cast<unsigned int>(KivSettings::getEDCBandwidth()));
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
    std::printf("client stroke -> second client by repair alone (it ignores the relay): n=%zu min %.2f s, median %.2f s, max %.2f s; bound: one EDC "
                "cycle over 256 segments at %u per query = %.1f s\n",
                seconds.size(), seconds.front(), seconds[seconds.size() / 2], seconds.back(), perQuery, cycle);
}

enum Content { BLANK, COVERED, RANDOM };

const char* contentName(Content c) { return c == BLANK ? "blank" : c == COVERED ? "covered" : "random"; }

// The game's loop: one engine step of at most 100 operations per 33 ms tick.
// The longest step is kept by the wall clock and in this thread's CPU time
// (on a loaded machine the two part).
struct TickLoop {
  explicit TickLoop(DEngine& e) : engine(e) {}
  static double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
  }
  void run(double seconds, const std::function<bool()>& stop) {
    Clock::time_point start = Clock::now();
    Clock::time_point next = start;
    while (secondsSince(start) < seconds && !stop()) {
      Clock::time_point t = Clock::now();
      double cpu = threadCpuMs();
      engine.update(100);
      longestMs = std::max(longestMs, std::chrono::duration<double, std::milli>(Clock::now() - t).count());
      longestCpuMs = std::max(longestCpuMs, threadCpuMs() - cpu);
      ++ticks;
      next += std::chrono::milliseconds(33);
      std::this_thread::sleep_until(next);
    }
  }
  std::string longest() const {
    char text[96];
    std::snprintf(text, sizeof text, "longest step %.1f ms (longest in CPU time %.1f ms)", longestMs, longestCpuMs);
    return text;
  }
  DEngine& engine;
  long ticks = 0;
  double longestMs = 0;
  double longestCpuMs = 0;
};

// One client joins a canvas and runs until its map equals the host's. The
// host runs the game's loop on this thread; the client runs its own engine
// flat out on a thread of its own, as another machine would.
void joinTime(int side, Content content, unsigned int bandwidth) {
  KivSettings::setSyncBandwidth(std::to_string(bandwidth));
  Host host(static_cast<unsigned int>(side), static_cast<unsigned int>(side));
  Clock::time_point paintStart = Clock::now();
  if (content == COVERED) paintRandomStrokes(host.map, side * side / 1000, 7);
  std::mt19937 rng(11);
  if (content == RANDOM)
    for (unsigned int i = 0; i < host.dataMap->getSize(); ++i) host.dataMap->setByte(i, static_cast<unsigned char>(rng()));
  double paintS = secondsSince(paintStart);
  double compressedMB = 0;
  double bound = joinBound(host.dataMap, compressedMB);
  std::vector<unsigned int> hostCRCs;
  for (unsigned short s = 0; s < host.dataMap->getNumSegments(); ++s) hostCRCs.push_back(host.dataMap->getCRC(s));
  int blocks = ((side + 99) / 100) * ((side + 99) / 100);

  std::atomic<bool> done(false);
  double took = -1, setUp = -1;
  unsigned short port = host.port();
  Clock::time_point start = Clock::now();
  std::thread guestThread([&] {
    DEngine engine;
    SyncGuest guest(&engine, port, blocks);
    if (!run(engine, [&] { return guest.connection->bodies > 0; }, 10) || !guest.join()) {
      done = true;
      return;
    }
    // Connected, greeted, the map allocated and the placeholder painted.
    setUp = secondsSince(start);
    auto equal = [&] {
      if (guest.client->getState() != libksync::SyncClient::SYNCHRONIZING) return false;
      libksync::SyncDataMap* ours = guest.client->retrieveDataMap();
      for (unsigned short s = 0; s < hostCRCs.size(); ++s)
        if (ours->getCRC(s) != hostCRCs[s]) return false;
      return true;
    };
    int step = 0;
    bool ok = run(engine, [&] { return ++step % 16 == 0 && equal(); }, bound * 3 + 60);
    if (ok) took = secondsSince(start);
    done = true;
  });
  TickLoop loop(host.engine);
  loop.run(bound * 3 + 90, [&] { return done.load(); });
  guestThread.join();

  char how[160];
  if (bandwidth > libksync::SyncSettings::MAX_PACED_BANDWIDTH)
    std::snprintf(how, sizeof how, "link-paced: the canvas deflated at level 9 alone takes %.2f s at the rate",
                  compressedMB * 1e6 / bandwidth);
  else
    std::snprintf(how, sizeof how, "bound %.1f s, ratio %.2f", bound, took / bound);
  std::printf("join %5dx%-5d %-7s at %8u B/s: %s %6.2f s, of which %.2f s client set-up (%s); %d segments, %.2f "
              "MB at level 9; host: %s, %.1f ticks/s%s\n",
              side, side, contentName(content), bandwidth, took >= 0 ? "" : "NOT DONE after",
              took >= 0 ? took : secondsSince(start), setUp, how, blocks, compressedMB, loop.longest().c_str(),
              loop.ticks / secondsSince(start),
              content == COVERED ? (" [" + std::to_string(side * side / 1000) + " strokes painted in " +
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

// Headless clients (brelvin_peer processes) on this machine, joining
// the host at port with these options besides their own name and seed.
std::vector<pid_t> spawnPeers(const std::string& peer, unsigned short port, const std::vector<std::string>& options,
                              int count = 8) {
  std::vector<pid_t> peers;
  for (int i = 0; i < count; ++i) {
    std::vector<std::string> args = {peer, "--join", "127.0.0.1", "--port", std::to_string(port), "--seed",
                                     std::to_string(100 + i), "--name", "peer" + std::to_string(i)};
    args.insert(args.end(), options.begin(), options.end());
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
  return peers;
}

void endPeers(const std::vector<pid_t>& peers) {
  for (pid_t pid : peers) kill(pid, SIGTERM);
  for (pid_t pid : peers) waitpid(pid, nullptr, 0);
}

// Clients that do not paint join a blank 10000 x 10000 canvas at once. Each
// is complete once its CRCs matched the host's over a whole sweep of the map.
void joinLoad(const std::string& peer, unsigned int bandwidth, int clients) {
  std::cout << "\n== " << clients << " clients join a 10000 x 10000 canvas at once, " << bandwidth << " B/s =="
            << std::endl;
  KivSettings::setSyncBandwidth(std::to_string(bandwidth));
  Host host(10000, 10000);
  unsigned int numSegments = host.dataMap->getNumSegments();
  Clock::time_point start = Clock::now();
  std::vector<pid_t> peers = spawnPeers(
      peer, host.port(), {"--strokes", "0", "--bandwidth", std::to_string(bandwidth), "--deadline-ms", "900000"},
      clients);
  struct Times {
    double joined = -1, repairing = -1, complete = -1;
  };
  std::map<ServerConnection*, Times> times;
  std::vector<Times> finished;
  auto check = [&] {
    KivServer* server = host.net.getServer();
    double now = secondsSince(start);
    for (ServerConnection* c : server->getClients()) {
      libksync::SyncServerFSM* fsm = server->getSyncServer()->getClient(c);
      if (!fsm) continue;
      Times& t = times[c];
      if (t.joined < 0 && fsm->getFSMState() == libksync::SyncServerFSM::JOINED) t.joined = now;
      if (t.repairing < 0 && fsm->getSendingState() != libksync::SyncServerFSM::IDLE) t.repairing = now;
      if (t.complete < 0 && fsm->getMatchedRun() >= numSegments) t.complete = now;
    }
    int complete = 0;
    for (auto& t : times) complete += t.second.complete >= 0;
    return complete >= clients;
  };
  TickLoop loop(host.engine);
  double cpu0 = cpuSeconds();
  loop.run(900, check);
  double wall = secondsSince(start);
  double cpu = cpuSeconds() - cpu0;
  std::vector<double> joinS, syncS;
  for (auto& t : times) {
    // A link-paced series may come and go within one tick, unseen.
    if (t.second.repairing < 0) t.second.repairing = t.second.joined;
    std::printf("  client: JOIN at %6.2f s, first repair at %6.2f s, complete at %6.2f s: %6.2f s from its first "
                "repair\n",
                t.second.joined, t.second.repairing, t.second.complete, t.second.complete - t.second.repairing);
    if (t.second.complete >= 0) syncS.push_back(t.second.complete - t.second.repairing);
  }
  std::sort(syncS.begin(), syncS.end());
  std::printf("%d joins over %.1f s: %zu complete, from first repair to complete: median %.2f s, longest %.2f s; "
              "host: %ld ticks (%.1f a second), %s, CPU %.1f%% of one core\n",
              clients, wall, syncS.size(), syncS.empty() ? -1 : syncS[syncS.size() / 2],
              syncS.empty() ? -1 : syncS.back(), loop.ticks, loop.ticks / wall, loop.longest().c_str(), cpu / wall * 100);
  endPeers(peers);
}

void hostLoad(const std::string& peer, int loadSeconds) {
  std::cout << "\n== Host load, 10000 x 10000 canvas, 8 painting clients ==" << std::endl;
  long rssBefore = vmRSSkB();
  Host host(10000, 10000);
  long rssHosting = vmRSSkB();
  std::vector<pid_t> peers =
      spawnPeers(peer, host.port(), {"--area", "0", "0", "10000", "10000", "--paint-forever", "--deadline-ms",
                                     std::to_string((loadSeconds + 900) * 1000), "--bandwidth",
                                     std::to_string(KivSettings::getEDCBandwidth())});

  TickLoop admitting(host.engine);
  Clock::time_point admitStart = Clock::now();
  admitting.run(240, [&] { return host.net.getServer()->numClients() >= 8; });
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
  admitting.run(600, joined);
  std::printf("%zu clients admitted and joined in %.1f s (each first builds its placeholder)\n",
              host.net.getServer()->numClients(), secondsSince(admitStart));
  // The load is that of painting clients, not of their joins: until its
  // first pass is over, a client's placeholder is still being painted or
  // repaired, and an older client paints it after its JOIN.
  auto synced = [&] {
    KivServer* server = host.net.getServer();
    for (ServerConnection* c : server->getClients()) {
      libksync::SyncServerFSM* fsm = server->getSyncServer()->getClient(c);
      if (!fsm || !fsm->isFirstPassComplete()) return false;
    }
    return true;
  };
  admitting.run(600, synced);
  std::printf("their first passes over the canvas done at %.1f s\n", secondsSince(admitStart));

  TickLoop loop(host.engine);
  double cpu0 = cpuSeconds();
  Clock::time_point start = Clock::now();
  loop.run(loadSeconds, [] { return false; });
  double cpu = cpuSeconds() - cpu0;
  double wall = secondsSince(start);
  std::printf("host over %.0f s with %zu clients: %ld ticks, CPU %.2f ms per tick (%.1f%% of one core), %s "
              "(tick budget 33 ms)\n",
              wall, host.net.getServer()->numClients(), loop.ticks, cpu * 1000 / loop.ticks, cpu / wall * 100,
              loop.longest().c_str());
  std::printf("host VmRSS: %ld MB before hosting, %ld MB hosting, %ld MB with 8 clients\n", rssBefore / 1024,
              rssHosting / 1024, vmRSSkB() / 1024);
  endPeers(peers);
}

}  // namespace

int main(int argc, char** argv) {
  std::string peer;
  bool skipJoins = false, skipLoad = false, skipLatency = false, skipJoinLoad = false;
  int loadSeconds = 30, joinLoadClients = 8;
  std::vector<unsigned int> bandwidths = {LINK_RATE, BANDWIDTH};
  std::vector<std::string> joins = {"1600b", "1600c", "1600r", "4000b", "10000b"};
  auto list = [](const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) out.push_back(item);
    return out;
  };
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--peer" && i + 1 < argc) peer = argv[++i];
    else if (a == "--skip-joins") skipJoins = true;
    else if (a == "--skip-load") skipLoad = true;
    else if (a == "--skip-latency") skipLatency = true;
    else if (a == "--skip-join-load") skipJoinLoad = true;
    else if (a == "--load-seconds" && i + 1 < argc) loadSeconds = std::atoi(argv[++i]);
    else if (a == "--join-load-clients" && i + 1 < argc) joinLoadClients = std::atoi(argv[++i]);
    else if (a == "--joins" && i + 1 < argc) joins = list(argv[++i]);
    else if (a == "--bandwidths" && i + 1 < argc) {
      bandwidths.clear();
      for (const std::string& b : list(argv[++i])) bandwidths.push_back(static_cast<unsigned int>(std::stoul(b)));
    }
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
  // 15 updates per second, as delivered.
  KivSettings::setFlushFrequency("15");
  KivSettings::setSyncBandwidth(std::to_string(BANDWIDTH));
  std::cout.setf(std::ios::unitbuf);

  if (!skipLatency) strokeLatencies();
  if (!skipJoins) {
    // 1600b: 1600 x 1600 blank; c: covered with side x side / 1000 strokes; r: random bytes.
    std::cout << "\n== Join time ==" << std::endl;
    for (unsigned int bw : bandwidths)
      for (const std::string& j : joins) {
        char kind = j.back();
        joinTime(std::atoi(j.c_str()), kind == 'c' ? COVERED : kind == 'r' ? RANDOM : BLANK, bw);
      }
  }
  for (unsigned int bw : bandwidths)
    if (!skipJoinLoad) joinLoad(peer, bw, joinLoadClients);
  KivSettings::setSyncBandwidth(std::to_string(bandwidths.front()));
  if (!skipLoad) hostLoad(peer, loadSeconds);
  return 0;
}

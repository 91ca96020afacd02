// brelvin_peer: a headless session peer for convergence tests and benchmarks.
// It hosts or joins a session on memory bitmaps, paints scripted strokes the
// way the game does (local canvas at once, then the drawing protocol), and
// runs the network engine at the game's tick rate until its copy of the
// canvas agrees with the host's or a deadline passes.
//
//   brelvin_peer --host WIDTH HEIGHT [--clients N]    wait for N clients (1)
//                [--prepaint N]    cover the canvas with N random strokes first
//   brelvin_peer --join ADDRESS                       retries for 30 s until the host listens;
//                                                     once joined, reconnects as the program does
// Common options:
//   --port P         session port (5050)
//   --strokes N      scripted stroke segments to paint (40)
//   --seed S         stroke script seed (1)
//   --area X Y W H   region the strokes stay in (200 200 400 400)
//   --deadline-ms T  give up after T ms (120000)
//   --out FILE       write segment CRCs, bitmap checksum and digest here
//   --bandwidth B    sync bandwidth option, bytes per second (65535)
//   --name NAME      player name ("host" / "client")
//   --password-file FILE  the session's password, the file's first line
//   --paint-forever  keep painting until the deadline; no convergence check
//   --pace MS        paint and chat at a person's pace for MS ms, then agree
//                    as usual: a stroke of 20 to 40 segments, one a tick,
//                    every 2 to 6 s, and a chat line every 20 to 60 s
//
// Every minute, and when it ends, the peer reports the longest step of its
// network engine by the wall clock, and the most CPU time one step took (the
// two part on a loaded machine); at the end also the longest since it was
// ready (after the step that built the canvas).
//
// Agreement is found over chat: once done painting, the host announces
// "digest <hex>" every second; a client whose own digest (segment CRCs and
// bitmap checksum) equals the announced one writes its file and answers
// "converged <hex>". The host writes its file once every expected client has
// answered with its current digest (a client's answer to an older digest no
// longer counts once a late stroke changed it), and leaves; a matched client leaves when
// the host has gone. Exit status: 0 agreed, 2 start failure, 3 session
// failure, 4 deadline, 5 the host refused or removed this client (a wrong
// password, a kick, a ban).

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "AllegWorker.h"
#include "DBuffer.h"
#include "DEngine.h"
#include "HeadlessSession.h"
#include "HostAccess.h"
#include "KivClient.h"
#include "KivServer.h"
#include "KivSettings.h"
#include "NetSystem.h"
#include "RandomStrokes.h"
#include "WorldMap.h"

// Last: its macros collide with the headers above.
#include <allegro.h>

using libkorvet::DBuffer;
using libkorvet::DEngine;

namespace {

typedef std::chrono::steady_clock Clock;

struct Options {
  bool host = false;
  unsigned int width = 1600;
  unsigned int height = 1600;
  unsigned int clients = 1;
  std::string address = "127.0.0.1";
  unsigned short port = 5050;
  int strokes = 40;
  unsigned int seed = 1;
  long areaX = 200, areaY = 200, areaW = 400, areaH = 400;
  long deadlineMs = 120000;
  std::string out;
  std::string bandwidth = "65535";
  std::string name;
  std::string password;
  bool paintForever = false;
  long paceMs = 0;
  int prepaint = 0;
};

[[noreturn]] void usage(const std::string& why) {
  std::cerr << "brelvin_peer: " << why << "\n"
            << "usage: brelvin_peer (--host W H [--clients N] [--prepaint N] | --join ADDRESS) [--port P] [--strokes N]\n"
            << "       [--seed S] [--area X Y W H] [--deadline-ms T] [--out FILE] [--bandwidth B]\n"
            << "       [--name NAME] [--paint-forever | --pace MS]" << std::endl;
  std::exit(2);
}

long number(const std::string& text) {
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0') usage("not a number: " + text);
  return v;
}

Options parse(int argc, char** argv) {
  Options o;
  bool role = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) usage("missing value after " + a);
      return argv[++i];
    };
    if (a == "--host") {
      o.host = true;
      role = true;
      o.width = static_cast<unsigned int>(number(next()));
      o.height = static_cast<unsigned int>(number(next()));
    } else if (a == "--join") {
      o.host = false;
      role = true;
      o.address = next();
    } else if (a == "--clients") {
      o.clients = static_cast<unsigned int>(number(next()));
    } else if (a == "--port") {
      o.port = static_cast<unsigned short>(number(next()));
    } else if (a == "--strokes") {
      o.strokes = static_cast<int>(number(next()));
    } else if (a == "--seed") {
      o.seed = static_cast<unsigned int>(number(next()));
    } else if (a == "--area") {
      o.areaX = number(next());
      o.areaY = number(next());
      o.areaW = number(next());
      o.areaH = number(next());
    } else if (a == "--deadline-ms") {
      o.deadlineMs = number(next());
    } else if (a == "--out") {
      o.out = next();
    } else if (a == "--bandwidth") {
      o.bandwidth = next();
    } else if (a == "--name") {
      o.name = next();
    } else if (a == "--password-file") {
      std::string why;
      if (!HostAccess::readPasswordFile(next(), o.password, why)) usage(why);
    } else if (a == "--paint-forever") {
      o.paintForever = true;
    } else if (a == "--prepaint") {
      o.prepaint = static_cast<int>(number(next()));
      if (o.prepaint < 0) usage("bad --prepaint");
    } else if (a == "--pace") {
      o.paceMs = number(next());
      if (o.paceMs < 1) usage("bad --pace");
    } else {
      usage("unknown option " + a);
    }
  }
  if (!role) usage("--host or --join is required");
  if (o.prepaint > 0 && !o.host) usage("--prepaint is for the host");
  if (o.areaW < 1 || o.areaH < 1 || o.areaX < 0 || o.areaY < 0) usage("bad --area");
  if (o.name.empty()) o.name = o.host ? "host" : "client";
  return o;
}

std::string hex(unsigned int v) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", v);
  return text;
}

// CRC-32 of the mirror bitmap's pixels, row by row (3 bytes a pixel).
unsigned int bitmapChecksum() {
  BITMAP* bmp = WorldMap::getMapBuffer();
  if (!bmp) return 0;
  unsigned int crc = 0;
  std::size_t rowBytes = static_cast<std::size_t>(bmp->w) * 3;
  for (int y = 0; y < bmp->h; ++y) crc = DBuffer::crc32Update(crc, bmp->line[y], rowBytes);
  return crc;
}

struct Snapshot {
  std::vector<unsigned int> crcs;
  unsigned int bitmap = 0;
  unsigned int digest = 0;
};

Snapshot snapshot(HeadlessSession& session) {
  Snapshot s;
  s.crcs = session.segmentCRCs();
  s.bitmap = bitmapChecksum();
  DBuffer all;
  for (unsigned int c : s.crcs) all.appendVariable<unsigned int>(c);
  all.appendVariable<unsigned int>(s.bitmap);
  s.digest = all.crc32();
  return s;
}

void writeSnapshot(const std::string& path, const Snapshot& s) {
  if (path.empty()) return;
  std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp.c_str());
    f << "segments " << s.crcs.size() << "\n";
    for (std::size_t i = 0; i < s.crcs.size(); ++i) f << "crc " << i << " " << hex(s.crcs[i]) << "\n";
    f << "bitmap " << hex(s.bitmap) << "\n";
    f << "digest " << hex(s.digest) << "\n";
  }
  std::rename(tmp.c_str(), path.c_str());
}

// The scripted strokes: short random walks inside the area, each with its
// own brush size and colour, one segment per game tick. At a person's pace
// the walks are longer and slower, with rests between them, and chat lines
// come now and then.
class StrokeScript {
 public:
  StrokeScript(const Options& o, Clock::time_point start)
      : rng(o.seed), opt(o), paceEnd(start + std::chrono::milliseconds(o.paceMs)), remaining(o.strokes) {
    if (paced()) chatIn = ticksBetween(5, 60);
  }

  bool done() const {
    if (paced()) return Clock::now() >= paceEnd;
    return remaining <= 0 && !opt.paintForever;
  }

  // One game tick of the script.
  void tick(WorldMap& map, NetSystem& net) {
    if (done()) return;
    if (paced()) {
      if (--chatIn <= 0) {
        chat(net);
        chatIn = ticksBetween(20, 60);
      }
      if (restLeft > 0) {
        --restLeft;
        return;
      }
    }
    paintOne(map, net);
  }

 private:
  static const int TICKS_PER_SECOND = 30;

  bool paced() const { return opt.paceMs > 0; }
  int ticksBetween(int loSeconds, int hiSeconds) {
    return loSeconds * TICKS_PER_SECOND + static_cast<int>(rng() % ((hiSeconds - loSeconds) * TICKS_PER_SECOND + 1));
  }

  void paintOne(WorldMap& map, NetSystem& net) {
    if (walkLeft == 0) {
      x = opt.areaX + static_cast<long>(rng() % static_cast<unsigned long>(opt.areaW));
      y = opt.areaY + static_cast<long>(rng() % static_cast<unsigned long>(opt.areaH));
      KivSettings::setBrushSize(static_cast<unsigned char>(rng() % 4));
      KivSettings::setFillType(static_cast<unsigned char>(1 + rng() % 99));
      walkLeft = paced() ? 20 + static_cast<int>(rng() % 21) : 5;
    }
    // A hand moves a few pixels a tick; the quick script jumps about.
    const long reach = paced() ? 12 : 60;
    long nx = clampX(x + static_cast<long>(rng() % (2 * reach + 1)) - reach);
    long ny = clampY(y + static_cast<long>(rng() % (2 * reach + 1)) - reach);
    // As the game does: the local canvas first, then the protocol's queue.
    map.applyLineDrawing(x, y, nx, ny, KivSettings::getBrushSize(), KivSettings::getFillType());
    net.addUDPDrawing(x, y, nx, ny);
    x = nx;
    y = ny;
    --remaining;
    if (--walkLeft == 0 && paced()) restLeft = ticksBetween(2, 6);
  }

  void chat(NetSystem& net) {
    static const char* const said[] = {"hi all", "who is doing the blue bit?", "brb", "nice",
                                       "I'll take the corner on the left, leave it to me for a while",
                                       "more red here?", "ok", "that looks like a cat now"};
    ++chatLines;
    net.sendChat(std::string(said[rng() % (sizeof said / sizeof said[0])]) + " (" + std::to_string(chatLines) + ")");
  }

  long clampX(long v) const { return v < opt.areaX ? opt.areaX : (v >= opt.areaX + opt.areaW ? opt.areaX + opt.areaW - 1 : v); }
  long clampY(long v) const { return v < opt.areaY ? opt.areaY : (v >= opt.areaY + opt.areaH ? opt.areaY + opt.areaH - 1 : v); }

  std::mt19937 rng;
  const Options& opt;
  Clock::time_point paceEnd;
  int remaining;
  int walkLeft = 0;
  int restLeft = 0;
  int chatIn = 0;
  int chatLines = 0;
  long x = 0, y = 0;
};

// The longest step of the network engine by the wall clock, and the most CPU
// time of this thread one step took, over the whole run and the current minute.
class StepTimer {
 public:
  explicit StepTimer(const std::string& name) : name(name), minuteStart(Clock::now()) {}

  void step(DEngine& engine) {
    Clock::time_point wall = Clock::now();
    double cpu = cpuMs();
    engine.update(100);
    double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - wall).count();
    cpu = cpuMs() - cpu;
    ++steps;
    for (Longest* l : {&minute, &whole, &sinceReady}) {
      l->wall = std::max(l->wall, wallMs);
      l->cpu = std::max(l->cpu, cpu);
    }
    if (Clock::now() - minuteStart >= std::chrono::minutes(1)) {
      ++minutes;
      std::cout << "peer " << name << ": minute " << minutes << ": longest engine step " << text(minute) << std::endl;
      minute = Longest();
      minuteStart += std::chrono::minutes(1);
    }
  }

  void report() const {
    std::cout << "peer " << name << ": longest engine step " << text(whole) << " in " << steps << " steps"
              << std::endl;
    std::cout << "peer " << name << ": longest engine step since ready " << text(sinceReady) << std::endl;
  }
  // From now on the canvas is built (its first step is the longest).
  void ready() { sinceReady = Longest(); }

 private:
  struct Longest {
    double wall = 0;
    double cpu = 0;
  };

  static double cpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
  }
  static std::string text(const Longest& l) {
    char out[64];
    std::snprintf(out, sizeof out, "%.1f ms, most CPU in a step %.1f ms", l.wall, l.cpu);
    return out;
  }

  std::string name;
  Clock::time_point minuteStart;
  Longest minute, whole, sinceReady;
  long steps = 0;
  int minutes = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options opt = parse(argc, argv);
  AllegWorker::initHeadless();
  if (!KivSettings::setSyncBandwidth(opt.bandwidth)) usage(KivSettings::getErrMsg());
  KivSettings::setFlushFrequency("15");

  HeadlessSession session;
  WorldMap& map = session.map();
  NetSystem& net = session.net();
  net.setSessionPort(opt.port);
  net.setPlayerName(opt.name);
  net.setHostPassword(opt.password);
  net.setJoinPassword(opt.password);
  net.setHostIP(opt.address);

  Clock::time_point start = Clock::now();
  Clock::time_point deadline = start + std::chrono::milliseconds(opt.deadlineMs);
  bool started = opt.host ? net.hostNewGame(opt.width, opt.height, &map) : net.joinExistingGame(&map);
  if (!started) {
    std::cout << "peer " << opt.name << ": couldn't start: " << net.getErrMsg() << std::endl;
    return 2;
  }
  std::cout << "peer " << opt.name << ": started on port "
            << (opt.host ? net.getListenPort() : opt.port) << std::endl;
  if (opt.prepaint > 0) {
    // Before anyone can join: what is there already, not strokes to send.
    Clock::time_point painting = Clock::now();
    paintRandomStrokes(map, opt.prepaint, opt.seed);
    std::cout << "peer " << opt.name << ": prepainted " << opt.prepaint << " strokes in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - painting).count() << " ms"
              << std::endl;
  }

  StrokeScript script(opt, start);
  StepTimer steps(opt.name);
  // The digest each client last said it holds.
  std::map<std::string, std::string> confirmed;
  bool matched = false;
  bool readyReported = false;
  bool reconnecting = false;
  Clock::time_point lostAt;
  int tick = 0;

  while (Clock::now() < deadline) {
    session.waitForTick([&](DEngine& engine) { steps.step(engine); });
    ++tick;

    if (!net.netOK()) {
      // A host started at the same moment may not listen yet: keep trying
      // for a while, as a user would.
      // Every failed connect (not a failed name lookup) reads "Couldn't connect to ...".
      const std::string notConnected = "Couldn't connect to ";
      bool refused = net.getErrMsg().compare(0, notConnected.size(), notConnected) == 0;
      if (!opt.host && !readyReported && refused && Clock::now() < start + std::chrono::seconds(30)) {
        net.resetVariables();
        map.reset();
        net.setPlayerName(opt.name);
        session.delayNextTick(200);
        net.joinExistingGame(&map);
        continue;
      }
      // The host's verdict is final, whatever came before.
      if (!opt.host && net.getClient() && net.getClient()->getVerdict() != 0) {
        std::cout << "peer " << opt.name << ": " << net.getErrMsg() << std::endl;
        steps.report();
        return 5;
      }
      if (!opt.host && matched) {
        std::cout << "peer " << opt.name << ": host gone after agreement" << std::endl;
        steps.report();
        return 0;
      }
      std::cout << "peer " << opt.name << ": session failed: " << net.getErrMsg() << std::endl;
      writeSnapshot(opt.out, snapshot(session));
      steps.report();
      return 3;
    }

    if (!opt.host) {
      // Reconnecting is the session's own business; the peer reports it.
      if (net.isReconnecting() && !reconnecting) {
        if (matched) {
          std::cout << "peer " << opt.name << ": host gone after agreement" << std::endl;
          steps.report();
          return 0;
        }
        reconnecting = true;
        lostAt = Clock::now();
        std::cout << "peer " << opt.name << ": lost the host: " << net.reconnectStatus() << std::endl;
      } else if (reconnecting && !net.isReconnecting()) {
        reconnecting = false;
        long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lostAt).count();
        std::cout << "peer " << opt.name << ": reconnected " << ms << " ms after the loss" << std::endl;
      }
    }

    // A host paints on once its clients came, whoever leaves later; a client
    // paints on while it reconnects, as a person would.
    bool canPaint = opt.host ? readyReported || net.getServer()->numClients() >= opt.clients
                             : net.clientReady() || (readyReported && net.isReconnecting());
    if (!canPaint) continue;
    if (!readyReported) {
      readyReported = true;
      long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      std::cout << "peer " << opt.name << ": ready after " << ms << " ms" << std::endl;
      steps.ready();
    }
    script.tick(map, net);

    // Chat lines from the other side; status lines are already echoed.
    std::vector<std::pair<std::string, std::string>> lines;
    for (const HeadlessSession::Line& line : session.takeLines())
      if (!line.status) lines.push_back(std::make_pair(line.owner, line.text));
    if (opt.paintForever || !script.done()) continue;

    if (opt.host) {
      bool heard = false;
      for (const auto& line : lines)
        if (line.second.compare(0, 10, "converged ") == 0) {
          confirmed[line.first] = line.second.substr(10);
          heard = true;
        }
      // A snapshot reads the whole canvas twice (300 MB each at 10000 x
      // 10000): once a second, or when a client says it agrees.
      if (!heard && tick % 30 != 0) continue;
      Snapshot now = snapshot(session);
      std::size_t agreeing = static_cast<std::size_t>(
          std::count_if(confirmed.begin(), confirmed.end(), [&](const std::pair<const std::string, std::string>& c) {
            return c.second == hex(now.digest);
          }));
      if (agreeing >= opt.clients) {
        writeSnapshot(opt.out, now);
        long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        std::cout << "peer " << opt.name << ": agreed on digest " << hex(now.digest) << " (" << now.crcs.size()
                  << " segments, bitmap " << hex(now.bitmap) << ") after " << ms << " ms" << std::endl;
        steps.report();
        return 0;
      }
      if (tick % 30 == 0) net.sendChat("digest " + hex(now.digest));
    } else {
      for (const auto& line : lines) {
        if (line.second.compare(0, 7, "digest ") != 0) continue;
        Snapshot now = snapshot(session);
        if (line.second != "digest " + hex(now.digest)) continue;
        writeSnapshot(opt.out, now);
        if (!matched) {
          long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
          std::cout << "peer " << opt.name << ": matched digest " << hex(now.digest) << " (" << now.crcs.size()
                    << " segments, bitmap " << hex(now.bitmap) << ") after " << ms << " ms" << std::endl;
        }
        matched = true;
        net.sendChat("converged " + hex(now.digest));
      }
    }
  }

  steps.report();
  if (opt.paintForever) return 0;
  std::cout << "peer " << opt.name << ": deadline passed without agreement" << std::endl;
  writeSnapshot(opt.out, snapshot(session));
  return 4;
}

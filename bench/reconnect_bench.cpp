// Reconnect benchmark: the host's picture across a crash, with the shipped
// programs on loopback.
//
// 1. Catch-up: a client joins a brelvin-host started from a 4000 x 4000
//    picture covered with random strokes; the host is killed and a new one
//    starts at once from the same picture with 5 % of its segments painted
//    over (as if the client had been away while they changed). Printed: the
//    bytes the host sent for the client's full join and for its catch-up
//    after the reconnect, and their ratio, at both pacings.
// 2. Crash: brelvin-host saves every S seconds while two brelvin_peer
//    clients paint; it is killed with SIGKILL and restarted at once with
//    --resume. Printed: how much painting time the last autosave before the
//    kill missed, and when each client was joined again after the new host
//    listened, without anything done on its side.
//
//   reconnect_bench [--host PATH] [--peer PATH] [--save-every S] [--skip-catch-up] [--skip-crash]

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "AllegWorker.h"
#include "HeadlessSession.h"
#include "KivClient.h"
#include "KivSettings.h"
#include "NetSystem.h"
#include "PictureSaver.h"
#include "WorldMap.h"
#include "../tools/RandomStrokes.h"

extern char** environ;

namespace {

typedef std::chrono::steady_clock Clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

unsigned short freePort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::address_v4::loopback(), 0});
  return a.local_endpoint().port();
}

// A program whose standard output comes back line by line, with the time
// each line arrived.
struct Process {
  pid_t pid = -1;
  int out = -1;
  std::string pending;
  std::vector<std::pair<double, std::string>> lines;
  Clock::time_point origin;

  Process(const std::vector<std::string>& args, Clock::time_point t0) : origin(t0) {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (std::string& a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out = fds[0];
    fcntl(out, F_SETFL, O_NONBLOCK);
  }
  ~Process() {
    stop(SIGKILL);
    if (out >= 0) close(out);
  }
  void read() {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(out, buf, sizeof buf)) > 0) pending.append(buf, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
      lines.emplace_back(secondsSince(origin), pending.substr(0, end));
  }
  // The arrival time of the last line containing text, -1 if none.
  double saw(const std::string& text, double before = 1e9) {
    read();
    double at = -1;
    for (const auto& l : lines)
      if (l.first < before && l.second.find(text) != std::string::npos) at = l.first;
    return at;
  }
  void stop(int signo) {
    if (pid <= 0) return;
    kill(pid, signo);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
};

// Polls done every 10 ms until it holds or the time is up.
bool waitFor(const std::function<bool()>& done, double seconds) {
  const Clock::time_point start = Clock::now();
  while (!done()) {
    if (secondsSince(start) > seconds) return false;
    usleep(10000);
  }
  return true;
}

// The two pictures in dir: before.png of random strokes over 4000 x 4000,
// and after.png with 5 % of its segments (80 of 1600) painted over inside.
void makePictures(const std::string& dir) {
  HeadlessSession session;
  session.net().setSessionPort(0);
  session.net().hostNewGame(4000, 4000, &session.map());
  paintRandomStrokes(session.map(), 16000, 1);
  PictureSaver::replace(WorldMap::getMapBuffer(), dir, "before");
  std::mt19937 rng(2);
  std::vector<int> blocks(1600);
  for (int i = 0; i < 1600; ++i) blocks[i] = i;
  std::shuffle(blocks.begin(), blocks.end(), rng);
  auto inside = [&](long origin) { return origin + 3 + static_cast<long>(rng() % 94); };
  for (int i = 0; i < 80; ++i) {
    const long x = (blocks[i] % 40) * 100, y = (blocks[i] / 40) * 100;
    for (int k = 0; k < 12; ++k)
      session.map().applyLineDrawing(inside(x), inside(y), inside(x), inside(y), static_cast<unsigned char>(rng() % 4),
                                     static_cast<unsigned char>(1 + rng() % 99));
  }
  PictureSaver::replace(WorldMap::getMapBuffer(), dir, "after");
  session.net().resetVariables();
  session.map().reset();
}

void catchUp(const std::string& hostPath, const std::string& bandwidth, const std::string& dir) {
  const std::string before = dir + "/before.png", after = dir + "/after.png";
  KivSettings::setSyncBandwidth(bandwidth);
  const unsigned short port = freePort();
  const Clock::time_point t0 = Clock::now();
  auto host = [&](const std::string& picture) {
    return new Process({hostPath, "--picture", picture, "--port", std::to_string(port), "--bandwidth", bandwidth,
                        "--save-every", "0", "--pictures", dir + "/unused"},
                       t0);
  };
  std::unique_ptr<Process> server(host(before));
  if (!waitFor([&] { return server->saw("hosting a") >= 0; }, 60)) {
    std::printf("the host did not start\n");
    return;
  }
  HeadlessSession client;
  NetSystem& net = client.net();
  net.setSessionPort(port);
  net.setHostIP("127.0.0.1");
  net.joinExistingGame(&client.map());
  auto complete = [&](double seconds) {
    const Clock::time_point start = Clock::now();
    while (secondsSince(start) < seconds) {
      client.waitForTick();
      if (!net.netOK()) return false;
      if (!net.isReconnecting() && net.clientReady() && net.joinProgress() < 0) return true;
    }
    return false;
  };
  const Clock::time_point joining = Clock::now();
  if (!complete(300)) {
    std::printf("the join did not complete: %s\n", net.getErrMsg().c_str());
    return;
  }
  const double joinSeconds = secondsSince(joining);
  const unsigned long long full = net.getClient()->getBytesReceived();
  server->stop(SIGKILL);
  server.reset(host(after));
  const Clock::time_point lost = Clock::now();
  if (!complete(300)) {
    std::printf("the catch-up did not complete: %s\n", net.getErrMsg().c_str());
    return;
  }
  const unsigned long long back = net.getClient()->getBytesReceived();
  std::printf("  %-9s full join %llu bytes in %.1f s; catch-up after the reconnect %llu bytes, %.1f s after the "
              "loss: %.1f %% of the full join (goal <= 10 %%)\n",
              bandwidth.c_str(), full, joinSeconds, back, secondsSince(lost), 100.0 * back / full);
  net.resetVariables();
  client.map().reset();
}

void crash(const std::string& hostPath, const std::string& peerPath, int saveEvery, const std::string& dir) {
  const unsigned short port = freePort();
  const std::string pictures = dir + "/crash";
  const Clock::time_point t0 = Clock::now();
  std::vector<std::string> hostArgs = {hostPath, "1600", "1600", "--port", std::to_string(port), "--save-every",
                                       std::to_string(saveEvery), "--pictures", pictures, "--session", "crash"};
  std::unique_ptr<Process> server(new Process(hostArgs, t0));
  if (!waitFor([&] { return server->saw("hosting a") >= 0; }, 60)) return;
  std::vector<std::unique_ptr<Process>> peers;
  for (int i = 0; i < 2; ++i)
    peers.emplace_back(new Process({peerPath, "--join", "127.0.0.1", "--port", std::to_string(port), "--name",
                                    "painter" + std::to_string(i), "--seed", std::to_string(10 + i),
                                    "--paint-forever", "--area", "0", "0", "1600", "1600", "--deadline-ms",
                                    "600000"},
                                   t0));
  for (auto& p : peers)
    if (!waitFor([&] { return p->saw("ready after") >= 0; }, 60)) return;
  // Painting for a few autosaves, then the kill in the middle of an interval.
  const double paintFrom = secondsSince(t0);
  // Lines are timed as they are read: read all the while.
  waitFor([&] {
    server->read();
    for (auto& p : peers) p->read();
    return false;
  }, 2.5 * saveEvery + 0.3);
  const double killed = secondsSince(t0);
  server->stop(SIGKILL);
  const double lastSave = server->saw("PictureSaver Saved the picture as", killed);
  hostArgs[1] = "--resume";
  hostArgs.erase(hostArgs.begin() + 2);
  server.reset(new Process(hostArgs, t0));
  waitFor([&] { return server->saw("hosting a") >= 0; }, 60);
  const double listening = server->saw("hosting a");
  std::printf("  painting from %.1f s, last autosave %.1f s, killed %.1f s: %.1f s of painting lost (autosave "
              "every %d s); the new host listened %.2f s after the kill\n",
              paintFrom, lastSave, killed, lastSave < 0 ? killed - paintFrom : killed - lastSave, saveEvery,
              listening - killed);
  for (auto& p : peers) {
    const bool back = waitFor([&] { return p->saw("reconnected") >= 0; }, 120);
    std::string name;
    for (const auto& l : p->lines)
      if (name.empty() && l.second.compare(0, 5, "peer ") == 0) name = l.second.substr(0, l.second.find(':'));
    if (back)
      std::printf("  %s joined again %.2f s after the new host listened\n", name.c_str(),
                  p->saw("reconnected") - listening);
    else
      std::printf("  %s was not joined again within 120 s\n", name.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string bin = argv[0];
  bin = bin.substr(0, bin.rfind('/') + 1) + "../";
  std::string hostPath = bin + "brelvin-host", peerPath = bin + "brelvin_peer";
  int saveEvery = 5;
  bool catchUps = true, crashes = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--host" && i + 1 < argc) hostPath = argv[++i];
    else if (a == "--peer" && i + 1 < argc) peerPath = argv[++i];
    else if (a == "--save-every" && i + 1 < argc) saveEvery = std::atoi(argv[++i]);
    else if (a == "--skip-catch-up") catchUps = false;
    else if (a == "--skip-crash") crashes = false;
  }
  char pattern[] = "/tmp/brelvin-reconnect-bench-XXXXXX";
  const std::string dir = mkdtemp(pattern) ? pattern : "/tmp";
  signal(SIGPIPE, SIG_IGN);
  AllegWorker::initHeadless();
  KivSettings::setFlushFrequency("15");
  if (catchUps) {
    makePictures(dir);
    std::printf("== Catch-up after a reconnect, 4000 x 4000, 5 %% of the segments changed meanwhile ==\n");
    for (const char* bandwidth : {KivSettings::LAN_SYNC_BANDWIDTH, "65535"}) catchUp(hostPath, bandwidth, dir);
  }
  if (crashes) {
    std::printf("== Host killed with SIGKILL while 2 clients paint, restarted at once with --resume ==\n");
    crash(hostPath, peerPath, saveEvery, dir);
  }
  std::system(("rm -rf '" + dir + "'").c_str());
  return 0;
}

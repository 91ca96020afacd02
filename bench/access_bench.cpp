// Access benchmark: what a session password costs a joining client, and
// what a password guesser costs the host. Real time throughout; the host is
// the headless host's own session (HeadlessSession) on this thread, every
// client a plain connection on a thread of its own.
//
//   access_bench [--rounds N] [--seconds S] [--rate R]
// The figures go to standard error; the sessions' own status lines to
// standard output.
//
// 1. Join time of a blank 1600 x 1600 canvas, open and with a password: from
//    the connect to the JOIN_ACK, and to a copy equal to the host's (median
//    and slowest of N (5) rounds each, a fresh client every round).
// 2. R (200) wrong proofs a second from 127.0.0.2 for S (30) seconds, while
//    a client at 127.0.0.1 that proved the password sends a CRC query every
//    100 ms: the replies' median, 99th percentile and slowest time, the
//    proofs made, and this process's resident memory every 5 seconds.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "AllegWorker.h"
#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "ExtensionWire.h"
#include "HeadlessSession.h"
#include "HostAccess.h"
#include "KivServer.h"
#include "KivSettings.h"
#include "SessionWire.h"
#include "SyncArray.h"
#include "SyncClient.h"
#include "SyncDataMap.h"
#include "SyncMessages.h"
#include "SyncNetwork.h"
#include "SyncServer.h"

using libkorvet::DBuffer;
using libkorvet::DEngine;
using Clock = std::chrono::steady_clock;

namespace {

const char* const PASSWORD = "correct horse";

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

long residentKB() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      long kb = 0;
      in >> kb;
      return kb;
    }
    in.ignore(1 << 20, '\n');
  }
  return -1;
}

std::string headerOf(const DBuffer& body) {
  std::string h;
  for (unsigned int i = 0; i < 4 && i < body.size(); ++i) h.push_back(static_cast<char>(body.getByte(i)));
  return h;
}

// A client as a Brelvin client talks: it announces itself, answers the
// challenge when there is one, joins with a sync client over the canvas's
// bytes and can time a CRC query.
class Guest : public libkorvet::DDispatcher {
 public:
  Guest(DEngine* e, unsigned short port) : DDispatcher(e, sessionwire::IO_BUFFER_BYTES), engine(e) {
    addHandler(sessionwire::SESSION_TYPE, [this](DBuffer& b) { session(b); });
    addHandler(extwire::EXTENSION_TYPE, [](DBuffer&) {});
    startConnect("127.0.0.1", port);
  }
  void errorHandler(std::string) override { closed = true; }

  void session(DBuffer& body) {
    if (!greeted) {
      greeted = true;
      DBuffer announce;
      announce.appendString(extwire::ANNOUNCE_HEADER);
      announce.appendVariable<unsigned char>(extwire::VERSION);
      announce.appendVariable<unsigned char>(5);
      announce.appendString("guest");
      sendMessage(sessionwire::SESSION_TYPE, announce);
      client.reset(new libksync::SyncClient(this, engine, sessionwire::SYNC_SUBTYPE, [](std::string) {}));
      client->setQueryBandwidth(128);
      client->setLinkRate(static_cast<unsigned int>(KivSettings::getEDCBandwidth()));
      client->setSegmentSize(30000, 3);
      bytes.reset(new libksync::SyncArray<unsigned char>(*client, 256u * 30000u));
      client->setQueryPeriod(500);
      client->initialize();
      return;
    }
    if (headerOf(body) == extwire::ANNOUNCE_HEADER && body.size() >= 6 + extwire::CHALLENGE_BYTES &&
        body.getByte(5) == extwire::HOST_PASSWORD) {
      std::string challenge;
      for (unsigned int i = 0; i < extwire::CHALLENGE_BYTES; ++i) challenge.push_back(static_cast<char>(body.getByte(6 + i)));
      DBuffer proof;
      proof.appendVariable<unsigned char>(extwire::PROOF);
      proof.appendString(HostAccess::proofFor(PASSWORD, challenge));
      sendMessage(extwire::EXTENSION_TYPE, proof);
    }
  }
  bool joined() const { return client && client->getState() == libksync::SyncClient::SYNCHRONIZING; }
  bool equals(const std::vector<unsigned int>& crcs) const {
    if (!joined()) return false;
    libksync::SyncDataMap* ours = client->retrieveDataMap();
    for (unsigned short s = 0; s < crcs.size(); ++s)
      if (ours->getCRC(s) != crcs[s]) return false;
    return true;
  }

  DEngine* engine;
  std::unique_ptr<libksync::SyncClient> client;
  std::unique_ptr<libksync::SyncArray<unsigned char>> bytes;
  bool greeted = false;
  bool closed = false;
};

// A plain connection that times CRC queries of matching segments (the
// replies carry no repair). Used once the guest above has joined: its own
// sync client would answer the replies too, so this one speaks for itself.
class Querier : public libkorvet::DDispatcher {
 public:
  Querier(DEngine* e, unsigned short port) : DDispatcher(e, sessionwire::IO_BUFFER_BYTES) {
    addHandler(sessionwire::SESSION_TYPE, [this](DBuffer& b) { session(b); });
    addHandler(extwire::EXTENSION_TYPE, [](DBuffer&) {});
    addHandler(libksync::SyncNetwork::SYNC_MESSAGE_TYPE, sessionwire::SYNC_SUBTYPE, [this](DBuffer& b) { sync(b); });
    startConnect("127.0.0.1", port);
  }
  void errorHandler(std::string) override { closed = true; }
  void session(DBuffer& body) {
    if (headerOf(body) == extwire::ANNOUNCE_HEADER && body.size() >= 6 + extwire::CHALLENGE_BYTES) {
      DBuffer announce;
      announce.appendString(extwire::ANNOUNCE_HEADER);
      announce.appendVariable<unsigned char>(extwire::VERSION);
      announce.appendVariable<unsigned char>(0);
      sendMessage(sessionwire::SESSION_TYPE, announce);
      std::string challenge;
      for (unsigned int i = 0; i < extwire::CHALLENGE_BYTES; ++i) challenge.push_back(static_cast<char>(body.getByte(6 + i)));
      DBuffer proof;
      proof.appendVariable<unsigned char>(extwire::PROOF);
      proof.appendString(HostAccess::proofFor(PASSWORD, challenge));
      sendMessage(extwire::EXTENSION_TYPE, proof);
      DBuffer join;
      libksync::SyncMessages::buildJoin(join);
      sendMessage(libksync::SyncNetwork::SYNC_MESSAGE_TYPE, sessionwire::SYNC_SUBTYPE, join);
    }
  }
  void sync(DBuffer& body) {
    if (body.size() == 0) return;
    if (body.getByte(0) == libksync::SyncMessages::JOIN_ACK) joined = true;
    if (body.getByte(0) == libksync::SyncMessages::CRC_REPLY && waiting) {
      waiting = false;
      times.push_back(msSince(sent));
    }
  }
  void query(const std::vector<unsigned int>& crcs) {
    DBuffer q;
    libksync::SyncMessages::buildCrcQuery(0, crcs, q);
    sent = Clock::now();
    waiting = true;
    sendMessage(libksync::SyncNetwork::SYNC_MESSAGE_TYPE, sessionwire::SYNC_SUBTYPE, q);
  }

  std::vector<double> times;
  Clock::time_point sent;
  bool waiting = false;
  bool joined = false;
  bool closed = false;
};

// Runs the host's loop until done holds or seconds passed.
template <class Done>
bool hostUntil(HeadlessSession& host, double seconds, Done done) {
  const Clock::time_point start = Clock::now();
  while (!done()) {
    if (msSince(start) > seconds * 1000) return false;
    host.waitForTick();
    host.takeLines();
  }
  return true;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
}

void joinTimes(int rounds, bool password) {
  HeadlessSession host;
  NetSystem& net = host.net();
  net.setSessionPort(0);
  net.setHostPassword(password ? PASSWORD : "");
  if (!net.hostNewGame(1600, 1600, &host.map())) {
    std::fprintf(stderr, "could not host: %s\n", net.getErrMsg().c_str());
    return;
  }
  const unsigned short port = net.getListenPort();
  libksync::SyncDataMap* data = net.getServer()->getSyncServer()->retrieveDataMap();
  std::vector<unsigned int> crcs;
  for (unsigned short s = 0; s < data->getNumSegments(); ++s) crcs.push_back(data->getCRC(s));
  std::vector<double> ack, whole;
  for (int r = 0; r < rounds; ++r) {
    std::atomic<bool> done(false);
    double toAck = -1, toWhole = -1;
    std::thread guestThread([&] {
      DEngine engine;
      const Clock::time_point start = Clock::now();
      Guest guest(&engine, port);
      while (msSince(start) < 60000 && !guest.closed) {
        engine.update(-1);
        if (toAck < 0 && guest.joined()) toAck = msSince(start);
        if (guest.equals(crcs)) {
          toWhole = msSince(start);
          break;
        }
      }
      done = true;
    });
    hostUntil(host, 90, [&] { return done.load(); });
    guestThread.join();
    ack.push_back(toAck);
    whole.push_back(toWhole);
    hostUntil(host, 5, [&] { return net.getServer()->numClients() == 0; });
  }
  std::fprintf(stderr, "join 1600x1600 blank, %s: JOIN_ACK after %.1f ms (median; slowest %.1f), whole copy after %.0f ms "
              "(median; slowest %.0f), %d rounds\n",
              password ? "password" : "open    ", percentile(ack, 0.5), percentile(ack, 1), percentile(whole, 0.5),
              percentile(whole, 1), rounds);
}

// Connects from 127.0.0.2, reads the greeting and challenge (or refusal),
// sends an announcement and a wrong proof, and closes.
bool guessOnce(unsigned short port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  const linger reset = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  sockaddr_in from = {}, to = {};
  from.sin_family = to.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  timeval wait = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
            connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  if (ok) {
    unsigned char in[256];
    std::size_t got = 0;
    // Greeting (17 bytes framed) and the announcement (at least 11).
    while (got < 28) {
      const ssize_t n = recv(fd, in + got, sizeof in - got, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    std::vector<unsigned char> out = {0xA6, 0x09, 0x39, 0x00, 0x05, 0x00, 'B', 'R', 'L', 'V', 1, 0};
    const unsigned char proof[] = {0xA6, 0x09, 0x39, 0x00, 32, extwire::EXTENSION_TYPE, extwire::PROOF};
    out.insert(out.end(), proof, proof + sizeof proof);
    out.insert(out.end(), 32, 0x5A);
    ok = send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size());
  }
  close(fd);
  return ok;
}

void guessing(double seconds, int rate) {
  HeadlessSession host;
  NetSystem& net = host.net();
  net.setSessionPort(0);
  net.setHostPassword(PASSWORD);
  if (!net.hostNewGame(1600, 1600, &host.map())) {
    std::fprintf(stderr, "could not host: %s\n", net.getErrMsg().c_str());
    return;
  }
  const unsigned short port = net.getListenPort();
  libksync::SyncDataMap* data = net.getServer()->getSyncServer()->retrieveDataMap();
  std::vector<unsigned int> crcs;
  for (unsigned short s = 0; s < 10; ++s) crcs.push_back(data->getCRC(s));

  std::atomic<bool> stop(false), joined(false);
  std::atomic<long> guesses(0), failed(0);
  std::vector<double> times;
  std::vector<std::pair<double, long>> memory;
  std::thread good([&] {
    DEngine engine;
    Querier querier(&engine, port);
    const Clock::time_point start = Clock::now();
    while (!querier.joined && !querier.closed && msSince(start) < 30000) engine.update(-1);
    joined = querier.joined;
    Clock::time_point last = Clock::now();
    while (!stop && !querier.closed) {
      engine.update(-1);
      if (!querier.waiting && msSince(last) >= 100) {
        last = Clock::now();
        querier.query(crcs);
      }
    }
    times = querier.times;
  });
  hostUntil(host, 30, [&] { return joined.load(); });
  std::thread guesser([&] {
    const Clock::time_point start = Clock::now();
    for (long k = 0; !stop; ++k) {
      // Paced by the clock: a slow answer does not lower the rate after.
      const double due = k * 1000.0 / rate;
      while (msSince(start) < due && !stop) std::this_thread::sleep_for(std::chrono::microseconds(200));
      if (guessOnce(port))
        ++guesses;
      else
        ++failed;
    }
  });
  const Clock::time_point start = Clock::now();
  memory.emplace_back(0, residentKB());
  hostUntil(host, seconds, [&] {
    const double t = msSince(start) / 1000;
    if (t >= 5.0 * memory.size()) memory.emplace_back(t, residentKB());
    return false;
  });
  stop = true;
  guesser.join();
  good.join();
  std::fprintf(stderr, "%ld wrong proofs in %.0f s (%.0f a second; %ld attempts failed), the good client's %zu queries "
              "answered in %.2f ms (median), %.2f ms (99th percentile), %.2f ms (slowest)\n",
              guesses.load(), seconds, guesses.load() / seconds, failed.load(), times.size(), percentile(times, 0.5),
              percentile(times, 0.99), percentile(times, 1));
  std::fprintf(stderr, "resident memory:");
  for (const auto& m : memory) std::fprintf(stderr, " %.0f s %ld KB,", m.first, m.second);
  std::fprintf(stderr, "\n");
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5, rate = 200;
  double seconds = 30;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--rounds") rounds = std::atoi(argv[i + 1]);
    if (a == "--seconds") seconds = std::atof(argv[i + 1]);
    if (a == "--rate") rate = std::atoi(argv[i + 1]);
  }
  AllegWorker::initHeadless();
  KivSettings::setFlushFrequency("15");
  KivSettings::setSyncBandwidth(KivSettings::LAN_SYNC_BANDWIDTH);
  joinTimes(rounds, false);
  joinTimes(rounds, true);
  guessing(seconds, rate);
  return 0;
}

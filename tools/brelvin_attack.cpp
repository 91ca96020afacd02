// brelvin_attack: hostile peers, and a well-behaved probe, against a session
// host. bench/hostile_bench.sh measures the host with it; a soak run can mix
// its attackers into a session. Attackers the host drops connect again at
// once, as a determined one would.
//
//   brelvin_attack [--address A] [--port P] [--seconds S] ATTACK...
//
//   --probe           one well-behaved client (the session client, its CRC
//                     queries once a second); reports how long the host took
//                     to answer them
//   --tiny N          N connections sending frames of 3-byte type-0 bodies
//   --random N        N connections sending random bytes
//   --chat-flood N    N connections sending 60 KB CHAT messages
//   --stalled N       N joined connections that query now and then but never read
//   --draw N          N connections sending the costliest DRAW there is:
//                     64 canvas-wide lines with brush 3
//   --squat N         N connections that never send a byte (--squat-reconnect:
//                     connect again when dropped)
//   --newcomer MS     after MS, a client tries to join every second; reports
//                     how long until the host admitted it and acknowledged its JOIN
//   --rotate S        one hostile peer that turns every S seconds to the next
//                     of: random bytes, tiny bodies, 60 KB CHAT, the costliest
//                     DRAW, a reader that stalls; reports how often the host
//                     dropped it in each
//   --joined-squat N  N connections that JOIN, then only JOIN again every 50 s
//                     (reading what they are sent)
//   --slow-reader N   N connections that JOIN, ask for a repair of everything
//                     and read it at 1 KB/s, JOINing again every 50 s
//   --pulse-draw N    N connections that empty their DRAW budget, then send
//                     10-byte DRAW bodies for 4.5 s, pause 1.1 s, and again
//   --terse-chat N    N connections sending compressed CHAT of 255 lines
//   --int-min N       N connections sending DRAW lines whose end points are
//                     the most negative 32-bit value, negated
//   --log-churn N     N connections that send 11 bad headers no one sent
//                     before, are dropped, and connect again at once
//   --deflate-churn N N link-paced connections that JOIN, ask for a repair of
//                     255 segments at a rotating place, and connect again
//                     once the reply is on its way
//   --from ADDRESS    the source address of the raw-socket attackers (squat,
//                     joined-squat, slow-reader), e.g. 127.0.0.2
//   --bandwidth B     the probe's sync bandwidth option (65535)
//   --settle S        after the attacks, the probe goes on up to S seconds
//                     until a whole pass of its queries matched (reports
//                     probe_settle_ms and the repairs it took)
//   --hostile-host K  instead of attacking a host, be one: listen on --port,
//                     greet and join whoever connects (a 1600 x 1600 canvas)
//                     and then flood it with K: draw (DRAW of 64 repeated
//                     20-byte brush-3 blocks, compressed), flush (FLSH of one
//                     record of 10,000 entries for the same speck), chat
//                     (CHAT of 255 lines in some 20 bytes) or repair (every
//                     CRC query answered with 255 segments of zeros); reports
//                     host_clients and host_messages (those sent)
//
// Everything runs for --seconds (10), as fast as the host takes it. Figures
// go to standard output as "name value" lines, among them when the host
// first dropped an attacker (attacker_first_drop_ms, -1: never). The probe also reports when
// its first pass over the canvas was complete (probe_complete_ms).

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "AllegWorker.h"
#include "ChatProtocol.h"
#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "DServer.h"
#include "DrawingProtocol.h"
#include "KivClient.h"
#include "KivServer.h"
#include "KivSettings.h"
#include "SyncClient.h"
#include "SyncDataMap.h"
#include "SyncMessages.h"
#include "SyncNetwork.h"
#include "SyncSettings.h"
#include "WorldMap.h"

// Last: its macros collide with the headers above.
#include <allegro.h>

using libkorvet::DBuffer;
using libkorvet::DDispatcher;
using libkorvet::DEngine;
using libksync::SyncMessages;

namespace {

typedef std::chrono::steady_clock Clock;

const unsigned char SYNC_TYPE = libksync::SyncNetwork::SYNC_MESSAGE_TYPE;
// Attackers keep this much queued: as fast as TCP takes it, no faster.
const int FLOOD_QUEUE_BYTES = 256 * 1024;

struct Options {
  std::string address = "127.0.0.1";
  unsigned short port = 5050;
  long seconds = 10;
  bool probe = false;
  int tiny = 0, random = 0, chat = 0, stalled = 0, draw = 0, squat = 0;
  bool squatReconnect = false;
  long newcomerAfterMs = -1;
  long rotateSeconds = 0;
  int joinedSquat = 0, slowReader = 0, pulseDraw = 0, terseChat = 0, intMin = 0, logChurn = 0, deflateChurn = 0;
  std::string from;
  std::string bandwidth = "65535";
  long settleSeconds = 0;
  std::string hostileHost;
};

[[noreturn]] void usage(const std::string& why) {
  std::cerr << "brelvin_attack: " << why << "\n"
            << "usage: brelvin_attack [--address A] [--port P] [--seconds S] [--probe] [--tiny N] [--random N]\n"
            << "       [--chat-flood N] [--stalled N] [--draw N] [--squat N [--squat-reconnect]] [--newcomer MS]\n"
            << "       [--rotate S] [--joined-squat N] [--slow-reader N] [--pulse-draw N] [--terse-chat N]\n"
            << "       [--int-min N] [--log-churn N] [--deflate-churn N] [--from ADDRESS] [--bandwidth B]\n"
            << "       [--settle S] [--hostile-host draw|flush|chat|repair]" << std::endl;
  std::exit(2);
}

long number(const std::string& text) {
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < 0) usage("not a number: " + text);
  return v;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) usage("missing value after " + a);
      return argv[++i];
    };
    if (a == "--address") o.address = next();
    else if (a == "--port") o.port = static_cast<unsigned short>(number(next()));
    else if (a == "--seconds") o.seconds = number(next());
    else if (a == "--probe") o.probe = true;
    else if (a == "--tiny") o.tiny = static_cast<int>(number(next()));
    else if (a == "--random") o.random = static_cast<int>(number(next()));
    else if (a == "--chat-flood") o.chat = static_cast<int>(number(next()));
    else if (a == "--stalled") o.stalled = static_cast<int>(number(next()));
    else if (a == "--draw") o.draw = static_cast<int>(number(next()));
    else if (a == "--squat") o.squat = static_cast<int>(number(next()));
    else if (a == "--squat-reconnect") o.squatReconnect = true;
    else if (a == "--newcomer") o.newcomerAfterMs = number(next());
    else if (a == "--rotate") o.rotateSeconds = number(next());
    else if (a == "--joined-squat") o.joinedSquat = static_cast<int>(number(next()));
    else if (a == "--slow-reader") o.slowReader = static_cast<int>(number(next()));
    else if (a == "--pulse-draw") o.pulseDraw = static_cast<int>(number(next()));
    else if (a == "--terse-chat") o.terseChat = static_cast<int>(number(next()));
    else if (a == "--int-min") o.intMin = static_cast<int>(number(next()));
    else if (a == "--log-churn") o.logChurn = static_cast<int>(number(next()));
    else if (a == "--deflate-churn") o.deflateChurn = static_cast<int>(number(next()));
    else if (a == "--from") o.from = next();
    else if (a == "--bandwidth") o.bandwidth = next();
    else if (a == "--settle") o.settleSeconds = number(next());
    else if (a == "--hostile-host") o.hostileHost = next();
    else usage("unknown option " + a);
  }
  return o;
}

long msSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// A frame as the dispatcher writes it, for connections that bypass one.
DBuffer frame(unsigned char type, bool withSubtype, const DBuffer& body) {
  DBuffer f;
  f.appendByte(DDispatcher::MARKER_1);
  f.appendByte(DDispatcher::MARKER_2);
  f.appendByte(DDispatcher::MARKER_3);
  f.appendVariable<unsigned short>(static_cast<unsigned short>(body.size() - 1));
  f.appendByte(type);
  if (withSubtype) f.appendVariable<unsigned short>(0);
  f.append(body);
  return f;
}

// ---------------------------------------------------------------------------
// Payloads

DBuffer tinyFrames() {
  DBuffer body;
  body.appendString("abc");
  DBuffer one = frame(0, false, body), all;
  for (int i = 0; i < 4000; ++i) all.append(one);
  return all;
}

DBuffer randomBytes(std::mt19937& rng) {
  DBuffer b;
  for (int i = 0; i < 65536; ++i) b.appendByte(static_cast<unsigned char>(rng()));
  return b;
}

// 117 lines of 255-byte names and texts: about 60 KB, each line its own.
DBuffer chatFlood(std::mt19937& rng) {
  DBuffer payload;
  const int lines = 117;
  payload.appendByte(lines);
  for (int i = 0; i < lines; ++i) {
    for (int field = 0; field < 2; ++field) {
      payload.appendByte(255);
      for (int k = 0; k < 255; ++k) payload.appendByte(static_cast<unsigned char>('a' + rng() % 26));
    }
  }
  DBuffer body;
  body.appendString("CHAT");
  body.appendByte(0);
  body.append(payload);
  return body;
}

// As many canvas-wide brush-3 lines as one message may hold.
DBuffer costliestDraw() {
  DBuffer payload;
  payload.appendByte(3);
  payload.appendByte(5);
  payload.appendByte(0);
  payload.appendByte(static_cast<unsigned char>(DrawingProtocol::MAX_LINES_PER_MESSAGE));
  for (unsigned int i = 0; i < DrawingProtocol::MAX_LINES_PER_MESSAGE; ++i) {
    int a = static_cast<int>(i % 2 == 0 ? 0 : 1599);
    payload.appendVariable<int>(a);
    payload.appendVariable<int>(0);
    payload.appendVariable<int>(1599 - a);
    payload.appendVariable<int>(1599);
  }
  DBuffer body;
  body.appendString("DRAW");
  DBuffer packed = payload.compress(9);
  body.appendByte(1);
  body.append(packed);
  return body;
}

// The smallest DRAW body that still names a block: refused undecoded once
// the sender's DRAW budget is spent.
DBuffer tenByteDraw() {
  DBuffer body;
  body.appendString("DRAW");
  for (int b : {0, 0, 5, 0, 1, 0}) body.appendByte(static_cast<unsigned char>(b));
  return body;
}

// 255 one-letter lines from a one-letter name, compressed: some twenty bytes.
DBuffer terseChat() {
  DBuffer payload;
  payload.appendByte(255);
  for (int i = 0; i < 255; ++i)
    for (int b : {1, int('a'), 1, int('b')}) payload.appendByte(static_cast<unsigned char>(b));
  DBuffer body;
  body.appendString("CHAT");
  body.appendByte(1);
  body.append(payload.compress(9));
  return body;
}

// 64 lines, each a dot somewhere on the canvas and then a line to the
// negated most negative 32-bit value, in a new colour each message.
DBuffer intMinDraw(std::mt19937& rng) {
  DBuffer payload;
  const int blocks = DrawingProtocol::MAX_LINES_PER_MESSAGE / 2;
  unsigned char colour = static_cast<unsigned char>(1 + rng() % 100);
  for (int i = 0; i < blocks; ++i) {
    int x = static_cast<int>(rng() % 1600), y = static_cast<int>(rng() % 1600);
    for (int b : {3, int(colour), 0, 2}) payload.appendByte(static_cast<unsigned char>(b));
    for (int v : {x, y, x, y, INT32_MIN, -y}) payload.appendVariable<int>(v);
  }
  DBuffer body;
  body.appendString("DRAW");
  body.appendByte(0);
  body.append(payload);
  return body;
}

// Host floods: 64 blocks of one canvas-wide brush-3 line each, the same 20
// bytes over and over (about 220,000 pixels to paint in some 40 bytes).
DBuffer repeatedBlocksDraw() {
  DBuffer payload;
  for (unsigned int i = 0; i < DrawingProtocol::MAX_LINES_PER_MESSAGE; ++i) {
    for (int b : {3, 5, 0, 1}) payload.appendByte(static_cast<unsigned char>(b));
    for (int v : {0, 0, 1599, 1599}) payload.appendVariable<int>(v);
  }
  DBuffer body;
  body.appendString("DRAW");
  body.appendByte(1);
  body.append(payload.compress(9));
  return body;
}

// One FLSH record naming speck 0 of segment 0 ten thousand times.
DBuffer speckFlush() {
  DBuffer payload;
  payload.appendVariable<unsigned short>(0);
  payload.appendVariable<unsigned short>(10000);
  for (int i = 0; i < 10000; ++i) {
    payload.appendVariable<unsigned short>(0);
    for (int b : {i & 0xFF, 7, 9}) payload.appendByte(static_cast<unsigned char>(b));
  }
  DBuffer body;
  body.appendByte(SyncMessages::FLSH);
  body.appendByte(SyncMessages::COMPRESSED);
  body.append(payload.compress(9));
  return body;
}

DBuffer joinFrame() {
  DBuffer join;
  SyncMessages::buildJoin(join);
  return frame(SYNC_TYPE, true, join);
}

// ---------------------------------------------------------------------------
// Every attacker is pumped once a loop and counts its connections and how
// often the host dropped it.

class Attacker {
 public:
  virtual ~Attacker() {}
  virtual void pump() = 0;
  int drops = 0;
  int connects = 0;
};

// ---------------------------------------------------------------------------
// Flooders: framed connections that keep their send queue full, and come
// back when dropped.

class FloodConnection : public DDispatcher {
 public:
  explicit FloodConnection(DEngine* e) : DDispatcher(e) {
    addHandler(0, [](DBuffer&) {});
    addHandler(SYNC_TYPE, 0, [](DBuffer&) {});
  }
  void connectHandler(std::string, libkorvet::NetworkCode code) override {
    if (code == libkorvet::connectOk)
      up = true;
    else
      over = true;
  }
  void errorHandler(std::string) override { over = true; }
  bool up = false;
  bool over = false;
};

class Flooder : public Attacker {
 public:
  // fill queues one more message, or says false to pause until the next pump.
  Flooder(DEngine* e, const Options& o, std::function<bool(FloodConnection&)> fill)
      : engine(e), opt(o), fill(fill) {}
  void pump() override {
    if (connection && connection->over) {
      connection.reset();
      ++drops;
    }
    if (!connection) {
      connection.reset(new FloodConnection(engine));
      connection->startConnect(opt.address, opt.port);
      ++connects;
      return;
    }
    while (connection->up && !connection->over && connection->unsentBytes() < FLOOD_QUEUE_BYTES && fill(*connection))
      continue;
  }

 private:
  DEngine* engine;
  const Options& opt;
  std::function<bool(FloodConnection&)> fill;
  std::unique_ptr<FloodConnection> connection;
};

// ---------------------------------------------------------------------------
// Connections that never read: plain sockets with a small receive buffer.

int openSocket(const Options& o, int receiveBuffer) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  if (!o.from.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, o.from.c_str(), &local.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(fd);
      return -1;
    }
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(o.port);
  inet_pton(AF_INET, o.address.c_str(), &to.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

void writeAll(int fd, const DBuffer& b) {
  std::vector<unsigned char> bytes(b.size());
  for (unsigned int i = 0; i < b.size(); ++i) bytes[i] = b.getByte(i);
  if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) return;  // a full buffer loses it: fine here
}

bool hungUp(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

// Reads nothing; opens again when dropped, if it is to come back.
class RawSocket : public Attacker {
 public:
  RawSocket(const Options& o, int receiveBuffer, bool comesBack)
      : opt(o), receiveBuffer(receiveBuffer), comesBack(comesBack) {}
  virtual ~RawSocket() {
    if (fd >= 0) close(fd);
  }
  void pump() override {
    if (fd >= 0 && hungUp(fd)) {
      close(fd);
      fd = -1;
      ++drops;
      gaveUp = !comesBack;
    }
    if (fd < 0 && !gaveUp) {
      fd = openSocket(opt, receiveBuffer);
      if (fd >= 0) {
        ++connects;
        opened();
      }
    }
    if (fd >= 0) tick();
  }

 protected:
  virtual void opened() {}
  virtual void tick() {}
  const Options& opt;
  int fd = -1;

 private:
  int receiveBuffer;
  bool comesBack;
  bool gaveUp = false;
};

// Joins, then sends a CRC query every few seconds so that it is never silent.
class StalledReader : public RawSocket {
 public:
  explicit StalledReader(const Options& o) : RawSocket(o, 4096, true) {}

 private:
  void opened() override {
    writeAll(fd, joinFrame());
    lastQuery = Clock::now();
  }
  void tick() override {
    if (msSince(lastQuery) < 5000) return;
    DBuffer query;
    SyncMessages::buildCrcQuery(0, std::vector<unsigned int>{0}, query);
    writeAll(fd, frame(SYNC_TYPE, true, query));
    lastQuery = Clock::now();
  }
  Clock::time_point lastQuery;
};

// Reads at most `bytesPerSecond` (0: everything) and throws it away.
long drain(int fd, long bytesPerSecond, Clock::time_point since, long& taken) {
  char sink[65536];
  long allowed = bytesPerSecond > 0 ? bytesPerSecond * msSince(since) / 1000 - taken : long(sizeof sink);
  long got = 0;
  while (allowed > 0) {
    ssize_t n = recv(fd, sink, std::min<long>(allowed, sizeof sink), 0);
    if (n <= 0) break;
    got += n;
    allowed -= n;
    if (bytesPerSecond == 0) allowed = sizeof sink;
  }
  taken += got;
  return got;
}

// JOINs, then only JOINs again every 50 s: cheap for it, alive to a host
// that counts any message. Reads what it is sent (at readRate, 0: all of
// it); with repair, asks once for everything to be repaired.
class JoinedSquatter : public RawSocket {
 public:
  JoinedSquatter(const Options& o, long readRate, bool repair)
      : RawSocket(o, readRate > 0 ? 4096 : 0, true), readRate(readRate), repair(repair) {}

 private:
  void opened() override {
    writeAll(fd, joinFrame());
    lastJoin = start = Clock::now();
    taken = 0;
    asked = false;
  }
  void tick() override {
    drain(fd, readRate, start, taken);
    if (repair && !asked && msSince(start) > 500) {
      // Wrong CRCs for the first segments: a reply of as many as the host names.
      DBuffer query;
      SyncMessages::buildCrcQuery(0, std::vector<unsigned int>(255, 1), query);
      writeAll(fd, frame(SYNC_TYPE, true, query));
      asked = true;
    }
    if (msSince(lastJoin) < 50000) return;
    writeAll(fd, joinFrame());
    lastJoin = Clock::now();
  }
  long readRate;
  bool repair;
  bool asked = false;
  long taken = 0;
  Clock::time_point start, lastJoin;
};

// Never sends a byte.
class Squatter : public RawSocket {
 public:
  explicit Squatter(const Options& o) : RawSocket(o, 0, o.squatReconnect) {}
};

// ---------------------------------------------------------------------------
// Floods with a rhythm, and connections that come and go on purpose.

// The costliest DRAW for a second, to empty the budget, then 10-byte DRAW
// bodies for 4.5 s, a pause of 1.1 s, and again: never refused for five
// seconds in a row.
class PulseDraw : public Attacker {
 public:
  PulseDraw(DEngine* e, const Options& o, const DBuffer& costly)
      : flooder(e, o, [this, costly](FloodConnection& c) {
          long phase = msSince(start) % 5600;
          if (phase >= 4500) return false;
          c.sendMessage(0, msSince(start) < 1000 ? costly : small);
          return true;
        }) {}
  void pump() override {
    flooder.pump();
    drops = flooder.drops;
    connects = flooder.connects;
  }

 private:
  Clock::time_point start = Clock::now();
  DBuffer small = tenByteDraw();
  Flooder flooder;
};

// Connects, sends 11 bad headers of its own, and once dropped, again.
class LogChurn : public Attacker {
 public:
  LogChurn(DEngine* e, const Options& o) : engine(e), opt(o) {}
  void pump() override {
    if (connection && connection->over) {
      connection.reset();
      ++drops;
    }
    if (!connection) {
      connection.reset(new FloodConnection(engine));
      connection->startConnect(opt.address, opt.port);
      ++connects;
      sent = false;
      return;
    }
    if (!connection->up || sent) return;
    for (int k = 0; k < 11; ++k) {
      char header[16];
      std::snprintf(header, sizeof header, "%04X!", static_cast<unsigned int>(++serial & 0xFFFF));
      DBuffer body;
      body.appendString(std::string(header, 4) + std::to_string(serial));
      connection->sendMessage(0, body);
    }
    sent = true;
  }

 private:
  DEngine* engine;
  const Options& opt;
  std::unique_ptr<FloodConnection> connection;
  unsigned int serial = 0x1000;
  bool sent = false;
};

// JOINs as a link-paced client, asks for 255 segments from a place that
// moves on each time (all its CRCs wrong), and connects again as soon as
// the reply comes: the host copies the segments for a series no one takes.
class DeflateChurn : public Attacker {
 public:
  DeflateChurn(DEngine* e, const Options& o, unsigned int start) : engine(e), opt(o), first(start) {}
  void pump() override {
    if (connection && (connection->over || replied)) {
      if (connection->over) ++drops;
      connection.reset();
    }
    if (!connection) {
      replied = false;
      connection.reset(new FloodConnection(engine));
      connection->addHandler(SYNC_TYPE, 0, [this](DBuffer& b) {
        if (b.size() == 0) return;
        if (b.getByte(0) == SyncMessages::JOIN_ACK && b.size() >= 7) {
          unsigned short segments = 0;
          b.extractVariable<unsigned short>(5, segments);
          if (segments == 0) return;
          first %= segments;
          DBuffer query;
          SyncMessages::buildCrcQuery(static_cast<unsigned short>(first),
                                      std::vector<unsigned int>(std::min<unsigned int>(512, segments), 1), query);
          first += libksync::SyncSettings::MAX_QUICK_SYNC;
          connection->sendMessage(SYNC_TYPE, 0, query);
        } else if (b.getByte(0) == SyncMessages::CRC_REPLY) {
          replied = true;
        }
      });
      connection->addHandler(0, [this](DBuffer&) {
        if (!greeted) connection->sendMessage(SYNC_TYPE, 0, joinBody());
        greeted = true;
      });
      greeted = false;
      connection->startConnect(opt.address, opt.port);
      ++connects;
    }
  }

 private:
  static DBuffer joinBody() {
    DBuffer join;
    SyncMessages::buildJoin(join);
    return join;
  }
  DEngine* engine;
  const Options& opt;
  std::unique_ptr<FloodConnection> connection;
  unsigned int first;
  bool replied = false;
  bool greeted = false;
};

// ---------------------------------------------------------------------------
// One peer, one attack at a time: each phase is a fresh attacker, and the one
// before goes (its connection closed by us, not a drop) when the next begins.

class Rotation : public Attacker {
 public:
  struct Phase {
    std::string name;
    std::function<std::unique_ptr<Attacker>()> make;
    int drops = 0;
    int connects = 0;
  };

  Rotation(long seconds, std::vector<Phase> phases) : periodMs(seconds * 1000), phases(std::move(phases)) {}

  void pump() override {
    std::size_t due = static_cast<std::size_t>(msSince(start) / periodMs) % phases.size();
    if (!current || due != index) {
      settle();
      index = due;
      current = phases[index].make();
      ++turns;
    }
    current->pump();
    drops = settledDrops + current->drops;
    connects = settledConnects + current->connects;
  }

  void report() {
    settle();
    std::cout << "rotate_turns " << turns << std::endl;
    for (const Phase& p : phases)
      std::cout << "rotate_" << p.name << "_connects " << p.connects << std::endl
                << "rotate_" << p.name << "_drops " << p.drops << std::endl;
  }

 private:
  void settle() {
    if (!current) return;
    phases[index].drops += current->drops;
    phases[index].connects += current->connects;
    settledDrops += current->drops;
    settledConnects += current->connects;
    current.reset();
  }

  const Clock::time_point start = Clock::now();
  long periodMs;
  std::vector<Phase> phases;
  std::size_t index = 0;
  std::unique_ptr<Attacker> current;
  int turns = 0;
  int settledDrops = 0;
  int settledConnects = 0;
};

// ---------------------------------------------------------------------------
// The newcomer: tries every second until greeted and its JOIN acknowledged.

class Newcomer : public DDispatcher {
 public:
  Newcomer(DEngine* e, bool* admitted) : DDispatcher(e), admitted(admitted) {
    addHandler(0, [this](DBuffer&) {
      if (!greeted) sendMessage(SYNC_TYPE, 0, joinBody());
      greeted = true;
    });
    addHandler(SYNC_TYPE, 0, [this](DBuffer& b) {
      if (b.size() > 0 && b.getByte(0) == SyncMessages::JOIN_ACK) *this->admitted = true;
    });
  }
  void errorHandler(std::string) override { over = true; }
  void connectHandler(std::string, libkorvet::NetworkCode code) override {
    if (code != libkorvet::connectOk) over = true;
  }
  static DBuffer joinBody() {
    DBuffer join;
    SyncMessages::buildJoin(join);
    return join;
  }
  bool over = false;

 private:
  bool* admitted;
  bool greeted = false;
};

// ---------------------------------------------------------------------------
// The probe: the session client itself, timing each CRC query to its reply.

// ---------------------------------------------------------------------------
// A hostile host: greets and joins each client as a host does, then floods.

class HostileLink : public DDispatcher {
 public:
  HostileLink(DEngine* e, Socket* socket, const std::string& kind, const DBuffer& flood, const DBuffer& series)
      : DDispatcher(e, socket, 65536), kind(kind), flood(flood), series(series) {
    addHandler(0, [](DBuffer&) {});
    addHandler(SYNC_TYPE, 0, [this](DBuffer& body) { syncMessage(body); });
    DBuffer greeting;
    KivServer::buildGreeting(1600, 1600, greeting);
    sendMessage(0, greeting);
  }
  void errorHandler(std::string) override { over = true; }
  void pump() {
    if (over || !joined || kind == "repair") return;
    while (unsentBytes() < FLOOD_QUEUE_BYTES) {
      if (kind == "flush")
        sendMessage(SYNC_TYPE, 0, flood);
      else
        sendMessage(0, flood);
      ++messages;
    }
  }
  bool over = false;
  bool joined = false;
  long messages = 0;

 private:
  void syncMessage(DBuffer& body) {
    if (body.size() == 0) return;
    if (body.getByte(0) == SyncMessages::JOIN && !joined) {
      const unsigned int bytes = 16 * 16 * 30000;
      DBuffer ack;
      SyncMessages::buildJoinAck({3, 30000, 256, bytes, bytes}, ack);
      sendMessage(SYNC_TYPE, 0, ack);
      joined = true;
    } else if (body.getByte(0) == SyncMessages::CRC_QUERY && kind == "repair") {
      std::vector<unsigned short> all;
      for (unsigned short s = 0; s < 255; ++s) all.push_back(s);
      DBuffer reply;
      SyncMessages::buildCrcReply(all, 0, SyncMessages::COMPRESSED, series.size(), reply);
      sendMessage(SYNC_TYPE, 0, reply);
      DBuffer chunk;
      SyncMessages::buildChunk(0, series, 0, series.size(), chunk);
      sendMessage(SYNC_TYPE, 0, chunk);
      messages += 2;
    }
  }
  std::string kind;
  const DBuffer& flood;
  const DBuffer& series;
};

class HostileHost : public libkorvet::DServer {
 public:
  HostileHost(DEngine* e, const Options& o) : DServer(e), engine(e), kind(o.hostileHost) {
    if (kind == "draw") flood = repeatedBlocksDraw();
    else if (kind == "flush") flood = speckFlush();
    else if (kind == "chat") flood = terseChat();
    else if (kind != "repair") usage("no such hostile host: " + kind);
    DBuffer zeros;
    for (int i = 0; i < 255 * 30000; ++i) zeros.appendByte(0);
    series = zeros.compress(9);
    std::cout << "host_flood_message_bytes " << (kind == "repair" ? series.size() : flood.size()) << std::endl;
    if (!bind(libkorvet::ipV4, o.port) || !startListening()) {
      std::cerr << "brelvin_attack: cannot listen on port " << o.port << std::endl;
      std::exit(2);
    }
  }
  void connectHandler(Socket* socket) override {
    links.emplace_back(new HostileLink(engine, socket, kind, flood, series));
    ++clients;
  }
  void errorHandler(std::string) override {}
  void pump() {
    for (auto& l : links) l->pump();
  }
  long messages() const {
    long n = 0;
    for (auto& l : links) n += l->messages;
    return n;
  }
  int clients = 0;

 private:
  DEngine* engine;
  std::string kind;
  DBuffer flood;
  DBuffer series;
  std::vector<std::unique_ptr<HostileLink>> links;
};

class Probe : public KivClient {
 public:
  Probe(DEngine* e, WorldMap* map, DrawingProtocol* d, ChatProtocol* c) : KivClient(e, map, d, c) {}

  void send(const DBuffer& data) override {
    // One frame per send while the send delay is on (the session's default).
    if (data.size() > 8 && data.getByte(5) == SYNC_TYPE && data.getByte(8) == SyncMessages::CRC_QUERY) {
      asked.push_back(Clock::now());
      askedCrcs.push_back((data.size() - 8 - SyncMessages::CRC_QUERY_HEADER) / SyncMessages::CRC_SIZE);
      ++queries;
    }
    KivClient::send(data);
  }
  bool admitMessage(unsigned char type, const DBuffer& body) override {
    if (type == SYNC_TYPE && body.size() > 1 && body.getByte(0) == SyncMessages::CRC_REPLY && !asked.empty()) {
      long ms = msSince(asked.front());
      asked.pop_front();
      ++answered;
      if (ms > worstMs) worstMs = ms;
      unsigned int mismatches = body.getByte(1);
      matchedRun = mismatches == 0 ? matchedRun + askedCrcs.front() : 0;
      repairs += mismatches;
      askedCrcs.pop_front();
    }
    return KivClient::admitMessage(type, body);
  }
  // A whole canvas's worth of CRCs matched in a row.
  bool settled() {
    return getSyncClient() && getJoined() && matchedRun >= getSyncClient()->retrieveDataMap()->getNumSegments();
  }
  // A query still waiting counts with its wait so far.
  long worst() const { return asked.empty() ? worstMs : std::max(worstMs, msSince(asked.front())); }

  std::deque<Clock::time_point> asked;
  std::deque<unsigned int> askedCrcs;
  unsigned int matchedRun = 0;
  unsigned long repairs = 0;
  long worstMs = 0;
  int queries = 0;
  int answered = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options opt = parse(argc, argv);
  AllegWorker::initHeadless();
  KivSettings::setFlushFrequency("15");
  DEngine engine;
  std::mt19937 rng(7);

  DBuffer tiny = tinyFrames();
  std::vector<DBuffer> noise;
  for (int i = 0; i < 4; ++i) noise.push_back(randomBytes(rng));
  std::vector<DBuffer> chats;
  for (int i = 0; i < 8; ++i) chats.push_back(chatFlood(rng));
  DBuffer draw = costliestDraw();
  std::cout << "draw_message_bytes " << draw.size() << std::endl;

  DBuffer terse = terseChat();
  std::vector<DBuffer> intMins;
  for (int i = 0; i < 16; ++i) intMins.push_back(intMinDraw(rng));
  if (!KivSettings::setSyncBandwidth(opt.bandwidth)) usage(KivSettings::getErrMsg());

  size_t round = 0;
  typedef std::function<bool(FloodConnection&)> Fill;
  auto sending = [](FloodConnection& c, const DBuffer& body) {
    c.sendMessage(0, body);
    return true;
  };
  Fill tinyFill = [&](FloodConnection& c) {
    c.send(tiny);
    return true;
  };
  Fill noiseFill = [&](FloodConnection& c) {
    c.send(noise[++round % noise.size()]);
    return true;
  };
  Fill chatFill = [&](FloodConnection& c) { return sending(c, chats[++round % chats.size()]); };
  Fill drawFill = [&](FloodConnection& c) { return sending(c, draw); };
  Fill terseFill = [&](FloodConnection& c) { return sending(c, terse); };
  Fill intMinFill = [&](FloodConnection& c) { return sending(c, intMins[++round % intMins.size()]); };
  auto flooder = [&](const Fill& fill) { return std::unique_ptr<Attacker>(new Flooder(&engine, opt, fill)); };

  std::vector<std::unique_ptr<Attacker>> attackers;
  for (int i = 0; i < opt.tiny; ++i) attackers.push_back(flooder(tinyFill));
  for (int i = 0; i < opt.random; ++i) attackers.push_back(flooder(noiseFill));
  for (int i = 0; i < opt.chat; ++i) attackers.push_back(flooder(chatFill));
  for (int i = 0; i < opt.draw; ++i) attackers.push_back(flooder(drawFill));
  for (int i = 0; i < opt.terseChat; ++i) attackers.push_back(flooder(terseFill));
  for (int i = 0; i < opt.intMin; ++i) attackers.push_back(flooder(intMinFill));
  for (int i = 0; i < opt.pulseDraw; ++i) attackers.emplace_back(new PulseDraw(&engine, opt, draw));
  for (int i = 0; i < opt.logChurn; ++i) attackers.emplace_back(new LogChurn(&engine, opt));
  for (int i = 0; i < opt.deflateChurn; ++i) attackers.emplace_back(new DeflateChurn(&engine, opt, 1000u * i));
  // Flooders keep the host's side full; the rest can rest between loops.
  const bool flooding = !attackers.empty();
  for (int i = 0; i < opt.stalled; ++i) attackers.emplace_back(new StalledReader(opt));
  for (int i = 0; i < opt.squat; ++i) attackers.emplace_back(new Squatter(opt));
  for (int i = 0; i < opt.joinedSquat; ++i) attackers.emplace_back(new JoinedSquatter(opt, 0, false));
  for (int i = 0; i < opt.slowReader; ++i) attackers.emplace_back(new JoinedSquatter(opt, 1024, true));
  Rotation* rotation = nullptr;
  if (opt.rotateSeconds > 0) {
    std::vector<Rotation::Phase> phases(5);
    phases[0].name = "random";
    phases[0].make = [&] { return flooder(noiseFill); };
    phases[1].name = "tiny";
    phases[1].make = [&] { return flooder(tinyFill); };
    phases[2].name = "chat_flood";
    phases[2].make = [&] { return flooder(chatFill); };
    phases[3].name = "draw";
    phases[3].make = [&] { return flooder(drawFill); };
    phases[4].name = "stalled";
    phases[4].make = [&] { return std::unique_ptr<Attacker>(new StalledReader(opt)); };
    rotation = new Rotation(opt.rotateSeconds, std::move(phases));
    attackers.emplace_back(rotation);
  }

  WorldMap map;
  DrawingProtocol drawing;
  ChatProtocol chat;
  std::unique_ptr<Probe> probe;
  if (opt.probe) {
    probe.reset(new Probe(&engine, &map, &drawing, &chat));
    probe->connectToHost(opt.address, opt.port);
  }
  bool probeSlowed = false;

  std::unique_ptr<Newcomer> newcomer;
  bool admitted = false;
  long admittedAfterMs = -1;
  Clock::time_point lastTry;

  if (!opt.hostileHost.empty()) {
    HostileHost host(&engine, opt);
    const Clock::time_point begin = Clock::now();
    while (msSince(begin) < opt.seconds * 1000) {
      host.pump();
      engine.update(100);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::cout << "host_clients " << host.clients << "\nhost_messages " << host.messages() << std::endl;
    return 0;
  }

  const Clock::time_point start = Clock::now();
  long completeMs = -1;
  auto step = [&] {
    if (probe && !probeSlowed && probe->getReady() && probe->getSyncClient()) {
      probe->getSyncClient()->setQueryPeriod(1000);
      probeSlowed = true;
    }
    if (probe && completeMs < 0 && probe->getJoinProgress() >= 1.0) completeMs = msSince(start);
    // Status lines pile up otherwise; the game drains them every tick.
    std::string owner, text;
    int color = 0;
    while (KivSettings::getChatMessage(owner, text, color)) continue;
    engine.update(100);
  };
  long firstDropMs = -1;
  while (msSince(start) < opt.seconds * 1000) {
    for (auto& a : attackers) {
      a->pump();
      if (firstDropMs < 0 && a->drops > 0) firstDropMs = msSince(start);
    }
    if (opt.newcomerAfterMs >= 0 && !admitted && msSince(start) >= opt.newcomerAfterMs) {
      if (newcomer && newcomer->over) newcomer.reset();
      if (!newcomer && (lastTry == Clock::time_point() || msSince(lastTry) >= 1000)) {
        lastTry = Clock::now();
        newcomer.reset(new Newcomer(&engine, &admitted));
        newcomer->startConnect(opt.address, opt.port);
      }
    }
    if (admitted && admittedAfterMs < 0) admittedAfterMs = msSince(start) - opt.newcomerAfterMs;
    step();
    if (!flooding) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  int drops = 0, connects = 0;
  for (auto& a : attackers) {
    drops += a->drops;
    connects += a->connects;
  }
  std::cout << "attacker_drops " << drops << std::endl << "attacker_connects " << connects << std::endl;
  std::cout << "attacker_first_drop_ms " << firstDropMs << std::endl;
  if (rotation) rotation->report();
  if (probe && opt.settleSeconds > 0) {
    // The attackers go; the probe goes on until its copy agrees again.
    attackers.clear();
    rotation = nullptr;
    unsigned long repairsBefore = probe->repairs;
    probe->matchedRun = 0;
    const Clock::time_point attackEnd = Clock::now();
    while (!probe->settled() && probe->getClientOK() && msSince(attackEnd) < opt.settleSeconds * 1000) {
      step();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::cout << "probe_settle_ms " << (probe->settled() ? msSince(attackEnd) : -1) << std::endl
              << "probe_repairs_after_attack " << probe->repairs - repairsBefore << std::endl;
  }
  if (probe) {
    std::cout << "probe_joined " << (probe->getJoined() ? 1 : 0) << std::endl
              << "probe_session_ok " << (probe->getClientOK() ? 1 : 0) << std::endl
              << "probe_queries " << probe->queries << std::endl
              << "probe_answered " << probe->answered << std::endl
              << "probe_worst_ms " << probe->worst() << std::endl
              << "probe_complete_ms " << completeMs << std::endl;
    if (!probe->getClientOK()) std::cout << "probe_error " << probe->getErrMsg() << std::endl;
  }
  if (opt.newcomerAfterMs >= 0) std::cout << "newcomer_wait_ms " << admittedAfterMs << std::endl;
  return 0;
}

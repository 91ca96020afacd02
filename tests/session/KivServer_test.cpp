// Session server over loopback: greeting bytes, routing and its status lines,
// eight clients admitted and the ninth refused, removal of a failed
// connection on the next tick, start-up failures, and hostile peers beside a
// client that synchronizes the whole canvas.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include <gtest/gtest.h>

#include "ChatProtocol.h"
#include "DrawingProtocol.h"
#include "FatalTest.h"
#include "KivServer.h"
#include "PeerBudget.h"
#include "ServerConnection.h"
#include "SessionTestNet.h"
#include "SyncEDCProtocol.h"
#include "SyncServer.h"
#include "WorldMap.h"

using namespace sessiontest;

namespace {

bool settingsReady = KivSettings::setFlushFrequency("15") && KivSettings::setSyncBandwidth("65535");

const Bytes GREETING_1600 = {0x4E, 0x54, 0x50, 0x54, 0x00, 0x00, 0x06, 0x40, 0x00, 0x00, 0x06, 0x40};

}  // namespace

TEST(KivServer, GreetsAndRoutesClientMessages) {
  ASSERT_TRUE(KivSettings::setSyncBandwidth("100000"));
  Host host;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(host.server.initialize(1600, 1600)) << host.server.getErrMsg();
  std::string out = testing::internal::GetCapturedStdout();
  // The option does not fit the sync server's 16 bits: the most it carries is used.
  EXPECT_NE(std::string::npos, out.find("Using EDC bandwidth 65535\n")) << out;
  EXPECT_NE(std::string::npos, out.find("Unused bytes: 0\n")) << out;
  drainChat();

  std::unique_ptr<RawPeer> peer = host.connect();
  EXPECT_EQ(std::vector<Bytes>{GREETING_1600}, peer->bodies);
  EXPECT_EQ(1u, host.server.numClients());
  EXPECT_EQ(1u, host.server.getSyncServer()->numClients());
  EXPECT_EQ("Client joined from 127.0.0.1", host.statusOf("NetSystem"));

  peer->sendMessage(0, text("abc"));
  EXPECT_EQ("runServer got a msg < four bytes long", host.statusOf("NetSystem"));
  peer->sendMessage(0, text("XYZW!"));
  EXPECT_EQ("messageHandler received unrecognized header XYZW", host.statusOf("KivServer"));
  // A malformed body is the protocol's to report (its texts are tested
  // there); the connection stays.
  peer->sendMessage(0, text("DRAW\x07zz"));
  EXPECT_EQ("parseDraw() got invalid compression byte", host.statusOf("DrawingProtocol"));
  EXPECT_EQ(1u, host.server.numClients());

  // A client's stroke lands on the host's canvas.
  KivSettings::setBrushSize(1);
  KivSettings::setFillType(5);
  DrawingProtocol sender;
  sender.addCoordinates(10, 10, 60, 10);
  DBuffer draw;
  for (int tick = 0; tick < 10 && !sender.prepareClientMessage(draw); ++tick) continue;
  peer->sendMessage(0, draw);
  BITMAP* canvas = WorldMap::getMapBuffer();
  EXPECT_TRUE(pump(host.engine, [&] { return getpixel(canvas, 35, 11) == makecol24(40, 80, 120); }));

  // A client's chat line is shown and relayed to every client, the sender
  // included; the host's own strokes go to everyone too.
  std::unique_ptr<RawPeer> second = host.connect();
  ChatProtocol chatter;
  chatter.addChat("bob", "hi", false);
  DBuffer chatBody;
  for (int tick = 0; tick < 30 && !chatter.prepareMessage(chatBody); ++tick) continue;
  peer->sendMessage(0, chatBody);
  host.drawing.addCoordinates(100, 100, 200, 100);
  EXPECT_TRUE(pump(host.engine, [&] {
    return peer->got("CHAT") && second->got("CHAT") && peer->got("DRAW") && second->got("DRAW");
  }));
  EXPECT_TRUE(hasLine(drainChat(), "bob", "hi", 4));
}

TEST(KivServer, AdmitsEightRefusesTheNinthAndRemovesFailuresOnTheNextTick) {
  ASSERT_TRUE(settingsReady);
  Host host;
  ASSERT_TRUE(host.server.initialize(1600, 1600));
  std::vector<std::unique_ptr<RawPeer>> peers;
  for (int i = 0; i < 8; ++i) peers.push_back(host.connect());
  drainChat();

  std::unique_ptr<RawPeer> ninth = host.connect(false);
  EXPECT_TRUE(ninth->bodies.empty());  // closed without a greeting
  EXPECT_EQ("Client tried to join from 127.0.0.1, but server is full.", host.statusOf("NetSystem"));
  EXPECT_EQ(8u, host.server.numClients());

  // With the clock standing still the sync server forgets the client at
  // once; the connection goes only when the session tick comes.
  testnet::ManualClock clock;
  peers[3].reset();
  EXPECT_EQ("127.0.0.1 left", host.statusOf("KivServer"));
  EXPECT_EQ(7u, host.server.getSyncServer()->numClients());
  EXPECT_EQ(8u, host.server.numClients());
  libkorvet::DTime::advanceManualClock(KivServer::TICK_INTERVAL_MS);
  host.engine.update(-1);
  EXPECT_EQ(7u, host.server.numClients());

  std::unique_ptr<RawPeer> late = host.connect();
  EXPECT_EQ(GREETING_1600, late->bodies[0]);
  for (auto& p : peers) EXPECT_TRUE(!p || !p->closed);
}

// A port in use is refused through the facade's test.
TEST(KivServer, StartFailures) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ASSERT_TRUE(settingsReady);
  Host started;
  ASSERT_TRUE(started.server.initialize(1600, 1600));
  EXPECT_FATAL(started.server.initialize(1600, 1600), "KivServer::initialize\\(\\): already called!");
  started.map.reset();

  Host tooSmall;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(tooSmall.server.initialize(1599, 1600));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("Unused bytes: "));
  EXPECT_EQ("Map size too small", tooSmall.server.getErrMsg());
  // The half-built server stops listening: nobody reaches a sync server that never started.
  EXPECT_EQ(0, tooSmall.server.getLocalPort());
}

TEST(KivServer, HostilePeersDoNotDisturbAClientThatSynchronizes) {
  ASSERT_TRUE(settingsReady);
  ASSERT_TRUE(KivSettings::setSyncBandwidth("65535"));
  Host host;
  ASSERT_TRUE(host.server.initialize(1600, 1600));
  libksync::SyncDataMap* hostMap = host.server.getSyncServer()->retrieveDataMap();
  host.map.applyLineDrawing(20, 20, 1500, 1400, 3, 5);
  testnet::ManualClock clock;

  SyncPeer good(&host.engine, host.port(), 256);
  ASSERT_TRUE(pump(host.engine, [&] { return good.connection->bodies.size() == 1; }));
  ASSERT_TRUE(good.join());
  std::unique_ptr<RawPeer> silent = host.connect();
  std::unique_ptr<RawPeer> garbage = host.connect();
  std::mt19937 rng(5);
  DBuffer noise;
  for (int i = 0; i < 5000; ++i) noise.appendByte(static_cast<unsigned char>(rng()));
  garbage->send(noise);

  // One leaves while a chunk series is on its way to it: the first blocks
  // hold noise, so their repair takes several chunks.
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 1000; ++x) host.map.drawRect(x, y, x, y, static_cast<int>(rng() % 256));
  SyncPeer leaver(&host.engine, host.port(), 256);
  ASSERT_TRUE(pump(host.engine, [&] { return leaver.connection->bodies.size() == 1; }));
  ASSERT_TRUE(leaver.join());
  ASSERT_TRUE(pumpPaced(host.engine, [&] {
    return leaver.client->getEDC()->getState() == libksync::SyncEDCProtocol::AWAITING_CHUNKS;
  }, 10000, 5));
  libkorvet::DTime::advanceManualClock(500);
  host.engine.update(-1);
  leaver.client.reset();
  leaver.connection.reset();

  std::vector<std::unique_ptr<RawPeer>> fillers;
  for (int i = 0; i < 4; ++i) fillers.push_back(host.connect());

  // Host and client paint on while the good client catches up; the host's
  // picture wins.
  host.map.applyLineDrawing(1500, 30, 30, 1500, 2, 5);
  for (unsigned int i = 0; i < 300; ++i) good.bytes->set(150000 + i * 97, 77);
  ASSERT_TRUE(pumpPaced(host.engine, [&] { return good.equals(hostMap); }, 60000, 5));
  for (unsigned int i = 0; i < good.bytes->size(); i += 997) ASSERT_EQ(hostMap->getByte(i), good.bytes->get(i)) << i;
  EXPECT_TRUE(good.errors.empty()) << good.errors.front();
  EXPECT_FALSE(good.connection->closed);
  // Those that never joined go at their deadline.
  EXPECT_TRUE(pumpPaced(host.engine, [&] {
    bool all = silent->closed && garbage->closed && host.server.numClients() == 1;
    for (auto& f : fillers) all = all && f->closed;
    return all;
  }, 20000, 5));
  EXPECT_FALSE(good.connection->closed);
  bool noiseReported = false, squattersDropped = false;
  for (const StatusLine& l : drainChat()) {
    noiseReported |= l.owner == "ServerConnection";
    squattersDropped |= l.text == "Dropped 127.0.0.1: no JOIN within 15 seconds";
  }
  EXPECT_TRUE(noiseReported && squattersDropped);
}

namespace {

// Status lines seen so far, kept across drains.
struct Seen {
  bool has(const std::string& text) {
    for (const StatusLine& l : drainChat()) lines.push_back(l);
    for (const StatusLine& l : lines)
      if (l.text == text && l.color == 80) return true;
    return false;
  }
  std::vector<StatusLine> lines;
};

// Lines of the CHAT messages a peer received.
unsigned int chatLinesIn(const RawPeer& peer) {
  unsigned int lines = 0;
  for (const Bytes& b : peer.bodies) {
    if (b.size() < 6 || std::string(b.begin(), b.begin() + 4) != "CHAT") continue;
    DBuffer payload = bufferOf(Bytes(b.begin() + 5, b.end()));
    if (b[4] == 1) payload = payload.decompress();
    lines += payload.getByte(0);
  }
  return lines;
}

DBuffer costliestDraw() {
  DBuffer payload = bufferOf({3, 5, 0, DrawingProtocol::MAX_LINES_PER_MESSAGE});
  for (unsigned int i = 0; i < DrawingProtocol::MAX_LINES_PER_MESSAGE; ++i)
    for (int v : {0, 0, 1599, 1599}) payload.appendVariable<int>(v);
  DBuffer body = text("DRAW");
  body.appendByte(1);
  body.append(payload.compress(9));
  return body;
}

}  // namespace

// Each flood drops only its sender, with its text, while a client that
// synchronizes keeps being answered and the status queue stays bounded.
TEST(KivServer, FloodsDropTheirSenderOnly) {
  ASSERT_TRUE(settingsReady);
  Host host;
  ASSERT_TRUE(host.server.initialize(1600, 1600));
  libksync::SyncDataMap* hostMap = host.server.getSyncServer()->retrieveDataMap();
  testnet::ManualClock clock;
  SyncPeer good(&host.engine, host.port(), 256);
  ASSERT_TRUE(pump(host.engine, [&] { return good.connection->bodies.size() == 1; }));
  ASSERT_TRUE(good.join());
  Seen seen;

  // Garbage: bodies too short for a header, frames of a type nobody handles.
  std::unique_ptr<RawPeer> tiny = host.connect(), untyped = host.connect();
  for (int i = 0; i < 50; ++i) tiny->sendMessage(0, text("abc"));
  for (int i = 0; i < 50; ++i) untyped->send(bufferOf({0xA6, 0x09, 0x39, 0x00, 0x00, 0x07}));
  ASSERT_TRUE(pump(host.engine, [&] { return tiny->closed && untyped->closed; }));
  EXPECT_TRUE(seen.has("Dropped 127.0.0.1: sent too much malformed data"));
  EXPECT_TRUE(seen.has("runServer got a msg < four bytes long"));

  // CHAT beyond its burst is neither shown nor relayed, line by line.
  std::unique_ptr<RawPeer> chatter = host.connect();
  DBuffer big = bufferOf({'C', 'H', 'A', 'T', 0, 70});
  for (int line = 0; line < 70; ++line) {
    big.append(bufferOf({3, 'e', 'v', 'e', 255}));
    for (int i = 0; i < 255; ++i) big.appendByte('x');
  }
  ASSERT_GT(big.size(), PeerBudget::CHAT_BYTES_BURST);
  for (int i = 0; i < 5; ++i) chatter->sendMessage(0, big);
  ASSERT_TRUE(pump(host.engine, [&] { return seen.has("Dropping excess CHAT from 127.0.0.1"); }));
  // Compressed, 255 short lines in a third of their bytes are as many lines.
  std::unique_ptr<RawPeer> terse = host.connect();
  DBuffer lines = bufferOf({255});
  for (int i = 0; i < 255; ++i) lines.append(bufferOf({1, 'z', 2, static_cast<unsigned char>('a' + i / 26), static_cast<unsigned char>('a' + i % 26)}));
  DBuffer terseBody = text("CHAT");
  terseBody.appendByte(1);
  terseBody.append(lines.compress(9));
  ASSERT_LT(terseBody.size(), lines.size() / 2);
  terse->sendMessage(0, terseBody);
  terse->sendMessage(0, terseBody);
  testnet::advance({&host.engine}, 100);
  seen.has("");
  unsigned int shown = 0;
  for (const StatusLine& l : seen.lines) shown += l.owner == "z" ? 1 : 0;
  EXPECT_GT(shown, 0u);
  EXPECT_LE(shown, PeerBudget::CHAT_LINES_BURST);

  // Connecting again and again with new malformed headers: what the address
  // may post is bounded across its connections.
  for (int i = 0; i < 12; ++i) {
    std::unique_ptr<RawPeer> noisy = host.connect();
    for (int k = 0; k < 11; ++k) noisy->sendMessage(0, text("H" + std::to_string(100 * i + k)));
    ASSERT_TRUE(pump(host.engine, [&] { return noisy->closed; }));
  }
  testnet::advance({&host.engine}, 100);
  seen.has("");
  unsigned int told = 0;
  bool heldBack = false;
  for (const StatusLine& l : seen.lines) {
    told += l.text.find("unrecognized header H") != std::string::npos ? 1 : 0;
    heldBack |= l.text.find(" status lines about 127.0.0.1") != std::string::npos;
  }
  EXPECT_LE(told, AddressBudget::LOG_LINES_BURST);
  EXPECT_TRUE(heldBack);

  // The costliest DRAW, sent on and on: the excess goes unpainted, and after
  // five seconds of it the sender goes.
  std::unique_ptr<RawPeer> painter = host.connect();
  DBuffer draw = costliestDraw();
  ASSERT_TRUE(pumpPaced(host.engine, [&] {
    if (!painter->closed && painter->unsentBytes() < 4096) painter->sendMessage(0, draw);
    return painter->closed;
  }, 20000, 5));
  EXPECT_TRUE(seen.has("Dropping excess DRAW from 127.0.0.1"));
  EXPECT_TRUE(seen.has("Dropped 127.0.0.1: over its DRAW budget for 5 seconds"));
  EXPECT_LE(seen.lines.size(), 2 * KivSettings::MAX_QUEUED_LINES);

  ASSERT_TRUE(pumpPaced(host.engine, [&] { return good.equals(hostMap); }, 60000, 5));
  EXPECT_FALSE(good.connection->closed);
  EXPECT_TRUE(good.errors.empty()) << good.errors.front();
  // What the two chatters' budgets let through, no more.
  EXPECT_LE(chatLinesIn(*good.connection), PeerBudget::CHAT_BYTES_BURST / (2 + 3 + 255) + PeerBudget::CHAT_LINES_BURST);
}

namespace {

// A raw connection to the host from a loopback address of its own.
int connectFrom(const char* from, unsigned short port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from, &local.sin_addr);
  EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to));
  return fd;
}

}  // namespace

// Connections that never join go at their deadline, and a joined one that
// only repeats its JOIN goes as idle; a full host keeps them until a
// newcomer wants a place, so that the place goes to the newcomer and not to
// whoever reconnects first. A newcomer to a full host gets the place of an
// address holding more than its share, never that of a slow joiner still
// within its deadline.
TEST(KivServer, SquattersGoAndANewcomerGetsIn) {
  ASSERT_TRUE(settingsReady);
  Host host;
  ASSERT_TRUE(host.server.initialize(1600, 1600));
  testnet::ManualClock clock;
  SyncPeer good(&host.engine, host.port(), 256);
  ASSERT_TRUE(pump(host.engine, [&] { return good.connection->bodies.size() == 1; }));
  ASSERT_TRUE(good.join());
  std::unique_ptr<RawPeer> idle = host.connect();
  idle->sendMessage(128, 0, bufferOf({0}));
  std::vector<int> crowd;
  for (int i = 0; i < 3; ++i) crowd.push_back(connectFrom("127.0.0.2", host.port()));
  ASSERT_TRUE(pump(host.engine, [&] { return host.server.numClients() == 5; }));
  testnet::advance({&host.engine}, 1000);  // the crowd's deadline comes first
  std::vector<std::unique_ptr<RawPeer>> squatters;
  for (int i = 0; i < 3; ++i) squatters.push_back(host.connect());
  ASSERT_TRUE(pump(host.engine, [&] { return host.server.numClients() == 8; }));
  Seen seen;

  testnet::advance({&host.engine}, 6000);
  std::unique_ptr<RawPeer> newcomer = host.connect();
  EXPECT_EQ(1u, newcomer->bodies.size());
  EXPECT_TRUE(seen.has("Dropped 127.0.0.2: more than 2 connections from one address; its place went to a newcomer"));
  newcomer->sendMessage(128, 0, bufferOf({0}));
  EXPECT_TRUE(host.connect(false)->bodies.empty());  // the squatters' deadline is still to come

  idle->sendMessage(128, 0, bufferOf({0}));
  auto closedSquatters = [&] {
    unsigned int closed = 0;
    for (auto& s : squatters) closed += s->closed;
    return closed;
  };
  testnet::advance({&host.engine}, PeerBudget::JOIN_DEADLINE_MS);
  EXPECT_TRUE(seen.has("Got a second JOIN from 127.0.0.1"));
  EXPECT_FALSE(seen.has("Dropped 127.0.0.2: no JOIN within 15 seconds"));
  // The one that overstayed longest makes room.
  std::unique_ptr<RawPeer> second = host.connect();
  EXPECT_EQ(1u, second->bodies.size());
  EXPECT_TRUE(seen.has("Dropped 127.0.0.2: no JOIN within 15 seconds"));
  EXPECT_EQ(0u, closedSquatters());
  // With a place free, the others go at once.
  second.reset();
  ASSERT_TRUE(pumpPaced(host.engine, [&] { return closedSquatters() == 3; }, 20000, 5));
  EXPECT_TRUE(seen.has("Dropped 127.0.0.1: no JOIN within 15 seconds"));
  ASSERT_TRUE(pumpPaced(host.engine, [&] { return idle->closed; }, 30000, 10));
  EXPECT_TRUE(seen.has("Dropped 127.0.0.1: idle"));
  EXPECT_FALSE(good.connection->closed);  // it queries every 500 ms
  EXPECT_TRUE(good.errors.empty()) << good.errors.front();
  testnet::advance({&host.engine}, 2 * KivServer::TICK_INTERVAL_MS);
  EXPECT_EQ(2u, host.server.numClients());  // good and the newcomer, which joined later
  for (int fd : crowd) close(fd);
}

// A client that stops reading misses chat (counted) instead of piling it up
// on the host; the others get every line.
TEST(KivServer, AClientThatStopsReadingMissesChatInsteadOfPilingItUp) {
  ASSERT_TRUE(settingsReady);
  Host host;
  ASSERT_TRUE(host.server.initialize(1600, 1600));
  testnet::ManualClock clock;
  std::unique_ptr<RawPeer> reader = host.connect();
  int stalled = socket(AF_INET, SOCK_STREAM, 0);
  int small = 2048;
  setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(host.port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, connect(stalled, reinterpret_cast<sockaddr*>(&to), sizeof to));
  const unsigned char join[] = {0xA6, 0x09, 0x39, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00};
  ASSERT_EQ(9, write(stalled, join, sizeof join));
  reader->sendMessage(128, 0, bufferOf({0}));
  ASSERT_TRUE(pump(host.engine, [&] { return host.server.numClients() == 2; }));
  Seen seen;

  // Lines that do not compress, a full message every half second: more than
  // the system's buffers take in.
  std::mt19937 rng(3);
  int mostUnsent = 0;
  const int rounds = 100, perRound = 249;
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < perRound; ++i) {
      std::string line(255, ' ');
      for (char& c : line) c = static_cast<char>('a' + rng() % 26);
      host.chat.addChat("host", line, false);
    }
    testnet::advance({&host.engine}, 500);
    for (ServerConnection* c : host.server.getClients()) mostUnsent = std::max(mostUnsent, c->unsentBytes());
  }
  EXPECT_LE(mostUnsent, PeerBudget::CONGESTED_UNSENT_BYTES + 65536);
  ASSERT_TRUE(testnet::pump({&host.engine}, [&] { return chatLinesIn(*reader) == rounds * perRound; }, 10000, 1));

  // Reading again, it gets chat again and the count of what it missed.
  std::vector<char> sink(65536);
  fcntl(stalled, F_SETFL, O_NONBLOCK);
  host.chat.addChat("host", "back?", false);
  ASSERT_TRUE(pump(host.engine, [&] {
    while (recv(stalled, sink.data(), sink.size(), 0) > 0) continue;
    libkorvet::DTime::advanceManualClock(1);
    for (const StatusLine& l : drainChat()) seen.lines.push_back(l);
    for (const StatusLine& l : seen.lines)
      if (l.text.find(" chat lines to 127.0.0.1 while it was not reading") != std::string::npos) return true;
    return false;
  }));
  close(stalled);
}

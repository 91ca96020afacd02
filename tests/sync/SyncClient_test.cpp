// The sync client and its error correction, driven over loopback by a raw
// host peer that answers with hand-made bodies (and, for the size check at
// join, by a real server). Time-outs run on the manual clock.

#include <memory>

#include <gtest/gtest.h>

#include "FatalTest.h"
#include "SyncArray.h"
#include "SyncClient.h"
#include "SyncDataMap.h"
#include "SyncEDCProtocol.h"
#include "SyncServer.h"
#include "SyncTestNet.h"

using namespace synctest;
using libksync::SyncArray;
using libksync::SyncClient;
using libksync::SyncEDCProtocol;

namespace {

const unsigned short SEG = 1200;
const unsigned int SEGMENTS = 20;

DBuffer joinAck(unsigned short speck, unsigned short seg, unsigned short num, unsigned int numBytes,
                unsigned int used) {
  DBuffer b = bytes({1});
  b.appendVariable<unsigned short>(speck);
  b.appendVariable<unsigned short>(seg);
  b.appendVariable<unsigned short>(num);
  b.appendVariable<unsigned int>(numBytes);
  b.appendVariable<unsigned int>(used);
  return b;
}

const DBuffer GOOD_ACK = joinAck(3, SEG, SEGMENTS, SEG * SEGMENTS, SEG * SEGMENTS);

// One client connection with a raw host at the other end; clients are made
// (and replaced) on it on demand.
struct Guest {
  Guest() : listener(&engine) {
    conn = connectTo(engine, listener);
    host.reset(new RawPeer(listener.accepted.back().get()));
  }

  void newClient(unsigned int numBytes = SEG * SEGMENTS, unsigned int linkRate = 0) {
    client.reset();
    client.reset(new SyncClient(conn.get(), &engine, 0, errors.callback()));
    EXPECT_TRUE(client->setSegmentSize(SEG, 3));
    client->setQueryBandwidth(128);
    client->setLinkRate(linkRate);
    SyncArray<unsigned char> data(*client, numBytes);
    size_t joins = host->ofKind(0).size();
    EXPECT_TRUE(client->initialize());
    EXPECT_TRUE(pump({&engine}, [&] { return host->ofKind(0).size() == joins + 1; }));
  }
  void joined(unsigned int linkRate = 0) {
    newClient(SEG * SEGMENTS, linkRate);
    host->send(GOOD_ACK);
    ASSERT_TRUE(pump({&engine}, [&] { return client->getState() == SyncClient::SYNCHRONIZING; }));
  }
  bool waitFor(const std::string& text, int times = 1) {
    return pump({&engine}, [&] { return errors.count(text) >= times; });
  }
  // Sends a body and waits for the error it must cause.
  void expectError(const DBuffer& body, const std::string& text) {
    int before = errors.count(text);
    host->send(body);
    EXPECT_TRUE(waitFor(text, before + 1)) << text;
  }
  // Moves the manual clock until the client's next query arrives.
  DBuffer nextQuery() {
    size_t before = host->ofKind(3).size();
    EXPECT_TRUE(pump({&engine}, [&] { return host->ofKind(3).size() > before; }, 10000, 5));
    return host->ofKind(3).back();
  }
  unsigned int crc(unsigned int segment) {
    return client->retrieveDataMap()->getCRC(static_cast<unsigned short>(segment));
  }

  ManualClock clock;
  DEngine engine;
  Errors errors;
  Listener listener;
  std::unique_ptr<DDispatcher> conn;
  std::unique_ptr<RawPeer> host;
  std::unique_ptr<SyncClient> client;
};

DBuffer reply(std::vector<unsigned short> list, unsigned short next, unsigned char compression, unsigned int size) {
  DBuffer b = bytes({4, static_cast<int>(list.size())});
  if (list.empty()) b.appendVariable<unsigned short>(next);
  for (unsigned short s : list) b.appendVariable<unsigned short>(s);
  b.appendVariable<unsigned char>(compression);
  b.appendVariable<unsigned int>(size);
  return b;
}

DBuffer chunk(unsigned char number, const DBuffer& data, unsigned int from, unsigned int length) {
  DBuffer b = bytes({5, number});
  b.append(data, from, length);
  return b;
}

DBuffer randomBytes(unsigned int n) {
  DBuffer b;
  for (unsigned int i = 0; i < n; ++i) b.appendByte(static_cast<unsigned char>(std::rand()));
  return b;
}

}  // namespace

TEST(SyncClient, SettersJoinRulesAndHandshakeTimeout) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Guest g;
  SyncClient c(g.conn.get(), &g.engine, 0, g.errors.callback());
  EXPECT_TRUE(c.initialize());
  EXPECT_FALSE(c.setSegmentSize(SEG, 3));
  EXPECT_EQ("setSegmentSize must be called before joinServer.", c.getErrMsg());
  EXPECT_FATAL(c.initialize(), "SyncClient::initialize\\(\\): was already called");

  advance({&g.engine}, 29990);
  EXPECT_EQ(SyncClient::JOINING, c.getState());
  EXPECT_TRUE(g.errors.texts.empty());
  advance({&g.engine}, 20);
  EXPECT_EQ(SyncClient::ERROR, c.getState());
  EXPECT_EQ((std::vector<std::string>{"No handshake response from the server"}), g.errors.texts);
}

TEST(SyncClient, MalformedJoinAckIsFinal) {
  Guest g;
  const std::vector<std::pair<DBuffer, std::string>> bad = {
      {bytes({1, 0, 3, 4, 176, 0, 20, 0, 0, 93, 192, 0, 0, 93}), "SyncClient note: orphaned 14 bytes."},
      {bytes({2, 0, 3, 4, 176, 0, 20, 0, 0, 93, 192, 0, 0, 93, 192}), "SyncClient note: orphaned message type 2"},
      {joinAck(4, SEG, SEGMENTS, SEG * SEGMENTS, SEG * SEGMENTS), "Server is using a speck size of 4, ours is 3"},
      {joinAck(3, SEG, SEGMENTS, 24000, 24001), "Server's number of used bytes exceeds the map size."},
  };
  for (const auto& b : bad) {
    g.errors.texts.clear();
    g.newClient();
    g.expectError(b.first, b.second);
    EXPECT_EQ((std::vector<std::string>{b.second, "Received a malformed Join acknowledgement"}), g.errors.texts);
    EXPECT_EQ(SyncClient::ERROR, g.client->getState());
  }
  // ERROR is final: even a good JOIN_ACK is refused, and the handshake timer
  // that kept running reports once more.
  g.expectError(GOOD_ACK, "Received a message from the server, but hit an unrecoverable error");
  advance({&g.engine}, 30010);
  EXPECT_TRUE(g.errors.has("timeElapsed(): encountered an error"));
}

TEST(SyncClient, MapSizeMismatchAgainstARealServer) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  {
    Guest g;
    Errors serverErrors;
    libksync::SyncServer server(&g.engine, 0, serverErrors.callback());
    server.setSegmentSize(SEG, 3);
    SyncArray<unsigned char> data(server, SEG * SEGMENTS);
    server.initialize();
    std::unique_ptr<DDispatcher> conn = connectTo(g.engine, g.listener);
    // The raw host of the fixture stays on its own connection; this one is served.
    server.addClient(g.listener.accepted.back().get());
    SyncClient c(conn.get(), &g.engine, 0, g.errors.callback());
    c.setSegmentSize(SEG, 3);
    SyncArray<unsigned char> mine(c, SEG * SEGMENTS - 1);
    c.initialize();
    EXPECT_TRUE(g.waitFor("Our data map is 1 bytes smaller than the server's!"));
    EXPECT_EQ(SyncClient::ERROR, c.getState());
    EXPECT_TRUE(serverErrors.texts.empty());
  }
  Guest g;
  g.joined();
  EXPECT_FATAL(g.client->getSyncIndex(1), "Tried to allocate SyncData, but data map already created.");
}

TEST(SyncClient, FlushValidationAndApplication) {
  Guest g;
  g.joined();
  libksync::SyncDataMap* map = g.client->retrieveDataMap();
  const std::vector<std::pair<DBuffer, std::string>> bad = {
      {bytes({2}), "Got a FLSH with no compression byte"},
      {bytes({2, 2, 0, 1, 0, 1, 0, 0, 1, 2, 3}), "Invalid compression byte in FLSH"},
      {bytes({2, 0, 0, 20, 0, 1, 0, 0, 1, 2, 3}), "Got a FLSH with an invalid segment index"},
      {bytes({2, 0, 0, 1, 1, 145, 0, 0, 1, 2, 3}), "Got a FLSH with an invalid number of specks"},
      {bytes({2, 0, 0, 1, 0, 1, 1, 144, 1, 2, 3}), "Got a flush with an invalid speck index"},
      {bytes({2, 0, 0, 1, 0, 1, 0, 5, 9, 9}), "Got a FLSH with missing speck bytes"},
      {bytes({9}), "Got an invalid message type 9"},
  };
  for (const auto& b : bad) g.expectError(b.first, b.second);

  // Two good records, then a bad one: the first two stay applied.
  DBuffer records = bytes({0, 0, 0, 1, 0, 2, 7, 8, 9, 0, 3, 0, 2, 0, 0, 1, 2, 3, 1, 143, 4, 5, 6});
  DBuffer flsh = bytes({2, 0});
  flsh.append(records);
  flsh.append(bytes({0, 20, 0, 1, 0, 0, 1, 1, 1}));
  g.expectError(flsh, "Got a FLSH with an invalid segment index");
  EXPECT_EQ((std::vector<unsigned int>{7, 8, 9}),
            (std::vector<unsigned int>{map->getByte(6), map->getByte(7), map->getByte(8)}));
  EXPECT_EQ(6u, map->getByte(3 * SEG + 1199));
  EXPECT_EQ(0u, map->getByte(20 * SEG - 1));
  // A compressed FLSH, and flushed specks are fresh until their next repair.
  DBuffer packed = bytes({0, 5, 0, 1, 0, 0, 42, 43, 44});
  DBuffer compressed = bytes({2, 1});
  compressed.append(packed.compress(9));
  g.host->send(compressed);
  ASSERT_TRUE(pump({&g.engine}, [&] { return map->getByte(5 * SEG) == 42; }));
  EXPECT_TRUE(map->isFresh(5 * SEG / 3));
  EXPECT_EQ(bad.size() + 1, g.errors.texts.size());
}

TEST(SyncEDCProtocol, QueriesAndReplyValidation) {
  Guest g;
  g.joined();
  // 128 bytes per second at 500 ms: 61 bytes, 15 CRCs, twice a second.
  g.client->setQueryBandwidth(6);
  advance({&g.engine}, 1500);
  EXPECT_EQ(1, g.errors.count("EDC query has a send limit too small to send any data"));
  EXPECT_EQ(1, g.errors.count("Disabling EDC mechanism."));
  EXPECT_TRUE(g.host->ofKind(3).empty());
  g.client->setQueryBandwidth(128);
  DBuffer q = g.nextQuery();
  ASSERT_EQ(63u, q.size());
  EXPECT_EQ(0u, u16(q, 1));
  for (unsigned int i = 0; i < 15; ++i) EXPECT_EQ(g.crc(i), u32(q, 3 + 4 * i));

  const std::vector<std::pair<DBuffer, std::string>> bad = {
      {bytes({4, 21}), "The server claims that there are more mismatches than segments."},
      {reply({1, 20}, 0, 0, 2400), "The server sent an out-of-bounds index for a mismatched segment"},
      {reply({}, 20, 0, 0), "Received an out-of-bounds index for the next segment to query"},
      {bytes({4, 1, 0, 3, 0, 0, 0, 0}), "Received a CRC reply with an invalid length"},
      {reply({}, 3, 2, 0), "Server sent an invalid compression byte in its CRC reply."},
      {reply({2}, 0, 1, SEG + 1), "Server sent an invalid chunk series size."},
  };
  for (const auto& b : bad) {
    g.expectError(b.first, b.second);
    EXPECT_EQ(SyncEDCProtocol::IDLE, g.client->getEDC()->getState());
    // A broken cycle starts again where it was.
    EXPECT_EQ(0u, u16(g.nextQuery(), 1));
  }
  // m = 0 names where the next query starts; from 10, 15 CRCs wrap to 4.
  g.host->send(reply({}, 10, 0, 0));
  q = g.nextQuery();
  EXPECT_EQ(10u, u16(q, 1));
  EXPECT_EQ(g.crc(19), u32(q, 3 + 4 * 9));
  EXPECT_EQ(g.crc(0), u32(q, 3 + 4 * 10));
  // No reply for 30 s.
  advance({&g.engine}, 30010);
  EXPECT_TRUE(g.errors.has("Didn't receive an EDC reply from the server."));
}

TEST(SyncEDCProtocol, ChunkSeriesRepairAndFaults) {
  Guest g;
  g.joined();
  libksync::SyncDataMap* map = g.client->retrieveDataMap();
  auto segment = [&](unsigned short s) {
    DBuffer b;
    map->extractInfo(s, b);
    return all(b);
  };
  g.nextQuery();

  // Segments 2 and 7, raw, with a last chunk of one byte; the next query
  // starts after 7. A chunk before its data byte changes nothing.
  DBuffer series = randomBytes(2 * SEG);
  g.host->send(reply({2, 7}, 0, 0, 2 * SEG));
  g.expectError(bytes({5, 0}), "Got a chunk portion too small to contain any data");
  g.host->send(chunk(0, series, 0, 1300));
  g.host->send(chunk(1, series, 1300, 2 * SEG - 1301));
  ASSERT_TRUE(pump({&g.engine}, [&] { return g.client->getEDC()->getState() == SyncEDCProtocol::AWAITING_CHUNKS; }));
  g.host->send(chunk(2, series, 2 * SEG - 1, 1));
  ASSERT_TRUE(pump({&g.engine}, [&] { return g.client->getEDC()->getState() == SyncEDCProtocol::IDLE; }));
  std::vector<int> sent = all(series);
  EXPECT_EQ(std::vector<int>(sent.begin(), sent.begin() + SEG), segment(2));
  EXPECT_EQ(std::vector<int>(sent.begin() + SEG, sent.end()), segment(7));
  EXPECT_EQ(8u, u16(g.nextQuery(), 1));

  // A repeated chunk number breaks the series; it ends by time-out unwritten.
  std::vector<int> before = segment(4);
  g.host->send(reply({4}, 0, 0, SEG));
  g.host->send(chunk(0, series, 0, 600));
  ASSERT_TRUE(pump({&g.engine}, [&] { return g.client->getEDC()->getState() == SyncEDCProtocol::AWAITING_CHUNKS; }));
  g.expectError(chunk(0, series, 600, 600), "Expected chunk number 1, got 0");
  advance({&g.engine}, 29000);
  EXPECT_FALSE(g.errors.has("Didn't receive a chunk series from the server."));
  advance({&g.engine}, 1010);
  EXPECT_TRUE(g.errors.has("Didn't receive a chunk series from the server."));
  EXPECT_EQ(before, segment(4));
  EXPECT_EQ(8u, u16(g.nextQuery(), 1));  // the broken cycle starts again where it was

  // A series of the wrong length is reported, nothing written.
  g.host->send(reply({4}, 0, 0, SEG - 1));
  g.expectError(chunk(0, series, 0, SEG - 1), "Received a chunk series with an invalid length. Expected: 1200, got: 1199");
  EXPECT_EQ(before, segment(4));
}

// With a gate, a series is written a segment per permission, on later
// ticks; a reply nobody asked for meanwhile changes nothing, and the next
// query waits until the whole series is in.
TEST(SyncEDCProtocol, GatedSeriesIsWrittenASegmentAtATime) {
  Guest g;
  g.joined();
  int permits = 0;
  g.client->setRepairGate([&] {
    if (permits == 0) return false;
    --permits;
    return true;
  });
  libksync::SyncDataMap* map = g.client->retrieveDataMap();
  g.nextQuery();
  const size_t queries = g.host->ofKind(3).size();
  DBuffer series = randomBytes(3 * SEG);
  g.host->send(reply({1, 3, 5}, 0, 0, 3 * SEG));
  g.host->send(chunk(0, series, 0, 3 * SEG));
  ASSERT_TRUE(pump({&g.engine}, [&] { return g.client->getEDC()->getState() == SyncEDCProtocol::APPLYING; }));
  EXPECT_EQ(0u, g.client->getRepairedBytes());
  permits = 1;
  ASSERT_TRUE(pump({&g.engine}, [&] { return g.client->getRepairedBytes() == SEG; }, 10000, 5));
  g.expectError(reply({}, 0, 0, 0), "Received a CRC Reply, but we haven't sent a query.");
  advance({&g.engine}, 2000);
  EXPECT_EQ(SyncEDCProtocol::APPLYING, g.client->getEDC()->getState());
  EXPECT_EQ(queries, g.host->ofKind(3).size());
  permits = 2;
  EXPECT_EQ(6u, u16(g.nextQuery(), 1));
  DBuffer last;
  map->extractInfo(5, last);
  std::vector<int> sent = all(series);
  EXPECT_EQ(std::vector<int>(sent.begin() + 2 * SEG, sent.end()), all(last));
}

// Link-paced, the first pass runs cycle after cycle with every segment in
// one query; once it is complete, queries keep the period.
TEST(SyncEDCProtocol, LinkPacedQueriesRunBackToBackThroughTheFirstPass) {
  Guest g;
  g.joined(10000000);
  SyncEDCProtocol* edc = g.client->getEDC();
  DBuffer q = g.nextQuery();
  ASSERT_EQ(3u + 4 * SEGMENTS, q.size());
  // The clock stands still from here: only the end of a cycle can send.
  auto queries = [&](size_t n) { return pump({&g.engine}, [&] { return g.host->ofKind(3).size() == n; }); };
  size_t sent = g.host->ofKind(3).size();
  g.host->send(reply({3}, 0, 0, SEG));
  g.host->send(chunk(0, randomBytes(SEG), 0, SEG));
  ASSERT_TRUE(queries(sent + 1));
  EXPECT_EQ(4u, u16(g.host->ofKind(3).back(), 1));
  EXPECT_EQ(4u, edc->getFirstPassCompared());
  EXPECT_FALSE(edc->isFirstPassComplete());
  // All 20 match: the pass is complete, and the cycle that completed it
  // still starts the next one at once.
  g.host->send(reply({}, 4, 0, 0));
  ASSERT_TRUE(queries(sent + 2));
  EXPECT_TRUE(edc->isFirstPassComplete());
  EXPECT_EQ(SEGMENTS, edc->getFirstPassCompared());
  g.host->send(reply({}, 4, 0, 0));
  advance({&g.engine}, 450);
  EXPECT_EQ(sent + 2, g.host->ofKind(3).size());
  g.nextQuery();
  EXPECT_TRUE(g.errors.texts.empty()) << g.errors.texts.front();
}

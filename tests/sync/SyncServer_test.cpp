// The server and its per-client state machine, driven over loopback by raw
// client peers that send hand-made sync bodies and capture the answers.

#include <cstdlib>
#include <memory>
#include <set>
#include <utility>

#include <gtest/gtest.h>

#include "FatalTest.h"
#include "SyncArray.h"
#include "SyncDataMap.h"
#include "SyncDeflateCache.h"
#include "SyncMessages.h"
#include "SyncServer.h"
#include "SyncServerFSM.h"
#include "SyncTestNet.h"

using namespace synctest;
using libksync::SyncArray;
using libksync::SyncMessages;
using libksync::SyncServer;
using libksync::SyncServerFSM;

namespace {

const unsigned short SEG = 1200;
const unsigned int SEGMENTS = 20;

// A started server of 20 random segments with its listener; every accepted
// connection becomes a client of the server at once.
struct Host {
  explicit Host(unsigned short flushBandwidth = 0, unsigned short edcBandwidth = 60000,
                unsigned short edcPeriod = 500, unsigned int segmentCount = SEGMENTS)
      : server(&engine, 0, errors.callback()), listener(&engine), numSegments(segmentCount) {
    server.setQuickSync(10);
    EXPECT_TRUE(server.setSegmentSize(SEG, 3));
    server.setFlushBandwidth(flushBandwidth);
    server.setEDCBandwidth(edcBandwidth);
    EXPECT_TRUE(server.setEDCPeriod(edcPeriod));
    SyncArray<unsigned char> bytes(server, SEG * numSegments);
    for (unsigned int i = 0; i < bytes.size(); ++i) bytes.set(i, static_cast<unsigned char>(std::rand()));
    server.initialize();
    listener.onAccept = [this](DDispatcher* d) { EXPECT_TRUE(server.addClient(d)); };
  }

  // A raw client that has joined (its JOIN_ACK received).
  std::unique_ptr<RawPeer> join() {
    conns.push_back(connectTo(engine, listener));
    std::unique_ptr<RawPeer> peer(new RawPeer(conns.back().get()));
    peer->send(bytes({0}));
    RawPeer* p = peer.get();
    EXPECT_TRUE(pump({&engine}, [p] { return !p->ofKind(1).empty(); }));
    return peer;
  }

  // A query of the CRCs of n segments from first on; the listed ones wrong.
  DBuffer query(unsigned short first, unsigned int n, std::set<unsigned int> wrong = {}) {
    DBuffer q = bytes({3});
    q.appendVariable<unsigned short>(first);
    for (unsigned int i = 0; i < n; ++i) {
      unsigned int c = server.retrieveDataMap()->getCRC(static_cast<unsigned short>((first + i) % numSegments));
      q.appendVariable<unsigned int>(wrong.count(i) ? c ^ 1u : c);
    }
    return q;
  }
  DBuffer segments(const std::vector<unsigned short>& list) {
    DBuffer b;
    for (unsigned short s : list) server.retrieveDataMap()->extractInfo(s, b);
    return b;
  }
  bool waitFor(const std::string& text) {
    return pump({&engine}, [&] { return errors.has(text); });
  }

  DEngine engine;
  Errors errors;
  SyncServer server;
  Listener listener;
  unsigned int numSegments;
  std::vector<std::unique_ptr<DDispatcher>> conns;
};

// The (segment, speck) pairs a FLSH carries.
std::set<std::pair<unsigned int, unsigned int>> flushedSpecks(const DBuffer& flsh) {
  DBuffer payload(flsh);
  payload.removeFirst(2);
  if (flsh.getByte(1) == 1) payload = payload.decompress();
  std::set<std::pair<unsigned int, unsigned int>> out;
  long at = 0;
  while (at < static_cast<long>(payload.size())) {
    unsigned int seg = u16(payload, at), count = u16(payload, at + 2);
    at += 4;
    for (unsigned int i = 0; i < count; ++i, at += 5) out.insert({seg, u16(payload, at)});
  }
  return out;
}

}  // namespace

TEST(SyncServer, SettersAllocationAndClientRegistration) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DEngine e;
  Errors errors;
  SyncServer s(&e, 0, errors.callback());
  EXPECT_FALSE(s.setSegmentSize(1200, 7));  // the settings' own message stays
  EXPECT_EQ("Segment size must be divisible by speck size.", s.getErrMsg());
  EXPECT_TRUE(s.setSegmentSize(1200, 3));
  EXPECT_FATAL(s.getSyncIndex(4), "Tried to allocate sync data too big to fit in a speck.");
  DDispatcher d(&e);
  EXPECT_FATAL(s.addClient(&d), "SyncServer::addClient\\(\\): must be called after initialize");

  SyncArray<unsigned char> bytes(s, 1201);
  s.initialize();
  s.initialize();
  EXPECT_EQ(2400u, s.getMapSize());
  EXPECT_FALSE(s.setSegmentSize(1200, 3));
  EXPECT_EQ("setSegmentSize must be called before initialize.", s.getErrMsg());
  EXPECT_FATAL(s.getSyncIndex(1), "Tried to allocate new sync data after server was initialized");

  EXPECT_TRUE(s.addClient(&d));
  EXPECT_FALSE(s.addClient(&d));
  EXPECT_TRUE(s.removeClient(&d));
  EXPECT_TRUE(errors.texts.empty());
}

TEST(SyncServerFSM, JoinAndQueryValidation) {
  ManualClock clock;  // no flush tick (and its one report) in between
  Host h;
  h.conns.push_back(connectTo(h.engine, h.listener));
  RawPeer peer(h.conns.back().get());
  peer.send(h.query(0, 1));
  EXPECT_TRUE(h.waitFor("SyncServerFSM::recvHandler(): Got an invalid JOIN message."));

  peer.send(bytes({0}));
  ASSERT_TRUE(pump({&h.engine}, [&] { return !peer.ofKind(1).empty(); }));
  // Speck 3, segment 1200, 20 segments, 24000 bytes, all of them used.
  EXPECT_EQ((std::vector<int>{1, 0, 3, 4, 176, 0, 20, 0, 0, 93, 192, 0, 0, 93, 192}),
            all(peer.ofKind(1)[0]));

  peer.send(bytes({0}));
  EXPECT_TRUE(h.waitFor("Got an invalid message type"));
  const std::vector<std::pair<DBuffer, std::string>> bad = {
      {bytes({3, 0, 20, 1, 2, 3, 4}), "Got a query with an invalid initial segment index."},
      {bytes({3, 0, 1, 1, 2, 3, 4, 5}), "Got a query with an invalid length."},
      {h.query(0, 21), "Got a query with more CRC values than there are data segments"},
  };
  for (const auto& b : bad) {
    peer.send(b.first);
    EXPECT_TRUE(h.waitFor(b.second)) << b.second;
  }
  EXPECT_EQ(bad.size() + 2, h.errors.texts.size());
  EXPECT_EQ(1u, peer.ofKind(1).size());  // no second JOIN_ACK
  // Matching CRCs across the end of the map: 9 bytes naming the segment after.
  peer.send(h.query(18, 4));
  ASSERT_TRUE(pump({&h.engine}, [&] { return !peer.ofKind(4).empty(); }));
  EXPECT_EQ((std::vector<int>{4, 0, 0, 2, 0, 0, 0, 0, 0}), all(peer.ofKind(4)[0]));
  EXPECT_EQ(1u, peer.ofKind(4).size());
}

TEST(SyncServerFSM, QuickSyncDuringAndAfterTheFirstPass) {
  ManualClock clock;
  Host h;
  std::unique_ptr<RawPeer> peer = h.join();
  SyncServerFSM* fsm = h.server.getClient(h.listener.accepted.back().get());

  // 15 CRCs of which the 2nd, 5th and 14th differ: all three come back.
  DBuffer q = h.query(0, 15, {1, 4, 13});
  peer->send(q);
  ASSERT_TRUE(pump({&h.engine}, [&] { return peer->ofKind(4).size() == 1; }));
  DBuffer reply = peer->ofKind(4)[0];
  std::vector<int> head = all(reply);
  ASSERT_EQ(13u, head.size());
  head.resize(8);
  EXPECT_EQ((std::vector<int>{4, 3, 0, 1, 0, 4, 0, 13}), head);
  unsigned int size = u32(reply, 9);
  ASSERT_TRUE(pump({&h.engine}, [&] { return !peer->ofKind(5).empty(); }, 10000, 5));
  DBuffer chunk = peer->ofKind(5)[0];
  ASSERT_EQ(size + 2, chunk.size());
  chunk.removeFirst(2);
  if (reply.getByte(8) == 1) chunk = chunk.decompress();
  EXPECT_EQ(all(h.segments({1, 4, 13})), all(chunk));

  // 15 + 5 CRCs compared: the first pass is complete, whichever segments.
  peer->send(h.query(15, 5));
  ASSERT_TRUE(pump({&h.engine}, [&] { return peer->ofKind(4).size() == 2; }));
  EXPECT_EQ((std::vector<int>{4, 0, 0, 0, 0, 0, 0, 0, 0}), all(peer->ofKind(4)[1]));
  EXPECT_TRUE(fsm->isFirstPassComplete());
  peer->send(q);
  ASSERT_TRUE(pump({&h.engine}, [&] { return peer->ofKind(4).size() == 3; }));
  reply = peer->ofKind(4)[2];
  ASSERT_EQ(9u, reply.size());
  EXPECT_EQ(1u, reply.getByte(1));
  EXPECT_EQ(1u, u16(reply, 2));
}

TEST(SyncServerFSM, ChunkSeriesNumberingWrapAndStall) {
  ManualClock clock;
  // 10 ms periods of 12 bytes: 10 data bytes per chunk.
  Host h(0, 1200, 10);
  std::unique_ptr<RawPeer> peer = h.join();
  SyncServerFSM* fsm = h.server.getClient(h.listener.accepted.back().get());
  peer->send(h.query(5, 3, {0, 1, 2}));
  ASSERT_TRUE(pump({&h.engine}, [&] { return peer->ofKind(4).size() == 1; }));
  DBuffer reply = peer->ofKind(4)[0];
  ASSERT_EQ(0u, reply.getByte(8));  // random bytes do not compress
  unsigned int size = u32(reply, 9);
  ASSERT_EQ(3u * SEG, size);

  // Halfway through, a limit of 2 bytes stalls the series (reported once).
  // The manual clock runs ahead of the sockets, so count what was sent.
  ASSERT_TRUE(pump({&h.engine}, [&] { return fsm->getChunkNumber() == 180; }, 20000, 5));
  h.server.setEDCBandwidth(200);
  advance({&h.engine}, 400);
  EXPECT_TRUE(pump({&h.engine}, [&] { return peer->ofKind(5).size() == 180; }));
  EXPECT_EQ(180u, fsm->getChunkNumber());
  EXPECT_EQ(1, h.errors.count("EDC has a send limit too small to send any data."));
  h.server.setEDCBandwidth(1200);

  ASSERT_TRUE(pump({&h.engine}, [&] { return fsm->getSendingState() == SyncServerFSM::IDLE; }, 20000, 5));
  pump({&h.engine}, [&] { return peer->ofKind(5).size() == 360; });
  std::vector<DBuffer> chunks = peer->ofKind(5);
  ASSERT_EQ(360u, chunks.size());
  DBuffer series;
  for (size_t i = 0; i < chunks.size(); ++i) {
    EXPECT_EQ(i % 256, chunks[i].getByte(1)) << i;
    EXPECT_EQ(12u, chunks[i].size());
    series.append(chunks[i], 2, chunks[i].size() - 2);
  }
  EXPECT_EQ(all(h.segments({5, 6, 7})), all(series));
}

// Link-paced, a first-pass reply names up to 255 segments (the count is one
// byte) and then one; the series goes out in chunks of at most a frame,
// numbered from 0, no faster than the link rate, as one zlib stream of
// deflated and stored pieces that the plain inflate reads back exactly.
TEST(SyncServerFSM, LinkPacedRepliesAndChunksKeepTheirLayouts) {
  ManualClock clock;
  Host h(0, 60000, 500, 300);
  // Even segments compress, odd ones stay noise: a mixed stream.
  for (unsigned int i = 0; i < 300u * SEG; ++i)
    if ((i / SEG) % 2 == 0) h.server.setByte(i, static_cast<unsigned char>(i / 500));
  const unsigned int rate = 200000;
  h.server.setLinkRate(rate);
  std::unique_ptr<RawPeer> peer = h.join();
  std::set<unsigned int> allWrong;
  for (unsigned int i = 0; i < 300; ++i) allWrong.insert(i);
  peer->send(h.query(0, 300, allWrong));
  ASSERT_TRUE(pump({&h.engine}, [&] { return peer->ofKind(4).size() == 1; }));
  DBuffer reply = peer->ofKind(4)[0];
  ASSERT_EQ(1u + 1 + 2 * 255 + 5, reply.size());
  ASSERT_EQ(255u, reply.getByte(1));
  std::vector<unsigned short> listed;
  for (unsigned short s = 0; s < 255; ++s) {
    listed.push_back(s);
    EXPECT_EQ(s, u16(reply, 2 + 2 * s));
  }
  ASSERT_EQ(1u, reply.getByte(512));
  unsigned int size = u32(reply, 513);
  ASSERT_LT(size, 255u * SEG);

  unsigned int elapsed = 0, received = 0;
  ASSERT_TRUE(pump({&h.engine}, [&] {
    received = 0;
    for (const DBuffer& c : peer->ofKind(5)) received += c.size() - 2;
    // One EDC period of credit, then the rate.
    EXPECT_LE(received, rate / 2 + rate * elapsed / 1000 + SyncMessages::MAX_BODY_SIZE);
    elapsed += 5;
    return received >= size;
  }, 20000, 5));
  DBuffer series;
  std::vector<DBuffer> chunks = peer->ofKind(5);
  ASSERT_GT(chunks.size(), 2u);
  for (size_t i = 0; i < chunks.size(); ++i) {
    EXPECT_EQ(i, chunks[i].getByte(1));
    EXPECT_LE(chunks[i].size(), SyncMessages::MAX_CHNK_SIZE);
    series.append(chunks[i], 2, chunks[i].size() - 2);
  }
  ASSERT_EQ(size, series.size());
  EXPECT_EQ(all(h.segments(listed)), all(series.decompress(255u * SEG)));

  // The rest of the first pass (45 more), then one segment per reply.
  SyncServerFSM* fsm = h.server.getClient(h.listener.accepted.back().get());
  ASSERT_TRUE(pump({&h.engine}, [&] { return fsm->getSendingState() == SyncServerFSM::IDLE; }, 20000, 5));
  peer->send(h.query(255, 45, allWrong));
  ASSERT_TRUE(pump({&h.engine}, [&] { return peer->ofKind(4).size() == 2; }));
  EXPECT_EQ(45u, peer->ofKind(4)[1].getByte(1));
  EXPECT_TRUE(fsm->isFirstPassComplete());
  ASSERT_TRUE(pump({&h.engine}, [&] { return fsm->getSendingState() == SyncServerFSM::IDLE; }, 20000, 5));
  peer->send(h.query(0, 300, allWrong));
  ASSERT_TRUE(pump({&h.engine}, [&] { return peer->ofKind(4).size() == 3; }));
  EXPECT_EQ(1u, peer->ofKind(4)[2].getByte(1));
}

TEST(SyncServer, FlushReachesJoinedUncongestedClientsFromTheNextTick) {
  ManualClock clock;
  Host h(4000, 1200);
  advance({&h.engine}, 60);  // the first tick takes the initial content, with no client yet
  std::unique_ptr<RawPeer> a = h.join();
  auto edit = [&](unsigned int index) { h.server.setByte(index, static_cast<unsigned char>(h.server.getByte(index) + 1)); };

  edit(3 * SEG + 30);  // segment 3, speck 10
  ASSERT_TRUE(pump({&h.engine}, [&] { return a->ofKind(2).size() == 1; }, 10000, 5));
  EXPECT_EQ((std::set<std::pair<unsigned int, unsigned int>>{{3, 10}}), flushedSpecks(a->ofKind(2)[0]));

  // b joins between two ticks: it only gets what the next tick flushes.
  std::unique_ptr<RawPeer> b = h.join();
  edit(7 * SEG + 3);  // segment 7, speck 1
  ASSERT_TRUE(pump({&h.engine}, [&] { return a->ofKind(2).size() == 2 && b->ofKind(2).size() == 1; }, 10000, 5));
  EXPECT_EQ((std::set<std::pair<unsigned int, unsigned int>>{{7, 1}}), flushedSpecks(b->ofKind(2)[0]));
  EXPECT_EQ(flushedSpecks(a->ofKind(2)[1]), flushedSpecks(b->ofKind(2)[0]));

  // b's connection keeps a backlog of more than 200 ms of budget: a gets the
  // next flush, b nothing.
  DDispatcher* bConn = h.listener.accepted.back().get();
  DBuffer junk;
  for (int i = 0; i < 3000; ++i) junk.appendByte(0);
  edit(9 * SEG);
  ASSERT_TRUE(pump({&h.engine},
                   [&] {
                     if (bConn->unsentBytes() < 2000) bConn->sendMessage(0, junk);
                     return a->ofKind(2).size() == 3;
                   },
                   10000, 5));
  advance({&h.engine}, 100);
  EXPECT_EQ((std::set<std::pair<unsigned int, unsigned int>>{{9, 0}}), flushedSpecks(a->ofKind(2)[2]));
  EXPECT_EQ(1u, b->ofKind(2).size());
  EXPECT_TRUE(h.errors.texts.empty());
}

// One client's long list does not hold up another's short one, and the
// copies of a client that left are dropped unless another still waits for them.
TEST(SyncDeflateCache, ServesOwnersInTurnAndForgetsThoseWhoLeave) {
  Host host(0, 60000, 500, 300);
  libksync::SyncDeflateCache cache(&host.engine, host.server.retrieveDataMap(), 6);
  int a = 0, b = 0, c = 0;
  std::vector<unsigned short> many;
  for (unsigned short s = 0; s < 255; ++s) many.push_back(s);
  std::vector<std::string> order;
  auto bulk = cache.prepare(many, &a);
  bulk->onReady = [&] { order.push_back("bulk"); };
  auto one = cache.prepare({299}, &b);
  one->onReady = [&] { order.push_back("one"); };
  auto shared = cache.prepare({254}, &c);
  ASSERT_TRUE(pump({&host.engine}, [&] { return one->ready(); }));
  EXPECT_EQ("one", order.front());
  cache.forget(&a);
  EXPECT_LE(cache.queuedCopies(), 1u);  // at most the one c waits for
  EXPECT_TRUE(pump({&host.engine}, [&] { return shared->ready(); }));
}

// Wire messages: byte layouts of every kind, every validation text, and
// random bodies that must be refused or accepted without reading past the end.

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DBuffer.h"
#include "SyncMessages.h"
#include "SyncSettings.h"
#include "SyncSpeckChange.h"

using libkorvet::DBuffer;
using namespace libksync;

namespace {

DBuffer bytes(std::initializer_list<int> values) {
  DBuffer b;
  for (int v : values) b.appendByte(static_cast<unsigned char>(v));
  return b;
}

std::vector<int> all(const DBuffer& b) {
  std::vector<int> v;
  for (unsigned int i = 0; i < b.size(); ++i) v.push_back(b.getByte(i));
  return v;
}

// Each parser refuses `body` with exactly `text`.
void expectRefused(const std::function<bool(DBuffer&, std::string&)>& parse,
                   std::initializer_list<std::pair<DBuffer, const char*>> cases) {
  for (auto c : cases) {
    std::string err;
    EXPECT_FALSE(parse(c.first, err)) << c.second;
    EXPECT_EQ(err, c.second);
  }
}

}  // namespace

TEST(SyncMessages, LayoutsAreBigEndianFieldByField) {
  DBuffer join, ack, query, none, two;
  SyncMessages::buildJoin(join);
  EXPECT_EQ(all(join), std::vector<int>({0}));
  SyncMessages::buildJoinAck({3, 30000, 2, 60000, 30001}, ack);
  EXPECT_EQ(all(ack), std::vector<int>({1, 0, 3, 0x75, 0x30, 0, 2, 0, 0, 0xEA, 0x60, 0, 0, 0x75, 0x31}));
  SyncJoinAck parsed{};
  std::string err;
  ASSERT_TRUE(SyncMessages::parseJoinAck(ack, parsed, err));
  EXPECT_EQ(parsed.segmentSize, 30000);
  EXPECT_EQ(parsed.bytesUsed, 30001u);
  SyncMessages::buildCrcQuery(0x0102, {0xCBF43926u, 1u}, query);
  EXPECT_EQ(all(query), std::vector<int>({3, 1, 2, 0xCB, 0xF4, 0x39, 0x26, 0, 0, 0, 1}));
  SyncMessages::buildCrcReply({}, 7, 0, 0, none);  // 9 bytes
  EXPECT_EQ(all(none), std::vector<int>({4, 0, 0, 7, 0, 0, 0, 0, 0}));
  SyncMessages::buildCrcReply({2, 0x1234}, 0, 1, 0x10203, two);  // 11 bytes
  EXPECT_EQ(all(two), std::vector<int>({4, 2, 0, 2, 0x12, 0x34, 1, 0, 1, 2, 3}));

  // A series of 10 bytes, 4 per chunk: chunks 0, 1, 2 with 4, 4 and 2 bytes.
  DBuffer series = bytes({10, 11, 12, 13, 14, 15, 16, 17, 18, 19}), joined;
  for (unsigned int offset = 0, n = 0; offset < series.size(); offset += 4, ++n) {
    DBuffer chunk;
    unsigned int take = std::min(4u, series.size() - offset);
    SyncMessages::buildChunk(static_cast<unsigned char>(n), series, offset, take, chunk);
    unsigned char kind = 9, number = 99;
    ASSERT_TRUE(SyncMessages::takeKind(chunk, kind));
    EXPECT_EQ(kind, SyncMessages::CHNK);
    ASSERT_TRUE(SyncMessages::parseChunk(chunk, number, err));
    EXPECT_EQ(number, n);
    EXPECT_EQ(chunk.size(), 1 + take);
    joined.append(chunk, 1, chunk.size() - 1);
  }
  EXPECT_EQ(all(joined), all(series));
}

TEST(SyncMessages, JoinAckAndFlushValidationTexts) {
  SyncJoinAck ack{};
  DBuffer good;
  SyncMessages::buildJoinAck({3, 30000, 2, 60000, 60000}, good);
  DBuffer shortAck = good, longAck = good, wrongKind = good;
  shortAck.removeFirst(1);
  longAck.appendByte(0);
  wrongKind.setByte(0, 4);
  expectRefused([&](DBuffer& b, std::string& e) { return SyncMessages::parseJoinAck(b, ack, e); },
                {{shortAck, "SyncClient note: orphaned 14 bytes."},
                 {longAck, "SyncClient note: orphaned 16 bytes."},
                 {wrongKind, "SyncClient note: orphaned message type 4"}});

  SyncSettings own([](std::string) {});
  ASSERT_TRUE(own.setSegmentSize(30000, 3));
  std::string err;
  EXPECT_TRUE(SyncMessages::checkJoinAck({3, 30000, 65535, 1966050000u, 7}, own, err));
  std::pair<SyncJoinAck, const char*> acks[] = {
      {{4, 30000, 2, 60000, 0}, "Server is using a speck size of 4, ours is 3"},
      {{3, 1024, 2, 2048, 0}, "Server is using a segment size of 1024, ours is 30000"},
      {{3, 30000, 2, 60001, 0}, "Invalid Map: Contains 2 segments of size 30000 but total size is 60001"},
      {{3, 30000, 2, 60000, 60001}, "Server's number of used bytes exceeds the map size."},
  };
  for (auto& c : acks) {
    EXPECT_FALSE(SyncMessages::checkJoinAck(c.first, own, err));
    EXPECT_EQ(err, c.second);
  }

  bool compressed = false;
  expectRefused([&](DBuffer& b, std::string& e) { return SyncMessages::takeFlushCompression(b, compressed, e); },
                {{bytes({}), "Got a FLSH with no compression byte"}, {bytes({2, 0, 0}), "Invalid compression byte in FLSH"}});
  DBuffer junk = bytes({1, 9, 9, 9, 9}), inflated;
  ASSERT_TRUE(SyncMessages::takeFlushCompression(junk, compressed, err));
  EXPECT_TRUE(compressed);
  EXPECT_FALSE(SyncMessages::inflateFlush(junk, inflated, err));
  EXPECT_EQ(err.rfind("Couldn't decompress FLSH: inflate(): Input data corrupted", 0), 0u) << err;

  // Records of a map with 2 segments of 10 specks of 3 bytes.
  unsigned short segment = 0, count = 0;
  expectRefused(
      [&](DBuffer& b, std::string& e) { return SyncMessages::takeFlushRecordHeader(b, 2, 10, segment, count, e); },
      {{bytes({0}), "Got a FLSH with a missing segment index"},
       {bytes({0, 2, 0, 1}), "Got a FLSH with an invalid segment index"},
       {bytes({0, 1, 0}), "Got a FLSH with a missing speck number"},
       {bytes({0, 1, 0, 0}), "Got a FLSH with an invalid number of specks"},
       {bytes({0, 1, 0, 11}), "Got a FLSH with an invalid number of specks"}});
  SyncSpeckChange change(3);
  expectRefused([&](DBuffer& b, std::string& e) { return SyncMessages::takeFlushEntry(b, 10, change, e); },
                {{bytes({0}), "Got a FLSH with no speck index"},
                 {bytes({0, 10, 1, 2, 3}), "Got a flush with an invalid speck index"},
                 {bytes({0, 1, 5, 5}), "Got a FLSH with missing speck bytes"}});
  DBuffer payload = bytes({0, 1, 0, 1, 0, 9, 7, 8, 9});
  ASSERT_TRUE(SyncMessages::takeFlushRecordHeader(payload, 2, 10, segment, count, err));
  ASSERT_TRUE(SyncMessages::takeFlushEntry(payload, 10, change, err));
  EXPECT_EQ(segment * 100 + count, 101);
  EXPECT_EQ(change.getIndex(), 9);
  EXPECT_EQ(change.getByte(2), 9);
  EXPECT_EQ(payload.size(), 0u);
}

TEST(SyncMessages, QueryReplyAndChunkValidationTexts) {
  SyncCrcQuery query;
  expectRefused([&](DBuffer& b, std::string& e) { return SyncMessages::parseCrcQuery(b, 4, query, e); },
                {{bytes({0}), "Got a query without an initial segment index."},
                 {bytes({0, 4, 0, 0, 0, 0}), "Got a query with an invalid initial segment index."},
                 {bytes({0, 1}), "Got a query without any CRC data."},
                 {bytes({0, 1, 0, 0, 0, 0, 0}), "Got a query with an invalid length."},
                 {bytes({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                  "Got a query with more CRC values than there are data segments"}});
  std::string err;
  ASSERT_TRUE(SyncMessages::parseCrcQuery(bytes({0, 3, 0, 0, 0, 1, 0, 0, 0, 2}), 4, query, err));
  EXPECT_EQ(query.firstSegment, 3);
  EXPECT_EQ(query.crcs, std::vector<unsigned int>({1, 2}));

  SyncCrcReply reply;
  expectRefused(
      [&](DBuffer& b, std::string& e) { return SyncMessages::parseCrcReply(b, 4, 1024, reply, e); },
      {{bytes({}), "Received a CRC Reply without a number of mismatched segments"},
       {bytes({5}), "The server claims that there are more mismatches than segments."},
       {bytes({2, 0, 1, 0}), "Received a CRC Reply that's missing segment indexes"},
       {bytes({2, 0, 1, 0, 4, 0, 0, 0, 0, 1}), "The server sent an out-of-bounds index for a mismatched segment"},
       {bytes({0, 0}), "Received a CRC Reply that's missing the next segment index to query"},
       {bytes({0, 0, 4, 0, 0, 0, 0, 0}), "Received an out-of-bounds index for the next segment to query"},
       {bytes({0, 0, 3, 0, 0, 0, 0, 0, 0}), "Received a CRC reply with an invalid length"},
       {bytes({1, 0, 3, 0, 0, 0, 0}), "Received a CRC reply with an invalid length"},
       {bytes({1, 0, 3, 2, 0, 0, 0, 1}), "Server sent an invalid compression byte in its CRC reply."},
       {bytes({1, 0, 3, 0, 0, 0, 0, 0}), "There are mismatched segments, but chunk series size is zero."},
       {bytes({1, 0, 3, 0, 0, 0, 4, 1}), "Server sent an invalid chunk series size."},
       {bytes({0, 0, 3, 0, 0, 0, 0, 1}), "Server sent an invalid chunk series size."}});
  ASSERT_TRUE(SyncMessages::parseCrcReply(bytes({2, 0, 3, 0, 1, 1, 0, 0, 8, 0}), 4, 1024, reply, err));
  EXPECT_EQ(reply.mismatched, std::vector<unsigned short>({3, 1}));
  EXPECT_EQ(reply.compression, 1);
  EXPECT_EQ(reply.seriesSize, 2048u);
  ASSERT_TRUE(SyncMessages::parseCrcReply(bytes({0, 0, 3, 0, 0, 0, 0, 0}), 4, 1024, reply, err));
  EXPECT_TRUE(reply.mismatched.empty());
  EXPECT_EQ(reply.nextSegment, 3);

  unsigned char number = 0;
  expectRefused([&](DBuffer& b, std::string& e) { return SyncMessages::parseChunk(b, number, e); },
                {{bytes({0}), "Got a chunk portion too small to contain any data"}});
}

TEST(SyncMessages, RandomBodiesNeverReadPastTheEnd) {
  std::mt19937 rng(12345);
  SyncSettings own([](std::string) {});
  std::string err;
  for (int round = 0; round < 3000; ++round) {
    DBuffer body;
    for (unsigned int i = 0, n = rng() % 24; i < n; ++i)
      body.appendByte(static_cast<unsigned char>(rng() % 4 == 0 ? rng() : rng() % 3));
    SyncJoinAck ack;
    SyncCrcQuery query;
    SyncCrcReply reply;
    unsigned char number;
    if (SyncMessages::parseJoinAck(body, ack, err)) SyncMessages::checkJoinAck(ack, own, err);
    EXPECT_TRUE(!SyncMessages::parseCrcQuery(body, 3, query, err) || query.crcs.size() <= 3u);
    EXPECT_TRUE(!SyncMessages::parseCrcReply(body, 3, 1024, reply, err) ||
                reply.seriesSize <= reply.mismatched.size() * 1024u);
    SyncMessages::parseChunk(body, number, err);
    bool compressed = true;
    unsigned short segment, count;
    SyncSpeckChange change(3);
    if (!SyncMessages::takeFlushCompression(body, compressed, err) || compressed) continue;
    while (body.size() > 0 && SyncMessages::takeFlushRecordHeader(body, 3, 10, segment, count, err))
      for (unsigned short i = 0; i < count && SyncMessages::takeFlushEntry(body, 10, change, err); ++i)
        EXPECT_TRUE(segment < 3 && change.getIndex() < 10);
  }
}

// Wire messages: byte layouts of every kind, every validation text, and
// random bodies that must be refused or accepted without reading past the end.

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DBuffer.h"
#include "SyncMessages.h"
#include "SyncSettings.h"
#include "SyncSpeckChange.h"

using libkorvet::DBuffer;
using libksync::SyncCrcQuery;
using libksync::SyncCrcReply;
using libksync::SyncJoinAck;
using libksync::SyncMessages;
using libksync::SyncSettings;
using libksync::SyncSpeckChange;

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

DBuffer rest(DBuffer body) {
  unsigned char kind = 0;
  EXPECT_TRUE(SyncMessages::takeKind(body, kind));
  return body;
}

}  // namespace

TEST(SyncMessages, LayoutsAreBigEndianFieldByField) {
  DBuffer join;
  SyncMessages::buildJoin(join);
  EXPECT_EQ(all(join), std::vector<int>({0}));

  DBuffer ack;
  SyncMessages::buildJoinAck({3, 30000, 2, 60000, 30001}, ack);
  EXPECT_EQ(all(ack), std::vector<int>({1, 0, 3, 0x75, 0x30, 0, 2, 0, 0, 0xEA, 0x60, 0, 0, 0x75, 0x31}));
  SyncJoinAck parsed{};
  std::string err;
  ASSERT_TRUE(SyncMessages::parseJoinAck(ack, parsed, err));
  EXPECT_EQ(parsed.segmentSize, 30000);
  EXPECT_EQ(parsed.numBytes, 60000u);
  EXPECT_EQ(parsed.bytesUsed, 30001u);

  DBuffer query;
  SyncMessages::buildCrcQuery(0x0102, {0xCBF43926u, 1u}, query);
  EXPECT_EQ(all(query), std::vector<int>({3, 1, 2, 0xCB, 0xF4, 0x39, 0x26, 0, 0, 0, 1}));

  DBuffer none, two;
  SyncMessages::buildCrcReply({}, 7, 0, 0, none);
  EXPECT_EQ(all(none), std::vector<int>({4, 0, 0, 7, 0, 0, 0, 0, 0}));
  SyncMessages::buildCrcReply({2, 0x1234}, 0, 1, 0x10203, two);
  EXPECT_EQ(all(two), std::vector<int>({4, 2, 0, 2, 0x12, 0x34, 1, 0, 1, 2, 3}));

  // A series of 10 bytes, 4 per chunk: chunks 0, 1, 2 with 4, 4 and 2 bytes.
  DBuffer series = bytes({10, 11, 12, 13, 14, 15, 16, 17, 18, 19});
  DBuffer joined;
  for (unsigned int offset = 0, n = 0; offset < series.size(); offset += 4, ++n) {
    DBuffer chunk;
    unsigned int take = std::min(4u, series.size() - offset);
    SyncMessages::buildChunk(static_cast<unsigned char>(n), series, offset, take, chunk);
    EXPECT_EQ(chunk.size(), 2 + take);
    DBuffer body = rest(chunk);
    unsigned char number = 99;
    ASSERT_TRUE(SyncMessages::parseChunk(body, number, err));
    EXPECT_EQ(number, n);
    joined.append(body, 1, body.size() - 1);
  }
  EXPECT_EQ(all(joined), all(series));
}

TEST(SyncMessages, JoinAckAndFlushValidationTexts) {
  std::string err;
  SyncJoinAck ack{};
  DBuffer good;
  SyncMessages::buildJoinAck({3, 30000, 2, 60000, 60000}, good);
  DBuffer shortAck = good;
  shortAck.removeFirst(1);
  EXPECT_FALSE(SyncMessages::parseJoinAck(shortAck, ack, err));
  EXPECT_EQ(err, "SyncClient note: orphaned 14 bytes.");
  DBuffer longAck = good;
  longAck.appendByte(0);
  EXPECT_FALSE(SyncMessages::parseJoinAck(longAck, ack, err));
  EXPECT_EQ(err, "SyncClient note: orphaned 16 bytes.");
  DBuffer wrongKind = good;
  wrongKind.setByte(0, 4);
  EXPECT_FALSE(SyncMessages::parseJoinAck(wrongKind, ack, err));
  EXPECT_EQ(err, "SyncClient note: orphaned message type 4");

  SyncSettings own([](std::string) {});
  ASSERT_TRUE(own.setSegmentSize(30000, 3));
  EXPECT_TRUE(SyncMessages::checkJoinAck({3, 30000, 2, 60000, 60000}, own, err));
  struct Case {
    SyncJoinAck ack;
    const char* text;
  } cases[] = {
      {{4, 30000, 2, 60000, 0}, "Server is using a speck size of 4, ours is 3"},
      {{3, 1024, 2, 2048, 0}, "Server is using a segment size of 1024, ours is 30000"},
      {{3, 30000, 2, 60001, 0}, "Invalid Map: Contains 2 segments of size 30000 but total size is 60001"},
      {{3, 30000, 65535, 1966050000u, 0}, nullptr},
      {{3, 30000, 2, 60000, 60001}, "Server's number of used bytes exceeds the map size."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SyncMessages::checkJoinAck(c.ack, own, err), c.text == nullptr);
    if (c.text) {
      EXPECT_EQ(err, c.text);
    }
  }

  bool compressed = false;
  DBuffer empty;
  EXPECT_FALSE(SyncMessages::takeFlushCompression(empty, compressed, err));
  EXPECT_EQ(err, "Got a FLSH with no compression byte");
  DBuffer two = bytes({2, 0, 0});
  EXPECT_FALSE(SyncMessages::takeFlushCompression(two, compressed, err));
  EXPECT_EQ(err, "Invalid compression byte in FLSH");
  DBuffer junk = bytes({1, 9, 9, 9, 9});
  ASSERT_TRUE(SyncMessages::takeFlushCompression(junk, compressed, err));
  EXPECT_TRUE(compressed);
  DBuffer inflated;
  EXPECT_FALSE(SyncMessages::inflateFlush(junk, inflated, err));
  EXPECT_EQ(err.compare(0, 26, "Couldn't decompress FLSH: "), 0) << err;
  EXPECT_NE(err.find("inflate(): Input data corrupted"), std::string::npos) << err;

  // Records: numSegments 2, segmentSpecks 10, speck size 3.
  unsigned short segment = 0, count = 0;
  SyncSpeckChange change(3);
  struct Record {
    DBuffer body;
    const char* text;
  } records[] = {
      {bytes({0}), "Got a FLSH with a missing segment index"},
      {bytes({0, 2, 0, 1}), "Got a FLSH with an invalid segment index"},
      {bytes({0, 1, 0}), "Got a FLSH with a missing speck number"},
      {bytes({0, 1, 0, 0}), "Got a FLSH with an invalid number of specks"},
      {bytes({0, 1, 0, 11}), "Got a FLSH with an invalid number of specks"},
  };
  for (Record& r : records) {
    EXPECT_FALSE(SyncMessages::takeFlushRecordHeader(r.body, 2, 10, segment, count, err));
    EXPECT_EQ(err, r.text);
  }
  DBuffer payload = bytes({0, 1, 0, 2, 0, 9, 7, 8, 9, 0, 10, 1, 2, 3});
  ASSERT_TRUE(SyncMessages::takeFlushRecordHeader(payload, 2, 10, segment, count, err));
  EXPECT_EQ(segment, 1);
  EXPECT_EQ(count, 2);
  ASSERT_TRUE(SyncMessages::takeFlushEntry(payload, 10, change, err));
  EXPECT_EQ(change.getIndex(), 9);
  EXPECT_EQ(change.getByte(2), 9);
  EXPECT_FALSE(SyncMessages::takeFlushEntry(payload, 10, change, err));
  EXPECT_EQ(err, "Got a flush with an invalid speck index");
  DBuffer noIndex = bytes({0});
  EXPECT_FALSE(SyncMessages::takeFlushEntry(noIndex, 10, change, err));
  EXPECT_EQ(err, "Got a FLSH with no speck index");
  DBuffer cut = bytes({0, 1, 5, 5});
  EXPECT_FALSE(SyncMessages::takeFlushEntry(cut, 10, change, err));
  EXPECT_EQ(err, "Got a FLSH with missing speck bytes");
}

TEST(SyncMessages, QueryReplyAndChunkValidationTexts) {
  std::string err;
  SyncCrcQuery query;
  struct Case {
    DBuffer body;
    const char* text;
  } queries[] = {
      {bytes({0}), "Got a query without an initial segment index."},
      {bytes({0, 4, 0, 0, 0, 0}), "Got a query with an invalid initial segment index."},
      {bytes({0, 1}), "Got a query without any CRC data."},
      {bytes({0, 1, 0, 0, 0, 0, 0}), "Got a query with an invalid length."},
      {bytes({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
       "Got a query with more CRC values than there are data segments"},
  };
  for (Case& c : queries) {
    EXPECT_FALSE(SyncMessages::parseCrcQuery(c.body, 4, query, err));
    EXPECT_EQ(err, c.text);
  }
  ASSERT_TRUE(SyncMessages::parseCrcQuery(bytes({0, 3, 0, 0, 0, 1, 0, 0, 0, 2}), 4, query, err));
  EXPECT_EQ(query.firstSegment, 3);
  EXPECT_EQ(query.crcs, std::vector<unsigned int>({1, 2}));

  SyncCrcReply reply;
  Case replies[] = {
      {bytes({}), "Received a CRC Reply without a number of mismatched segments"},
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
      {bytes({0, 0, 3, 0, 0, 0, 0, 1}), "Server sent an invalid chunk series size."},
  };
  for (Case& c : replies) {
    EXPECT_FALSE(SyncMessages::parseCrcReply(c.body, 4, 1024, reply, err)) << c.text;
    EXPECT_EQ(err, c.text);
  }
  ASSERT_TRUE(SyncMessages::parseCrcReply(bytes({2, 0, 3, 0, 1, 1, 0, 0, 8, 0}), 4, 1024, reply, err));
  EXPECT_EQ(reply.mismatched, std::vector<unsigned short>({3, 1}));
  EXPECT_EQ(reply.compression, 1);
  EXPECT_EQ(reply.seriesSize, 2048u);
  ASSERT_TRUE(SyncMessages::parseCrcReply(bytes({0, 0, 3, 0, 0, 0, 0, 0}), 4, 1024, reply, err));
  EXPECT_TRUE(reply.mismatched.empty());
  EXPECT_EQ(reply.nextSegment, 3);

  unsigned char number = 0;
  EXPECT_FALSE(SyncMessages::parseChunk(bytes({0}), number, err));
  EXPECT_EQ(err, "Got a chunk portion too small to contain any data");
  EXPECT_TRUE(SyncMessages::parseChunk(bytes({7, 1}), number, err));
  EXPECT_EQ(number, 7);
}

TEST(SyncMessages, RandomBodiesNeverReadPastTheEnd) {
  std::mt19937 rng(12345);
  SyncSettings own([](std::string) {});
  std::string err;
  for (int round = 0; round < 3000; ++round) {
    DBuffer body;
    unsigned int length = rng() % 24;
    for (unsigned int i = 0; i < length; ++i) body.appendByte(static_cast<unsigned char>(rng() % 4 == 0 ? rng() : rng() % 3));
    SyncJoinAck ack;
    if (SyncMessages::parseJoinAck(body, ack, err)) SyncMessages::checkJoinAck(ack, own, err);
    SyncCrcQuery query;
    if (SyncMessages::parseCrcQuery(body, 3, query, err)) {
      EXPECT_LE(query.crcs.size(), 3u);
    }
    SyncCrcReply reply;
    if (SyncMessages::parseCrcReply(body, 3, 1024, reply, err)) {
      EXPECT_LE(reply.seriesSize, reply.mismatched.size() * 1024u);
    }
    unsigned char number;
    SyncMessages::parseChunk(body, number, err);
    bool compressed;
    DBuffer payload = body;
    if (SyncMessages::takeFlushCompression(payload, compressed, err) && !compressed) {
      unsigned short segment, count;
      SyncSpeckChange change(3);
      while (payload.size() > 0 && SyncMessages::takeFlushRecordHeader(payload, 3, 10, segment, count, err)) {
        EXPECT_LT(segment, 3);
        bool ok = true;
        for (unsigned short i = 0; ok && i < count; ++i) {
          ok = SyncMessages::takeFlushEntry(payload, 10, change, err);
          if (ok) {
            EXPECT_LT(change.getIndex(), 10);
          }
        }
        if (!ok) break;
      }
    }
  }
}

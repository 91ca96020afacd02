// Wire messages: byte layouts of every kind read back by their parsers, and
// random bodies that must be refused or accepted without reading past the end.
// The refusal texts are checked where bodies are taken apart on the live
// path: the client, server and error-correction tests.

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DBuffer.h"
#include "EnginePump.h"
#include "SyncMessages.h"
#include "SyncSettings.h"
#include "SyncDataMap.h"

using libkorvet::DBuffer;
using namespace libksync;
using testnet::all;
using testnet::bytes;

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
  SyncCrcQuery q;
  query.removeFirst(1);
  ASSERT_TRUE(SyncMessages::parseCrcQuery(query, 0x0103, q, err)) << err;
  EXPECT_TRUE(q.firstSegment == 0x0102 && q.crcs == std::vector<unsigned int>({0xCBF43926u, 1u}));
  SyncMessages::buildCrcReply({}, 7, 0, 0, none);  // 9 bytes
  EXPECT_EQ(all(none), std::vector<int>({4, 0, 0, 7, 0, 0, 0, 0, 0}));
  SyncMessages::buildCrcReply({2, 0x1234}, 0, 1, 0x10203, two);  // 11 bytes
  EXPECT_EQ(all(two), std::vector<int>({4, 2, 0, 2, 0x12, 0x34, 1, 0, 1, 2, 3}));
  SyncCrcReply r;
  none.removeFirst(1), two.removeFirst(1);
  ASSERT_TRUE(SyncMessages::parseCrcReply(none, 8, 1024, r, err)) << err;
  EXPECT_TRUE(r.mismatched.empty() && r.nextSegment == 7);
  ASSERT_TRUE(SyncMessages::parseCrcReply(two, 0x1235, 0x8200, r, err)) << err;
  EXPECT_EQ(r.mismatched, std::vector<unsigned short>({2, 0x1234}));
  EXPECT_TRUE(r.compression == 1 && r.seriesSize == 0x10203u);
  // A flush record of one speck of segment 1.
  DBuffer payload = bytes({0, 1, 0, 1, 0, 9, 7, 8, 9});
  unsigned short segment = 0, count = 0;
  SyncSpeckChange change(3);
  ASSERT_TRUE(SyncMessages::takeFlushRecordHeader(payload, 2, 10, segment, count, err));
  ASSERT_TRUE(SyncMessages::takeFlushEntry(payload, 10, change, err));
  EXPECT_TRUE(segment == 1 && count == 1 && change.getIndex() == 9 && change.getByte(2) == 9);
  EXPECT_EQ(payload.size(), 0u);

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

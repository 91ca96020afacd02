// The flush buffer: whole records within a client's budget, the partial
// record, budgets too small for anything, and the choice of compression.

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DBuffer.h"
#include "FatalTest.h"
#include "SyncFlushBuffer.h"
#include "SyncSettings.h"

using libkorvet::DBuffer;
using libksync::SyncFlushBuffer;
using libksync::SyncSettings;

namespace {

// A record of `count` entries of speck size 4, entry i holding speck i with
// bytes of value fill (or pseudo-random bytes when fill < 0).
DBuffer* record(unsigned short segment, unsigned short count, int fill) {
  DBuffer* r = new DBuffer();
  r->appendVariable<unsigned short>(segment);
  r->appendVariable<unsigned short>(count);
  unsigned int seed = segment * 7919u + 1;
  for (unsigned short i = 0; i < count; ++i) {
    r->appendVariable<unsigned short>(i);
    for (int b = 0; b < 4; ++b) {
      seed = seed * 1103515245u + 12345u;
      r->appendByte(fill < 0 ? static_cast<unsigned char>(seed >> 16) : static_cast<unsigned char>(fill));
    }
  }
  return r;
}

std::vector<unsigned char> bytesOf(const DBuffer& b) {
  std::vector<unsigned char> v;
  for (unsigned int i = 0; i < b.size(); ++i) v.push_back(b.getByte(i));
  return v;
}

}  // namespace

TEST(SyncFlushBuffer, WholeRecordsThenAPartialOne) {
  std::vector<std::string> errors;
  SyncSettings settings([&](std::string t) { errors.push_back(t); });
  SyncFlushBuffer buffer(&settings);  // speck size 4: entries of 6 bytes
  EXPECT_EQ(buffer.size(), 2);
  buffer.addSegment(record(0, 1, -1));  // 10 bytes
  buffer.addSegment(record(1, 3, -1));  // 22 bytes
  EXPECT_EQ(buffer.size(), 34);

  DBuffer raw, packed;
  // Payload room 24: the first record, then one of the second's three entries.
  EXPECT_FALSE(buffer.extractMessage(25, raw, packed));
  ASSERT_EQ(raw.size(), 2u + 10u + 4u + 6u);
  EXPECT_LE(raw.size(), 26u);
  std::vector<unsigned char> got = bytesOf(raw);
  EXPECT_EQ(got[0], 2);
  EXPECT_EQ(got[1], 0);
  std::vector<unsigned char> first = bytesOf(buffer.getRecord(0));
  EXPECT_TRUE(std::equal(first.begin(), first.end(), got.begin() + 2));
  const unsigned char header[] = {0, 1, 0, 1};
  EXPECT_TRUE(std::equal(header, header + 4, got.begin() + 12));
  std::vector<unsigned char> second = bytesOf(buffer.getRecord(1));
  EXPECT_TRUE(std::equal(second.begin() + 4, second.begin() + 10, got.begin() + 16));
  EXPECT_EQ(buffer.getUnsentBytes(), 34 - 22);

  // A budget that holds every record exactly sends them all.
  EXPECT_FALSE(buffer.extractMessage(33, raw, packed));
  EXPECT_EQ(raw.size(), 34u);
  EXPECT_EQ(buffer.getUnsentBytes(), 0);
  EXPECT_EQ(buffer.numRecords(), 2u) << "records stay for the next client";

  // Too small for even one entry of the first record: nothing to send.
  for (unsigned short budget : {0, 1, 9}) {
    EXPECT_FALSE(buffer.extractMessage(budget, raw, packed));
    EXPECT_EQ(raw.size(), 0u);
    EXPECT_EQ(packed.size(), 0u);
  }
  // The smallest budget the server ever uses (speck size + 8) carries one entry.
  EXPECT_FALSE(buffer.extractMessage(settings.minFlushSize(), raw, packed));
  EXPECT_EQ(raw.size(), 2u + 4u + 6u);
  EXPECT_TRUE(errors.empty());
}

TEST(SyncFlushBuffer, CompressedOnlyWhenShorter) {
  std::vector<std::string> errors;
  SyncSettings settings([&](std::string t) { errors.push_back(t); });
  SyncFlushBuffer buffer(&settings);
  buffer.addSegment(record(4, 200, 0));
  DBuffer raw, packed;
  for (int client = 0; client < 2; ++client) {  // the second reuses the first's work
    EXPECT_TRUE(buffer.extractMessage(2000, raw, packed));
    EXPECT_EQ(raw.getByte(0), 2);
    EXPECT_EQ(raw.getByte(1), 1);
    EXPECT_EQ(packed.getByte(0), 2);
    EXPECT_EQ(packed.getByte(1), 1);
    ASSERT_LT(packed.size(), raw.size());
    DBuffer body = packed;
    body.removeFirst(2);
    DBuffer payload = raw;
    payload.removeFirst(2);
    EXPECT_EQ(bytesOf(body.decompress()), bytesOf(payload));
  }
  EXPECT_TRUE(errors.empty());

  std::unique_ptr<DBuffer> huge(record(0, 10000, -1));
  buffer.addSegment(huge.release());
  EXPECT_FATAL(buffer.addSegment(record(1, 10000, -1)),
               "SyncFlushBuffer::addSegment\\(\\): a record of 60004 bytes would take the buffer above 65535 bytes");
}

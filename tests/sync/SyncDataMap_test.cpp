// The data map: growth and padding, CRC cache, change callback, flush
// collection (server), fresh specks and EDC overwrite (client), predictive
// buffers, bounds, and the largest canvas in memory.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "DBuffer.h"
#include "FatalTest.h"
#include "SyncArray.h"
#include "SyncDataMap.h"
#include "SyncEngine.h"
#include "SyncFlushBuffer.h"
#include "SyncMapSegment.h"
#include "SyncSettings.h"
#include "SyncSpeckChange.h"

using libkorvet::DBuffer;
using libksync::SyncArray;
using libksync::SyncDataMap;
using libksync::SyncEngine;
using libksync::SyncFlushBuffer;
using libksync::SyncSettings;
using libksync::SyncSpeckChange;

namespace {

std::vector<std::pair<unsigned int, unsigned char>> calls;
void record(unsigned int index, unsigned char value) { calls.emplace_back(index, value); }

// Allocates like the server and client do: placement, then growth.
class Side : public SyncEngine {
 public:
  Side(bool server, unsigned short segment, unsigned short speck)
      : settings([this](std::string t) { errors.push_back(t); }), map(nullptr), next(0) {
    if (server) settings.setIsServer();
    settings.setSegmentSize(segment, speck);
    map = new SyncDataMap(&settings);
  }
  ~Side() override { delete map; }
  unsigned int getSyncIndex(unsigned short size) override {
    unsigned int old = next;
    unsigned int at = settings.calcSyncIndex(size, next);
    map->addData(next - old);
    return at;
  }
  SyncDataMap* retrieveDataMap() override { return map; }

  std::vector<std::string> errors;
  SyncSettings settings;
  SyncDataMap* map;
  unsigned int next;
};

DBuffer filled(unsigned int n, unsigned char value) {
  std::vector<unsigned char> v(n, value);
  DBuffer b;
  b.appendArray(v.data(), n);
  return b;
}

long rssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace

TEST(SyncDataMap, GrowsBySegmentsAndPadsOnInitialize) {
  Side side(false, 30000, 3);
  SyncArray<unsigned char> first(side, 30000);
  EXPECT_EQ(side.map->getNumSegments(), 1);
  SyncArray<unsigned char> one(side, 1);
  EXPECT_EQ(one.getStartIndex(), 30000u);
  EXPECT_EQ(side.map->getNumSegments(), 2);
  EXPECT_EQ(side.map->getSize(), 30001u);
  EXPECT_EQ(side.map->getTotalSpecks(), 20000u);
  side.map->initialize();
  EXPECT_EQ(side.map->getSize(), 60000u);
  for (unsigned int i : {0u, 30000u, 59999u}) EXPECT_EQ(side.map->getByte(i), 0);
  unsigned int a = 0, b = 0;
  side.map->getSegmentBoundaries(1, a, b);
  EXPECT_EQ(a, 30000u);
  EXPECT_EQ(b, 59999u);
  EXPECT_EQ(side.map->getSegmentIndex(59999), 1u);
  EXPECT_EQ(side.map->getSpeckIndex(59999), 19999u);

  first.set(29999, 7);
  EXPECT_EQ(first.get(29999), 7);
  EXPECT_EQ(side.map->getByte(29999), 7);
  EXPECT_FATAL(first.get(30000), "SyncArray::get\\(\\): index 30000 out of bounds");
  EXPECT_FATAL(side.map->getByte(60000), "SyncDataMap::getByte\\(\\): index 60000 is outside the map of 60000 bytes");
  EXPECT_FATAL(side.map->getCRC(2), "SyncDataMap::getCRC\\(\\): segment 2 is outside the map of 2 segments");
  EXPECT_FATAL(SyncArray<unsigned char>(side, 0), "SyncArray::SyncArray\\(\\): array has 0 elements");
  // numSegments travels in 16 bits: a 65536th segment is refused up front.
  Side small(true, 1024, 4);
  EXPECT_FATAL(small.map->addData(65535u * 1024u + 1u),
               "SyncDataMap::addData\\(\\): the map can hold at most 65535 segments");
}

TEST(SyncDataMap, CrcCacheAndChangeCallback) {
  Side side(true, 1024, 4);
  side.map->addData(2048);
  side.map->initialize();
  side.map->changeCallback = record;
  calls.clear();

  DBuffer copy;
  side.map->extractInfo(0, copy);
  ASSERT_EQ(copy.size(), 1024u);
  EXPECT_TRUE(side.map->getSegment(0).getCRCChanged());
  unsigned int zeros = side.map->getCRC(0);
  EXPECT_EQ(zeros, copy.crc32());
  EXPECT_FALSE(side.map->getSegment(0).getCRCChanged());

  // Writing the value a byte already has changes nothing at all.
  side.map->setByte(10, 0);
  EXPECT_TRUE(calls.empty());
  EXPECT_FALSE(side.map->getSegment(0).getCRCChanged());
  EXPECT_FALSE(side.map->isFlushPending(2));

  side.map->setByte(10, 0x5A);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], std::make_pair(10u, (unsigned char)0x5A));
  EXPECT_TRUE(side.map->getSegment(0).getCRCChanged());
  EXPECT_TRUE(side.map->getSegment(0).getNeedsFlushing());
  EXPECT_TRUE(side.map->isFlushPending(2));
  EXPECT_EQ(side.map->getCRC(1), zeros) << "other segments keep their cache";
  DBuffer changed;
  side.map->extractInfo(0, changed);
  EXPECT_NE(side.map->getCRC(0), zeros);
  EXPECT_EQ(side.map->getCRC(0), changed.crc32());
}

TEST(SyncDataMap, FlushCollectsChangedSpecksWithinTheLimit) {
  Side side(true, 1024, 4);
  side.map->addData(2048);
  side.map->initialize();
  side.map->setByte(0, 1);
  side.map->setByte(9, 2);            // speck 2
  side.map->setByte(1024 + 4, 3);     // segment 1, speck 1
  {
    SyncFlushBuffer buffer(&side.settings);
    side.map->getFlushData(buffer, 1000);
    ASSERT_EQ(buffer.numRecords(), 2u);
    const unsigned char seg0[] = {0, 0, 0, 2, 0, 0, 1, 0, 0, 0, 0, 2, 0, 2, 0, 0};
    const unsigned char seg1[] = {0, 1, 0, 1, 0, 1, 3, 0, 0, 0};
    ASSERT_EQ(buffer.getRecord(0).size(), sizeof(seg0));
    for (unsigned int i = 0; i < sizeof(seg0); ++i) EXPECT_EQ(buffer.getRecord(0).getByte(i), seg0[i]) << i;
    ASSERT_EQ(buffer.getRecord(1).size(), sizeof(seg1));
    for (unsigned int i = 0; i < sizeof(seg1); ++i) EXPECT_EQ(buffer.getRecord(1).getByte(i), seg1[i]) << i;
    EXPECT_EQ(buffer.size(), 2 + 16 + 10);
    EXPECT_FALSE(side.map->isFlushPending(0) || side.map->isFlushPending(2) || side.map->isFlushPending(257));
  }
  // Three changed specks, room for two: the third is dropped, not retried.
  for (unsigned int i : {0u, 4u, 8u}) side.map->setByte(i, 9);
  {
    SyncFlushBuffer buffer(&side.settings);
    side.map->getFlushData(buffer, 2 + 4 + 12);
    ASSERT_EQ(buffer.numRecords(), 1u);
    EXPECT_EQ(buffer.getRecord(0).getByte(3), 2);
    EXPECT_EQ(buffer.size(), 18);
    EXPECT_FALSE(side.map->isFlushPending(2));
    EXPECT_FALSE(side.map->getSegment(0).getNeedsFlushing());
    side.map->getFlushData(buffer, 1000);
    EXPECT_EQ(buffer.numRecords(), 1u) << "nothing new to flush";
  }
  // A limit below one entry drops the whole segment's changes.
  side.map->setByte(100, 1);
  SyncFlushBuffer buffer(&side.settings);
  side.map->getFlushData(buffer, 2 + 4 + 5);
  EXPECT_EQ(buffer.numRecords(), 0u);
  EXPECT_FALSE(side.map->isFlushPending(25));
}

TEST(SyncDataMap, FreshSpecksSurviveOneRepairUnlessOverwriting) {
  Side side(false, 1024, 4);
  side.map->addData(2048);
  side.map->initialize();
  side.map->changeCallback = record;
  DBuffer repair = filled(1024, 0x77);

  side.map->setByte(5, 9);  // speck 1 becomes fresh
  EXPECT_TRUE(side.map->isFresh(1));
  calls.clear();
  side.map->insertInfo(0, repair);
  EXPECT_EQ(calls.size(), 1020u) << "one call per written byte, the fresh speck skipped";
  EXPECT_EQ(side.map->getByte(5), 9);
  EXPECT_EQ(side.map->getByte(4), 0) << "the whole speck is skipped";
  EXPECT_EQ(side.map->getByte(3), 0x77);
  EXPECT_EQ(side.map->getByte(8), 0x77);
  EXPECT_FALSE(side.map->isFresh(1));
  EXPECT_TRUE(side.map->getSegment(0).getCRCChanged());
  side.map->insertInfo(0, repair);
  EXPECT_EQ(side.map->getByte(5), 0x77);

  // A flushed speck is fresh too; a series holding two segments is read at an offset.
  SyncSpeckChange change(4);
  change.setIndex(3);
  for (unsigned short i = 0; i < 4; ++i) change.setByte(static_cast<unsigned char>(i + 1), i);
  side.map->applySpeckChange(1, change);
  EXPECT_EQ(side.map->getByte(1024 + 12), 1);
  EXPECT_EQ(side.map->getByte(1024 + 15), 4);
  EXPECT_TRUE(side.map->isFresh(256 + 3));
  DBuffer series = filled(1024, 0x11);
  series.append(filled(1024, 0x22));
  side.map->insertInfo(1, series, 1024);
  EXPECT_EQ(side.map->getByte(1024 + 12), 1);
  EXPECT_EQ(side.map->getByte(1024 + 16), 0x22);

  // With EDC overwrite the very next repair replaces local writes.
  side.map->setEDCOverwrite(true);
  side.map->setByte(20, 1);
  side.map->applySpeckChange(0, change);
  EXPECT_FALSE(side.map->isFresh(5));
  EXPECT_FALSE(side.map->isFresh(3));
  side.map->insertInfo(0, repair);
  EXPECT_EQ(side.map->getByte(20), 0x77);
  EXPECT_EQ(side.map->getByte(12), 0x77);

  // Wrong lengths are reported and change nothing.
  side.map->setByte(0, 3);
  side.map->insertInfo(0, filled(1023, 0x55));
  side.map->insertInfo(0, series, 1025);
  ASSERT_EQ(side.errors.size(), 2u);
  EXPECT_EQ(side.errors[0], "SyncDataMap::insertInfo(): got 1023 bytes, should have got 1024");
  EXPECT_EQ(side.errors[1], "SyncDataMap::insertInfo(): got 1023 bytes, should have got 1024");
  EXPECT_EQ(side.map->getByte(0), 3);
}

TEST(SyncDataMap, PredictiveBuffersKeepTheShownValue) {
  Side side(false, 1024, 4);
  side.map->addData(1024);
  side.map->initialize();
  side.map->setEDCOverwrite(true);
  side.map->setByte(1, 50);
  EXPECT_FALSE(side.map->isPredictive());
  side.map->preventUpdates(1);
  EXPECT_TRUE(side.map->isPredictive());
  EXPECT_EQ(side.map->getServerValue(1), 1) << "server values start at 1";
  side.map->insertInfo(0, filled(1024, 0x40));
  EXPECT_EQ(side.map->getByte(1), 50);
  EXPECT_EQ(side.map->getServerValue(1), 0x40);
  EXPECT_EQ(side.map->getByte(2), 0x40);
  side.map->enableUpdates(1);
  side.map->insertInfo(0, filled(1024, 0x41));
  EXPECT_EQ(side.map->getByte(1), 0x41);

  Side server(true, 1024, 4);
  EXPECT_FATAL(server.map->activateDeadReckoning(), "Predictive buffers created on the client-side only\\.");
}

TEST(SyncDataMap, LargestCanvasFitsWithinTenPercent) {
  // A 10000 x 10000 canvas: 10000 blocks of 100 x 100 pixels, three planes each.
  const unsigned int planes = 30000, planeSize = 10000;
  const double bytes = double(planes) * planeSize;
  long before = rssKb();
  std::vector<SyncArray<unsigned char>> canvas;
  canvas.reserve(planes);
  {
    Side side(false, 30000, 3);
    for (unsigned int p = 0; p < planes; ++p) canvas.emplace_back(side, planeSize);
    side.map->initialize();
    ASSERT_EQ(side.map->getSize(), 300000000u);
    ASSERT_EQ(side.map->getNumSegments(), 10000);
    double overhead = double(side.map->memoryUsage()) / bytes;
    long after = rssKb();
    std::printf("map memory %.4f x its bytes; resident growth %.4f x\n", overhead, (after - before) * 1024.0 / bytes);
    EXPECT_LT(overhead, 1.1);
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT((after - before) * 1024.0, 1.1 * bytes);
#endif
    canvas.back().set(planeSize - 1, 200);
    EXPECT_EQ(side.map->getByte(299999999), 200);
    EXPECT_TRUE(side.map->isFresh(99999999));
    DBuffer last;
    side.map->extractInfo(9999, last);
    EXPECT_EQ(side.map->getCRC(9999), last.crc32());
  }
}

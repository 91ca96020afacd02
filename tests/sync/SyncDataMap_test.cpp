// The data map: growth and padding, CRC cache, change callback, flush
// collection and per-client slices (server), fresh specks and EDC overwrite (client), predictive
// buffers, bounds, and the largest canvas in memory.

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DBuffer.h"
#include "EnginePump.h"
#include "FatalTest.h"
#include "SyncArray.h"
#include "SyncDataMap.h"
#include "SyncFlushBuffer.h"
#include "SyncMapSegment.h"
#include "SyncSettings.h"

using libkorvet::DBuffer;
using namespace libksync;
using testnet::all;

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
    unsigned int old = next, at = settings.calcSyncIndex(size, next);
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
  DBuffer b;
  b.appendArray(std::vector<unsigned char>(n, value).data(), n);
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
  SyncArray<unsigned char> one(side, 1);
  EXPECT_EQ(one.getStartIndex(), 30000u);
  side.map->initialize();
  EXPECT_EQ(side.map->getSize(), 60000u);
  EXPECT_FATAL(first.get(30000), "SyncArray::get\\(\\): index 30000 out of bounds");
  EXPECT_FATAL(side.map->getByte(60000), "SyncDataMap::getByte\\(\\): index 60000 is outside the map of 60000 bytes");
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
  unsigned int zeros = side.map->getCRC(0);
  EXPECT_EQ(zeros, copy.crc32());

  // Writing the value a byte already has changes nothing at all.
  side.map->setByte(10, 0);
  EXPECT_TRUE(calls.empty());
  EXPECT_FALSE(side.map->isFlushPending(2));

  side.map->setByte(10, 0x5A);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], std::make_pair(10u, (unsigned char)0x5A));
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
    EXPECT_EQ(all(buffer.getRecord(0)), std::vector<int>({0, 0, 0, 2, 0, 0, 1, 0, 0, 0, 0, 2, 0, 2, 0, 0}));
    EXPECT_EQ(all(buffer.getRecord(1)), std::vector<int>({0, 1, 0, 1, 0, 1, 3, 0, 0, 0}));
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
  }
}

// Each client gets whole records while they fit its budget, then the leading
// entries of the next; the records stay for the next client.
TEST(SyncDataMap, FlushBufferSlicesPerClientBudget) {
  Side side(true, 1024, 4);  // entries of 6 bytes
  side.map->addData(3072);
  side.map->initialize();
  side.map->setByte(0, 0xA1);                                           // record of 10 bytes
  for (unsigned int i : {1024u, 1028u, 1032u}) side.map->setByte(i, 0xB2);  // record of 22
  SyncFlushBuffer buffer(&side.settings);
  side.map->getFlushData(buffer, 1000);
  ASSERT_EQ(buffer.size(), 34);
  DBuffer raw, packed;
  EXPECT_FALSE(buffer.extractMessage(25, raw, packed));  // payload room 24
  std::vector<int> expected = {2, 0};
  for (int v : all(buffer.getRecord(0))) expected.push_back(v);
  for (int v : {0, 1, 0, 1, 0, 0, 0xB2, 0, 0, 0}) expected.push_back(v);
  EXPECT_EQ(all(raw), expected);
  EXPECT_EQ(buffer.getUnsentBytes(), 34 - 22);
  buffer.extractMessage(33, raw, packed);  // exactly everything
  EXPECT_EQ(raw.size(), 34u);
  EXPECT_EQ(buffer.getUnsentBytes(), 0);
  for (unsigned short budget : {0, 1, 9}) {  // not even one entry
    EXPECT_FALSE(buffer.extractMessage(budget, raw, packed));
    EXPECT_EQ(raw.size() + packed.size(), 0u);
  }

  // Compressed only when shorter, the same for every client of the period.
  for (unsigned int i = 2048; i < 3072; i += 4) side.map->setByte(i, 5);
  SyncFlushBuffer many(&side.settings);
  side.map->getFlushData(many, 4000);
  for (int client = 0; client < 2; ++client) {
    EXPECT_TRUE(many.extractMessage(4000, raw, packed));
    EXPECT_EQ(all(packed).at(0) * 10 + all(packed).at(1), 21);
    ASSERT_LT(packed.size(), raw.size());
    packed.removeFirst(2);
    raw.removeFirst(1);
    raw.setByte(0, 2);
    raw.removeFirst(1);
    EXPECT_EQ(all(packed.decompress()), all(raw));
  }
  EXPECT_TRUE(side.errors.empty());
  EXPECT_FATAL(many.addSegment(new DBuffer(filled(65534, 0))),
               "SyncFlushBuffer::addSegment\\(\\): a record of 65534 bytes would take the buffer above 65535 bytes");
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
  EXPECT_EQ(side.map->getByte(3) + side.map->getByte(8), 2 * 0x77);
  EXPECT_FALSE(side.map->isFresh(1));
  side.map->insertInfo(0, repair);
  EXPECT_EQ(side.map->getByte(5), 0x77);
  SyncSpeckChange change(4);
  change.setIndex(3);
  for (unsigned short i = 0; i < 4; ++i) change.setByte(static_cast<unsigned char>(i + 1), i);
  side.map->applySpeckChange(1, change);
  EXPECT_EQ(side.map->getByte(1024 + 15), 4);
  EXPECT_TRUE(side.map->isFresh(256 + 3));

  // With EDC overwrite the very next repair replaces local writes.
  side.map->setEDCOverwrite(true);
  side.map->setByte(20, 1);
  side.map->applySpeckChange(0, change);
  EXPECT_FALSE(side.map->isFresh(5));
  EXPECT_FALSE(side.map->isFresh(3));
  side.map->insertInfo(0, repair);
  EXPECT_EQ(side.map->getByte(20) + side.map->getByte(12), 2 * 0x77);

  // Wrong lengths are reported and change nothing.
  side.map->setByte(0, 3);
  side.map->insertInfo(0, filled(1023, 0x55));
  EXPECT_EQ(side.errors, std::vector<std::string>(1, "SyncDataMap::insertInfo(): got 1023 bytes, should have got 1024"));
  EXPECT_EQ(side.map->getByte(0), 3);
}

std::vector<std::pair<unsigned int, unsigned int>> runs;
void recordRun(const SyncDataMap&, unsigned int index, unsigned int count) { runs.emplace_back(index, count); }

// With a run callback, runs are reported once per segment instead of byte by
// byte, and mark exactly what byte-by-byte writes would.
TEST(SyncDataMap, RunsAreReportedOncePerSegment) {
  Side side(false, 1024, 4);
  side.map->addData(2048);
  side.map->initialize();
  side.map->changeCallback = record;
  side.map->rangeCallback = recordRun;
  calls.clear();
  runs.clear();

  std::vector<unsigned char> values(100, 0);  // bytes 1000..1099
  values[2] = 1;   // 1002, speck 250
  values[30] = 2;  // 1030, speck 257 (segment 1)
  values[60] = 3;  // 1060, speck 265
  side.map->setBytes(1000, values.data(), 100);
  EXPECT_TRUE(calls.empty());
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0], std::make_pair(1002u, 1u));
  EXPECT_EQ(runs[1], std::make_pair(1030u, 31u));
  EXPECT_TRUE(side.map->isFresh(250) && side.map->isFresh(257) && side.map->isFresh(265));
  EXPECT_FALSE(side.map->isFresh(251) || side.map->isFresh(258) || side.map->isFresh(264));
  EXPECT_EQ(side.map->getByte(1060), 3);
  unsigned int version = side.map->getSegment(0).getVersion();
  side.map->setBytes(1000, values.data(), 100);  // nothing changes: nothing reported
  EXPECT_EQ(runs.size(), 2u);
  EXPECT_EQ(side.map->getSegment(0).getVersion(), version);

  // A repair reports the runs between the fresh specks it leaves alone.
  runs.clear();
  side.map->insertInfo(0, filled(1024, 0x77));
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0], std::make_pair(0u, 1000u));
  EXPECT_EQ(runs[1], std::make_pair(1004u, 20u));
  EXPECT_EQ(side.map->getByte(1002), 1);
  EXPECT_TRUE(calls.empty());

  // With EDC overwrite nothing is marked fresh.
  side.map->setEDCOverwrite(true);
  values.assign(100, 9);
  side.map->setBytes(1100, values.data(), 100);
  EXPECT_FALSE(side.map->isFresh(275) || side.map->isFresh(299));
}

TEST(SyncDataMap, PredictiveBuffersKeepTheShownValue) {
  Side side(false, 1024, 4);
  side.map->addData(1024);
  side.map->initialize();
  side.map->setEDCOverwrite(true);
  side.map->setByte(1, 50);
  side.map->preventUpdates(1);
  EXPECT_EQ(side.map->getServerValue(1), 1) << "server values start at 1";
  side.map->insertInfo(0, filled(1024, 0x40));
  EXPECT_EQ(side.map->getByte(1) * 1000 + side.map->getServerValue(1) * 10 + side.map->getByte(2), 50000 + 640 + 64);
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
    EXPECT_TRUE(side.map->getByte(299999999) == 200 && side.map->isFresh(99999999));
    DBuffer last;
    side.map->extractInfo(9999, last);
    EXPECT_EQ(side.map->getCRC(9999), last.crc32());
  }
}

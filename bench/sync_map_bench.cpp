// Server-side costs of the synchronized data map at the largest canvas
// (10000 x 10000 pixels: 10000 segments of 30000 bytes, speck size 3):
// allocation through the per-byte SyncEngine path, resident memory against
// the bytes themselves, CRCs for one EDC query of 15 segments (cached, after
// changes, and by copying into a buffer first), and one flush collection.
// Prints figures only; never fails on time.

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "DBuffer.h"
#include "SyncArray.h"
#include "SyncDataMap.h"
#include "SyncEngine.h"
#include "SyncFlushBuffer.h"
#include "SyncSettings.h"

using libkorvet::DBuffer;
using libksync::SyncArray;
using libksync::SyncDataMap;
using libksync::SyncEngine;
using libksync::SyncFlushBuffer;
using libksync::SyncSettings;
using Clock = std::chrono::steady_clock;

namespace {

class Server : public SyncEngine {
 public:
  Server() : settings([](std::string) {}), next(0) {
    settings.setIsServer();
    settings.setSegmentSize(30000, 3);
    map = new SyncDataMap(&settings);
  }
  ~Server() override { delete map; }
  unsigned int getSyncIndex(unsigned short size) override {
    unsigned int old = next;
    unsigned int at = settings.calcSyncIndex(size, next);
    map->addData(next - old);
    return at;
  }
  SyncDataMap* retrieveDataMap() override { return map; }
  SyncSettings settings;
  SyncDataMap* map;
  unsigned int next;
};

long rssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
  return -1;
}

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

int main() {
  const unsigned int segments = 10000, segmentSize = 30000, querySegments = 15;
  const double bytes = double(segments) * segmentSize;

  long before = rssKb();
  Clock::time_point start = Clock::now();
  Server server;
  std::vector<SyncArray<unsigned char>> planes;
  planes.reserve(segments * 3);
  for (unsigned int p = 0; p < segments * 3; ++p) planes.emplace_back(server, 10000);
  server.map->initialize();
  double allocSeconds = since(start);
  long after = rssKb();
  SyncDataMap& map = *server.map;
  std::printf("map: %u bytes, %u segments, allocated one byte at a time in %.2f s\n", map.getSize(),
              map.getNumSegments(), allocSeconds);
  std::printf("memory: resident growth %.1f MB = %.4f x the bytes; map's own accounting %.4f x (goal <= 1.1)\n",
              (after - before) / 1024.0, (after - before) * 1024.0 / bytes, double(map.memoryUsage()) / bytes);

  // Some content, so CRCs are not all of zeros.
  for (unsigned int s = 0; s < segments; ++s)
    for (unsigned int i = 0; i < segmentSize; i += 97) map.setByte(s * segmentSize + i, static_cast<unsigned char>(s + i));
  for (unsigned int s = 0; s < segments; ++s) map.getCRC(static_cast<unsigned short>(s));

  // One query: 15 consecutive segments, wrapping, as a client sends them.
  unsigned int sink = 0;
  unsigned int first = 0;
  auto query = [&]() {
    for (unsigned int k = 0; k < querySegments; ++k) sink ^= map.getCRC(static_cast<unsigned short>((first + k) % segments));
    first = (first + querySegments) % segments;
  };

  const int cachedRounds = 200000;
  start = Clock::now();
  for (int r = 0; r < cachedRounds; ++r) query();
  double cachedUs = since(start) * 1e6 / cachedRounds;

  const int changedRounds = 2000;
  double changedTotal = 0;
  for (int r = 0; r < changedRounds; ++r) {
    for (unsigned int k = 0; k < querySegments; ++k) {
      unsigned int seg = (first + k) % segments;
      map.setByte(seg * segmentSize + 5, static_cast<unsigned char>(r + k + 1));
    }
    start = Clock::now();
    query();
    changedTotal += since(start);
  }
  double changedUs = changedTotal * 1e6 / changedRounds;

  // The same work done by copying each segment into a buffer first.
  const int copyRounds = 500;
  start = Clock::now();
  for (int r = 0; r < copyRounds; ++r) {
    for (unsigned int k = 0; k < querySegments; ++k) {
      DBuffer copy;
      map.extractInfo(static_cast<unsigned short>((first + k) % segments), copy);
      sink ^= copy.crc32();
    }
    first = (first + querySegments) % segments;
  }
  double copyUs = since(start) * 1e6 / copyRounds;

  std::printf("CRCs for one query of %u segments: cached %.3f us, after changes to all %u %.1f us, "
              "by copy into a DBuffer %.1f us\n",
              querySegments, cachedUs, querySegments, changedUs, copyUs);

  // One flush collection with 1000 changed specks spread over the map (the
  // changes made above are collected, and mostly dropped, first).
  {
    SyncFlushBuffer drain(&server.settings);
    map.getFlushData(drain, 65534);
  }
  for (unsigned int c = 0; c < 1000; ++c) map.setByte((c * 2654435761u) % map.getSize(), 0xEE);
  start = Clock::now();
  SyncFlushBuffer flush(&server.settings);
  map.getFlushData(flush, 65534);
  std::printf("flush collection over %u segments with 1000 changed specks: %.1f us, %u records, %u bytes\n",
              segments, since(start) * 1e6, flush.numRecords(), static_cast<unsigned int>(flush.size()));
  std::printf("(checksum %08x)\n", sink);
  return 0;
}

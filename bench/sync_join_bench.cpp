// Join convergence time: a new client joins a server whose map is a 1600 x
// 1600 canvas (256 segments of 30000 bytes, 7,680,000 bytes) and runs until
// every segment's CRC equals the server's. Random and mostly blank content,
// EDC bandwidths of 16 KB/s and 64 KB/s (65535, the largest the 16-bit
// setting carries), session settings otherwise (quick sync 10, flush off,
// 500 ms EDC period, 128 bytes per second of queries). Real time, loopback.
//
// The bound printed next to each figure is what the protocol allows at best
// for that content: the client's query windows of 15 CRCs replayed against
// the server's map, each reply naming up to 10 mismatches (quick sync), and
// each cycle lasting max(one query period, chunks x 500 ms) where a chunk
// carries edcBandwidth / 2 - 2 bytes of the series (compressed when smaller).
//
// Usage: sync_join_bench [random|blank] [16|64]   (no arguments: all four)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "DServer.h"
#include "SyncArray.h"
#include "SyncClient.h"
#include "SyncDataMap.h"
#include "SyncServer.h"

using libkorvet::DBuffer;
using libkorvet::DDispatcher;
using libkorvet::DEngine;
using libksync::SyncArray;
using libksync::SyncClient;
using libksync::SyncDataMap;
using libksync::SyncServer;

namespace {

const unsigned short SEGMENT_SIZE = 30000;
const unsigned int SIDE = 1600;
const unsigned int BLOCKS = (SIDE / 100) * (SIDE / 100);
const unsigned int MAP_BYTES = BLOCKS * SEGMENT_SIZE;
const unsigned int QUERY_CRCS = 15;  // 128 bytes per second at 500 ms
const unsigned int QUICK_SYNC = 10;
const double PERIOD_S = 0.5;

class Listener : public libkorvet::DServer {
 public:
  Listener(DEngine* e, SyncServer* s) : DServer(e), engine(e), server(s) {}
  void connectHandler(Socket* socket) override {
    conns.emplace_back(new DDispatcher(engine, socket));
    server->addClient(conns.back().get());
  }
  void errorHandler(std::string text) override { std::printf("accept failed: %s\n", text.c_str()); }
  std::vector<std::unique_ptr<DDispatcher>> conns;

 private:
  DEngine* engine;
  SyncServer* server;
};

// Byte index of one colour plane of a pixel in the canvas layout: blocks of
// 100 x 100 pixels, each 10000 red, then green, then blue bytes.
unsigned int pixelIndex(unsigned int x, unsigned int y, unsigned int plane) {
  unsigned int block = (y / 100) * (SIDE / 100) + x / 100;
  return block * SEGMENT_SIZE + plane * 10000 + (y % 100) * 100 + x % 100;
}

void fillServer(SyncArray<unsigned char>& canvas, bool random) {
  if (random) {
    for (unsigned int i = 0; i < MAP_BYTES; ++i) canvas.set(i, static_cast<unsigned char>(std::rand()));
    return;
  }
  for (unsigned int i = 0; i < MAP_BYTES; ++i) canvas.set(i, 255);
  // A few hundred short strokes of brush size 3 on a white canvas.
  for (int s = 0; s < 300; ++s) {
    unsigned int x = 80 + std::rand() % (SIDE - 160), y = 80 + std::rand() % (SIDE - 160);
    unsigned char r = std::rand(), g = std::rand(), b = std::rand();
    int dx = std::rand() % 3 - 1, dy = std::rand() % 3 - 1;
    for (int k = 0; k < 60; ++k)
      for (unsigned int oy = 0; oy < 3; ++oy)
        for (unsigned int ox = 0; ox < 3; ++ox) {
          unsigned int px = x + 10 + k * dx + ox, py = y + 10 + k * dy + oy;
          canvas.set(pixelIndex(px, py, 0), r);
          canvas.set(pixelIndex(px, py, 1), g);
          canvas.set(pixelIndex(px, py, 2), b);
        }
  }
}

// The client's placeholder: a grey 4-pixel checkerboard.
void fillPlaceholder(SyncArray<unsigned char>& canvas) {
  for (unsigned int y = 0; y < SIDE; ++y)
    for (unsigned int x = 0; x < SIDE; ++x) {
      unsigned char v = ((x / 4 + y / 4) % 2) ? 128 : 96;
      for (unsigned int p = 0; p < 3; ++p) canvas.set(pixelIndex(x, y, p), v);
    }
}

struct Bound {
  double seconds = 0;
  unsigned int cycles = 0;
  unsigned long long seriesBytes = 0;
};

// Replays the ideal exchange over the two maps as they stand at join.
Bound protocolBound(SyncDataMap& server, SyncDataMap& client, unsigned int bandwidth) {
  unsigned int numSegments = server.getNumSegments();
  std::vector<bool> differs(numSegments);
  for (unsigned short s = 0; s < numSegments; ++s) differs[s] = server.getCRC(s) != client.getCRC(s);
  unsigned int perChunk = bandwidth / 2 - 2;
  Bound b;
  unsigned int next = 0, compared = 0;
  bool firstPass = true;
  while (std::count(differs.begin(), differs.end(), true) > 0) {
    unsigned int maxReturned = firstPass ? QUICK_SYNC : 1;
    std::vector<unsigned short> list;
    unsigned int seg = next;
    for (unsigned int i = 0; i < QUERY_CRCS && list.size() < maxReturned; ++i) {
      if (differs[seg]) list.push_back(static_cast<unsigned short>(seg));
      seg = (seg + 1) % numSegments;
      if (firstPass && ++compared >= numSegments) firstPass = false;
    }
    ++b.cycles;
    if (list.empty()) {
      next = seg;
      b.seconds += PERIOD_S;
      continue;
    }
    DBuffer raw;
    for (unsigned short s : list) {
      server.extractInfo(s, raw);
      differs[s] = false;
    }
    unsigned int size = std::min(raw.size(), raw.compress(9).size());
    unsigned int chunks = (size + perChunk - 1) / perChunk;
    b.seriesBytes += size;
    b.seconds += std::max(1u, chunks) * PERIOD_S;
    next = (list.back() + 1u) % numSegments;
  }
  return b;
}

void runCase(bool random, unsigned short bandwidth) {
  std::srand(1);
  DEngine hostEngine, guestEngine;
  int errors = 0;
  auto report = [&errors](std::string text) {
    // With the flush mechanism off (as in a session) its timer says so once.
    if (text == "Flush protocol has a send limit too small to send any data.") return;
    ++errors;
    std::printf("  sync error: %s\n", text.c_str());
  };
  SyncServer server(&hostEngine, 0, report);
  server.setQuickSync(QUICK_SYNC);
  server.setSegmentSize(SEGMENT_SIZE, 3);
  server.setFlushBandwidth(0);
  server.setEDCBandwidth(bandwidth);
  server.setEDCPeriod(500);
  SyncArray<unsigned char> hostCanvas(server, MAP_BYTES);
  fillServer(hostCanvas, random);
  server.initialize();
  Listener listener(&hostEngine, &server);
  listener.bind(libkorvet::ipV4, 0);
  listener.startListening();

  DDispatcher conn(&guestEngine);
  conn.startConnect("127.0.0.1", listener.getLocalPort());
  while (!conn.isConnected() || listener.conns.empty()) {
    hostEngine.update(100);
    guestEngine.update(100);
  }
  SyncClient client(&conn, &guestEngine, 0, report);
  client.setQueryBandwidth(128);
  client.setSegmentSize(SEGMENT_SIZE, 3);
  SyncArray<unsigned char> guestCanvas(client, MAP_BYTES);
  client.setQueryPeriod(500);
  client.setEDCOverwrite(true);
  fillPlaceholder(guestCanvas);
  client.setEDCOverwrite(false);
  Bound bound = protocolBound(*server.retrieveDataMap(), *client.retrieveDataMap(), bandwidth);

  SyncDataMap* ours = server.retrieveDataMap();
  SyncDataMap* theirs = client.retrieveDataMap();
  auto start = std::chrono::steady_clock::now();
  client.initialize();
  auto equal = [&] {
    if (client.getState() != SyncClient::SYNCHRONIZING) return false;
    for (unsigned short s = 0; s < ours->getNumSegments(); ++s)
      if (ours->getCRC(s) != theirs->getCRC(s)) return false;
    return true;
  };
  double seconds = 0;
  unsigned int step = 0;
  while (true) {
    hostEngine.update(100);
    guestEngine.update(100);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (++step % 50 == 0 && equal()) break;
    if (seconds > 3 * bound.seconds + 60) {
      std::printf("  gave up\n");
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  std::printf("%-6s %5u B/s  segments %u  series %9llu bytes  cycles %3u  measured %7.2f s  bound %7.2f s  ratio %.3f%s\n",
              random ? "random" : "blank", bandwidth, ours->getNumSegments(), bound.seriesBytes, bound.cycles,
              seconds, bound.seconds, seconds / bound.seconds, errors ? "  (errors)" : "");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<bool> contents = {false, true};
  std::vector<unsigned short> bandwidths = {16384, 65535};
  if (argc > 1) contents = {std::strcmp(argv[1], "random") == 0};
  if (argc > 2) bandwidths = {static_cast<unsigned short>(std::strcmp(argv[2], "64") == 0 ? 65535 : 16384)};
  std::printf("join convergence, %u x %u canvas, %u bytes\n", SIDE, SIDE, MAP_BYTES);
  for (bool random : contents)
    for (unsigned short bw : bandwidths) runCase(random, bw);
  return 0;
}

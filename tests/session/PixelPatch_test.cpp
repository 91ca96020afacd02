// Changed pixels sent from the host's canvas to a client's: any set of
// pixels arrives exactly, in bodies that fit a frame; a malformed or
// off-canvas body writes nothing.

#include <random>
#include <set>
#include <vector>

#include "CanvasTestSupport.h"
#include "DDispatcher.h"
#include "PixelPatch.h"
#include "WorldMap.h"

namespace {

using libkorvet::DBuffer;

struct Canvases {
  Canvases() {
    initAllegro();
    host.create(1600, 1600, &hostEngine);
    client.create(1600, 1600, &clientEngine);
  }
  TestSyncEngine hostEngine, clientEngine;
  WorldMap host, client;
};

bool equalAt(WorldMap& a, WorldMap& b, unsigned int pixel) {
  unsigned char x[3], y[3];
  a.readPixel(pixel, x);
  b.readPixel(pixel, y);
  return x[0] == y[0] && x[1] == y[1] && x[2] == y[2];
}

}  // namespace

TEST(PixelPatch, AnySetOfPixelsArrivesExactlyInFrameSizedBodies) {
  Canvases c;
  std::mt19937 rng(7);
  std::set<unsigned int> chosen;
  // A long run (more than one run and one body can hold), scattered pixels
  // with random values, and the canvas's last pixel.
  for (unsigned int p = 5000; p < 5000 + 70000; ++p) chosen.insert(p);
  for (int i = 0; i < 20000; ++i) chosen.insert(rng() % (1600u * 1600u));
  chosen.insert(1600u * 1600u - 1);
  for (unsigned int p : chosen) {
    const unsigned char rgb[3] = {static_cast<unsigned char>(rng()), static_cast<unsigned char>(rng()),
                                  static_cast<unsigned char>(rng())};
    c.host.writePixel(p, rgb);
  }
  std::vector<DBuffer> bodies;
  PixelPatch::build(c.host, std::vector<unsigned int>(chosen.begin(), chosen.end()), 68, bodies);
  ASSERT_GT(bodies.size(), 3u);
  for (DBuffer& body : bodies) {
    ASSERT_LE(body.size(), libkorvet::DDispatcher::MAX_BODY_SIZE);
    ASSERT_EQ(body.getByte(0), 68);
    body.removeFirst(1);
    std::string err;
    ASSERT_TRUE(PixelPatch::apply(body, c.client, err)) << err;
  }
  unsigned int wrong = 0;
  for (unsigned int p = 0; p < 1600u * 1600u; p += 7) wrong += equalAt(c.host, c.client, p) ? 0 : 1;
  for (unsigned int p : chosen) wrong += equalAt(c.host, c.client, p) ? 0 : 1;
  EXPECT_EQ(wrong, 0u);
}

TEST(PixelPatch, AMalformedBodyWritesNothing) {
  Canvases c;
  auto run = [](unsigned int first, unsigned short count, unsigned int bytes) {
    DBuffer b;
    b.appendVariable<unsigned int>(first);
    b.appendVariable<unsigned short>(count);
    for (unsigned int i = 0; i < bytes; ++i) b.appendVariable<unsigned char>(200);
    return b;
  };
  auto body = [](std::initializer_list<DBuffer> runs) {
    DBuffer b;
    b.appendVariable<unsigned char>(0);
    for (const DBuffer& r : runs) b.append(r);
    return b;
  };
  const unsigned int last = 1600u * 1600u;
  std::vector<DBuffer> bad = {
      body({run(10, 2, 6), run(100, 3, 8)}),      // the second run is short
      body({run(10, 0, 0), run(20, 1, 3)}),       // an empty run
      body({run(100, 2, 6), run(50, 1, 3)}),      // out of order
      body({run(10, 2, 6), run(11, 1, 3)}),       // overlapping
      body({run(10, 1, 3), run(last - 1, 2, 6)}),  // off the canvas
      body({run(10, 1, 3), run(0xFFFFFFFFu, 2, 6)}),
  };
  DBuffer flag;
  flag.appendVariable<unsigned char>(2);
  bad.push_back(flag);
  // A stream that inflates past one body's bound.
  DBuffer big;
  for (int i = 0; i < 100000; ++i) big.appendVariable<unsigned char>(0);
  DBuffer bomb;
  bomb.appendVariable<unsigned char>(1);
  bomb.append(big.compress(9));
  bad.push_back(bomb);
  for (DBuffer& b : bad) {
    std::string err;
    EXPECT_FALSE(PixelPatch::apply(b, c.client, err));
    EXPECT_FALSE(err.empty());
  }
  unsigned char rgb[3];
  for (unsigned int p : {10u, 11u, 50u, 100u, last - 1}) {
    c.client.readPixel(p, rgb);
    EXPECT_EQ(rgb[0] + rgb[1] + rgb[2], 0) << p;
  }
}

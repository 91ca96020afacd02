// A real host with real joined clients in one process: strokes a client
// sends reach the others as the host painted them, never the sender, skip a
// client that is not reading, and every canvas still ends as the host's;
// a joining client's progress follows its first pass.

#include <gtest/gtest.h>

#include "PeerBudget.h"
#include "ServerConnection.h"
#include "SessionTestNet.h"
#include "SyncEDCProtocol.h"
#include "SyncServerFSM.h"

using namespace sessiontest;

namespace {

// The clients synchronize at the standard pacing.
bool settingsReady = KivSettings::setFlushFrequency("15") && KivSettings::setSyncBandwidth("65535");

void appendInts(DBuffer& out, std::initializer_list<int> values) {
  for (int v : values) out.appendVariable<int>(v);
}

}  // namespace

// The relayed body is the part the host painted, in the plain DRAW layout;
// the joined client paints it at once, over the host's later change, and
// then converges on the host's canvas all the same.
TEST(LiveSession, AClientsStrokeReachesTheOthersAsTheHostPaintedIt) {
  ASSERT_TRUE(settingsReady);
  Host host;
  initAllegro(7, 40, 2, 2);
  ASSERT_TRUE(host.server.initialize(1600, 1600));
  testnet::ManualClock clock;
  Joiner joiner(&host.engine, host.port());
  ASSERT_TRUE(pumpPaced(host.engine, [&] { return joiner.complete(); }, 60000, 5));
  std::unique_ptr<RawPeer> sender = host.connect(), watcher = host.connect();
  // Joined, so that the host keeps them for the whole test.
  for (RawPeer* peer : {sender.get(), watcher.get()}) peer->sendMessage(128, 0, bufferOf({0}));

  // Two joined lines, brush 1, colour 5; then a block with brush 9, which
  // the host refuses.
  DBuffer block = bufferOf({1, 5, 0, 2});
  appendInts(block, {10, 20, 300, 20, -300, -120});
  DBuffer draw = text("DRAW");
  draw.appendByte(0);
  draw.append(block);
  draw.append(bufferOf({9, 5, 0, 1}));
  appendInts(draw, {0, 0, 5, 5});
  sender->sendMessage(0, draw);
  ASSERT_TRUE(pump(host.engine, [&] { return pixelOf(host.data(), 300, 70) != 0; }));
  const unsigned int stroke = pixelOf(host.data(), 150, 20);
  ASSERT_NE(0u, stroke);
  // The host paints that point over before the relay goes out.
  host.map.drawRect(150, 20, 150, 20, 7);
  const unsigned int later = pixelOf(host.data(), 150, 20);
  ASSERT_NE(stroke, later);

  ASSERT_TRUE(pumpPaced(host.engine, [&] { return watcher->got("DRAW") && pixelOf(joiner.data(), 300, 70) != 0; },
                        10000, 1));
  DBuffer expected = text("DRAW");
  expected.appendByte(0);
  expected.append(block);
  EXPECT_EQ(std::vector<Bytes>{bytesOf(expected)},
            std::vector<Bytes>(watcher->bodies.begin() + 1, watcher->bodies.end()));
  EXPECT_EQ(stroke, pixelOf(joiner.data(), 150, 20));
  EXPECT_EQ(0u, pixelOf(joiner.data(), 5, 5));

  // The painted point counts as the client's own change until a repair has
  // passed it once; the next one brings the host's value.
  ASSERT_TRUE(pumpPaced(host.engine, [&] { return joiner.equals(host.data()); }, 60000, 5));
  EXPECT_EQ(later, pixelOf(joiner.data(), 150, 20));
  EXPECT_EQ(1u, sender->bodies.size()) << "the sender got its stroke back";
  EXPECT_EQ(2u, watcher->bodies.size());
}

// A client that stops reading misses the relay (the host queues nothing
// more for it) and its sync brings the stroke once it reads again.
TEST(LiveSession, AClientThatIsNotReadingIsSkippedAndConvergesLater) {
  ASSERT_TRUE(settingsReady);
  Host host;
  ASSERT_TRUE(host.server.initialize(1600, 1600));
  testnet::ManualClock clock;
  DEngine stalledEngine;
  Joiner stalled(&stalledEngine, host.port());
  ASSERT_TRUE(pumpPaced({&host.engine, &stalledEngine}, [&] { return stalled.complete(); }, 60000, 5));
  std::unique_ptr<RawPeer> sender = host.connect(), watcher = host.connect();
  ServerConnection* toStalled = joinedConnection(host);
  ASSERT_NE(nullptr, toStalled);

  // Its engine stands still from here on; the host's queue to it fills.
  DBuffer filler = text("PADx");
  for (int i = 0; i < 60000; ++i) filler.appendByte(static_cast<unsigned char>(i));
  for (int i = 0; i < 100 && !toStalled->getBudget().isCongested(); ++i) {
    toStalled->sendMessage(0, filler);
    testnet::advance({&host.engine}, 10);
  }
  ASSERT_TRUE(toStalled->getBudget().isCongested());
  const int queued = toStalled->unsentBytes();

  DBuffer draw = text("DRAW");
  draw.appendByte(0);
  draw.append(bufferOf({2, 5, 0, 64}));
  for (int i = 0; i < 64; ++i) appendInts(draw, {100 + 3 * i, 400, 120 + 5 * i, 460 + i});
  sender->sendMessage(0, draw);
  ASSERT_TRUE(pumpPaced(host.engine, [&] { return watcher->got("DRAW"); }, 10000, 1));
  EXPECT_LT(toStalled->unsentBytes() - queued, static_cast<int>(watcher->bodies.back().size()));

  ASSERT_TRUE(pumpPaced({&host.engine, &stalledEngine}, [&] { return stalled.equals(host.data()); }, 60000, 5));
  EXPECT_NE(0u, pixelOf(stalled.data(), 100, 400));
  EXPECT_FALSE(toStalled->isDropped());
}

// At every step the share shown is the share of the canvas compared so
// far, from the first segment on, and those segments hold the host's
// picture; the end of the pass is announced once. At the standard pacing,
// and paced by a fast link (on a canvas that takes it several cycles).
TEST(LiveSession, JoinProgressFollowsTheFirstPass) {
  ASSERT_TRUE(settingsReady);
  const struct {
    const char* bandwidth;
    int side;
  } cases[] = {{"65535", 1600}, {"10000000", 4000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bandwidth);
    ASSERT_TRUE(KivSettings::setSyncBandwidth(c.bandwidth));
    Host host;
    ASSERT_TRUE(host.server.initialize(c.side, c.side));
    const int step = c.side / 20;
    for (int i = 0; i < 20; ++i) host.map.applyLineDrawing(step * i, 0, c.side - 1 - step * i, c.side - 1, 2, 5);
    const unsigned short segments = host.data()->getNumSegments();
    testnet::ManualClock clock;
    drainChat();
    Joiner joiner(&host.engine, host.port());
    double last = 0;
    int steps = 0, wrong = 0;
    ASSERT_TRUE(pumpPaced(host.engine, [&] {
      const double done = joiner.client.getJoinProgress();
      if (done < last) ++wrong;
      if (done > last) {
        ++steps;
        const unsigned int compared = static_cast<unsigned int>(done * segments + 0.5);
        for (unsigned short s = 0; s < compared; ++s)
          if (joiner.data()->getCRC(s) != host.data()->getCRC(s)) ++wrong;
      }
      last = done;
      return done >= 1.0;
    }, 60000, 5));
    EXPECT_EQ(0, wrong);
    EXPECT_GE(steps, 2);
    EXPECT_TRUE(joiner.equals(host.data()));

    testnet::advance({&host.engine}, 200);
    int announced = 0;
    for (const StatusLine& l : drainChat())
      announced += l.owner == "KivClient" && l.text.compare(0, 25, "The picture is complete (") == 0 &&
                   l.text.find(" seconds)") == l.text.size() - 9;
    EXPECT_EQ(1, announced);
  }
  ASSERT_TRUE(KivSettings::setSyncBandwidth("65535"));
}

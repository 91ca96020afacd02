// The client's budget of its host on the manual clock: an honest host at full
// pace, with the backlog of a stall, never trips it; paint past it waits,
// and waiting for 5 s condemns the host.

#include <gtest/gtest.h>

#include "DEngine.h"
#include "EnginePump.h"
#include "HostBudget.h"
#include "WorldMap.h"

namespace {

struct Fixture {
  Fixture() : budget(&engine) {}
  void advance(unsigned int ms) {
    libkorvet::DTime::advanceManualClock(ms);
    engine.update(-1);
  }
  testnet::ManualClock clock;
  libkorvet::DEngine engine;
  HostBudget budget;
};

}  // namespace

TEST(HostBudget, AnHonestHostNeverTripsItAndAFloodIsCondemned) {
  Fixture f;
  // Ten minutes of eight clients painting the costliest segment every tick,
  // relayed, a full CHAT every 15 ticks, and repairs as fast as they may be
  // written; after a minute a ten-second stall's backlog arrives at once.
  const long line = WorldMap::lineCost(0, 0, 1599, 1599, 3);
  unsigned long long repaired = 0;
  bool chatRefused = false;
  int waits = 0;
  for (int tick = 0; tick < 30 * 600; ++tick) {
    int backlog = tick == 30 * 60 ? 30 * 10 : 1;
    for (int i = 0; i < 8 * backlog; ++i) f.budget.chargePaint(line);
    if (tick % 15 == 0)
      for (int i = 0; i < 255; ++i) chatRefused |= !f.budget.chargeChatLine();
    for (int segment = 0; segment < 255 && f.budget.mayRepair(repaired); ++segment) repaired += 30000;
    f.budget.chargeInbound(8 * 1024);
    waits += f.budget.mustWait();
    f.budget.check();
    f.advance(33);
  }
  EXPECT_FALSE(chatRefused);
  EXPECT_FALSE(f.budget.isCondemned());
  EXPECT_GT(waits, 0);  // the backlog waited
  EXPECT_LT(waits, 30 * 3);
  // Repairs go at their rate, a segment a frame or more.
  EXPECT_GT(repaired, 30000ull * 30 * 600);
  EXPECT_LT(repaired, static_cast<unsigned long long>(HostBudget::REPAIRED_BYTES_PER_SECOND * 601));

  // Paint at twice the rate waits from the first tick, and after 5 s the
  // host is condemned.
  int ticks = 0;
  while (!f.budget.isCondemned() && ticks < 30 * 10) {
    f.budget.chargePaint(static_cast<long>(2 * HostBudget::PAINTED_PIXELS_PER_SECOND / 30));
    EXPECT_TRUE(f.budget.mustWait());
    f.budget.check();
    f.advance(33);
    ++ticks;
  }
  EXPECT_NEAR(ticks * 33, static_cast<int>(PeerBudget::OVER_BUDGET_CLOSE_MS), 100);
}

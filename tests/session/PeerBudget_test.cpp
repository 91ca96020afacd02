// Per-connection budget on the manual clock: a client at the protocol's own
// pacing never trips it, overruns drop and then condemn (pauses or not),
// faults run out, the outbound and admission rules, reading paused by inbound
// debt, and status lines bounded per connection and per address.

#include <gtest/gtest.h>

#include "DClient.h"
#include "DEngine.h"
#include "EnginePump.h"
#include "PeerBudget.h"
#include "WorldMap.h"

namespace {

using libkorvet::DTime;

// A connection whose unsent bytes the test sets (sentBytes() stays 0).
struct Queue : libkorvet::DClient {
  explicit Queue(libkorvet::DEngine* e) : DClient(e) {}
  int unsentBytes() override { return unsent; }
  int unsent = 0;
};

struct Fixture {
  // A client of a 1600 x 1600 canvas by default.
  explicit Fixture(unsigned long long canvasBytes = 1600ull * 1600 * 3)
      : queue(&engine), budget(&engine, &queue, canvasBytes) {}
  // Moves the clock and lets the engine see it.
  void advance(unsigned int ms) {
    DTime::advanceManualClock(ms);
    engine.update(-1);
  }
  testnet::ManualClock clock;
  libkorvet::DEngine engine;
  Queue queue;
  PeerBudget budget;
};

// The costliest line a real client paints: brush 3, longer than its 68 stamps.
const long REAL_LINE = WorldMap::lineCost(0, 0, 1599, 1599, 3);

}  // namespace

TEST(PeerBudget, ARealClientAtFullPaceNeverTripsIt) {
  Fixture f;
  EXPECT_EQ(70 * 49, REAL_LINE);
  // Ten minutes of a stroke segment every tick, a query every 500 ms and a
  // full chat line every 15 ticks, with a ten-second stall whose backlog
  // then arrives at once. The queries are a link-paced client's, whose first
  // pass over the largest canvas (two cycles per 255 segments, at worst)
  // comes first, a cycle every 2 ms.
  bool refused = false;
  auto query = [&] {
    refused |= !f.budget.charge(PeerBudget::SYNC_MESSAGES, 1) ||
               !f.budget.charge(PeerBudget::SYNC_BYTES, PeerBudget::LARGEST_QUERY) ||
               !f.budget.chargeInbound(PeerBudget::LARGEST_QUERY + 8);
    f.budget.noteQuery();
  };
  for (unsigned int cycle = 0; cycle < 2 * (10000 / 255 + 1); ++cycle) {
    query();
    f.advance(2);
  }
  auto tick = [&](int t) {
    refused |= !f.budget.chargeLine(REAL_LINE) || !f.budget.chargeInbound(600);
    if (t % 15 == 0) refused |= !f.budget.chargeChatLine(2 + 255 + 255) || !f.budget.chargeInbound(530);
    if (t % 15 == 0) query();
  };
  for (int t = 0; t < 30 * 600; ++t) {
    if (t == 3000) {
      f.advance(10000);
      for (int backlog = 0; backlog < 300; ++backlog) tick(backlog);
    }
    tick(t);
    f.advance(33);
    f.budget.check(true, false);
  }
  EXPECT_FALSE(refused);
  EXPECT_EQ("", f.budget.getVerdict());
}

TEST(PeerBudget, OverrunsDropTheExcessThenCondemnAndFaultsRunOut) {
  Fixture f;
  for (int i = 0; i < PeerBudget::CHAT_BYTES_BURST / 1024; ++i) ASSERT_TRUE(f.budget.charge(PeerBudget::CHAT_BYTES, 1024));
  EXPECT_FALSE(f.budget.charge(PeerBudget::CHAT_BYTES, 1024));
  EXPECT_FALSE(f.budget.charge(PeerBudget::CHAT_BYTES, PeerBudget::CHAT_BYTES_BURST + 1));  // never fits
  // Refused now and then, with gaps longer than a second: one overrun each.
  for (int i = 0; i < 5; ++i) {
    f.advance(PeerBudget::OVER_BUDGET_GAP_MS + 500);
    f.budget.charge(PeerBudget::CHAT_BYTES, PeerBudget::CHAT_BYTES_BURST + 1);
  }
  EXPECT_EQ("", f.budget.getVerdict());
  // Twice the rate without a pause: the burst lasts four seconds, then five
  // of refusals condemn.
  unsigned int firstRefusal = 0, t = 0;
  for (; t < 20000 && f.budget.getVerdict().empty(); t += 100) {
    if (!f.budget.charge(PeerBudget::CHAT_BYTES, PeerBudget::CHAT_BYTES_PER_SECOND / 5) && firstRefusal == 0)
      firstRefusal = t;
    f.advance(100);
  }
  EXPECT_EQ("over its CHAT budget for 5 seconds", f.budget.getVerdict());
  EXPECT_EQ(PeerBudget::OVER_BUDGET_CLOSE_MS + 100, t - firstRefusal);
  // Refused for 4.5 s, quiet for 1.1 s, and again: the pauses do not start
  // the count afresh.
  Fixture p;
  while (p.budget.chargeLine(REAL_LINE)) continue;
  unsigned int at = 0;
  for (; at < 30000 && p.budget.getVerdict().empty(); ++at) {
    if (at % 5600 < 4500) p.budget.chargeLine(REAL_LINE);
    p.advance(1);
  }
  EXPECT_EQ("over its DRAW budget for 5 seconds", p.budget.getVerdict());
  EXPECT_LT(at, 7000u);

  // A line is refused by the bucket that lacks, without charging the other.
  Fixture g;
  EXPECT_FALSE(g.budget.chargeLine(static_cast<long>(PeerBudget::PAINTED_PIXELS_BURST) + 1));
  EXPECT_TRUE(g.budget.mayDraw());  // a line that can never fit bars nothing after it
  for (int i = 0; i < PeerBudget::DRAW_LINES_BURST; ++i) ASSERT_TRUE(g.budget.chargeLine(1)) << i;
  EXPECT_FALSE(g.budget.chargeLine(1));
  EXPECT_FALSE(g.budget.mayDraw());
  // Past its area, a DRAW is refused undecoded until the area has grown back
  // to the line refused last (600 pixels a millisecond).
  Fixture d;
  ASSERT_TRUE(d.budget.chargeLine(static_cast<long>(PeerBudget::PAINTED_PIXELS_BURST) - 1000));
  EXPECT_FALSE(d.budget.chargeLine(5000));
  d.advance(6);
  EXPECT_FALSE(d.budget.mayDraw());
  d.advance(1);
  EXPECT_TRUE(d.budget.mayDraw());

  // Largest queries at ten times the rate: the sync buckets bound them too.
  Fixture q;
  for (unsigned int t = 0; t < 60000 && q.budget.getVerdict().empty(); ++t) {
    q.budget.charge(PeerBudget::SYNC_BYTES, PeerBudget::LARGEST_QUERY);
    q.advance(1);
  }
  EXPECT_EQ("over its sync budget for 5 seconds", q.budget.getVerdict());

  for (int i = 0; i < PeerBudget::FAULTS_BURST; ++i) ASSERT_TRUE(g.budget.chargeFault());
  EXPECT_FALSE(g.budget.chargeFault());
  EXPECT_EQ("sent too much malformed data", g.budget.getVerdict());
}

TEST(PeerBudget, OutboundAndAdmissionRules) {
  Fixture f;
  f.queue.unsent = PeerBudget::CONGESTED_UNSENT_BYTES - 100;
  EXPECT_TRUE(f.budget.maySend(100));
  EXPECT_FALSE(f.budget.maySend(101));
  EXPECT_FALSE(f.budget.isCongested());
  f.queue.unsent = PeerBudget::MAX_UNSENT_BYTES + 1;
  EXPECT_TRUE(f.budget.isCongested());
  f.budget.check(true, false);
  EXPECT_EQ("not reading (4194305 bytes unsent)", f.budget.getVerdict());
  EXPECT_FALSE(f.budget.hasOnlyOverstayed());

  Fixture late;
  late.advance(PeerBudget::JOIN_DEADLINE_MS - 1);
  late.budget.check(false, false);
  EXPECT_EQ("", late.budget.getVerdict());
  late.advance(1);
  late.budget.check(false, false);
  EXPECT_EQ("no JOIN within 15 seconds", late.budget.getVerdict());
  // A client of the largest canvas has a second per 2 MB to build its copy.
  Fixture largest(10000ull * 10000 * 3);
  largest.advance(149999);
  largest.budget.check(false, false);
  EXPECT_EQ("", largest.budget.getVerdict());
  largest.advance(1);
  largest.budget.check(false, false);
  EXPECT_EQ("no JOIN within 150 seconds", largest.budget.getVerdict());

  // Joined, a peer takes part by querying, or by taking a repair while one
  // streams; a repeated JOIN or anything else does not count.
  Fixture joined;
  joined.advance(10000);
  joined.budget.check(true, false);
  joined.advance(PeerBudget::IDLE_LIMIT_MS - 1000);
  joined.budget.noteQuery();
  for (int s = 0; s < 70; ++s) {
    joined.advance(1000);
    joined.queue.unsent = s % 2 == 0 ? 0 : 5000;
    joined.budget.check(true, true);
  }
  EXPECT_EQ("", joined.budget.getVerdict());
  joined.queue.unsent = 0;
  for (int s = 0; s < 60; ++s) {
    joined.advance(1000);
    joined.budget.check(true, false);
  }
  EXPECT_EQ("idle", joined.budget.getVerdict());

  // Bytes waiting for a peer that takes none for a minute: not reading.
  Fixture stuck;
  stuck.queue.unsent = 1000;
  for (unsigned int t = 0; t < PeerBudget::SLOW_READER_WINDOW_MS - 1000; t += 1000) {
    stuck.advance(1000);
    stuck.budget.noteQuery();
    stuck.budget.check(true, false);
  }
  EXPECT_EQ("", stuck.budget.getVerdict());
  stuck.advance(1000);
  stuck.budget.check(true, false);
  EXPECT_EQ("not reading (1000 bytes unsent)", stuck.budget.getVerdict());
  // Overstaying keeps a place on a full host; piling up what it is sent
  // does not.
  EXPECT_TRUE(stuck.budget.hasOnlyOverstayed());
  stuck.queue.unsent = PeerBudget::MAX_UNSENT_BYTES + 1;
  stuck.budget.check(true, false);
  EXPECT_EQ("not reading (4194305 bytes unsent)", stuck.budget.getVerdict());
  EXPECT_FALSE(stuck.budget.hasOnlyOverstayed());
}

TEST(PeerBudget, InboundDebtPausesReadingAndLinesAreBoundedPerAddress) {
  Fixture f;
  EXPECT_TRUE(f.budget.chargeInbound(static_cast<unsigned int>(PeerBudget::INBOUND_BYTES_BURST)));
  EXPECT_FALSE(f.budget.chargeInbound(65536));
  f.advance(240);  // 256 KB a second pays 64 KB back in 250 ms
  EXPECT_FALSE(f.budget.mayRead());
  f.advance(20);
  EXPECT_TRUE(f.budget.mayRead());

  // Each connection has its own line budget; the address's bounds them all,
  // and what it held back is told once, then once a minute at most.
  std::shared_ptr<AddressBudget> address = std::make_shared<AddressBudget>(&f.engine, "192.0.2.7");
  unsigned int shown = 0;
  for (int connection = 0; connection < 10; ++connection) {
    PeerBudget budget(&f.engine, &f.queue, 0, address);
    for (int line = 0; line < 100; ++line) shown += budget.admitLine() ? 1 : 0;
  }
  EXPECT_EQ(static_cast<unsigned int>(AddressBudget::LOG_LINES_BURST), shown);
  EXPECT_EQ("Held back 160 status lines about 192.0.2.7", address->takeNotice());
  EXPECT_FALSE(address->admitLine());
  EXPECT_EQ("", address->takeNotice());
  f.advance(AddressBudget::NOTICE_INTERVAL_MS);
  EXPECT_EQ("Held back 1 status lines about 192.0.2.7", address->takeNotice());
}

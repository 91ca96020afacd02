// Convergence: clients joined to a server whose map holds random content,
// with edits continuing on the server (and local strokes on one client)
// while they catch up, end byte-for-byte equal to the server, with the flush
// mechanism on and off. Server and clients run on two engines over loopback;
// time runs on the manual clock.

#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include "SyncArray.h"
#include "SyncClient.h"
#include "SyncDataMap.h"
#include "SyncServer.h"
#include "SyncServerFSM.h"
#include "SyncTestNet.h"

using namespace synctest;
using libksync::SyncArray;
using libksync::SyncClient;
using libksync::SyncServer;
using libksync::SyncServerFSM;

namespace {

const unsigned short SEG = 3000;
const unsigned int SEGMENTS = 40;

struct Joiner {
  std::unique_ptr<DDispatcher> conn;
  std::unique_ptr<SyncClient> client;
};

bool sameMaps(SyncServer& server, SyncClient& client) {
  libksync::SyncDataMap* ours = server.retrieveDataMap();
  libksync::SyncDataMap* theirs = client.retrieveDataMap();
  if (client.getState() != SyncClient::SYNCHRONIZING) return false;
  for (unsigned short s = 0; s < SEGMENTS; ++s)
    if (ours->getCRC(s) != theirs->getCRC(s)) return false;
  return true;
}

void runConvergence(bool flushOn) {
  ManualClock clock;
  std::srand(flushOn ? 7 : 11);
  DEngine hostEngine, guestEngine;
  std::vector<DEngine*> both = {&hostEngine, &guestEngine};
  Errors hostErrors, guestErrors;
  SyncServer server(&hostEngine, 0, hostErrors.callback());
  server.setQuickSync(10);
  ASSERT_TRUE(server.setSegmentSize(SEG, 3));
  server.setFlushBandwidth(flushOn ? 4000 : 0);
  server.setEDCBandwidth(32000);
  server.setEDCPeriod(500);
  SyncArray<unsigned char> canvas(server, SEG * SEGMENTS);
  for (unsigned int i = 0; i < canvas.size(); ++i) canvas.set(i, static_cast<unsigned char>(std::rand()));
  server.initialize();
  Listener listener(&hostEngine);
  listener.onAccept = [&](DDispatcher* d) { EXPECT_TRUE(server.addClient(d)); };

  std::vector<Joiner> guests(3);
  auto join = [&](Joiner& j, bool placeholder) {
    j.conn = connectTo(guestEngine, listener, both);
    j.client.reset(new SyncClient(j.conn.get(), &guestEngine, 0, guestErrors.callback()));
    ASSERT_TRUE(j.client->setSegmentSize(SEG, 3));
    j.client->setQueryBandwidth(128);
    SyncArray<unsigned char> copy(*j.client, SEG * SEGMENTS);
    ASSERT_TRUE(j.client->setQueryPeriod(500));
    ASSERT_TRUE(j.client->initialize());
    if (placeholder) {
      j.client->setEDCOverwrite(true);
      for (unsigned int i = 0; i < copy.size(); ++i) copy.set(i, (i / 4) % 2 ? 90 : 160);
      j.client->setEDCOverwrite(false);
    }
  };
  auto edit = [&](unsigned int n) {
    for (unsigned int k = 0; k < n; ++k) {
      // Strokes land in runs, as painting does.
      unsigned int at = static_cast<unsigned int>(std::rand()) % (canvas.size() - 16);
      unsigned char v = static_cast<unsigned char>(std::rand());
      for (unsigned int i = 0; i < 16; ++i) canvas.set(at + i, v);
    }
  };

  join(guests[0], true);
  // Four seconds of edits; the others join part way, one of them 2 ms after
  // a flush tick, and one paints on its own copy too.
  for (unsigned int t = 0; t < 4000; t += 5) {
    if (t == 1000) {
      libkorvet::DTime::advanceManualClock(2);
      join(guests[1], false);
    }
    if (t == 2500) join(guests[2], true);
    if (t % 20 == 0) edit(4);
    if (t > 2500 && t % 100 == 0) {
      unsigned int at = static_cast<unsigned int>(std::rand()) % (canvas.size() - 8);
      for (unsigned int i = 0; i < 8; ++i) guests[2].client->setByte(at + i, 1);
    }
    libkorvet::DTime::advanceManualClock(5);
    hostEngine.update(-1);
    guestEngine.update(-1);
  }
  // The last one to join cannot have caught up yet: 1.5 s of 32000 bytes per
  // second is less than the map.
  EXPECT_FALSE(sameMaps(server, *guests[2].client));
  bool converged = pump(both,
                        [&] {
                          for (auto& g : guests)
                            if (!sameMaps(server, *g.client)) return false;
                          return true;
                        },
                        60000, 5);
  ASSERT_TRUE(converged);
  for (auto& g : guests)
    for (unsigned int i = 0; i < canvas.size(); ++i) ASSERT_EQ(server.getByte(i), g.client->getByte(i)) << i;
  EXPECT_TRUE(guestErrors.texts.empty()) << guestErrors.texts.front();
  if (flushOn)
    EXPECT_TRUE(hostErrors.texts.empty());
  else
    EXPECT_EQ((std::vector<std::string>{"Flush protocol has a send limit too small to send any data."}),
              hostErrors.texts);
}

}  // namespace

TEST(SyncConvergence, SeveralClientsCatchUpWithFlushOff) { runConvergence(false); }

TEST(SyncConvergence, SeveralClientsCatchUpWithFlushOn) { runConvergence(true); }

// Every pairing of link-paced and 16-bit-paced ends: a client of either kind
// joins a server of either kind while the server keeps painting, and ends
// byte for byte equal. Half the segments are noise, half compress well, so
// series go out raw, deflated and mixed.
TEST(SyncConvergence, LinkPacedAndBudgetPacedEndsConvergeInEveryPairing) {
  const unsigned int segments = 300;
  const unsigned int linkRate = 10000000;
  for (int pairing = 0; pairing < 4; ++pairing) {
    const bool fastHost = pairing & 1, fastClient = pairing & 2;
    SCOPED_TRACE(std::string(fastHost ? "link-paced" : "budget-paced") + " host, " +
                 (fastClient ? "link-paced" : "budget-paced") + " client");
    ManualClock clock;
    std::srand(20 + pairing);
    DEngine hostEngine, guestEngine;
    std::vector<DEngine*> both = {&hostEngine, &guestEngine};
    Errors hostErrors, guestErrors;
    SyncServer server(&hostEngine, 0, hostErrors.callback());
    server.setQuickSync(10);
    ASSERT_TRUE(server.setSegmentSize(SEG, 3));
    server.setFlushBandwidth(0);
    server.setEDCBandwidth(65535);
    ASSERT_TRUE(server.setEDCPeriod(500));
    if (fastHost) server.setLinkRate(linkRate);
    SyncArray<unsigned char> canvas(server, SEG * segments);
    for (unsigned int i = 0; i < canvas.size(); ++i)
      canvas.set(i, (i / SEG) % 2 ? static_cast<unsigned char>(i / 700) : static_cast<unsigned char>(std::rand()));
    server.initialize();
    Listener listener(&hostEngine);
    listener.onAccept = [&](DDispatcher* d) { EXPECT_TRUE(server.addClient(d)); };

    std::unique_ptr<DDispatcher> conn = connectTo(guestEngine, listener, both);
    SyncClient client(conn.get(), &guestEngine, 0, guestErrors.callback());
    ASSERT_TRUE(client.setSegmentSize(SEG, 3));
    client.setQueryBandwidth(128);
    if (fastClient) client.setLinkRate(linkRate);
    SyncArray<unsigned char> copy(client, SEG * segments);
    ASSERT_TRUE(client.setQueryPeriod(500));
    ASSERT_TRUE(client.initialize());
    client.setEDCOverwrite(true);
    for (unsigned int i = 0; i < copy.size(); ++i) copy.set(i, (i / 4) % 2 ? 90 : 160);
    client.setEDCOverwrite(false);

    // A link-paced host deflates on its worker thread, in real time. While a
    // reply waits for it the manual clock stands still: on a loaded machine
    // it would otherwise run past the client's 30 s reply time-out.
    auto hostPreparing = [&] {
      SyncServerFSM* fsm = server.getClient(listener.accepted.back().get());
      return fsm && fsm->getSendingState() == SyncServerFSM::PREPARING;
    };
    // Strokes on the server for the first two seconds of the join.
    for (unsigned int t = 0; t < 2000; t += 5) {
      if (t % 50 == 0) {
        unsigned int at = static_cast<unsigned int>(std::rand()) % (canvas.size() - 16);
        for (unsigned int i = 0; i < 16; ++i) canvas.set(at + i, static_cast<unsigned char>(t));
      }
      ASSERT_TRUE(pump(both, [&] { return !hostPreparing(); }));
      libkorvet::DTime::advanceManualClock(5);
      hostEngine.update(-1);
      guestEngine.update(-1);
    }
    auto same = [&] {
      if (client.getState() != SyncClient::SYNCHRONIZING) return false;
      for (unsigned short s = 0; s < segments; ++s)
        if (server.retrieveDataMap()->getCRC(s) != client.retrieveDataMap()->getCRC(s)) return false;
      return true;
    };
    ASSERT_TRUE(pump(both, [&] {
      if (same()) return true;
      if (!hostPreparing()) libkorvet::DTime::advanceManualClock(5);
      return false;
    }, 60000));
    for (unsigned int i = 0; i < canvas.size(); ++i) ASSERT_EQ(server.getByte(i), client.getByte(i)) << i;
    EXPECT_TRUE(guestErrors.texts.empty()) << guestErrors.texts.front();
    EXPECT_EQ((std::vector<std::string>{"Flush protocol has a send limit too small to send any data."}),
              hostErrors.texts);
  }
}

// Settings: geometry and budget setters, variable placement, the error
// channel; and the network base: routing, congestion and a deleted receiver.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "FatalTest.h"
#include "SyncNetwork.h"
#include "SyncSettings.h"
#include "SyncTestNet.h"

using namespace libkorvet;
using libksync::SyncDataMap;
using libksync::SyncNetwork;
using libksync::SyncSettings;

namespace {
std::vector<std::string> reported;
SyncSettings::ErrorCallback keep() {
  return [](std::string t) { reported.push_back(t); };
}
}  // namespace

TEST(SyncSettings, GeometryIsCheckedInOrderAndKeptOnFailure) {
  SyncSettings s(keep());
  EXPECT_EQ(s.getSegmentSize() * 1000 + s.getSpeckSize(), 1024004);
  EXPECT_TRUE(s.setSegmentSize(1024, 1024));
  EXPECT_EQ(s.getSegmentSpecks(), 1);
  EXPECT_TRUE(s.setSegmentSize(61440, 4));
  EXPECT_TRUE(s.setSegmentSize(30000, 3));
  EXPECT_EQ(s.getSegmentSpecks(), 10000);
  struct Case {
    unsigned short segment, speck;
    const char* text;
  } cases[] = {
      {1023, 1, "Segment size must be at least 1024 bytes."},
      {61441, 1, "Segment size can be at most 61440 bytes."},
      {2048, 0, "Speck size must be non-zero."},
      {2048, 4096, "Speck size can't be larger than segment size!"},
      {30000, 7, "Segment size must be divisible by speck size."},
  };
  reported.clear();
  for (const Case& c : cases) {
    EXPECT_FALSE(s.setSegmentSize(c.segment, c.speck));
    EXPECT_EQ(s.getErrMsg(), c.text);
    EXPECT_EQ(s.getSegmentSize() + s.getSpeckSize() + s.getSegmentSpecks(), 30000 + 3 + 10000);
  }
  EXPECT_TRUE(reported.empty()) << "setters never call the error callback";
}

TEST(SyncSettings, BandwidthPeriodAndSixteenBitLimits) {
  SyncSettings s(keep());
  ASSERT_TRUE(s.setSegmentSize(30000, 3));
  EXPECT_TRUE(s.setFlushBandwidth(11));
  EXPECT_FALSE(s.setFlushBandwidth(10));
  EXPECT_EQ(s.getFlushBandwidth(), 0);
  EXPECT_EQ(s.getErrMsg(), "Data flush limit must be at least 11 bytes per second. Disabling data flush mechanism.");

  EXPECT_FLOAT_EQ(s.getEDCFrequency(), 2.0f);
  EXPECT_TRUE(s.setEDCPeriod(1000));
  EXPECT_FLOAT_EQ(s.getEDCFrequency(), 1.0f);
  EXPECT_FALSE(s.setEDCPeriod(1001));
  EXPECT_EQ(s.getErrMsg(), "The EDC period must be less than or equal to 1000 milliseconds.");
  EXPECT_FALSE(s.setEDCPeriod(0));
  EXPECT_EQ(s.getErrMsg(), "The EDC period must be non-zero");
  EXPECT_EQ(s.getEDCPeriod(), 1000);

  // 1024 B/s every 50 ms is 51 bytes; the largest flush budget is capped so
  // that twice it (the extract limit) and a FLSH of budget + 1 fit 16 bits.
  ASSERT_TRUE(s.setFlushBandwidth(1024));
  EXPECT_EQ(s.flushSendLimit(20.0f), 51);
  EXPECT_EQ(s.flushSendLimit(0.0f), 0);
  ASSERT_TRUE(s.setFlushBandwidth(65535));
  EXPECT_EQ(s.flushSendLimit(1.0f), 32767);
  s.setEdcBandwidth(65535);
  EXPECT_EQ(s.edcSendLimit(), 65535);  // one-second period
  ASSERT_TRUE(s.setEDCPeriod(500));
  s.setEdcBandwidth(128);
  EXPECT_EQ(s.edcSendLimit(), 64);
  s.setEdcBandwidth(0);
  EXPECT_EQ(s.edcSendLimit(), 0);
  EXPECT_FATAL(s.setQuickSync(0), "SyncSettings::setQuickSync\\(\\): newSegments is zero");
}

TEST(SyncSettings, CalcSyncIndexNeverStraddlesASpeck) {
  SyncSettings s(keep());
  ASSERT_TRUE(s.setSegmentSize(30000, 3));
  unsigned int next = 0;
  EXPECT_EQ(s.calcSyncIndex(2, next), 0u);
  EXPECT_EQ(s.calcSyncIndex(2, next), 3u);
  EXPECT_EQ(s.calcSyncIndex(1, next), 5u);
  EXPECT_EQ(next, 6u);
  EXPECT_EQ(s.getUnusedDataBytes(), 1u);
  next = 7;  // a full speck on an unaligned index skips to the boundary
  EXPECT_EQ(s.calcSyncIndex(3, next), 9u);
  EXPECT_EQ(s.getUnusedDataBytes(), 3u);
  for (unsigned int i = 0; i < 10; ++i) EXPECT_EQ(s.calcSyncIndex(1, next), 12u + i);
  EXPECT_EQ(s.calcSyncIndex(0, next), 22u);
  EXPECT_EQ(next, 22u);
  EXPECT_EQ(s.getUnusedDataBytes(), 3u);
  EXPECT_FATAL(s.calcSyncIndex(4, next), "Tried to create a sync variable of size 4, but speck size is only 3 bytes\\.");
}

namespace {

class Peer : public SyncNetwork {
 public:
  Peer(DDispatcher* d, DEngine* e, unsigned short sub, std::vector<std::string>* log)
      : SyncNetwork(d, e, sub), log(log) {}
  unsigned int getSyncIndex(unsigned short) override { return 0; }
  SyncDataMap* retrieveDataMap() override { return nullptr; }
  void recvHandler(DBuffer& body) override { log->push_back(body.toString()); }
  std::vector<std::string>* log;
};

}  // namespace

TEST(SyncNetwork, RoutesBySubtypeMeasuresCongestionAndSurvivesDeletion) {
  DEngine engine;
  synctest::Listener listener(&engine);
  std::unique_ptr<DDispatcher> client = synctest::connectTo(engine, listener);  // delay off on both ends
  DDispatcher* server = listener.accepted.at(0).get();
  auto pump = [&](std::function<bool()> cond) { return synctest::pump({&engine}, cond); };

  SyncSettings settings(keep());
  std::vector<std::string> got7, got9;
  std::unique_ptr<Peer> seven(new Peer(server, &engine, 7, &got7));
  Peer nine(server, &engine, 9, &got9);
  Peer sender(client.get(), &engine, 7, nullptr);
  EXPECT_TRUE(seven->initHandlers(&settings) && nine.initHandlers(&settings) && sender.initHandlers(&settings));
  sender.sendMessage(synctest::bytesOf("to seven"));
  client->sendMessage(128, 9, synctest::bytesOf("to nine"));
  ASSERT_TRUE(pump([&] { return got7.size() == 1 && got9.size() == 1; }));
  EXPECT_EQ(got7[0] + "," + got9[0], "to seven,to nine");

  // Congested above a fifth of a second of budget; frames queued until the
  // next engine step count as unsent.
  settings.setEdcBandwidth(1000);
  ASSERT_TRUE(settings.setFlushBandwidth(1000));
  client->sendMessage(128, 7, synctest::bytesOf(std::string(192, 'x')));  // a 200-byte frame
  EXPECT_EQ(client->unsentBytes(), 200);
  EXPECT_FALSE(sender.isCongested()) << "200 is not more than 1000 / 5";
  client->sendMessage(128, 7, synctest::bytesOf("y"));
  EXPECT_TRUE(sender.isCongested());
  settings.setIsServer();  // the flush budget counts as well
  EXPECT_FALSE(sender.isCongested());
  settings.setEdcBandwidth(0);
  settings.setFlushBandwidth(0);
  EXPECT_TRUE(sender.isCongested()) << "a zero budget counts as one byte per second";
  ASSERT_TRUE(pump([&] { return got7.size() == 3; }));

  // A receiver deleted while its connection lives: later messages find no trace.
  seven.reset();
  sender.sendMessage(synctest::bytesOf("after"));
  client->sendMessage(128, 9, synctest::bytesOf("last"));
  ASSERT_TRUE(pump([&] { return got9.size() == 2; }));
  EXPECT_EQ(got7.size(), 3u);
}

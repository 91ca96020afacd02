// Settings: geometry and budget setters, variable placement, the error
// channel; and the network base: routing, congestion and a deleted receiver.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "DServer.h"
#include "FatalTest.h"
#include "SyncNetwork.h"
#include "SyncSettings.h"

using libkorvet::DBuffer;
using libkorvet::DDispatcher;
using libkorvet::DEngine;
using libkorvet::DServer;
using libksync::SyncDataMap;
using libksync::SyncNetwork;
using libksync::SyncSettings;

namespace {

struct Reported {
  std::vector<std::string> texts;
  SyncSettings::ErrorCallback callback() {
    return [this](std::string t) { texts.push_back(t); };
  }
};

}  // namespace

TEST(SyncSettings, GeometryIsCheckedInOrderAndKeptOnFailure) {
  Reported r;
  SyncSettings s(r.callback());
  EXPECT_EQ(s.getSegmentSize(), 1024);
  EXPECT_EQ(s.getSpeckSize(), 4);
  EXPECT_EQ(s.getSegmentSpecks(), 256);

  EXPECT_TRUE(s.setSegmentSize(1024, 1024));
  EXPECT_EQ(s.getSegmentSpecks(), 1);
  EXPECT_TRUE(s.setSegmentSize(61440, 4));
  EXPECT_EQ(s.getSegmentSpecks(), 15360);
  EXPECT_TRUE(s.setSegmentSize(30000, 3));
  EXPECT_EQ(s.getSegmentSpecks(), 10000);

  struct Case {
    unsigned short segment, speck;
    const char* text;
  } cases[] = {
      {1023, 1, "Segment size must be at least 1024 bytes."},
      {61441, 1, "Segment size can be at most 61440 bytes."},
      {65535, 0, "Segment size can be at most 61440 bytes."},
      {2048, 0, "Speck size must be non-zero."},
      {2048, 4096, "Speck size can't be larger than segment size!"},
      {30000, 7, "Segment size must be divisible by speck size."},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(s.setSegmentSize(c.segment, c.speck)) << c.text;
    EXPECT_EQ(s.getErrMsg(), c.text);
    EXPECT_EQ(s.getSegmentSize(), 30000);
    EXPECT_EQ(s.getSpeckSize(), 3);
    EXPECT_EQ(s.getSegmentSpecks(), 10000);
  }
  EXPECT_TRUE(r.texts.empty()) << "setters never call the error callback";
}

TEST(SyncSettings, BandwidthPeriodAndLimits) {
  Reported r;
  SyncSettings s(r.callback());
  ASSERT_TRUE(s.setSegmentSize(30000, 3));
  EXPECT_EQ(s.minFlushSize(), 11u);
  EXPECT_TRUE(s.setFlushBandwidth(11));
  EXPECT_EQ(s.getFlushBandwidth(), 11);
  EXPECT_FALSE(s.setFlushBandwidth(10));
  EXPECT_EQ(s.getFlushBandwidth(), 0);
  EXPECT_EQ(s.getErrMsg(),
            "Data flush limit must be at least 11 bytes per second. Disabling data flush mechanism.");

  EXPECT_EQ(s.getEDCPeriod(), 500);
  EXPECT_FLOAT_EQ(s.getEDCFrequency(), 2.0f);
  EXPECT_TRUE(s.setEDCPeriod(1000));
  EXPECT_FLOAT_EQ(s.getEDCFrequency(), 1.0f);
  EXPECT_FALSE(s.setEDCPeriod(1001));
  EXPECT_EQ(s.getErrMsg(), "The EDC period must be less than or equal to 1000 milliseconds.");
  EXPECT_FALSE(s.setEDCPeriod(0));
  EXPECT_EQ(s.getErrMsg(), "The EDC period must be non-zero");
  EXPECT_EQ(s.getEDCPeriod(), 1000);

  // Per-period limits: default flush (1024 B/s at 50 ms) gives 51 bytes;
  // the largest bandwidth over a one-second period is capped so that twice
  // the limit still fits 16 bits.
  ASSERT_TRUE(s.setFlushBandwidth(1024));
  EXPECT_EQ(s.flushSendLimit(20.0f), 51);
  EXPECT_EQ(s.flushSendLimit(0.0f), 0);
  ASSERT_TRUE(s.setFlushBandwidth(65535));
  EXPECT_EQ(s.flushSendLimit(1.0f), SyncSettings::MAX_FLUSH_SEND_LIMIT);
  EXPECT_LE(2u * s.flushSendLimit(1.0f) + 1u, 65535u);
  s.setEdcBandwidth(65535);
  EXPECT_EQ(s.edcSendLimit(), 65535);  // period 1000 ms
  ASSERT_TRUE(s.setEDCPeriod(500));
  s.setEdcBandwidth(128);
  EXPECT_EQ(s.edcSendLimit(), 64);
  s.setEdcBandwidth(0);
  EXPECT_EQ(s.edcSendLimit(), 0);

  s.setQuickSync(10);
  EXPECT_EQ(s.getQuickSync(), 10);
  EXPECT_FATAL(s.setQuickSync(0), "SyncSettings::setQuickSync\\(\\): newSegments is zero");
}

TEST(SyncSettings, CalcSyncIndexNeverStraddlesASpeck) {
  Reported r;
  SyncSettings s(r.callback());
  ASSERT_TRUE(s.setSegmentSize(30000, 3));
  unsigned int next = 0;
  EXPECT_EQ(s.calcSyncIndex(2, next), 0u);
  EXPECT_EQ(s.calcSyncIndex(2, next), 3u);
  EXPECT_EQ(s.calcSyncIndex(1, next), 5u);
  EXPECT_EQ(next, 6u);
  EXPECT_EQ(s.getUnusedDataBytes(), 1u);
  // A full-speck variable on an unaligned index skips to the boundary.
  next = 7;
  EXPECT_EQ(s.calcSyncIndex(3, next), 9u);
  EXPECT_EQ(next, 12u);
  EXPECT_EQ(s.getUnusedDataBytes(), 3u);
  // Single bytes are always consecutive.
  for (unsigned int i = 0; i < 10; ++i) EXPECT_EQ(s.calcSyncIndex(1, next), 12u + i);
  EXPECT_EQ(s.getUnusedDataBytes(), 3u);
  EXPECT_FATAL(s.calcSyncIndex(4, next),
               "Tried to create a sync variable of size 4, but speck size is only 3 bytes\\.");
}

TEST(SyncSettings, ReportErrorStoresAndCallsBack) {
  Reported r;
  SyncSettings s(r.callback());
  s.setErrDesc("quiet");
  EXPECT_EQ(s.getErrMsg(), "quiet");
  EXPECT_TRUE(r.texts.empty());
  s.reportError("Got an invalid message type");
  EXPECT_EQ(s.getErrMsg(), "Got an invalid message type");
  ASSERT_EQ(r.texts.size(), 1u);
  EXPECT_EQ(r.texts[0], "Got an invalid message type");

  SyncSettings silent{SyncSettings::ErrorCallback()};
  EXPECT_THROW(silent.reportError("x"), boost::bad_function_call);
  EXPECT_FALSE(silent.getIsServer());
  silent.setIsServer();
  EXPECT_TRUE(silent.getIsServer());
}

// --- SyncNetwork over a real loopback connection -------------------------

namespace {

class Conn : public DDispatcher {
 public:
  using DDispatcher::DDispatcher;
};

class Listener : public DServer {
 public:
  explicit Listener(DEngine* e) : DServer(e), engine(e) {}
  void connectHandler(Socket* socket) override { accepted.reset(new Conn(engine, socket)); }
  void errorHandler(std::string) override {}
  DEngine* engine;
  std::unique_ptr<Conn> accepted;
};

class Peer : public SyncNetwork {
 public:
  Peer(DDispatcher* d, DEngine* e, unsigned short sub, std::vector<std::string>* log)
      : SyncNetwork(d, e, sub), log(log) {}
  unsigned int getSyncIndex(unsigned short) override { return 0; }
  SyncDataMap* retrieveDataMap() override { return nullptr; }
  void recvHandler(DBuffer& body) override { log->push_back(body.toString()); }
  std::vector<std::string>* log;
};

template <typename Cond>
bool pump(DEngine& e, Cond cond) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    e.update(-1);
  }
  return true;
}

DBuffer text(const std::string& s) {
  DBuffer b;
  b.appendString(s);
  return b;
}

}  // namespace

TEST(SyncNetwork, RoutesBySubtypeMeasuresCongestionAndSurvivesDeletion) {
  DEngine engine;
  Listener listener(&engine);
  ASSERT_TRUE(listener.bind(4, 0));
  ASSERT_TRUE(listener.startListening());
  Conn client(&engine);
  client.startConnect("127.0.0.1", listener.getLocalPort());
  ASSERT_TRUE(pump(engine, [&] { return listener.accepted && client.isConnected(); }));

  Reported r;
  SyncSettings settings(r.callback());
  std::vector<std::string> got7, got9;
  std::unique_ptr<Peer> seven(new Peer(listener.accepted.get(), &engine, 7, &got7));
  Peer nine(listener.accepted.get(), &engine, 9, &got9);
  EXPECT_TRUE(seven->initHandlers(&settings));
  EXPECT_TRUE(nine.initHandlers(&settings));

  Peer sender(&client, &engine, 7, nullptr);
  EXPECT_TRUE(sender.initHandlers(&settings));
  sender.sendMessage(text("to seven"));
  client.sendMessage(128, 9, text("to nine"));
  ASSERT_TRUE(pump(engine, [&] { return got7.size() == 1 && got9.size() == 1; }));
  EXPECT_EQ(got7[0], "to seven");
  EXPECT_EQ(got9[0], "to nine");

  // Congestion: more than a fifth of a second of budget queued. With the
  // delay off frames wait in the dispatcher and count as unsent.
  ASSERT_TRUE(client.setDelay(false));
  settings.setEdcBandwidth(1000);
  ASSERT_TRUE(settings.setFlushBandwidth(1000));
  EXPECT_FALSE(sender.isCongested());
  client.sendMessage(128, 7, DBuffer(text(std::string(192, 'x'))));  // 200-byte frame
  EXPECT_EQ(client.unsentBytes(), 200);
  EXPECT_FALSE(sender.isCongested()) << "200 is not more than 1000 / 5";
  client.sendMessage(128, 7, text("y"));
  EXPECT_TRUE(sender.isCongested());
  settings.setIsServer();  // the flush budget now counts as well
  EXPECT_FALSE(sender.isCongested());
  settings.setEdcBandwidth(0);
  ASSERT_FALSE(settings.setFlushBandwidth(0));
  Reported r2;
  SyncSettings idle(r2.callback());
  idle.setEdcBandwidth(0);
  Peer idlePeer(&client, &engine, 3, nullptr);
  idlePeer.initHandlers(&idle);
  EXPECT_TRUE(idlePeer.isCongested()) << "a zero budget counts as one byte per second";
  ASSERT_TRUE(pump(engine, [&] { return got7.size() == 3; }));

  // A receiver deleted while its connection lives: later messages find no trace.
  seven.reset();
  sender.sendMessage(text("after"));
  sender.sendMessage(text("twice"));
  client.sendMessage(128, 9, text("last"));
  ASSERT_TRUE(pump(engine, [&] { return got9.size() == 2; }));
  EXPECT_EQ(got7.size(), 3u);
}

// A joined client that loses its host: the schedule of its attempts and its
// end after five minutes, the strokes it keeps meanwhile, and against real
// hosts on one port a host that comes back with most of the picture (only
// the segments that differ travel, the strokes painted meanwhile arrive)
// and one that comes back with a canvas of another size.

#include <gtest/gtest.h>

#include "NetSystem.h"
#include "Reconnector.h"
#include "SessionTestNet.h"

using namespace sessiontest;

namespace {

bool settingsReady = KivSettings::setFlushFrequency("15") && KivSettings::setSyncBandwidth("65535");

std::vector<unsigned int> crcsOf(libksync::SyncDataMap* data) {
  std::vector<unsigned int> crcs;
  for (unsigned short s = 0; data && s < data->getNumSegments(); ++s) crcs.push_back(data->getCRC(s));
  return crcs;
}

libksync::SyncDataMap* hostData(NetSystem& net) { return net.getServer()->getSyncServer()->retrieveDataMap(); }

libksync::SyncDataMap* clientData(NetSystem& net) {
  KivClient* client = net.getClient();
  return client && client->getSyncClient() ? client->getSyncClient()->retrieveDataMap() : nullptr;
}

}  // namespace

TEST(Reconnector, TriesAfterOneTwoFourAndEightSecondsThenEveryTenForFiveMinutes) {
  testnet::ManualClock clock;
  DEngine engine;
  WorldMap map;
  Reconnector reconnector(&engine);
  reconnector.start("10.0.0.9", &map, "End of file");
  EXPECT_EQ("Reconnecting to 10.0.0.9... (attempt 1)", reconnector.statusText());
  std::vector<unsigned int> attempts;
  unsigned int ms = 0;
  while (!reconnector.expired()) {
    libkorvet::DTime::advanceManualClock(100);
    ms += 100;
    engine.update(-1);
    if (!reconnector.attemptDue()) continue;
    attempts.push_back(ms / 1000);
    reconnector.attemptFailed("Connection refused");
  }
  std::vector<unsigned int> expected = {1, 3, 7, 15};
  while (expected.back() + 10 < 300) expected.push_back(expected.back() + 10);
  EXPECT_EQ(expected, attempts);
  EXPECT_EQ(300000u, ms);
  EXPECT_EQ("Reconnecting to 10.0.0.9... (attempt 33)", reconnector.statusText());
  EXPECT_EQ("Couldn't reconnect to 10.0.0.9 in 5 minutes: Connection refused", reconnector.giveUpText());

  // Strokes kept past the bound lose their oldest, which the rejoin tells;
  // afterwards they go out a few a tick.
  for (std::size_t i = 0; i < Reconnector::MAX_KEPT_STROKES + 3; ++i)
    reconnector.keepStroke(DrawingData(static_cast<long>(i), 0, 0, 0));
  drainChat();
  reconnector.joined(true);
  std::vector<StatusLine> lines = drainChat();
  EXPECT_TRUE(hasLine(lines, "NetSystem", "Reconnected to 10.0.0.9"));
  EXPECT_TRUE(hasLine(lines, "NetSystem", "Dropped the oldest 3 of the strokes painted while away"));
  DrawingProtocol drawing;
  for (int tick = 0; tick < 3; ++tick) {
    libkorvet::DTime::advanceManualClock(33);
    engine.update(-1);
    reconnector.replay(&drawing);
    reconnector.replay(&drawing);
  }
  EXPECT_EQ(3u * Reconnector::REPLAY_PER_TICK, drawing.getNumPending());
  EXPECT_EQ(Reconnector::MAX_KEPT_STROKES - drawing.getNumPending(), reconnector.keptStrokes());
}

TEST(Reconnect, AClientGoesOnWithItsCanvasWhenItsHostComesBack) {
  ASSERT_TRUE(settingsReady);
  initAllegro(7, 40, 2, 2);
  testnet::ManualClock clock;
  DEngine engine;
  const unsigned short port = testnet::unusedPort();
  std::unique_ptr<NetSystem> host;
  std::unique_ptr<WorldMap> hostMap;
  auto stopHost = [&] {
    host.reset();
    hostMap.reset();
  };
  auto startHost = [&](int width, int height) {
    hostMap.reset(new WorldMap());
    host.reset(new NetSystem(&engine));
    host->setSessionPort(port);
    return host->hostNewGame(static_cast<unsigned int>(width), static_cast<unsigned int>(height), hostMap.get());
  };
  ASSERT_TRUE(startHost(1600, 1600));
  // Bands of colour: every segment differs from the placeholder and from
  // its neighbours.
  for (int y = 0; y < 1600; y += 10) hostMap->drawRect(0, y, 1599, y + 9, 1 + (y / 10) % 20);

  WorldMap map;
  NetSystem net(&engine);
  net.setSessionPort(port);
  net.setHostIP("127.0.0.1");
  ASSERT_TRUE(net.joinExistingGame(&map));
  auto converged = [&] {
    return net.netOK() && !net.isReconnecting() && net.clientReady() && net.joinProgress() < 0 &&
           crcsOf(clientData(net)) == crcsOf(hostData(*host));
  };
  ASSERT_TRUE(pumpPaced(engine, converged, 60000, 10)) << net.getErrMsg();
  const unsigned long long fullJoin = net.getClient()->getBytesReceived();

  // The host goes, and comes back with its picture as it was but for 12
  // of its 256 segments.
  std::vector<unsigned char> picture;
  for (unsigned short s = 0; s < 256; ++s)
    picture.insert(picture.end(), hostData(*host)->segmentData(s), hostData(*host)->segmentData(s) + 30000);
  stopHost();
  ASSERT_TRUE(pumpPaced(engine, [&] { return !net.netOK() || net.isReconnecting(); }, 10000, 5));
  ASSERT_TRUE(net.netOK()) << net.getErrMsg();
  EXPECT_EQ("Reconnecting to 127.0.0.1... (attempt 1)", net.reconnectStatus());
  EXPECT_TRUE(hasLine(drainChat(), "NetSystem", "The host closed the session"));
  // Painted while away: shown at once, sent once joined again.
  KivSettings::setBrushSize(2);
  KivSettings::setFillType(7);
  map.applyLineDrawing(50, 450, 300, 460, 2, 7);
  net.addUDPDrawing(50, 450, 300, 460);
  // The canvas made last, the client's, owns the bitmap until a host comes.
  EXPECT_EQ(makecol(160, 8, 8), getpixel(WorldMap::getMapBuffer(), 175, 455));
  ASSERT_TRUE(startHost(1600, 1600));
  for (unsigned short s = 0; s < 256; ++s) hostData(*host)->setBytes(s * 30000u, picture.data() + s * 30000u, 30000);
  hostMap->drawRect(0, 0, 399, 299, 12);
  drainChat();
  const unsigned int stroke = static_cast<unsigned int>(160 << 16 | 8 << 8 | 8);
  ASSERT_TRUE(pumpPaced(engine, [&] { return converged() && pixelOf(hostData(*host), 175, 455) == stroke; }, 60000,
                        10))
      << net.getErrMsg();
  EXPECT_TRUE(hasLine(drainChat(), "NetSystem", "Reconnected to 127.0.0.1"));
  const unsigned long long catchUp = net.getClient()->getBytesReceived();
  EXPECT_LT(catchUp * 5, fullJoin) << catchUp << " of " << fullJoin;

  // A host with another size is a new session: the placeholder, then its picture.
  stopHost();
  ASSERT_TRUE(startHost(1700, 1600));
  ASSERT_TRUE(pumpPaced(engine, converged, 60000, 10)) << net.getErrMsg();
  EXPECT_TRUE(hasLine(drainChat(), "KivClient", "The host at 127.0.0.1 has a new canvas of 1700 x 1600: starting over"));
  EXPECT_EQ(1700, map.getPixelWidth());
  stopHost();
  net.resetVariables();
}

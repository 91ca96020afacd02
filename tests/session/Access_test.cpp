// Who is in a session: the announcement between Brelvin peers (and its
// absence towards peers that speak only the session's own messages), the
// host's player list with names checked and made unique, players who left
// kept for a while, and the joined and left lines.

#include <algorithm>

#include <gtest/gtest.h>

#include "ExtensionWire.h"
#include "KivServer.h"
#include "PlayerRoster.h"
#include "ServerConnection.h"
#include "SessionTestNet.h"

using namespace sessiontest;

namespace {

bool settingsReady = KivSettings::setFlushFrequency("15") && KivSettings::setSyncBandwidth("65535");

std::vector<std::string> namesOf(const std::vector<PlayerRoster::Player>& players) {
  std::vector<std::string> out;
  for (const PlayerRoster::Player& p : players) out.push_back(p.name);
  return out;
}

std::vector<std::string> namesOf(const std::vector<KivClient::Player>& players) {
  std::vector<std::string> out;
  for (const KivClient::Player& p : players) out.push_back(p.name + (p.host ? " [host]" : "") + (p.you ? " [you]" : ""));
  return out;
}

bool sawLine(std::vector<StatusLine>& seen, const std::string& owner, const std::string& text) {
  for (const StatusLine& l : drainChat()) seen.push_back(l);
  return std::any_of(seen.begin(), seen.end(),
                     [&](const StatusLine& l) { return l.owner == owner && l.text == text; });
}

}  // namespace

TEST(PlayerRoster, NamesAreCheckedMadeUniqueAndTheGoneAreKeptFifteenMinutes) {
  ASSERT_TRUE(settingsReady);
  libkorvet::DTime::setManualClock(true);
  DEngine engine;
  PlayerRoster roster(&engine);
  roster.setHost("Ann");
  ServerConnection* const a = reinterpret_cast<ServerConnection*>(0x10);
  ServerConnection* const b = reinterpret_cast<ServerConnection*>(0x20);
  ServerConnection* const c = reinterpret_cast<ServerConnection*>(0x30);
  ServerConnection* const d = reinterpret_cast<ServerConnection*>(0x40);
  EXPECT_EQ("Ann (2)", roster.add(a, "Ann", "10.0.0.2").name);
  EXPECT_EQ("Ann (3)", roster.add(b, "Ann", "10.0.0.3").name);
  // Unprintable, too long or no name at all: shown as the address.
  EXPECT_EQ("10.0.0.4", roster.add(c, "Ann\x1b[2J", "10.0.0.4").name);
  EXPECT_EQ("10.0.0.5", roster.add(d, std::string(extwire::MAX_NAME_BYTES + 1, 'x'), "10.0.0.5").name);
  EXPECT_FALSE(PlayerRoster::validName(""));
  // A suffix still fits the longest name.
  const std::string longest(extwire::MAX_NAME_BYTES, 'z');
  EXPECT_EQ(longest, roster.uniqueName(longest));

  const unsigned int leaver = roster.findByConnection(a)->id;
  ASSERT_NE(nullptr, roster.remove(a));
  EXPECT_EQ(nullptr, roster.remove(a));
  EXPECT_EQ((std::vector<std::string>{"Ann", "Ann (3)", "10.0.0.4", "10.0.0.5"}), namesOf(roster.present()));
  // The name is free again for whoever comes next; the one who left is still
  // known by number.
  EXPECT_EQ("Ann (2)", roster.uniqueName("Ann"));
  ASSERT_NE(nullptr, roster.find(leaver));
  EXPECT_TRUE(roster.find(leaver)->gone);
  libkorvet::DTime::advanceManualClock(PlayerRoster::GONE_KEEP_MS - 1);
  engine.update(-1);
  roster.expire();
  EXPECT_NE(nullptr, roster.find(leaver));
  libkorvet::DTime::advanceManualClock(1);
  engine.update(-1);
  roster.expire();
  EXPECT_EQ(nullptr, roster.find(leaver));
  libkorvet::DTime::setManualClock(false);
}

TEST(PlayerRoster, JoinedAndLeftLinesAndTheListReachEveryBrelvinClient) {
  Host host;
  host.server.setHostName("Ann");
  ASSERT_TRUE(host.server.initialize(1600, 1600)) << host.server.getErrMsg();
  drainChat();
  std::vector<StatusLine> seen;

  Joiner first(&host.engine, host.port());
  first.client.setPlayerName("Ann");
  ASSERT_TRUE(pump(host.engine, [&] { return sawLine(seen, "NetSystem", "Ann (2) joined"); }));
  // A peer that speaks only the session's own messages never says a name.
  SyncPeer plain(&host.engine, host.port(), 256);
  ASSERT_TRUE(pump(host.engine, [&] { return !plain.connection->bodies.empty(); }));
  ASSERT_TRUE(plain.join());
  ASSERT_TRUE(pump(host.engine, [&] { return sawLine(seen, "NetSystem", "127.0.0.1 joined"); }));
  auto second = std::unique_ptr<Joiner>(new Joiner(&host.engine, host.port()));
  second->client.setPlayerName("Bo");
  ASSERT_TRUE(pump(host.engine, [&] { return sawLine(seen, "KivClient", "Bo joined"); }));

  EXPECT_EQ((std::vector<std::string>{"Ann", "Ann (2)", "127.0.0.1", "Bo"}),
            namesOf(host.server.getRoster().present()));
  EXPECT_EQ("127.0.0.1", host.server.getRoster().present()[2].address);
  ASSERT_TRUE(pump(host.engine, [&] { return second->client.getPlayers().size() == 4; }));
  EXPECT_EQ((std::vector<std::string>{"Ann [host]", "Ann (2)", "127.0.0.1", "Bo [you]"}),
            namesOf(second->client.getPlayers()));

  // The plain peer was never sent anything it does not know.
  for (const Bytes& body : plain.connection->bodies)
    EXPECT_NE("BRLV", std::string(body.begin(), body.begin() + 4));

  second.reset();
  ASSERT_TRUE(pump(host.engine, [&] { return sawLine(seen, "NetSystem", "Bo left"); }));
  ASSERT_TRUE(pump(host.engine, [&] { return sawLine(seen, "KivClient", "Bo left"); }));
  EXPECT_EQ(3u, host.server.getRoster().present().size());
  EXPECT_EQ(4u, host.server.getRoster().all().size());
}

TEST(PlayerRoster, AClientBesideAHostOfTheSessionsOwnMessagesOnlySendsItsAnnouncement) {
  DEngine engine;
  initAllegro();
  RawHost plainHost(&engine);
  Joiner joiner(&engine, plainHost.getLocalPort());
  joiner.client.setPlayerName("Cy");
  ASSERT_TRUE(pump(engine, [&] { return !plainHost.peers.empty(); }));
  RawPeer* peer = plainHost.peers.front().get();
  DBuffer greeting = sessiontest::greeting("NTPT", 1600, 1600);
  peer->sendMessage(0, greeting);
  ASSERT_TRUE(pump(engine, [&] { return !peer->syncBodies.empty(); }));
  ASSERT_EQ(1u, peer->bodies.size());
  EXPECT_EQ((Bytes{'B', 'R', 'L', 'V', extwire::VERSION, 2, 'C', 'y'}), peer->bodies[0]);
  // A host that never announces itself lists nobody and is sent no extension.
  EXPECT_FALSE(joiner.client.hostSpeaksExtensions());
  EXPECT_TRUE(joiner.client.getPlayers().empty());
  EXPECT_EQ(0, peer->corrupt);
}

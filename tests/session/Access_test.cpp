// Who is in a session: the announcement between Brelvin peers (and its
// absence towards peers that speak only the session's own messages), the
// host's player list with names checked and made unique, players who left
// kept for a while, and the joined and left lines.

#include <algorithm>

#include <gtest/gtest.h>

#include "ExtensionWire.h"
#include "HostAccess.h"
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

namespace {

// A client with its own canvas that joins with a password.
struct PasswordJoiner : Joiner {
  PasswordJoiner(DEngine* e, unsigned short port, const std::string& password, const std::string& name = "Di")
      : Joiner(e, port) {
    client.setPassword(password);
    client.setPlayerName(name);
  }
  bool ended() const { return !client.getClientOK(); }
};

}  // namespace

TEST(Password, APeerWithoutTheProofGetsTheGreetingAndChallengeOnlyAndGoesAtTheDeadline) {
  libkorvet::DTime::setManualClock(true);
  Host host;
  host.server.setPassword("s3cret");
  ASSERT_TRUE(host.server.initialize(1600, 1600)) << host.server.getErrMsg();
  host.map.applyLineDrawing(10, 10, 500, 10, 3, 7);
  drainChat();

  // Speaks only the session's own messages: JOIN, a stroke, a chat line.
  SyncPeer plain(&host.engine, host.port(), 256);
  ASSERT_TRUE(pump(host.engine, [&] { return plain.connection->bodies.size() == 2; }));
  ASSERT_TRUE(plain.join());
  KivSettings::setBrushSize(1);
  KivSettings::setFillType(5);
  DrawingProtocol painter;
  painter.addCoordinates(100, 300, 140, 300);
  DBuffer draw;
  for (int tick = 0; tick < 10 && !painter.prepareClientMessage(draw); ++tick) continue;
  plain.connection->sendMessage(0, draw);
  ChatProtocol chatter;
  chatter.addChat("eve", "hi", false);
  DBuffer chat;
  for (int tick = 0; tick < 20 && !chatter.prepareMessage(chat); ++tick) continue;
  plain.connection->sendMessage(0, chat);

  std::vector<StatusLine> seen;
  ASSERT_TRUE(pumpPaced(host.engine, [&] { return sawLine(seen, "KivServer", "Dropped 127.0.0.1: no password"); },
                        20000, 10));
  ASSERT_TRUE(pump(host.engine, [&] { return plain.connection->closed; }));
  ASSERT_EQ(2u, plain.connection->bodies.size());
  EXPECT_EQ(12u, plain.connection->bodies[0].size());
  const Bytes& challenge = plain.connection->bodies[1];
  ASSERT_EQ(6 + extwire::CHALLENGE_BYTES, challenge.size());
  EXPECT_EQ((Bytes{'B', 'R', 'L', 'V', extwire::VERSION, extwire::HOST_PASSWORD}), Bytes(challenge.begin(), challenge.begin() + 6));
  EXPECT_TRUE(plain.connection->syncBodies.empty());
  EXPECT_FALSE(std::any_of(seen.begin(), seen.end(), [](const StatusLine& l) { return l.text == "hi"; }));
  EXPECT_EQ(0u, pixelOf(host.data(), 120, 300));
  EXPECT_TRUE(host.server.getRoster().present().size() == 1);
  // Every connection gets a challenge of its own.
  SyncPeer next(&host.engine, host.port(), 256);
  ASSERT_TRUE(pump(host.engine, [&] { return next.connection->bodies.size() == 2; }));
  EXPECT_NE(challenge, next.connection->bodies[1]);
  libkorvet::DTime::setManualClock(false);
}

TEST(Password, TheRightPasswordJoinsWithoutEverBeingSentAndAWrongOneIsRefused) {
  Host host;
  host.server.setPassword("s3cret");
  ASSERT_TRUE(host.server.initialize(1600, 1600)) << host.server.getErrMsg();
  drainChat();
  std::vector<StatusLine> seen;

  PasswordJoiner good(&host.engine, host.port(), "s3cret");
  ASSERT_TRUE(pump(host.engine, [&] { return good.client.getJoined() && good.client.getPlayers().size() == 2; }));
  ASSERT_TRUE(pump(host.engine, [&] { return sawLine(seen, "NetSystem", "Di joined"); }));

  PasswordJoiner wrong(&host.engine, host.port(), "s3cre7");
  ASSERT_TRUE(pump(host.engine, [&] { return wrong.ended(); }));
  EXPECT_EQ("Wrong password for 127.0.0.1", wrong.client.getErrMsg());
  EXPECT_EQ(extwire::WRONG_PASSWORD, wrong.client.getVerdict());
  EXPECT_FALSE(wrong.client.lostConnection());
  ASSERT_TRUE(pump(host.engine, [&] { return sawLine(seen, "KivServer", "Refused 127.0.0.1: wrong password"); }));
  EXPECT_FALSE(wrong.client.getJoined());
  EXPECT_EQ(1u, host.server.numClients());
  EXPECT_TRUE(good.client.getClientOK());

  // What a client sends a host that asks for the password: nothing of it.
  DEngine engine;
  RawHost standIn(&engine);
  PasswordJoiner watched(&engine, standIn.getLocalPort(), "s3cret");
  ASSERT_TRUE(pump(engine, [&] { return !standIn.peers.empty(); }));
  RawPeer* peer = standIn.peers.front().get();
  std::vector<Bytes> extension;
  peer->addHandler(extwire::EXTENSION_TYPE, [&](DBuffer& b) { extension.push_back(bytesOf(b)); });
  peer->sendMessage(0, sessiontest::greeting("NTPT", 1600, 1600));
  DBuffer ask = text("BRLV");
  ask.appendByte(extwire::VERSION);
  ask.appendByte(extwire::HOST_PASSWORD);
  for (unsigned int i = 0; i < extwire::CHALLENGE_BYTES; ++i) ask.appendByte(static_cast<unsigned char>(i));
  peer->sendMessage(0, ask);
  ASSERT_TRUE(pump(engine, [&] { return !extension.empty() && !peer->syncBodies.empty(); }));
  std::string challenge;
  for (unsigned int i = 0; i < extwire::CHALLENGE_BYTES; ++i) challenge.push_back(static_cast<char>(i));
  EXPECT_EQ(extwire::PROOF, extension[0][0]);
  EXPECT_EQ(HostAccess::proofFor("s3cret", challenge), std::string(extension[0].begin() + 1, extension[0].end()));
  std::vector<Bytes> sent = peer->bodies;
  sent.insert(sent.end(), peer->syncBodies.begin(), peer->syncBodies.end());
  sent.insert(sent.end(), extension.begin(), extension.end());
  for (const Bytes& body : sent) EXPECT_EQ(std::string::npos, std::string(body.begin(), body.end()).find("s3cret"));
}

TEST(Password, FiveWrongProofsWithinAMinuteRefuseTheAddressForAMinute) {
  libkorvet::DTime::setManualClock(true);
  DEngine engine;
  HostAccess access(&engine);
  auto advance = [&](unsigned int ms) {
    libkorvet::DTime::advanceManualClock(ms);
    engine.update(-1);
  };
  // Four within a minute and one just after the first left the window.
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(access.wrongProof("10.0.0.9"));
  advance(HostAccess::WRONG_PROOF_WINDOW_MS);
  EXPECT_FALSE(access.wrongProof("10.0.0.9"));
  EXPECT_EQ(0, access.refusal("10.0.0.9"));

  Host host;
  host.server.setPassword("s3cret");
  ASSERT_TRUE(host.server.initialize(1600, 1600)) << host.server.getErrMsg();
  drainChat();
  std::vector<StatusLine> seen;
  for (int i = 0; i < 5; ++i) {
    PasswordJoiner wrong(&host.engine, host.port(), "guess" + std::to_string(i));
    ASSERT_TRUE(pump(host.engine, [&] { return wrong.ended(); }));
  }
  {
    PasswordJoiner right(&host.engine, host.port(), "s3cret");
    ASSERT_TRUE(pump(host.engine, [&] { return right.ended(); }));
    EXPECT_EQ("Too many wrong passwords for 127.0.0.1: try again in a minute", right.client.getErrMsg());
    ASSERT_TRUE(pump(host.engine,
                     [&] { return sawLine(seen, "KivServer", "Refused 127.0.0.1: too many wrong passwords"); }));
  }
  libkorvet::DTime::advanceManualClock(HostAccess::REFUSE_MS);
  PasswordJoiner later(&host.engine, host.port(), "s3cret");
  ASSERT_TRUE(pump(host.engine, [&] { return later.client.getJoined() || later.ended(); }));
  EXPECT_TRUE(later.client.getJoined()) << later.client.getErrMsg();
  libkorvet::DTime::setManualClock(false);
}

TEST(Moderation, TheLockRefusesClientsStrokesAndAClientSendingTheHostsMessagesIsDropped) {
  Host host;
  ASSERT_TRUE(host.server.initialize(1600, 1600)) << host.server.getErrMsg();
  drainChat();
  std::vector<StatusLine> seen;
  Joiner painter(&host.engine, host.port());
  painter.client.setPlayerName("Ed");
  ASSERT_TRUE(pump(host.engine, [&] { return painter.client.getJoined() && !painter.client.getPlayers().empty(); }));

  host.server.setLocked(true);
  ASSERT_TRUE(pump(host.engine, [&] { return painter.client.canvasLocked(); }));
  ASSERT_TRUE(pump(host.engine, [&] { return sawLine(seen, "KivClient", "The host locked the canvas"); }));
  KivSettings::setBrushSize(1);
  KivSettings::setFillType(5);
  painter.drawing.addCoordinates(100, 700, 140, 700);
  // The host itself still paints.
  host.map.applyLineDrawing(100, 800, 140, 800, 1, 5);
  for (int i = 0; i < 30; ++i) host.engine.update(-1);
  ASSERT_TRUE(pump(host.engine, [&] { return painter.drawing.getNumPending() == 0; }));
  for (int i = 0; i < 200; ++i) host.engine.update(-1);
  EXPECT_EQ(0u, pixelOf(host.data(), 120, 700));
  EXPECT_NE(0u, pixelOf(host.data(), 120, 800));
  host.server.setLocked(false);
  ASSERT_TRUE(pump(host.engine, [&] { return !painter.client.canvasLocked(); }));
  painter.drawing.addCoordinates(100, 700, 140, 700);
  EXPECT_TRUE(pump(host.engine, [&] { return pixelOf(host.data(), 120, 700) != 0; }));

  // A client that announced itself and then sends a message only the host
  // may send.
  std::unique_ptr<RawPeer> forger = host.connect();
  DBuffer hello = text("BRLV");
  hello.appendByte(extwire::VERSION);
  hello.appendByte(0);
  forger->sendMessage(0, hello);
  DBuffer forged;
  forged.appendByte(extwire::VERDICT);
  forged.appendByte(extwire::KICKED);
  forger->sendMessage(extwire::EXTENSION_TYPE, forged);
  ASSERT_TRUE(pump(host.engine, [&] {
    return sawLine(seen, "KivServer", "Dropped 127.0.0.1: sent a message only the host may send");
  }));
  EXPECT_TRUE(pump(host.engine, [&] { return forger->closed; }));
  EXPECT_TRUE(painter.client.getClientOK());
}

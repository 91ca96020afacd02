// KivServer: listener, admission, greeting, message routing and the session
// tick of the host.
//
// [SECTION] lifecycle: construction, initialize, destruction
// [SECTION] connections: admission, failures, deferred deletion
// [SECTION] messages and the session tick
// [SECTION] undo: undo, redo and rollback on the canvas, told to the clients

#include "KivServer.h"

#include "LinkEnd.h"
#include <algorithm>
#include <iostream>

#include "ChatProtocol.h"
#include "PeerBudget.h"
#include "PixelPatch.h"
#include "DBuffer.h"
#include "DEngine.h"
#include "DrawingProtocol.h"
#include "ExtensionWire.h"
#include "KivSettings.h"
#include "LinkEnd.h"
#include "ServerConnection.h"
#include "SyncServer.h"
#include "SyncServerFSM.h"
#include "SyncSettings.h"
#include "SessionWire.h"
#include "WorldMap.h"

using libkorvet::DBuffer;
using libkorvet::DEngine;
using libksync::SyncServer;
using libksync::SyncServerFSM;
using libksync::SyncSettings;

using namespace sessionwire;

namespace {

const unsigned char QUICK_SYNC_SEGMENTS = 10;
const unsigned short EDC_PERIOD_MS = 500;
// The sync server carries its bandwidth in 16 bits.
const int MAX_EDC_BANDWIDTH = static_cast<int>(SyncSettings::MAX_PACED_BANDWIDTH);

}  // namespace

const unsigned short KivServer::SESSION_PORT;
const unsigned int KivServer::MAX_CLIENTS;
const unsigned int KivServer::GREETING_SIZE;
const unsigned int KivServer::TICK_INTERVAL_MS;
const std::size_t KivServer::MAX_TRACKED_ADDRESSES;
const std::size_t KivServer::MAX_CLOSING;

// ---------------------------------------------------------------------------
// [SECTION] lifecycle
// ---------------------------------------------------------------------------

KivServer::KivServer(DEngine* e, WorldMap* map, DrawingProtocol* drawing, ChatProtocol* chat)
    : DServer(e),
      addressUses(0),
      roster(e),
      access(e),
      syncServer(nullptr),
      worldMap(map),
      drawingProtocol(drawing),
      chatProtocol(chat),
      engine(e),
      tickTimer(e),
      listenPort(SESSION_PORT),
      serverOK(true) {
  roster.setHost("host");
}

KivServer::~KivServer() {
  tickTimer.stop();
  for (ServerConnection* connection : clients) {
    // The state machine goes first: it holds the connection to send on.
    if (syncServer) syncServer->removeClient(connection);
    delete connection;
  }
  clients.clear();
  pendingRemovals.clear();
  for (ServerConnection* connection : closing) delete connection;
  closing.clear();
  delete syncServer;
  syncServer = nullptr;
}

std::string KivServer::getErrMsg() const {
  return startErrMsg.empty() ? DServer::getErrMsg() : startErrMsg;
}

void KivServer::postStatus(const std::string& owner, const std::string& text) {
  KivSettings::addChatMessage(owner, text, STATUS_COLOR);
}

void KivServer::syncError(std::string text) { KivSettings::logLine(text); }

void KivServer::buildGreeting(unsigned int width, unsigned int height, DBuffer& out) {
  out.clear();
  out.appendString("NTPT");
  out.appendVariable<unsigned int>(width);
  out.appendVariable<unsigned int>(height);
}

bool KivServer::initialize(unsigned int width, unsigned int height) {
  if (syncServer) DEngine::fatalError("KivServer::initialize(): already called!");
  startErrMsg.clear();

  if (!bind(libkorvet::ipV4, listenPort)) return false;
  if (!startListening()) return false;

  syncServer = new SyncServer(engine, SYNC_SUBTYPE, &KivServer::syncError);
  syncServer->setQuickSync(QUICK_SYNC_SEGMENTS);
  bool ok = syncServer->setSegmentSize(static_cast<unsigned short>(WorldMap::KIV_SEGMENT_SIZE), SPECK_SIZE);
  if (ok) {
    // Refused by design at 0: the host's changes reach clients only through
    // error detection and correction.
    syncServer->setFlushBandwidth(0);
    int bandwidth = KivSettings::getEDCBandwidth();
    if (bandwidth < 0) bandwidth = 0;
    // Above what the 16-bit budgets carry, the option is the link's rate per
    // client. A series then fills no more than half of what makes the
    // connection congested, so relayed strokes and chat still get through.
    syncServer->setLinkRate(static_cast<unsigned int>(bandwidth));
    syncServer->setCongestionCap(PeerBudget::CONGESTED_UNSENT_BYTES / 2);
    if (bandwidth > static_cast<int>(SyncSettings::MAX_PACED_BANDWIDTH))
      std::cout << "Pacing joins by the link: " << bandwidth << " bytes per second per client" << std::endl;
    if (bandwidth > MAX_EDC_BANDWIDTH) bandwidth = MAX_EDC_BANDWIDTH;
    syncServer->setEDCBandwidth(static_cast<unsigned short>(bandwidth));
    std::cout << "Using EDC bandwidth " << bandwidth << std::endl;
    ok = syncServer->setEDCPeriod(EDC_PERIOD_MS);
  }
  if (!ok) {
    startErrMsg = syncServer->getErrMsg();
    // A half-built server must not admit anyone: its sync server never starts.
    close();
    return false;
  }

  // Sizes far outside the canvas's range must still read as too large.
  int w = width > static_cast<unsigned int>(WorldMap::MAX_MAP_SIZE) ? WorldMap::MAX_MAP_SIZE + 1
                                                                    : static_cast<int>(width);
  int h = height > static_cast<unsigned int>(WorldMap::MAX_MAP_SIZE) ? WorldMap::MAX_MAP_SIZE + 1
                                                                     : static_cast<int>(height);
  bool created = worldMap->create(w, h, syncServer);
  if (!created) startErrMsg = worldMap->getErrMsg();
  std::cout << "Unused bytes: " << syncServer->unusedBytes() << std::endl;
  if (!created) {
    close();
    return false;
  }

  history.reset(new StrokeHistory(worldMap, engine));
  syncServer->initialize();
  tickTimer.setInterval(TICK_INTERVAL_MS);
  tickTimer.setHandler([this] { run(); });
  tickTimer.start();
  return true;
}

// ---------------------------------------------------------------------------
// [SECTION] connections
// ---------------------------------------------------------------------------

void KivServer::connectHandler(Socket* socket) {
  boost::system::error_code error;
  std::string from = socket->remote_endpoint(error).address().to_string();
  ServerConnection* connection = new ServerConnection(engine, socket, this,
                                                      syncServer ? syncServer->getMapSize() : 0,
                                                      error ? nullptr : addressBudget(from));

  const bool started = syncServer && tickTimer.isRunning();
  // A refused address gets the greeting and why, and nothing of the
  // session; it takes no place from anyone.
  const unsigned char refused = error || !started ? 0 : access.refusal(from);
  if (refused) {
    DBuffer greeting;
    buildGreeting(static_cast<unsigned int>(worldMap->getPixelWidth()),
                  static_cast<unsigned int>(worldMap->getPixelHeight()), greeting);
    DBuffer why;
    buildHostAnnouncement(extwire::HOST_REFUSED, std::string(1, static_cast<char>(refused)), why);
    connection->setHostAnnounced();
    connection->sendMessages(SESSION_TYPE, {&greeting, &why});
    endWithVerdict(connection,
                   "Refused " + from + (refused == extwire::BANNED ? ": banned" : ": too many wrong passwords"), refused);
    return;
  }

  if (liveClients() >= MAX_CLIENTS && syncServer) makeRoom(connection);
  // Only a fully started server admits anyone (the listener is closed after
  // a failed start, so this is a second line of defence).
  if (liveClients() >= MAX_CLIENTS || !started) {
    postStatus("NetSystem",
               "Client tried to join from " + connection->getRemoteAddress() + ", but server is full.");
    delete connection;  // closes the socket; nothing is sent
    return;
  }

  DBuffer greeting;
  buildGreeting(static_cast<unsigned int>(worldMap->getPixelWidth()),
                static_cast<unsigned int>(worldMap->getPixelHeight()), greeting);

  std::string challenge;
  if (access.hasPassword() && !HostAccess::makeChallenge(challenge)) {
    postStatus("KivServer", "Refused " + from + ": no random challenge could be made");
    delete connection;
    return;
  }
  if (access.hasPassword()) {
    // In one piece: the challenge must not wait for the peer's
    // acknowledgement of the greeting.
    connection->requireProof(challenge);
    DBuffer ask;
    buildHostAnnouncement(extwire::HOST_PASSWORD, challenge, ask);
    connection->setHostAnnounced();
    connection->sendMessages(SESSION_TYPE, {&greeting, &ask});
  } else {
    connection->sendMessage(SESSION_TYPE, greeting);
  }

  if (!clients.insert(connection).second) DEngine::fatalError("KivServer::connectHandler(): client exists!");
  syncServer->addClient(connection);
  // The connection owns its handler and only runs it while alive, and this
  // server owns every connection.
  connection->addHandler(SESSION_TYPE, [this, connection](DBuffer& body) { messageHandler(body, connection); });
  connection->addHandler(extwire::EXTENSION_TYPE,
                         [this, connection](DBuffer& body) { extensionHandler(body, connection); });
  postStatus("NetSystem", "Client joined from " + connection->getRemoteAddress());
}

void KivServer::errorHandler(std::string text) {
  startErrMsg.clear();  // the listener's text is the newer one
  postStatus("KivServer", text);
  serverOK = false;
}

void KivServer::disconnectHandler(std::string text, ServerConnection* connection) {
  KivSettings::LineScope ungated(nullptr);
  // The system's text stays in the log, in the line it always had there.
  KivSettings::logLine("KivServer Client disconnected " + text);
  // A player on the list is said to have left, by name, as its place goes
  // (queueRemoval); a peer that never joined leaves by its address, and a
  // link that broke says so.
  if (!connection->closedByPeer() || roster.findByConnection(connection) == nullptr)
    postStatus("KivServer", linkend::clientEnded(*connection, connection->getAddress(), connection->getAddress()));
  if (clients.count(connection) == 0) {
    postStatus("KivServer", "Can't find disconnected client!");
    return;
  }
  queueRemoval(connection);
}

void KivServer::connectionDrained(ServerConnection* connection) {
  if (syncServer) syncServer->connectionDrained(connection);
}

void KivServer::queueRemoval(ServerConnection* connection) {
  for (ServerConnection* queued : pendingRemovals)
    if (queued == connection) return;
  pendingRemovals.push_back(connection);
  forget(connection);
}

void KivServer::forget(ServerConnection* connection) {
  // Its state machine goes at once, so nothing more is sent on a dead link.
  if (syncServer) syncServer->removeClient(connection);
  const PlayerRoster::Player* left = roster.remove(connection);
  if (left && history) history->painterLeft(left->id);
  if (left) {
    KivSettings::LineScope ungated(nullptr);
    postStatus("NetSystem", left->name + " left");
    sendRoster();
  }
}

void KivServer::endWithVerdict(ServerConnection* connection, const std::string& line, unsigned char verdict) {
  for (ServerConnection* queued : pendingRemovals)
    if (queued == connection) return;  // on its way out already
  if (connection->isClosing()) return;
  {
    KivSettings::LineScope ungated(nullptr);
    postStatus("KivServer", line);
  }
  if (clients.erase(connection)) {
    for (Relay& relay : relays)
      if (relay.from == connection) relay.from = nullptr;
    forget(connection);
  }
  if (connection->hasAnnounced()) {
    DBuffer message;
    message.appendVariable<unsigned char>(extwire::VERDICT);
    message.appendVariable<unsigned char>(verdict);
    connection->sendExtension(message);
  } else if (!connection->hostAnnounced()) {
    sendHostAnnouncement(connection, extwire::HOST_REFUSED, std::string(1, static_cast<char>(verdict)));
  }
  connection->beginClosing();
  // A flood of refusals does not pile up: past the bound they close unsaid.
  if (closing.size() >= MAX_CLOSING) connection->markDropped();
  closing.push_back(connection);
}

void KivServer::finishClosing() {
  std::vector<ServerConnection*> waiting;
  for (ServerConnection* connection : closing) {
    if (connection->closingDue())
      delete connection;
    else
      waiting.push_back(connection);
  }
  closing.swap(waiting);
}

void KivServer::dropConnection(ServerConnection* connection, const std::string& reason) {
  if (connection->isDropped() || clients.count(connection) == 0) return;
  KivSettings::LineScope ungated(nullptr);
  postStatus("KivServer", "Dropped " + connection->getAddress() + ": " + reason);
  connection->markDropped();
  queueRemoval(connection);
}

bool KivServer::hasJoined(ServerConnection* connection) const {
  SyncServerFSM* fsm = syncServer ? syncServer->getClient(connection) : nullptr;
  return fsm && fsm->getFSMState() == SyncServerFSM::JOINED;
}

void KivServer::checkConnection(ServerConnection* connection, bool placeWanted) {
  SyncServerFSM* fsm = syncServer ? syncServer->getClient(connection) : nullptr;
  bool streaming = fsm && fsm->getSendingState() != SyncServerFSM::IDLE;
  connection->checkBudget(hasJoined(connection), streaming, placeWanted);
}

void KivServer::makeRoom(ServerConnection* newcomer) {
  // Whoever broke a rule since the last tick goes first.
  for (ServerConnection* connection : clients) checkConnection(connection, false);
  if (liveClients() < MAX_CLIENTS) return;
  // Then the one that overstayed longest: those kept their places only
  // until someone wanted one.
  ServerConnection* longest = nullptr;
  for (ServerConnection* connection : clients)
    if (!connection->isDropped() && connection->getBudget().hasOnlyOverstayed() &&
        (!longest || connection->getBudget().overstayedMs() > longest->getBudget().overstayedMs()))
      longest = connection;
  if (longest) {
    checkConnection(longest, true);
    if (liveClients() < MAX_CLIENTS) return;
  }

  std::map<std::string, unsigned int> held;
  for (ServerConnection* connection : clients)
    if (!connection->isDropped() && !connection->isFromHostMachine()) ++held[connection->getAddress()];
  if (!newcomer->isFromHostMachine() && held[newcomer->getAddress()] >= PeerBudget::MAX_CONNECTIONS_PER_ADDRESS)
    return;
  // Of an address over its share: one that has not joined, else the newest.
  ServerConnection* victim = nullptr;
  for (ServerConnection* connection : clients) {
    if (connection->isDropped() || connection->isFromHostMachine() ||
        held[connection->getAddress()] <= PeerBudget::MAX_CONNECTIONS_PER_ADDRESS)
      continue;
    bool better = !victim || (!hasJoined(connection) && hasJoined(victim)) ||
                  (hasJoined(connection) == hasJoined(victim) &&
                   connection->getBudget().ageMs() < victim->getBudget().ageMs());
    if (better) victim = connection;
  }
  if (victim)
    dropConnection(victim, "more than " + DEngine::intToStr(PeerBudget::MAX_CONNECTIONS_PER_ADDRESS) +
                               " connections from one address; its place went to a newcomer");
}

std::shared_ptr<AddressBudget> KivServer::addressBudget(const std::string& address) {
  ++addressUses;
  auto it = addresses.find(address);
  if (it != addresses.end()) {
    it->second.seen = addressUses;
    return it->second.budget;
  }
  if (addresses.size() >= MAX_TRACKED_ADDRESSES) {
    // The one seen longest ago that no connection holds; there are far more
    // entries than connections.
    auto oldest = addresses.end();
    for (auto a = addresses.begin(); a != addresses.end(); ++a)
      if (a->second.budget.use_count() == 1 && (oldest == addresses.end() || a->second.seen < oldest->second.seen))
        oldest = a;
    if (oldest != addresses.end()) addresses.erase(oldest);
  }
  std::shared_ptr<AddressBudget> budget = std::make_shared<AddressBudget>(engine, address);
  addresses[address] = AddressEntry{budget, addressUses};
  return budget;
}

void KivServer::postHeldLines() {
  KivSettings::LineScope ungated(nullptr);
  for (auto& a : addresses) {
    std::string notice = a.second.budget->takeNotice();
    if (!notice.empty()) postStatus("KivServer", notice);
  }
}

void KivServer::clearDeletions() {
  for (ServerConnection* connection : pendingRemovals) {
    if (clients.erase(connection) == 0) continue;
    // What it painted still goes to the others; a newcomer at the same
    // address must not be taken for its sender.
    for (Relay& relay : relays)
      if (relay.from == connection) relay.from = nullptr;
    delete connection;
  }
  pendingRemovals.clear();
}

// ---------------------------------------------------------------------------
// [SECTION] messages and the session tick
// [SECTION] undo: undo, redo and rollback on the canvas, told to the clients
// ---------------------------------------------------------------------------

void KivServer::messageHandler(DBuffer& body, ServerConnection* from) {
  if (body.size() < HEADER_SIZE) {
    from->chargeFault("NetSystem", "runServer got a msg < four bytes long");
    return;
  }
  std::string header;
  for (unsigned int i = 0; i < HEADER_SIZE; ++i) header.push_back(static_cast<char>(body.getByte(i)));
  body.removeFirst(HEADER_SIZE);
  // Before the password is proven nothing of the session is painted or
  // shown; what a person painted meanwhile is theirs alone.
  if (!from->isAdmitted() && header != extwire::ANNOUNCE_HEADER) return;

  // The protocols post what was wrong with a malformed body; the sender is
  // charged a fault for it.
  if (header == "DRAW") {
    // A Brelvin client says where the strokes of its next DRAW begin;
    // strokes of the others are told apart by where their lines start
    // (StrokeHistory).
    const std::vector<unsigned char> starts = from->takeStrokeStarts();
    // Refused unread while locked: the painter's sync repairs its copy.
    if (access.isLocked()) return;
    if (!from->mayDraw()) return;
    std::vector<DrawingData> painted;
    const StrokeHistory::Painter painter = painterOf(from);
    StrokeHistory::PaintScope painting(history.get(), painter);
    StrokeHistory* strokes = painter != StrokeHistory::NOBODY ? history.get() : nullptr;
    if (strokes && !starts.empty()) strokes->setDelimited(painter, true);
    std::size_t line = 0, next = 0;
    auto gate = [&](long pixels) {
      if (!from->chargeLine(pixels)) return false;
      if (strokes && next < starts.size() && starts[next] == line) {
        strokes->beginStroke(painter);
        ++next;
      }
      ++line;
      return true;
    };
    if (!drawingProtocol->parseDraw(body, worldMap, gate, &painted)) from->chargeFault();
    if (painted.empty()) return;
    if (relays.empty() || relays.back().from != from) relays.push_back(Relay{from, {}});
    std::vector<DrawingData>& lines = relays.back().lines;
    lines.insert(lines.end(), painted.begin(), painted.end());
  } else if (header == extwire::ANNOUNCE_HEADER) {
    announceHandler(body, from);
  } else if (header == "CHAT") {
    if (!from->mayChat()) return;
    if (!chatProtocol->parseChat(body, true, [from](unsigned int bytes) { return from->chargeChatLine(bytes); }))
      from->chargeFault();
  } else {
    from->chargeFault("KivServer", "messageHandler received unrecognized header " + header);
  }
}

// ---------------------------------------------------------------------------
// [SECTION] extensions: announcement, player list
// ---------------------------------------------------------------------------

void KivServer::setHostName(const std::string& name) {
  roster.setHost(name);
  sendRoster();
}

void KivServer::announceHandler(DBuffer& body, ServerConnection* from) {
  if (!from->charge(PeerBudget::EXTENSION_MESSAGES, 1)) return;
  // version, name length, name; a later version may append fields.
  if (body.size() < 2 || body.size() > extwire::MAX_ANNOUNCE_BYTES || body.getByte(0) < 1) {
    from->chargeFault("KivServer", "Got a malformed announcement from " + from->getAddress());
    return;
  }
  const unsigned int nameLength = body.getByte(1);
  if (nameLength > extwire::MAX_NAME_BYTES || body.size() < 2 + nameLength) {
    from->chargeFault("KivServer", "Got a malformed announcement from " + from->getAddress());
    return;
  }
  std::string name;
  for (unsigned int i = 0; i < nameLength; ++i) name.push_back(static_cast<char>(body.getByte(2 + i)));
  if (!from->noteAnnounce(name)) {
    from->chargeFault("KivServer", "Got a second announcement from " + from->getAddress());
    return;
  }
  if (!from->hostAnnounced()) sendHostAnnouncement(from, extwire::HOST_OPEN);
  if (roster.findByConnection(from)) sendRoster(from);
}

void KivServer::buildHostAnnouncement(unsigned char mode, const std::string& extra, DBuffer& out) {
  out.clear();
  out.appendString(extwire::ANNOUNCE_HEADER);
  out.appendVariable<unsigned char>(extwire::VERSION);
  out.appendVariable<unsigned char>(mode);
  out.appendString(extra);
}

void KivServer::sendHostAnnouncement(ServerConnection* to, unsigned char mode, const std::string& extra) {
  DBuffer message;
  buildHostAnnouncement(mode, extra, message);
  to->setHostAnnounced();
  to->sendMessage(SESSION_TYPE, message);
}

void KivServer::playerJoining(ServerConnection* connection) {
  if (roster.findByConnection(connection)) return;
  const PlayerRoster::Player& player = roster.add(connection, connection->getWantedName(), connection->getAddress());
  {
    KivSettings::LineScope ungated(nullptr);
    postStatus("NetSystem", player.name + " joined");
  }
  sendRoster();
  if (access.isLocked()) sendLock(connection);
}

void KivServer::sendLock(ServerConnection* to) {
  if (to->isDropped() || !to->isAdmitted() || !to->hasAnnounced()) return;
  DBuffer message;
  message.appendVariable<unsigned char>(extwire::LOCK);
  message.appendVariable<unsigned char>(access.isLocked() ? 1 : 0);
  to->sendExtension(message);
}

void KivServer::setLocked(bool on) {
  if (access.isLocked() == on) return;
  access.setLocked(on);
  {
    KivSettings::LineScope ungated(nullptr);
    postStatus("KivServer", on ? "The host locked the canvas" : "The host unlocked the canvas");
  }
  for (ServerConnection* connection : clients)
    if (roster.findByConnection(connection)) sendLock(connection);
}

bool KivServer::kick(unsigned int playerId, bool andBan, std::string& answer) {
  const PlayerRoster::Player* player = roster.find(playerId);
  if (!player || player->gone) {
    answer = "No such player";
    return false;
  }
  if (player->host) {
    answer = "The host cannot remove itself";
    return false;
  }
  const std::string who = player->name + " (" + player->address + ")";
  const std::string address = player->address;
  ServerConnection* connection = player->connection;
  if (andBan && !access.ban(address) && !access.isBanned(address)) {
    answer = "Cannot ban " + who + ": the list of bans is full";
    return false;
  }
  answer = (andBan ? "Banned " : "Kicked ") + who;
  endWithVerdict(connection, answer, extwire::KICKED);
  return true;
}

bool KivServer::unban(const std::string& address, std::string& answer) {
  if (!access.unban(address)) {
    answer = address + " is not banned";
    return false;
  }
  answer = "Unbanned " + address;
  return true;
}

void KivServer::passJoin(ServerConnection* connection, DBuffer& join) {
  SyncServerFSM* fsm = syncServer ? syncServer->getClient(connection) : nullptr;
  if (fsm) fsm->recvHandler(join);
}

void KivServer::sendRoster() {
  for (ServerConnection* connection : clients) sendRoster(connection);
}

void KivServer::sendRoster(ServerConnection* to) {
  if (to->isDropped() || !to->isAdmitted() || !to->hasAnnounced()) return;
  for (ServerConnection* going : pendingRemovals)
    if (going == to) return;
  const std::vector<PlayerRoster::Player> present = roster.present();
  const std::size_t count = std::min(present.size(), extwire::MAX_ROSTER_PLAYERS);
  DBuffer message;
  message.appendVariable<unsigned char>(extwire::ROSTER);
  message.appendVariable<unsigned char>(static_cast<unsigned char>(count));
  for (std::size_t i = 0; i < count; ++i) {
    const PlayerRoster::Player& p = present[i];
    unsigned char flags = 0;
    if (p.host) flags |= extwire::PLAYER_HOST;
    if (p.connection == to) flags |= extwire::PLAYER_YOU;
    message.appendVariable<unsigned int>(p.id);
    message.appendVariable<unsigned char>(flags);
    message.appendVariable<unsigned char>(static_cast<unsigned char>(p.name.size()));
    message.appendString(p.name);
  }
  to->sendExtension(message);
}

void KivServer::extensionHandler(DBuffer& body, ServerConnection* from) {
  if (!extwire::isStrokeKind(body.getByte(0)) && !from->charge(PeerBudget::EXTENSION_MESSAGES, 1)) return;
  if (!from->hasAnnounced()) {
    from->chargeFault("KivServer", "Got an extension message from " + from->getAddress() + " before it announced itself");
    return;
  }
  if (body.size() > extwire::MAX_EXTENSION_BYTES) {
    from->chargeFault("KivServer", "Got an oversized extension message from " + from->getAddress());
    return;
  }
  const unsigned char kind = body.getByte(0);
  if (extwire::isHostKind(kind)) {
    dropConnection(from, "sent a message only the host may send");
    return;
  }
  switch (kind) {
    case extwire::PROOF:
      proofHandler(body, from);
      break;
    case extwire::STROKE_STARTS:
      if (!from->isAdmitted()) break;
      body.removeFirst(1);
      strokeStartsHandler(body, from);
      break;
    case extwire::UNDO:
    case extwire::REDO:
      if (from->isAdmitted()) undoRequest(from, kind == extwire::REDO);
      break;
    default:
      from->chargeFault("KivServer", "Got an extension message of unknown kind " + DEngine::intToStr(kind) +
                                         " from " + from->getAddress());
      break;
  }
}

void KivServer::proofHandler(DBuffer& body, ServerConnection* from) {
  const std::string challenge = from->getChallenge();
  if (from->isAdmitted() || challenge.empty()) {
    from->chargeFault("KivServer", "Got an unasked password proof from " + from->getAddress());
    return;
  }
  std::string proof;
  for (unsigned int i = 1; i < body.size(); ++i) proof.push_back(static_cast<char>(body.getByte(i)));
  if (access.checkProof(challenge, proof)) {
    DBuffer admitted;
    admitted.appendVariable<unsigned char>(extwire::ADMITTED);
    from->admit();
    from->sendExtension(admitted);
    return;
  }
  // One answer a challenge: the connection goes either way.
  access.wrongProof(from->getAddress());
  endWithVerdict(from, "Refused " + from->getAddress() + ": wrong password", extwire::WRONG_PASSWORD);
}

void KivServer::relayStrokes() {
  DBuffer message;
  for (const Relay& relay : relays) {
    for (std::size_t first = 0; first < relay.lines.size(); first += DrawingProtocol::MAX_LINES_PER_MESSAGE) {
      std::size_t count = std::min<std::size_t>(DrawingProtocol::MAX_LINES_PER_MESSAGE, relay.lines.size() - first);
      DrawingProtocol::buildMessage(relay.lines, first, count, message);
      // A client that is not reading misses it; its sync repairs the canvas.
      for (ServerConnection* connection : clients)
        if (connection != relay.from) connection->relay(message);
    }
  }
  relays.clear();
}

void KivServer::run() {
  clearDeletions();
  finishClosing();
  // A full host keeps those that only overstayed until a newcomer knocks:
  // dropped now, their places would go to whoever reconnects fastest (they
  // themselves, as a rule), not to someone who waited.
  const bool roomy = liveClients() < MAX_CLIENTS;
  for (ServerConnection* connection : clients) checkConnection(connection, roomy);
  postHeldLines();
  tellForgotten();
  relayStrokes();
  // The clients that are not reading miss these; their sync repairs the
  // canvas later, and chat they miss is counted.
  DBuffer message;
  if (drawingProtocol->prepareServerMessage(message))
    for (ServerConnection* connection : clients) connection->relay(message);
  if (chatProtocol->prepareMessage(message))
    for (ServerConnection* connection : clients) connection->relay(message, chatProtocol->getLastLineCount());
  KivSettings::flushRepeats();
}

// ---------------------------------------------------------------------------
// [SECTION] undo
// ---------------------------------------------------------------------------

StrokeHistory::Painter KivServer::painterOf(const ServerConnection* connection) const {
  const PlayerRoster::Player* player = roster.findByConnection(connection);
  return player ? player->id : StrokeHistory::NOBODY;
}

StrokeHistory::Result KivServer::undoStroke(StrokeHistory::Painter painter, bool redo) {
  StrokeHistory::Result change;
  if (!history) return change;
  change = redo ? history->redo(painter) : history->undo(painter);
  publishChange(change);
  return change;
}

StrokeHistory::Result KivServer::rollback(StrokeHistory::Painter painter, unsigned int minutes,
                                          const std::string& name) {
  StrokeHistory::Result change;
  if (!history) return change;
  change = history->rollback(painter, minutes);
  publishChange(change);
  postStatus("KivServer", "Undid " + DEngine::intToStr(static_cast<int>(change.strokes)) +
                              (change.strokes == 1 ? " stroke of " : " strokes of ") + name);
  return change;
}

bool KivServer::rollbackPlayer(unsigned int playerId, unsigned int minutes, std::string& answer) {
  const PlayerRoster::Player* player = roster.find(playerId);
  if (!player) {
    answer = "No such player";
    return false;
  }
  const StrokeHistory::Result change = rollback(player->id, minutes, player->name);
  answer = "Undid " + DEngine::intToStr(static_cast<int>(change.strokes)) +
           (change.strokes == 1 ? " stroke of " : " strokes of ") + player->name;
  return true;
}

bool KivServer::hasStrokes(unsigned int playerId) const { return history && history->undoDepth(playerId) > 0; }

void KivServer::publishChange(const StrokeHistory::Result& change) {
  if (change.pixels.empty()) return;
  // Lines already painted here but not yet sent would otherwise reach the
  // clients after the undo and paint the stroke again on their copies.
  relayStrokes();
  DBuffer message;
  if (drawingProtocol->prepareServerMessage(message, true))
    for (ServerConnection* connection : clients) connection->relay(message);
  // The changed pixels, at once, to the clients that understand them. The
  // others, and one that is congested and misses a part, find the change
  // through synchronization: the canvas's bytes changed like any stroke's.
  std::vector<DBuffer> bodies;
  for (ServerConnection* connection : clients) {
    if (connection->isDropped() || !connection->isAdmitted() || !connection->hasAnnounced()) continue;
    if (bodies.empty()) PixelPatch::build(*worldMap, change.pixels, extwire::PIXELS, bodies);
    for (const DBuffer& body : bodies) connection->sendExtension(body);
  }
}

void KivServer::tellForgotten() {
  if (!history) return;
  for (StrokeHistory::Painter painter : history->takeForgotten()) {
    if (painter == StrokeHistory::HOST) {
      postStatus("KivServer", StrokeHistory::FORGOTTEN_TEXT);
      continue;
    }
    const PlayerRoster::Player* player = roster.find(painter);
    if (!player || !player->connection) continue;
    DBuffer message;
    message.appendVariable<unsigned char>(extwire::FORGOTTEN);
    player->connection->sendExtension(message);
  }
}

void KivServer::strokeStartsHandler(DBuffer& body, ServerConnection* from) {
  if (!from->charge(PeerBudget::DRAW_LINES, 1)) return;
  std::vector<unsigned char> starts;
  bool ok = body.size() >= 1 && body.getByte(0) <= extwire::MAX_STROKE_STARTS && body.size() == 1u + body.getByte(0);
  for (unsigned int i = 1; ok && i < body.size(); ++i) {
    const unsigned char line = body.getByte(i);
    ok = line < DrawingProtocol::MAX_LINES_PER_MESSAGE && (starts.empty() || line > starts.back());
    starts.push_back(line);
  }
  if (!ok) {
    from->chargeFault("KivServer", "Got malformed stroke starts from " + from->getAddress());
    return;
  }
  from->setStrokeStarts(starts);
}

void KivServer::undoRequest(ServerConnection* from, bool redo) {
  const StrokeHistory::Painter painter = painterOf(from);
  // Refused like strokes while the canvas is locked, and charged as a line
  // painting what the undo changes.
  if (access.isLocked() || !from->mayDraw()) return;
  const std::size_t pixels = history && painter != StrokeHistory::NOBODY ? history->changeSize(painter, redo) : 0;
  if (!from->chargeLine(static_cast<long>(std::max<std::size_t>(1, pixels)))) return;
  if (history && painter != StrokeHistory::NOBODY) undoStroke(painter, redo);
}

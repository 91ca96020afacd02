// ServerConnection: one client connection of the session server.

#include "ServerConnection.h"

#include "DEngine.h"
#include "ExtensionWire.h"
#include "KivServer.h"
#include "KivSettings.h"
#include "SessionWire.h"
#include "SyncMessages.h"
#include "SyncNetwork.h"

using libkorvet::DBuffer;

ServerConnection::ServerConnection(libkorvet::DEngine* engine, Socket* socket, KivServer* owner,
                                   unsigned long long canvasBytes, std::shared_ptr<AddressBudget> shared)
    : DDispatcher(engine, socket, sessionwire::IO_BUFFER_BYTES),
      server(owner),
      budget(engine, this, canvasBytes, std::move(shared)),
      address(getRemoteAddress()),
      skippedChatLines(0),
      joinSeen(false),
      ownMachine(!address.empty() && address == getLocalAddress()),
      dropped(false),
      announced(false),
      announcedToPeer(false),
      admitted(true),
      closing(false),
      failed(false),
      closingSince(0) {}

const unsigned int ServerConnection::CLOSE_GRACE_MS;

ServerConnection::~ServerConnection() {}

void ServerConnection::errorHandler(std::string text) {
  // The server only queues this connection for deletion: the connection is
  // still inside its own error report here.
  if (closing) {
    failed = true;
    return;
  }
  if (!dropped) server->disconnectHandler(text, this);
}

void ServerConnection::receiveHandler(DBuffer& data) {
  if (dropped || closing) return;
  {
    KivSettings::LineScope scope(&budget);
    DDispatcher::receiveHandler(data);
  }
  // The chunk is parsed already; a peer that sends more than its budget
  // waits for the next chunk until the debt is paid.
  if (!dropped && !budget.chargeInbound(data.size())) holdReceive();
}

void ServerConnection::sendHandler() {
  if (!dropped) server->connectionDrained(this);
}

void ServerConnection::corruptHandler(std::string text) {
  // The dispatcher resynchronises on the next frame, so the client may stay
  // as long as it does not make a habit of it.
  chargeFault("ServerConnection", text);
}

bool ServerConnection::admitMessage(unsigned char type, const DBuffer& body) {
  if (dropped || closing) return false;
  if (type != libksync::SyncNetwork::SYNC_MESSAGE_TYPE) return true;
  // A client sends JOIN once and CRC queries; any other kind is not ours.
  unsigned char kind = body.size() > 0 ? body.getByte(0) : 0;
  if (kind != libksync::SyncMessages::JOIN && kind != libksync::SyncMessages::CRC_QUERY) {
    chargeFault("ServerConnection", "Got a sync message of kind " + libkorvet::DEngine::intToStr(kind));
    return false;
  }
  if (kind == libksync::SyncMessages::JOIN) {
    // Sent again, it is not taking part but a way to look alive.
    if (joinSeen) {
      chargeFault("ServerConnection", "Got a second JOIN from " + address);
      return false;
    }
    joinSeen = true;
  }
  if (!charge(PeerBudget::SYNC_MESSAGES, 1) || !charge(PeerBudget::SYNC_BYTES, body.size())) return false;
  if (!admitted) {
    // Nothing is answered before the proof; the JOIN waits for it.
    if (kind == libksync::SyncMessages::JOIN) heldJoin.reset(new DBuffer(body));
    return false;
  }
  if (kind == libksync::SyncMessages::JOIN) server->playerJoining(this);
  if (kind == libksync::SyncMessages::CRC_QUERY) budget.noteQuery();
  return true;
}

bool ServerConnection::noteAnnounce(const std::string& name) {
  if (announced) return false;
  announced = true;
  wantedName = name;
  return true;
}

bool ServerConnection::sendExtension(const DBuffer& message) {
  if (dropped || closing || !announced || !budget.maySend(message.size())) return false;
  sendMessage(extwire::EXTENSION_TYPE, message);
  return true;
}

void ServerConnection::requireProof(const std::string& sent) {
  admitted = false;
  challenge = sent;
}

void ServerConnection::admit() {
  if (admitted || dropped || closing) return;
  admitted = true;
  challenge.clear();
  if (!heldJoin) return;
  std::unique_ptr<DBuffer> join = std::move(heldJoin);
  server->playerJoining(this);
  server->passJoin(this, *join);
}

void ServerConnection::enforce(bool placeWanted) {
  if (dropped || budget.getVerdict().empty() || (budget.hasOnlyOverstayed() && !placeWanted)) return;
  server->dropConnection(this, budget.getVerdict());
}

bool ServerConnection::charge(PeerBudget::Kind kind, double amount) {
  return !dropped && (budget.charge(kind, amount) || refuse(kind));
}

bool ServerConnection::chargeLine(long pixels) {
  return !dropped && (budget.chargeLine(pixels) || refuse(PeerBudget::DRAW_LINES));
}

bool ServerConnection::chargeChatLine(unsigned int bytes) {
  return !dropped && (budget.chargeChatLine(bytes) || refuse(PeerBudget::CHAT_LINES));
}

bool ServerConnection::mayDraw() { return !dropped && (budget.mayDraw() || refuse(PeerBudget::DRAW_LINES)); }

bool ServerConnection::mayChat() { return !dropped && (budget.mayChat() || refuse(PeerBudget::CHAT_LINES)); }

bool ServerConnection::refuse(PeerBudget::Kind kind) {
  KivSettings::addChatMessage("KivServer", "Dropping excess " + PeerBudget::kindName(kind) + " from " + address,
                              sessionwire::STATUS_COLOR);
  enforce();
  return false;
}

void ServerConnection::chargeFault(const std::string& owner, const std::string& text) {
  if (dropped) return;
  if (!budget.chargeFault())
    enforce();
  else if (!text.empty())
    KivSettings::addChatMessage(owner, text, sessionwire::STATUS_COLOR);
}

bool ServerConnection::relay(const DBuffer& message, unsigned int chatLines) {
  if (dropped || closing || !admitted) return false;
  if (!budget.maySend(message.size())) {
    skippedChatLines += chatLines;
    return false;
  }
  if (chatLines > 0) reportSkippedChat();
  sendMessage(sessionwire::SESSION_TYPE, message);
  return true;
}

void ServerConnection::reportSkippedChat() {
  if (skippedChatLines == 0) return;
  KivSettings::addChatMessage("KivServer",
                              "Skipped " + libkorvet::DEngine::intToStr(static_cast<long>(skippedChatLines)) +
                                  " chat lines to " + address + " while it was not reading",
                              sessionwire::STATUS_COLOR);
  skippedChatLines = 0;
}

void ServerConnection::beginClosing() {
  if (closing) return;
  closing = true;
  closingSince = budget.ageMs();
}

bool ServerConnection::closingDue() {
  return closing && (failed || dropped || unsentBytes() == 0 || budget.ageMs() - closingSince >= CLOSE_GRACE_MS);
}

void ServerConnection::checkBudget(bool joined, bool streaming, bool placeWanted) {
  if (dropped || closing) return;
  // A peer that cannot answer the challenge goes when a JOIN would be due.
  if (!admitted && placeWanted && budget.pastJoinDeadline()) {
    server->dropConnection(this, "no password");
    return;
  }
  budget.check(joined, streaming);
  enforce(placeWanted);
  if (!dropped && isReceiveHeld() && budget.mayRead()) resumeReceive();
}

void ServerConnection::markDropped() {
  reportSkippedChat();
  dropped = true;
  closeSocket();
}

// KivClient: connecting, the greeting and canvas set-up, message routing and
// the session tick of a joining client.

#include "KivClient.h"

#include <algorithm>
#include <cstdio>

#include "ChatProtocol.h"
#include "DBuffer.h"
#include "DEngine.h"
#include "DrawingProtocol.h"
#include "ExtensionWire.h"
#include "HostAccess.h"
#include "PixelPatch.h"
#include "StrokeHistory.h"
#include "KivSettings.h"
#include "LinkEnd.h"
#include "SyncClient.h"
#include "SyncEDCProtocol.h"
#include "SessionWire.h"
#include "WorldMap.h"

using libkorvet::DBuffer;
using libkorvet::DEngine;
using libksync::SyncClient;

using namespace sessionwire;

namespace {

const unsigned short QUERY_BANDWIDTH = 128;
const unsigned short QUERY_PERIOD_MS = 500;
const int PLACEHOLDER_SQUARE = 4;

std::string headerOf(const DBuffer& body) {
  std::string header;
  for (unsigned int i = 0; i < HEADER_SIZE; ++i) header.push_back(static_cast<char>(body.getByte(i)));
  return header;
}

}  // namespace

const unsigned short KivClient::SESSION_PORT;
const unsigned int KivClient::TICK_INTERVAL_MS;
const int KivClient::PLACEHOLDER_COLOR;
const unsigned int KivClient::GREETING_TIMEOUT_MS;
const unsigned int KivClient::HOST_SILENCE_MS;

KivClient::KivClient(DEngine* e, WorldMap* map, DrawingProtocol* drawing, ChatProtocol* chat)
    : DDispatcher(e, IO_BUFFER_BYTES),
      syncClient(nullptr),
      worldMap(map),
      engine(e),
      drawingProtocol(drawing),
      chatProtocol(chat),
      budget(e),
      tickTimer(e),
      greetingTimer(e),
      bytesReceived(0),
      ready(false),
      clientOK(true),
      completeReported(false),
      continuing(false),
      startedAfresh(false),
      connectionLost(false),
      hostAnnounced(false),
      rosterSeen(false),
      locked(false),
      verdict(0) {
  joinStart.useEngine(e);
  lastHeard.useEngine(e);
}

KivClient::~KivClient() {
  tickTimer.stop();
  greetingTimer.stop();
  delete syncClient;
  syncClient = nullptr;
}

void KivClient::postStatus(const std::string& text) {
  KivSettings::addChatMessage("KivClient", text, STATUS_COLOR);
}

void KivClient::syncError(std::string text) { postStatus(text); }

void KivClient::connectToHost(const std::string& address, unsigned short port) {
  if (syncClient) DEngine::fatalError("KivClient::connectToHost(): must delete this object before re-connecting");
  // The connection owns the handler and only calls it while alive; this
  // object is that connection.
  addHandler(SESSION_TYPE, [this](DBuffer& body) { messageHandler(body); });
  addHandler(extwire::EXTENSION_TYPE, [this](DBuffer& body) { extensionHandler(body); });
  hostAddress = address;
  startConnect(address, port);
}

void KivClient::connectHandler(std::string text, libkorvet::NetworkCode code) {
  if (code != libkorvet::connectOk) {
    loseLink(linkend::cannotConnect(*this, code, hostAddress), text);
    return;
  }
  if (syncClient) return;  // one connection per object

  tickTimer.setInterval(TICK_INTERVAL_MS);
  tickTimer.setHandler([this] { run(); });
  tickTimer.start();
  greetingTimer.setInterval(GREETING_TIMEOUT_MS);
  greetingTimer.setHandler([this] { greetingOverdue(); });
  greetingTimer.start();

  // Both timers and the sync client belong to this object and go with it.
  syncClient = new SyncClient(this, engine, SYNC_SUBTYPE, [this](std::string text) {
    syncError(text);
    unsigned int state = syncClient ? syncClient->getState() : static_cast<unsigned int>(SyncClient::START);
    if (joinError.empty() && (state == SyncClient::JOINING || state == SyncClient::ERROR)) joinError = text;
  });
  syncClient->setQueryBandwidth(QUERY_BANDWIDTH);
  // Above what the 16-bit budgets carry, the option is the link's rate.
  syncClient->setLinkRate(static_cast<unsigned int>(std::max(0, KivSettings::getEDCBandwidth())));
  if (!syncClient->setSegmentSize(static_cast<unsigned short>(WorldMap::KIV_SEGMENT_SIZE), SPECK_SIZE))
    DEngine::fatalError(syncClient->getErrMsg());
  syncClient->setRepairGate([this] { return budget.mayRepair(syncClient->getRepairedBytes()); });
}

void KivClient::errorHandler(std::string text) { loseLink(linkend::hostEnded(*this, hostAddress), text); }

void KivClient::loseLink(const std::string& words, const std::string& systemText) {
  if (clientOK) linkend::log("KivClient", words, systemText);
  loseConnection(words);
}

void KivClient::loseConnection(const std::string& text) {
  // A connection closed after a verdict keeps the verdict as the reason.
  if (!clientOK) return;
  clientOK = false;
  connectionLost = true;
  errMsg = text;
}

void KivClient::receiveHandler(DBuffer& data) {
  bytesReceived += data.size();
  lastHeard.updateTime();
  budget.chargeInbound(data.size());
  {
    KivSettings::LineScope scope(&budget);
    DDispatcher::receiveHandler(data);
  }
  // The whole chunk was parsed; what it cost still holds the next one.
  if (budget.mustWait()) holdReceive();
}

bool KivClient::pauseAfterMessage() {
  if (syncClient) budget.chargeFlushed(syncClient->getFlushedBytes());
  return budget.mustWait();
}

void KivClient::checkBudget() {
  budget.check();
  if (budget.isCondemned() && clientOK) {
    clientOK = false;
    errMsg = "The host at " + hostAddress + " sent more than a session needs";
    postStatus(errMsg);
    closeSocket();
    return;
  }
  if (!clientOK || budget.mustWait() || !(hasHeldInput() || isReceiveHeld())) return;
  KivSettings::LineScope scope(&budget);
  feedHeldInput();
}

bool KivClient::dropExcessChat() {
  postStatus("Dropping excess CHAT from the host at " + hostAddress);
  return false;
}

void KivClient::corruptHandler(std::string text) { postStatus(text); }

bool KivClient::getJoined() const { return syncClient && syncClient->getState() == SyncClient::SYNCHRONIZING; }

void KivClient::greetingOverdue() {
  greetingTimer.stop();
  if (ready || !clientOK) return;
  loseConnection("The host at " + hostAddress + " accepted the connection but never answered.");
}

void KivClient::checkJoin() {
  if (!clientOK || !syncClient || syncClient->getState() != SyncClient::ERROR) return;
  clientOK = false;
  errMsg = "Couldn't join the host's canvas: " + (joinError.empty() ? syncClient->getErrMsg() : joinError);
}

double KivClient::getJoinProgress() const {
  return syncClient && ready ? syncClient->getFirstPassProgress() : 0.0;
}

void KivClient::reportComplete() {
  if (completeReported || !clientOK || !ready || !getJoined() || !syncClient->getEDC()->isFirstPassComplete()) return;
  completeReported = true;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", joinStart.timeElapsed() / 1000.0);
  KivSettings::addChatMessage("KivClient", std::string("The picture is complete (") + seconds + " seconds)",
                              STATUS_COLOR);
}

void KivClient::run() {
  // Input held back by the budget is not the host's silence.
  if (clientOK && getJoined() && lastHeard.timeElapsed() > HOST_SILENCE_MS && !hasHeldInput())
    loseConnection("The host at " + hostAddress + " stopped answering.");
  checkBudget();
  checkJoin();
  reportComplete();
  sendDrawing(false);
  chatProtocol->runClient(this);
}

void KivClient::sendDrawing(bool now) {
  DBuffer message;
  if (!drawingProtocol->prepareClientMessage(message, now)) return;
  const std::vector<unsigned char>& starts = drawingProtocol->getStrokeStarts();
  if (hostAnnounced && !starts.empty()) {
    DBuffer marks;
    marks.appendVariable<unsigned char>(extwire::STROKE_STARTS);
    marks.appendVariable<unsigned char>(static_cast<unsigned char>(starts.size()));
    for (unsigned char line : starts) marks.appendVariable<unsigned char>(line);
    sendMessage(extwire::EXTENSION_TYPE, marks);
  }
  sendMessage(SESSION_TYPE, message);
}

bool KivClient::requestUndo(bool redo) {
  if (!clientOK || !hostAnnounced) return false;
  sendDrawing(true);
  DBuffer request;
  request.appendVariable<unsigned char>(redo ? extwire::REDO : extwire::UNDO);
  sendMessage(extwire::EXTENSION_TYPE, request);
  return true;
}

void KivClient::messageHandler(DBuffer& body) {
  // After a failure the session is over; whatever the host still sends
  // (another "greeting" included) must not revive it.
  if (!clientOK) return;

  if (!ready) {
    greetingTimer.stop();
    joinStart.updateTime();
    if (extractDimensions(body))
      ready = true;
    else
      clientOK = false;
    return;
  }

  if (body.size() < HEADER_SIZE) {
    postStatus("messageHandler got a msg < four bytes long");
    return;
  }
  std::string header = headerOf(body);
  body.removeFirst(HEADER_SIZE);
  if (header == "DRAW") {
    // Painted whatever it costs: the debt makes what follows wait.
    drawingProtocol->parseDraw(body, worldMap, [this](long pixels) {
      budget.chargePaint(pixels);
      return true;
    });
  } else if (header == "CHAT") {
    if (!budget.mayChat()) {
      dropExcessChat();
      return;
    }
    chatProtocol->parseChat(body, false, [this](unsigned int) { return budget.chargeChatLine() || dropExcessChat(); });
  } else if (header == extwire::ANNOUNCE_HEADER) {
    hostAnnouncement(body);
  } else {
    postStatus("messageHandler received unrecognized header " + header);
  }
}

bool KivClient::extractDimensions(DBuffer& greeting) {
  if (greeting.size() != GREETING_SIZE) {
    errMsg = "Server's greeting message wasn't the right length";
    return false;
  }
  if (headerOf(greeting) != "NTPT") {
    errMsg = "Server's greeting message had an invalid header";
    return false;
  }
  unsigned int width = 0;
  unsigned int height = 0;
  greeting.extractVariable<unsigned int>(4, width);
  greeting.extractVariable<unsigned int>(8, height);
  const unsigned int minSize = static_cast<unsigned int>(WorldMap::MIN_MAP_SIZE);
  const unsigned int maxSize = static_cast<unsigned int>(WorldMap::MAX_MAP_SIZE);
  if (width < minSize || width > maxSize) {
    errMsg = "Received an invalid map width from the server: " + std::to_string(width);
    return false;
  }
  if (height < minSize || height > maxSize) {
    errMsg = "Received an invalid map height from the server: " + std::to_string(height);
    return false;
  }
  if (!syncClient) {
    // Messages arrive only on an established connection, which creates the
    // sync client first; kept as a failure rather than a crash regardless.
    errMsg = "Server's greeting arrived before the connection was set up";
    return false;
  }

  const bool sameCanvas = continuing && worldMap->isCreated() && worldMap->getPixelWidth() == static_cast<int>(width) &&
                          worldMap->getPixelHeight() == static_cast<int>(height);
  if (sameCanvas) {
    worldMap->moveTo(syncClient);
  } else {
    if (continuing) {
      startedAfresh = true;
      postStatus("The host at " + hostAddress + " has a new canvas of " + std::to_string(width) + " x " +
                 std::to_string(height) + ": starting over");
    }
    if (!worldMap->create(static_cast<int>(width), static_cast<int>(height), syncClient)) {
      errMsg = worldMap->getErrMsg();
      return false;
    }
  }
  if (!syncClient->setQueryPeriod(QUERY_PERIOD_MS)) {
    errMsg = syncClient->getErrMsg();
    return false;
  }
  // Before the JOIN, so that the host knows the name when it lists us.
  sendAnnouncement();
  if (!syncClient->initialize()) {
    clientOK = false;
    postStatus(syncClient->getErrMsg());
  }

  // Written with the overwrite flag, the pattern is not local paint: every
  // segment then differs from the host's and gets repaired.
  if (!sameCanvas) {
    syncClient->setEDCOverwrite(true);
    paintPlaceholder();
    syncClient->setEDCOverwrite(false);
  }
  // Painting the largest canvas takes seconds, many more on a busy machine.
  syncClient->restartHandshakeTimeout();
  return true;
}

void KivClient::paintPlaceholder() { worldMap->paintCheckerboard(PLACEHOLDER_SQUARE, PLACEHOLDER_COLOR); }

// ---------------------------------------------------------------------------
// Extensions: announcement, player list

void KivClient::sendAnnouncement() {
  std::string name = playerName.substr(0, extwire::MAX_NAME_BYTES);
  DBuffer message;
  message.appendString(extwire::ANNOUNCE_HEADER);
  message.appendVariable<unsigned char>(extwire::VERSION);
  message.appendVariable<unsigned char>(static_cast<unsigned char>(name.size()));
  message.appendString(name);
  sendMessage(SESSION_TYPE, message);
}

void KivClient::hostAnnouncement(DBuffer& body) {
  if (hostAnnounced) {
    postStatus("The host announced itself twice");
    return;
  }
  if (body.size() < 2 || body.size() > extwire::MAX_ANNOUNCE_BYTES || body.getByte(0) < 1) {
    postStatus("Got a malformed announcement from the host");
    return;
  }
  hostAnnounced = true;
  const unsigned char mode = body.getByte(1);
  if (mode == extwire::HOST_PASSWORD) {
    if (body.size() < 2 + extwire::CHALLENGE_BYTES) {
      postStatus("Got a malformed announcement from the host");
      return;
    }
    std::string challenge;
    for (unsigned int i = 0; i < extwire::CHALLENGE_BYTES; ++i) challenge.push_back(static_cast<char>(body.getByte(2 + i)));
    DBuffer proof;
    proof.appendVariable<unsigned char>(extwire::PROOF);
    proof.appendString(HostAccess::proofFor(password, challenge));
    sendMessage(extwire::EXTENSION_TYPE, proof);
  } else if (mode == extwire::HOST_REFUSED && body.size() >= 3) {
    applyVerdict(body.getByte(2));
  }
}

void KivClient::applyVerdict(unsigned char why) {
  if (!clientOK) return;
  switch (why) {
    case extwire::WRONG_PASSWORD:
      errMsg = "Wrong password for " + hostAddress;
      break;
    case extwire::KICKED:
      errMsg = "The host removed you from the session";
      break;
    case extwire::BANNED:
      errMsg = "The host at " + hostAddress + " has banned this address";
      break;
    case extwire::TOO_MANY_WRONG:
      errMsg = "Too many wrong passwords for " + hostAddress + ": try again in a minute";
      break;
    default:
      errMsg = "The host at " + hostAddress + " ended the session";
      break;
  }
  verdict = why;
  clientOK = false;
}

bool KivClient::readRoster(DBuffer& body) {
  if (body.size() < 1) return false;
  const unsigned int count = body.getByte(0);
  if (count > extwire::MAX_ROSTER_PLAYERS) return false;
  unsigned int at = 1;
  std::vector<Player> listed;
  for (unsigned int i = 0; i < count; ++i) {
    if (body.size() < at + 6) return false;
    unsigned int id = 0;
    body.extractVariable<unsigned int>(at, id);
    const unsigned char flags = body.getByte(at + 4);
    const unsigned int length = body.getByte(at + 5);
    at += 6;
    if (length == 0 || length > extwire::MAX_NAME_BYTES || body.size() < at + length) return false;
    std::string name;
    for (unsigned int k = 0; k < length; ++k) name.push_back(static_cast<char>(body.getByte(at + k)));
    at += length;
    listed.push_back(Player{id, name, (flags & extwire::PLAYER_HOST) != 0, (flags & extwire::PLAYER_YOU) != 0});
  }
  if (rosterSeen) {
    auto has = [](const std::vector<Player>& in, unsigned int id) {
      return std::any_of(in.begin(), in.end(), [id](const Player& p) { return p.id == id; });
    };
    for (const Player& p : listed)
      if (!has(players, p.id)) postStatus(p.name + " joined");
    for (const Player& p : players)
      if (!has(listed, p.id)) postStatus(p.name + " left");
  }
  rosterSeen = true;
  players = listed;
  return true;
}

void KivClient::extensionHandler(DBuffer& body) {
  if (!clientOK) return;
  const unsigned char kind = body.getByte(0);
  // Changed pixels come in bodies of up to a frame (PixelPatch bounds what
  // they inflate to); every other kind is small.
  if (!hostAnnounced || (body.size() > extwire::MAX_EXTENSION_BYTES && kind != extwire::PIXELS)) {
    postStatus("Got an extension message the host had not announced");
    return;
  }
  body.removeFirst(1);
  std::string error;
  switch (kind) {
    case extwire::PIXELS:
      if (ready && !PixelPatch::apply(body, *worldMap, error)) postStatus("Got malformed pixels from the host: " + error);
      break;
    case extwire::FORGOTTEN:
      postStatus(StrokeHistory::FORGOTTEN_TEXT);
      break;
    case extwire::ROSTER:
      if (!readRoster(body)) postStatus("Got a malformed player list from the host");
      break;
    case extwire::ADMITTED:
      break;
    case extwire::VERDICT:
      applyVerdict(body.size() > 0 ? body.getByte(0) : 0);
      break;
    case extwire::LOCK:
      if (body.size() < 1 || body.getByte(0) > 1) {
        postStatus("Got a malformed lock message from the host");
      } else if ((body.getByte(0) == 1) != locked) {
        locked = body.getByte(0) == 1;
        postStatus(locked ? "The host locked the canvas" : "The host unlocked the canvas");
      }
      break;
    default:
      postStatus("Got an extension message of unknown kind " + std::to_string(kind));
      break;
  }
}

// NetSystem: session start, health checks and tear-down for the game engine.

#include "NetSystem.h"

#include "ChatProtocol.h"
#include "DEngine.h"
#include "DrawingProtocol.h"
#include "KivClient.h"
#include "KivServer.h"
#include "KivSettings.h"
#include "Reconnector.h"

using libkorvet::DEngine;

namespace {

// A client whose synchronization could not start has no failure text of its
// own (the reason went to the status lines); the user still needs one.
const char* const SYNC_START_FAILED =
    "Couldn't start synchronizing the canvas with the host. Try joining again.";

}  // namespace

NetSystem::NetSystem(DEngine* e)
    : drawingProtocol(nullptr),
      chatProtocol(nullptr),
      clientHandler(nullptr),
      serverHandler(nullptr),
      engine(e),
      hostIP("0.0.0.0"),
      sessionMode(NO_SESSION),
      sessionPort(KivServer::SESSION_PORT),
      reconnector(new Reconnector(e)),
      clientMap(nullptr),
      everJoined(false),
      reconnectEnded(false) {
  resetVariables();
}

NetSystem::~NetSystem() {
  delete clientHandler;
  delete serverHandler;
  delete reconnector;
  delete drawingProtocol;
  delete chatProtocol;
}

void NetSystem::resetVariables() {
  playerName = "Anonymous";
  gameName = "A Session";
  errMsg = "AllOK";
  sessionMode = NO_SESSION;

  // The session objects hold the protocols, so they go first.
  delete serverHandler;
  serverHandler = nullptr;
  delete clientHandler;
  clientHandler = nullptr;
  reconnector->reset();
  clientMap = nullptr;
  everJoined = false;
  reconnectEnded = false;
  undoRefusalShown = false;

  // Fresh protocols drop whatever was queued and read the current update
  // frequency.
  delete drawingProtocol;
  drawingProtocol = new DrawingProtocol();
  delete chatProtocol;
  chatProtocol = new ChatProtocol();
}

void NetSystem::setPlayerName(const std::string& name) {
  if (sessionMode != NO_SESSION) DEngine::fatalError("NetSystem::setPlayerName(): called during an active session");
  playerName = name;
}

void NetSystem::setGameName(const std::string& name) {
  if (sessionMode != NO_SESSION) DEngine::fatalError("NetSystem::setGameName(): called during an active session");
  gameName = name;
}

bool NetSystem::hostNewGame(unsigned int width, unsigned int height, WorldMap* map) {
  if (sessionMode != NO_SESSION) {
    errMsg = "This server is already part of a session.";
    return false;
  }
  if (serverHandler) DEngine::fatalError("NetSystem::hostNewGame(): serverHandler != NULL");

  serverHandler = new KivServer(engine, map, drawingProtocol, chatProtocol);
  serverHandler->setPort(sessionPort);
  serverHandler->setHostName(playerName);
  serverHandler->setPassword(hostPassword);
  if (!serverHandler->initialize(width, height)) {
    errMsg = serverHandler->getErrMsg();
    return false;
  }
  sessionMode = HOSTING;
  return true;
}

bool NetSystem::joinExistingGame(WorldMap* map) {
  if (sessionMode != NO_SESSION) {
    errMsg = "We're already part of a session";
    return false;
  }
  if (clientHandler) DEngine::fatalError("NetSystem::joinExistingGame(): clientHandler != NULL");

  clientHandler = new KivClient(engine, map, drawingProtocol, chatProtocol);
  clientMap = map;
  clientHandler->setPlayerName(playerName);
  clientHandler->setPassword(joinPassword);
  clientHandler->connectToHost(hostIP, sessionPort);
  sessionMode = CLIENT;
  return true;
}

void NetSystem::addUDPDrawing(long x1, long y1, long x2, long y2) {
  if (isReconnecting() || reconnector->keptStrokes() > 0) {
    // The protocol keeps only its newest few; these wait for the host, and
    // after a rejoin new strokes queue behind the kept ones.
    DrawingData line(x1, y1, x2, y2);
    line.setBrushSize(KivSettings::getBrushSize());
    line.setFillType(KivSettings::getFillType());
    reconnector->keepStroke(line);
    return;
  }
  drawingProtocol->addCoordinates(x1, y1, x2, y2);
}

void NetSystem::beginStroke() {
  if (sessionMode == HOSTING && serverHandler->getHistory()) {
    serverHandler->getHistory()->setDelimited(StrokeHistory::HOST, true);
    serverHandler->getHistory()->beginStroke(StrokeHistory::HOST);
  }
  drawingProtocol->markStrokeStart();
}

void NetSystem::undoOwnStroke() { askUndo(false); }

void NetSystem::redoOwnStroke() { askUndo(true); }

void NetSystem::askUndo(bool redo) {
  if (sessionMode == HOSTING) {
    serverHandler->undoStroke(StrokeHistory::HOST, redo);
    return;
  }
  if (sessionMode != CLIENT || isReconnecting() || !clientHandler->getReady()) return;
  // Said once a session: a host that does not speak the extensions
  // cannot undo anyone's strokes.
  if (!clientHandler->requestUndo(redo) && !undoRefusalShown) {
    undoRefusalShown = true;
    KivSettings::addChatMessage("NetSystem", "This host cannot undo strokes", 80);
  }
}

void NetSystem::sendChat(const std::string& text) {
  // A client sees its own line when the host sends it back.
  chatProtocol->addChat(playerName, text, sessionMode != CLIENT);
}

bool NetSystem::netOK() {
  if (sessionMode == CLIENT) return clientHealthy();
  if (sessionMode == HOSTING && !serverHandler->getServerOK()) {
    errMsg = serverHandler->getErrMsg();
    return false;
  }
  return true;
}

std::string NetSystem::clientFailure() const {
  const std::string text = clientHandler->getErrMsg();
  return text.empty() ? SYNC_START_FAILED : text;
}

bool NetSystem::clientHealthy() {
  if (reconnector->isActive()) return keepReconnecting();
  if (clientHandler->getClientOK()) {
    if (clientHandler->getJoined()) everJoined = true;
    reconnector->replay(drawingProtocol);
    return true;
  }
  if (everJoined && Reconnector::retries(*clientHandler)) {
    reconnector->start(hostIP, clientMap, clientHandler->getErrMsg());
    replaceClient();
    return true;
  }
  errMsg = clientFailure();
  return false;
}

bool NetSystem::keepReconnecting() {
  const bool failed = !clientHandler->getClientOK();
  if (!failed && clientHandler->getJoined()) {
    reconnector->joined(!clientHandler->startedOver());
    return true;
  }
  if (failed && !Reconnector::retries(*clientHandler)) {
    reconnectEnded = true;
    errMsg = clientFailure();
    return false;
  }
  if (failed || (!clientHandler->getReady() && reconnector->attemptOverdue())) {
    reconnector->attemptFailed(failed ? clientHandler->getErrMsg() : "the host did not answer");
    // A greeting moved the canvas onto this attempt's map, which goes now.
    if (clientHandler->getReady()) reconnector->park(clientMap);
    replaceClient();
  }
  if (reconnector->expired()) {
    reconnectEnded = true;
    errMsg = reconnector->giveUpText();
    return false;
  }
  if (reconnector->attemptDue()) clientHandler->connectToHost(hostIP, sessionPort);
  return true;
}

void NetSystem::replaceClient() {
  delete clientHandler;
  clientHandler = new KivClient(engine, clientMap, drawingProtocol, chatProtocol);
  clientHandler->setPlayerName(playerName);
  clientHandler->setPassword(joinPassword);
  clientHandler->continueCanvas();
}

std::string NetSystem::reconnectStatus() const { return reconnector->statusText(); }

bool NetSystem::isReconnecting() const { return sessionMode == CLIENT && reconnector->isActive(); }

bool NetSystem::clientReady() {
  if (sessionMode != CLIENT) DEngine::fatalError("NetSystem::clientReady(): we're not a client");
  // Painting starts only on a canvas the host has agreed to synchronize: a
  // join that fails must end in the join setup, not on a placeholder.
  return clientHandler->getReady() && clientHandler->getJoined();
}

double NetSystem::joinProgress() const {
  if (sessionMode != CLIENT || !clientHandler || !clientHandler->getReady()) return -1.0;
  double done = clientHandler->getJoinProgress();
  return done >= 1.0 ? -1.0 : done;
}

unsigned short NetSystem::getListenPort() const {
  return sessionMode == HOSTING && serverHandler ? serverHandler->getLocalPort() : 0;
}

std::vector<NetSystem::ListedPlayer> NetSystem::listPlayers() const {
  std::vector<ListedPlayer> out;
  if (sessionMode == HOSTING && serverHandler) {
    for (const PlayerRoster::Player& p : serverHandler->getRoster().present())
      out.push_back(ListedPlayer{p.id, p.name, p.address, p.host, p.host});
  } else if (sessionMode == CLIENT && clientHandler && !isReconnecting()) {
    for (const KivClient::Player& p : clientHandler->getPlayers())
      out.push_back(ListedPlayer{p.id, p.name, std::string(), p.host, p.you});
  }
  return out;
}

bool NetSystem::canvasLocked() const {
  return sessionMode == CLIENT && clientHandler && !isReconnecting() && clientHandler->canvasLocked();
}

bool NetSystem::rollbackPlayer(unsigned int id, unsigned int minutes, std::string& answer) {
  if (sessionMode != HOSTING || !serverHandler) {
    answer = "Only the host undoes players' strokes";
    return false;
  }
  return serverHandler->rollbackPlayer(id, minutes, answer);
}

bool NetSystem::kickPlayer(unsigned int id, std::string& answer) {
  if (sessionMode != HOSTING || !serverHandler) {
    answer = "Only the host removes players";
    return false;
  }
  return serverHandler->kick(id, false, answer);
}

bool NetSystem::banPlayer(unsigned int id, std::string& answer) {
  if (sessionMode != HOSTING || !serverHandler) {
    answer = "Only the host bans players";
    return false;
  }
  return serverHandler->kick(id, true, answer);
}

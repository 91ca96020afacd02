// NetSystem: session start, health checks and tear-down for the game engine.

#include "NetSystem.h"

#include "ChatProtocol.h"
#include "DEngine.h"
#include "DrawingProtocol.h"
#include "KivClient.h"
#include "KivServer.h"

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
      sessionPort(KivServer::SESSION_PORT) {
  resetVariables();
}

NetSystem::~NetSystem() {
  delete clientHandler;
  delete serverHandler;
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
  clientHandler->connectToHost(hostIP, sessionPort);
  sessionMode = CLIENT;
  return true;
}

void NetSystem::addUDPDrawing(long x1, long y1, long x2, long y2) {
  drawingProtocol->addCoordinates(x1, y1, x2, y2);
}

void NetSystem::sendChat(const std::string& text) {
  // A client sees its own line when the host sends it back.
  chatProtocol->addChat(playerName, text, sessionMode != CLIENT);
}

bool NetSystem::netOK() {
  if (sessionMode == CLIENT && !clientHandler->getClientOK()) {
    errMsg = clientHandler->getErrMsg();
    if (errMsg.empty()) errMsg = SYNC_START_FAILED;
    return false;
  }
  if (sessionMode == HOSTING && !serverHandler->getServerOK()) {
    errMsg = serverHandler->getErrMsg();
    return false;
  }
  return true;
}

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

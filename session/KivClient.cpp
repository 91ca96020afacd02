// KivClient: connecting, the greeting and canvas set-up, message routing and
// the session tick of a joining client.

#include "KivClient.h"

#include <algorithm>
#include <cstdio>

#include "ChatProtocol.h"
#include "DBuffer.h"
#include "DEngine.h"
#include "DrawingProtocol.h"
#include "KivSettings.h"
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
      tickTimer(e),
      greetingTimer(e),
      bytesReceived(0),
      ready(false),
      clientOK(true),
      completeReported(false),
      continuing(false),
      startedAfresh(false),
      connectionLost(false) {
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
  hostAddress = address;
  startConnect(address, port);
}

void KivClient::connectHandler(std::string text, libkorvet::NetworkCode code) {
  if (code != libkorvet::connectOk) {
    loseConnection(text);
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
}

void KivClient::errorHandler(std::string text) { loseConnection(text); }

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
  DDispatcher::receiveHandler(data);
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
  if (clientOK && getJoined() && lastHeard.timeElapsed() > HOST_SILENCE_MS)
    loseConnection("The host at " + hostAddress + " stopped answering.");
  checkJoin();
  reportComplete();
  drawingProtocol->runClient(this);
  chatProtocol->runClient(this);
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
    drawingProtocol->parseDraw(body, worldMap);
  } else if (header == "CHAT") {
    chatProtocol->parseChat(body, false);
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
  if (!syncClient->initialize()) {
    clientOK = false;
    postStatus(syncClient->getErrMsg());
  }

  // Written with the overwrite flag, the pattern is not local paint: every
  // segment then differs from the host's and gets repaired.
  if (!sameCanvas) {
    syncClient->setEDCOverwrite(true);
    paintPlaceholder(static_cast<int>(width), static_cast<int>(height));
    syncClient->setEDCOverwrite(false);
  }
  // Painting the largest canvas takes seconds, many more on a busy machine.
  syncClient->restartHandshakeTimeout();
  return true;
}

void KivClient::paintPlaceholder(int width, int height) {
  for (int y0 = 0; y0 < height; y0 += PLACEHOLDER_SQUARE) {
    int x0 = (y0 % (2 * PLACEHOLDER_SQUARE) == 0) ? 0 : PLACEHOLDER_SQUARE;
    for (; x0 < width; x0 += 2 * PLACEHOLDER_SQUARE)
      worldMap->drawRect(x0, y0, x0 + PLACEHOLDER_SQUARE - 1, y0 + PLACEHOLDER_SQUARE - 1, PLACEHOLDER_COLOR);
  }
}

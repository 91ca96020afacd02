#include "SyncClient.h"

#include <iostream>

#include <boost/bind/bind.hpp>

#include "DDispatcher.h"
#include "DEngine.h"
#include "SyncDataMap.h"
#include "SyncEDCProtocol.h"
#include "SyncMessages.h"
#include "SyncSettings.h"

using libkorvet::DBuffer;
using libkorvet::DDispatcher;
using libkorvet::DEngine;

namespace libksync {

SyncClient::SyncClient(DDispatcher* dispatcher, DEngine* engine, unsigned short sub,
                       boost::function<void(std::string)> errorCallback)
    : SyncNetwork(dispatcher, engine, sub),
      dataMap(nullptr),
      edc(nullptr),
      settings(new SyncSettings(errorCallback)),
      handshakeTimer(engine),
      clientState(START),
      nextIndex(0),
      flushedBytes(0) {
  settings->setEngine(this);
  dataMap = new SyncDataMap(settings);
  edc = new SyncEDCProtocol(settings, dataMap, engine);
}

SyncClient::~SyncClient() {
  handshakeTimer.stop();
  delete edc;
  delete dataMap;
  delete settings;
}

bool SyncClient::setSegmentSize(unsigned short segmentSize, unsigned short speckSize) {
  if (clientState != START) {
    settings->setErrDesc("setSegmentSize must be called before joinServer.");
    return false;
  }
  if (nextIndex != 0) {
    settings->setErrDesc("setSegmentSize was called when sync data already allocated.");
    return false;
  }
  return settings->setSegmentSize(segmentSize, speckSize);
}

void SyncClient::setQueryBandwidth(unsigned short bytesPerSecond) { settings->setEdcBandwidth(bytesPerSecond); }
bool SyncClient::setQueryPeriod(unsigned short milliseconds) { return edc->setPeriod(milliseconds); }
void SyncClient::setLinkRate(unsigned int bytesPerSecond) { settings->setLinkRate(bytesPerSecond); }
void SyncClient::setEDCOverwrite(bool on) { dataMap->setEDCOverwrite(on); }
void SyncClient::setRepairGate(const boost::function<bool()>& gate) { edc->setApplyGate(gate); }
unsigned long long SyncClient::getRepairedBytes() const { return edc->getRepairedBytes(); }

unsigned int SyncClient::getSyncIndex(unsigned short size) {
  if (clientState == SYNCHRONIZING)
    DEngine::fatalError("Tried to allocate SyncData, but data map already created.");
  if (size > settings->getSpeckSize())
    DEngine::fatalError("Tried to allocate sync data too big to fit in a speck.");
  unsigned int old = nextIndex;
  unsigned int result = settings->calcSyncIndex(size, nextIndex);
  dataMap->addData(nextIndex - old);
  return result;
}

unsigned int SyncClient::getSyncBytes(unsigned int count) {
  if (clientState == SYNCHRONIZING) DEngine::fatalError("Tried to allocate SyncData, but data map already created.");
  unsigned int first = nextIndex;
  dataMap->addData(count);
  nextIndex += count;
  return first;
}

SyncDataMap* SyncClient::retrieveDataMap() { return dataMap; }

bool SyncClient::initialize() {
  if (!initHandlers(settings)) return false;
  if (clientState != START) DEngine::fatalError("SyncClient::initialize(): was already called");
  clientState = JOINING;
  DBuffer join;
  SyncMessages::buildJoin(join);
  sendMessage(join);
  handshakeTimer.setInterval(HANDSHAKE_TIMEOUT_MS);
  handshakeTimer.setHandler(boost::bind(&SyncClient::timeElapsed, this));
  handshakeTimer.start();
  return true;
}

void SyncClient::restartHandshakeTimeout() {
  if (clientState == JOINING) handshakeTimer.startFromNow();
}

unsigned char SyncClient::getByte(unsigned int index) const { return dataMap->getByte(index); }
void SyncClient::setByte(unsigned int index, unsigned char value) { dataMap->setByte(index, value); }
unsigned int SyncClient::getMapSize() const { return dataMap->getSize(); }

double SyncClient::getFirstPassProgress() const {
  unsigned int total = dataMap->getNumSegments();
  return total == 0 ? 0.0 : static_cast<double>(edc->getFirstPassCompared()) / total;
}
void SyncClient::debugFlush() { settings->startDebugFlush(); }
void SyncClient::debugEDC() { settings->startDebugEDC(); }
std::string SyncClient::getErrMsg() const { return settings->getErrMsg(); }

void SyncClient::timeElapsed() {
  handshakeTimer.stop();
  if (clientState == JOINING) {
    clientState = ERROR;
    settings->reportError("No handshake response from the server");
  } else if (clientState == ERROR) {
    settings->reportError("timeElapsed(): encountered an error");
  } else {
    DEngine::fatalError("SyncClient::timeElapsed(): encountered an unknown state");
  }
}

void SyncClient::recvHandler(DBuffer& body) {
  switch (clientState) {
    case START:
      DEngine::fatalError("SyncClient::recvHandler(): should never hit state START");
    case JOINING:
      if (parseJoinACK(body)) {
        handshakeTimer.stop();
        if (clientState != ERROR) clientState = SYNCHRONIZING;
      } else {
        settings->reportError("Received a malformed Join acknowledgement");
        clientState = ERROR;
      }
      break;
    case SYNCHRONIZING:
      synchronizeData(body);
      break;
    case ERROR:
      settings->reportError("Received a message from the server, but hit an unrecoverable error");
      break;
    default:
      DEngine::fatalError("SyncClient::recvHandler(): encountered an unknown state");
  }
}

bool SyncClient::parseJoinACK(DBuffer& body) {
  SyncJoinAck ack;
  std::string err;
  if (!SyncMessages::parseJoinAck(body, ack, err) || !SyncMessages::checkJoinAck(ack, *settings, err)) {
    settings->reportError(err);
    return false;
  }
  if (settings->debugEDC())
    std::cout << "Received speckSize: " << ack.speckSize << " segmentSize: " << ack.segmentSize << std::endl
              << "numSegments: " << ack.numSegments << " numBytes: " << ack.numBytes << std::endl
              << "bytes used: " << ack.bytesUsed << std::endl;
  createData(ack.numSegments, ack.numBytes, ack.bytesUsed);
  return true;
}

bool SyncClient::createData(unsigned short, unsigned int, unsigned int bytesUsed) {
  // Both sides place the same allocations by the same rule, so equal used
  // sizes mean equal maps.
  if (nextIndex > bytesUsed) {
    settings->reportError("Our data map is " + DEngine::intToStr(static_cast<long>(nextIndex - bytesUsed)) +
                          " bytes larger than the server's!");
    clientState = ERROR;
    return false;
  }
  if (nextIndex < bytesUsed) {
    settings->reportError("Our data map is " + DEngine::intToStr(static_cast<long>(bytesUsed - nextIndex)) +
                          " bytes smaller than the server's!");
    clientState = ERROR;
    return false;
  }
  dataMap->initialize();
  edc->initialize(this);
  return true;
}

void SyncClient::synchronizeData(DBuffer& body) {
  if (body.size() == 0) {
    settings->reportError("Got a message with no content!");
    return;
  }
  unsigned char kind = body.getByte(0);
  body.removeFirst(1);
  switch (kind) {
    case SyncMessages::FLSH:
      handleFlushMsg(body);
      break;
    case SyncMessages::CRC_REPLY:
      edc->handleCRCReply(body);
      break;
    case SyncMessages::CHNK:
      edc->handleCHNK(body);
      break;
    default:
      settings->reportError("Got an invalid message type " + DEngine::intToStr(kind));
  }
}

void SyncClient::handleFlushMsg(DBuffer& rest) {
  std::string err;
  bool compressed = false;
  if (!SyncMessages::takeFlushCompression(rest, compressed, err)) {
    settings->reportError(err);
    return;
  }
  bool debug = settings->debugFlush();
  DBuffer payload;
  if (compressed) {
    if (debug) std::cout << "Got a compressed FLSH of size " << rest.size() << std::endl;
    // Bounded by one frame: nothing a real server sends inflates to more.
    bool inflated = SyncMessages::inflateFlush(rest, payload, err);
    if (!inflated) settings->reportError(err);
    if (debug) std::cout << "Decompressed size: " << payload.size() << std::endl;
    if (!inflated) return;
  } else {
    if (debug) std::cout << "Got an uncompressed FLSH of size " << rest.size() << std::endl;
    payload = rest;
  }
  unsigned short numSegments = dataMap->getNumSegments();
  while (payload.size() > 0) {
    unsigned short segment = 0;
    unsigned short count = 0;
    if (!SyncMessages::takeFlushRecordHeader(payload, numSegments, settings->getSegmentSpecks(), segment, count,
                                             err)) {
      settings->reportError(err);
      return;
    }
    if (!extractFlushSpecks(segment, count, payload)) return;
  }
}

bool SyncClient::extractFlushSpecks(unsigned short segment, unsigned short count, DBuffer& rest) {
  SyncSpeckChange change(settings->getSpeckSize());
  change.setSegmentID(segment);
  std::string err;
  for (unsigned int i = 0; i < count; ++i) {
    if (!SyncMessages::takeFlushEntry(rest, settings->getSegmentSpecks(), change, err)) {
      settings->reportError(err);
      return false;
    }
    dataMap->applySpeckChange(segment, change);
    flushedBytes += change.getSize();
  }
  return true;
}

}  // namespace libksync

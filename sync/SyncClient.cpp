#include "SyncClient.h"

#include <iostream>

#include <boost/bind/bind.hpp>

#include "DDispatcher.h"
#include "DEngine.h"
#include "SyncDataMap.h"
#include "SyncEDCProtocol.h"
#include "SyncMessages.h"
#include "SyncSettings.h"
#include "SyncSpeckChange.h"

using libkorvet::DBuffer;
using libkorvet::DDispatcher;
using libkorvet::DEngine;

namespace libksync {

namespace {
// An uncompressed FLSH payload fits in one frame after its two header bytes,
// so nothing a real server sends inflates to more than this.
const unsigned int MAX_FLUSH_PAYLOAD = 65536;
}  // namespace

SyncClient::SyncClient(DDispatcher* dispatcher, DEngine* engine, unsigned short sub,
                       boost::function<void(std::string)> errorCallback)
    : SyncNetwork(dispatcher, engine, sub),
      dataMap(nullptr),
      edc(nullptr),
      settings(new SyncSettings(errorCallback)),
      handshakeTimer(engine),
      clientState(START),
      nextIndex(0) {
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
void SyncClient::setEDCOverwrite(bool on) { dataMap->setEDCOverwrite(on); }

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

SyncDataMap* SyncClient::retrieveDataMap() { return dataMap; }

bool SyncClient::initialize() {
  if (!initHandlers(settings)) return false;
  if (clientState != START) DEngine::fatalError("SyncClient::initialize(): was already called");
  clientState = JOINING;
  DBuffer join;
  join.appendVariable<unsigned char>(SyncMessages::JOIN);
  sendMessage(join);
  handshakeTimer.setInterval(HANDSHAKE_TIMEOUT_MS);
  handshakeTimer.setHandler(boost::bind(&SyncClient::timeElapsed, this));
  handshakeTimer.start();
  return true;
}

unsigned char SyncClient::getByte(unsigned int index) const { return dataMap->getByte(index); }
void SyncClient::setByte(unsigned int index, unsigned char value) { dataMap->setByte(index, value); }
unsigned int SyncClient::getMapSize() const { return dataMap->getSize(); }
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
  if (body.size() != 15) {
    settings->reportError("SyncClient note: orphaned " + DEngine::intToStr(body.size()) + " bytes.");
    return false;
  }
  unsigned char kind = body.getByte(0);
  body.removeFirst(1);
  if (kind != SyncMessages::JOIN_ACK) {
    settings->reportError("SyncClient note: orphaned message type " + DEngine::intToStr(kind));
    return false;
  }
  unsigned short speckSize = 0, segmentSize = 0, numSegments = 0;
  unsigned int numBytes = 0, bytesUsed = 0;
  body.extractVariable<unsigned short>(0, speckSize);
  body.extractVariable<unsigned short>(2, segmentSize);
  body.extractVariable<unsigned short>(4, numSegments);
  body.extractVariable<unsigned int>(6, numBytes);
  body.extractVariable<unsigned int>(10, bytesUsed);
  if (speckSize != settings->getSpeckSize()) {
    settings->reportError("Server is using a speck size of " + DEngine::intToStr(speckSize) + ", ours is " +
                          DEngine::intToStr(settings->getSpeckSize()));
    return false;
  }
  if (segmentSize != settings->getSegmentSize()) {
    settings->reportError("Server is using a segment size of " + DEngine::intToStr(segmentSize) +
                          ", ours is " + DEngine::intToStr(settings->getSegmentSize()));
    return false;
  }
  if (static_cast<unsigned long long>(segmentSize) * numSegments != numBytes) {
    settings->reportError("Invalid Map: Contains " + DEngine::intToStr(numSegments) + " segments of size " +
                          DEngine::intToStr(segmentSize) + " but total size is " +
                          DEngine::intToStr(static_cast<long>(numBytes)));
    return false;
  }
  if (bytesUsed > numBytes) {
    settings->reportError("Server's number of used bytes exceeds the map size.");
    return false;
  }
  if (settings->debugEDC())
    std::cout << "Received speckSize: " << speckSize << " segmentSize: " << segmentSize << std::endl
              << "numSegments: " << numSegments << " numBytes: " << numBytes << std::endl
              << "bytes used: " << bytesUsed << std::endl;
  createData(numSegments, numBytes, bytesUsed);
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
  if (rest.size() == 0) {
    settings->reportError("Got a FLSH with no compression byte");
    return;
  }
  unsigned char compression = rest.getByte(0);
  bool debug = settings->debugFlush();
  DBuffer payload;
  if (compression == 1) {
    rest.removeFirst(1);
    if (debug) std::cout << "Got a compressed FLSH of size " << rest.size() << std::endl;
    payload = rest.decompress(MAX_FLUSH_PAYLOAD);
    if (payload.size() == 0) settings->reportError("Couldn't decompress FLSH: " + rest.getErrMsg());
    if (debug) std::cout << "Decompressed size: " << payload.size() << std::endl;
    if (payload.size() == 0) return;
  } else if (compression == 0) {
    rest.removeFirst(1);
    if (debug) std::cout << "Got an uncompressed FLSH of size " << rest.size() << std::endl;
    payload = rest;
  } else {
    settings->reportError("Invalid compression byte in FLSH");
    return;
  }
  unsigned int numSegments = dataMap->getNumSegments();
  while (payload.size() > 0) {
    if (payload.size() < 2) {
      settings->reportError("Got a FLSH with a missing segment index");
      return;
    }
    unsigned short segment = 0;
    payload.extractVariable<unsigned short>(0, segment);
    payload.removeFirst(2);
    if (segment >= numSegments) {
      settings->reportError("Got a FLSH with an invalid segment index");
      return;
    }
    if (payload.size() < 2) {
      settings->reportError("Got a FLSH with a missing speck number");
      return;
    }
    unsigned short count = 0;
    payload.extractVariable<unsigned short>(0, count);
    payload.removeFirst(2);
    if (count == 0 || count > settings->getSegmentSpecks()) {
      settings->reportError("Got a FLSH with an invalid number of specks");
      return;
    }
    if (!extractFlushSpecks(segment, count, payload)) return;
  }
}

bool SyncClient::extractFlushSpecks(unsigned short segment, unsigned short count, DBuffer& rest) {
  unsigned short speckSize = settings->getSpeckSize();
  SyncSpeckChange change(speckSize);
  change.setSegmentID(segment);
  for (unsigned int i = 0; i < count; ++i) {
    if (rest.size() < 2) {
      settings->reportError("Got a FLSH with no speck index");
      return false;
    }
    unsigned short index = 0;
    rest.extractVariable<unsigned short>(0, index);
    rest.removeFirst(2);
    if (index >= settings->getSegmentSpecks()) {
      settings->reportError("Got a flush with an invalid speck index");
      return false;
    }
    if (rest.size() < speckSize) {
      settings->reportError("Got a FLSH with missing speck bytes");
      return false;
    }
    change.setIndex(index);
    for (unsigned short p = 0; p < speckSize; ++p) change.setByte(rest.getByte(p), p);
    rest.removeFirst(speckSize);
    dataMap->applySpeckChange(segment, change);
  }
  return true;
}

}  // namespace libksync

#include "SyncServer.h"

#include <iostream>

#include <boost/bind/bind.hpp>

#include "DDispatcher.h"
#include "DEngine.h"
#include "SyncDataMap.h"
#include "SyncDeflateCache.h"
#include "SyncFlushBuffer.h"
#include "SyncServerFSM.h"
#include "SyncSettings.h"

using libkorvet::DDispatcher;
using libkorvet::DEngine;

namespace libksync {

SyncServer::SyncServer(DEngine* e, unsigned short sub, boost::function<void(std::string)> errorCallback)
    : settings(new SyncSettings(errorCallback)),
      dataMap(nullptr),
      engine(e),
      flushTimer(e),
      flushFrequency(0.0f),
      nextIndex(0),
      subtype(sub),
      flushPeriod(0),
      flushLimitWarned(false),
      initialized(false) {
  settings->setIsServer();
  settings->setEngine(this);
  dataMap = new SyncDataMap(settings);
  if (!setFlushPeriod(50)) DEngine::fatalError(getErrMsg());
}

SyncServer::~SyncServer() {
  flushTimer.stop();
  for (auto& c : clients) delete c.second;
  clients.clear();
  deflateCache.reset();
  delete dataMap;
  delete settings;
}

bool SyncServer::setSegmentSize(unsigned short segmentSize, unsigned short speckSize) {
  if (initialized) {
    settings->setErrDesc("setSegmentSize must be called before initialize.");
    return false;
  }
  if (nextIndex != 0) {
    settings->setErrDesc("setSegmentSize was called when sync data already allocated.");
    return false;
  }
  return settings->setSegmentSize(segmentSize, speckSize);
}

void SyncServer::setQuickSync(unsigned char n) { settings->setQuickSync(n); }

bool SyncServer::setFlushBandwidth(unsigned short bytesPerSecond) {
  return settings->setFlushBandwidth(bytesPerSecond);
}

void SyncServer::setEDCBandwidth(unsigned short bytesPerSecond) { settings->setEdcBandwidth(bytesPerSecond); }

bool SyncServer::setEDCPeriod(unsigned short milliseconds) { return settings->setEDCPeriod(milliseconds); }

void SyncServer::setLinkRate(unsigned int bytesPerSecond) { settings->setLinkRate(bytesPerSecond); }

void SyncServer::setCongestionCap(unsigned int bytes) { settings->setCongestionCap(bytes); }

bool SyncServer::setFlushPeriod(unsigned short p) {
  if (p == 0) {
    settings->setErrDesc("The flush period must be non-zero");
    return false;
  }
  if (p > 1000) {
    settings->setErrDesc("The flush period must be less than or equal to 1000 milliseconds.");
    return false;
  }
  flushPeriod = p;
  flushFrequency = 1000.0f / static_cast<float>(p);
  return true;
}

void SyncServer::debugFlush() { settings->startDebugFlush(); }
void SyncServer::debugEDC() { settings->startDebugEDC(); }
std::string SyncServer::getErrMsg() const { return settings->getErrMsg(); }

unsigned int SyncServer::getSyncIndex(unsigned short size) {
  if (initialized) DEngine::fatalError("Tried to allocate new sync data after server was initialized");
  if (size > settings->getSpeckSize())
    DEngine::fatalError("Tried to allocate sync data too big to fit in a speck.");
  unsigned int old = nextIndex;
  unsigned int result = settings->calcSyncIndex(size, nextIndex);
  dataMap->addData(nextIndex - old);
  return result;
}

unsigned int SyncServer::getSyncBytes(unsigned int count) {
  if (initialized) DEngine::fatalError("Tried to allocate new sync data after server was initialized");
  unsigned int first = nextIndex;
  dataMap->addData(count);
  nextIndex += count;
  return first;
}

SyncDataMap* SyncServer::retrieveDataMap() { return dataMap; }
unsigned int SyncServer::unusedBytes() const { return settings->getUnusedDataBytes(); }
unsigned int SyncServer::getMapSize() const { return dataMap->getSize(); }
unsigned char SyncServer::getByte(unsigned int index) const { return dataMap->getByte(index); }
void SyncServer::setByte(unsigned int index, unsigned char value) { dataMap->setByte(index, value); }

void SyncServer::initialize() {
  if (initialized) return;
  dataMap->initialize();
  initialized = true;
  flushTimer.setInterval(flushPeriod);
  flushTimer.setHandler(boost::bind(&SyncServer::flushChanges, this));
  flushTimer.start();
}

bool SyncServer::addClient(DDispatcher* connection) {
  if (!initialized) DEngine::fatalError("SyncServer::addClient(): must be called after initialize");
  if (clients.count(connection) != 0) return false;
  SyncServerFSM* fsm = new SyncServerFSM(engine, settings, dataMap, connection, subtype, nextIndex);
  if (settings->linkPaced()) {
    if (!deflateCache)
      deflateCache.reset(new SyncDeflateCache(engine, dataMap, SyncDeflateCache::levelForRate(settings->getLinkRate())));
    fsm->setDeflateCache(deflateCache.get());
  }
  fsm->initialize();
  clients[connection] = fsm;
  return true;
}

bool SyncServer::removeClient(DDispatcher* connection) {
  auto it = clients.find(connection);
  if (it == clients.end()) return false;
  delete it->second;
  clients.erase(it);
  return true;
}

void SyncServer::connectionDrained(DDispatcher* connection) {
  SyncServerFSM* fsm = getClient(connection);
  if (fsm) fsm->connectionDrained();
}

SyncServerFSM* SyncServer::getClient(DDispatcher* connection) const {
  auto it = clients.find(connection);
  return it == clients.end() ? nullptr : it->second;
}

void SyncServer::flushChanges() {
  SyncFlushBuffer buffer(settings);
  unsigned int minFlush = settings->minFlushSize();
  unsigned short flushBandwidth = settings->getFlushBandwidth();
  // Capped so that twice the limit, and with it every client's FLSH, fits in
  // one frame.
  unsigned int sendLimit = settings->flushSendLimit(flushFrequency);
  if (sendLimit < minFlush) {
    if (!flushLimitWarned) {
      flushLimitWarned = true;
      settings->reportError("Flush protocol has a send limit too small to send any data.");
    }
    return;
  }
  unsigned int extractLimit = 2 * sendLimit;
  dataMap->getFlushData(buffer, static_cast<unsigned short>(extractLimit));
  if (buffer.size() < minFlush) return;
  bool debug = settings->debugFlush();
  if (debug) {
    std::cout << "SyncServer flushBandwidth: " << flushBandwidth << " flushFrequency: " << flushFrequency
              << " sendLimit: " << sendLimit << std::endl;
    std::cout << "SyncServer extractLimit: " << extractLimit << " flushsize: " << buffer.size()
              << " Min Flush size: " << minFlush << std::endl;
  }
  for (auto& c : clients) c.second->flushChanges(buffer, static_cast<unsigned short>(sendLimit));
  if (debug) std::cout << std::endl;
}

}  // namespace libksync

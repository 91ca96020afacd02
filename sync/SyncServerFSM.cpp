#include "SyncServerFSM.h"

#include <iostream>
#include <string>
#include <vector>

#include <boost/bind/bind.hpp>

#include "DDispatcher.h"
#include "DEngine.h"
#include "SyncDataMap.h"
#include "SyncFlushBuffer.h"
#include "SyncMessages.h"
#include "SyncSettings.h"

using libkorvet::DBuffer;
using libkorvet::DDispatcher;
using libkorvet::DEngine;

namespace libksync {

SyncServerFSM::SyncServerFSM(DEngine* e, SyncSettings* s, SyncDataMap* map, DDispatcher* c, unsigned short sub,
                             unsigned int used)
    : SyncNetwork(c, e, sub),
      dataMap(map),
      settings(s),
      chunkTimer(e),
      deflateCache(nullptr),
      chunkCredit(0),
      sendingState(IDLE),
      fsmState(AWAITING_JOIN),
      firstPassCount(0),
      matchedRun(0),
      bytesUsed(used),
      extraFlushBytes(0),
      chunkNumber(0),
      chunkLimitWarned(false),
      firstPassComplete(false) {
  creditTime.useEngine(e);
  resetFSM();
}

SyncServerFSM::~SyncServerFSM() {
  chunkTimer.stop();
  // Its copies waiting for the worker must not hold up those of others.
  if (deflateCache) deflateCache->forget(this);
}

unsigned int SyncServerFSM::getSyncIndex(unsigned short) {
  DEngine::fatalError("SyncServerFSM::getSyncIndex(): should never be called!");
}

SyncDataMap* SyncServerFSM::retrieveDataMap() {
  DEngine::fatalError("SyncServerFSM::retrieveDataMap(): should never be called!");
}

void SyncServerFSM::resetFSM() {
  extraFlushBytes = 0;
  seriesRaw.clear();
  seriesCompressed.clear();
  preparing.reset();
  sendingState = IDLE;
  fsmState = AWAITING_JOIN;
  chunkNumber = 0;
  chunkLimitWarned = false;
  firstPassComplete = false;
  firstPassCount = 0;
  matchedRun = 0;
}

void SyncServerFSM::initialize() {
  initHandlers(settings);
  // Link-paced series go out every LINK_CHUNK_INTERVAL_MS within the rate's
  // credit, and at once whenever the connection drains. Not every
  // millisecond: a timer catches up on every period an engine step missed,
  // and eight clients' catch-up would take a game tick's whole budget of
  // 100 operations, leaving none for reading the network.
  chunkTimer.setInterval(linkPaced() ? LINK_CHUNK_INTERVAL_MS : settings->getEDCPeriod());
  creditTime.updateTime();
  chunkTimer.setHandler(boost::bind(&SyncServerFSM::sendChunkSeries, this));
  chunkTimer.start();
}

void SyncServerFSM::recvHandler(DBuffer& body) {
  unsigned char kind = SyncMessages::JOIN;
  if (body.size() == 0) {
    settings->reportError("Got a message with no contents!");
  } else {
    kind = body.getByte(0);
    body.removeFirst(1);
  }
  if (fsmState == AWAITING_JOIN) {
    if (kind == SyncMessages::JOIN) {
      sendJoinACK();
      fsmState = JOINED;
    } else {
      settings->reportError("SyncServerFSM::recvHandler(): Got an invalid JOIN message.");
    }
  } else if (fsmState == JOINED) {
    if (kind == SyncMessages::CRC_QUERY)
      handleCRCQuery(body);
    else
      settings->reportError("Got an invalid message type");
  } else {
    DEngine::fatalError("SyncServerFSM::recvHandler(): encountered an unknown state.");
  }
}

void SyncServerFSM::sendJoinACK() {
  DBuffer ack;
  unsigned short numSegments = dataMap->getNumSegments();
  SyncMessages::buildJoinAck({settings->getSpeckSize(), settings->getSegmentSize(), numSegments,
                              static_cast<unsigned int>(numSegments) * settings->getSegmentSize(), bytesUsed},
                             ack);
  sendMessage(ack);
}

void SyncServerFSM::handleCRCQuery(DBuffer& rest) {
  SyncCrcQuery query;
  std::string err;
  if (!SyncMessages::parseCrcQuery(rest, dataMap->getNumSegments(), query, err)) {
    settings->reportError(err);
    return;
  }
  if (sendingState != IDLE) {
    settings->reportError("Got a query, but we're still sending data from the last query.");
    return;
  }
  rest.removeFirst(SyncMessages::CRC_QUERY_HEADER - SyncMessages::KIND_SIZE);  // leaves the CRCs
  sendCRCReply(rest, static_cast<unsigned int>(query.crcs.size()), query.firstSegment);
}

void SyncServerFSM::sendCRCReply(DBuffer& rest, unsigned int n, unsigned short firstSegment) {
  unsigned int numSegments = dataMap->getNumSegments();
  bool paced = linkPaced();
  unsigned int quickSync = settings->getQuickSync();
  unsigned int maxReturned = firstPassComplete ? 1 : paced ? SyncSettings::MAX_QUICK_SYNC : quickSync;
  bool debug = settings->debugEDC();
  if (debug) {
    std::cout << "Got a query with " << n << " segments" << std::endl;
    std::cout << "Max returned segments: " << maxReturned << " Quick sync segments: " << quickSync << std::endl;
  }
  std::vector<unsigned short> mismatches;
  unsigned int seg = firstSegment;
  for (unsigned int i = 0; i < n && mismatches.size() < maxReturned; ++i) {
    unsigned int clientCRC = 0;
    rest.extractVariable<unsigned int>(static_cast<long>(i) * 4, clientCRC);
    unsigned int ourCRC = dataMap->getCRC(static_cast<unsigned short>(seg));
    if (ourCRC != clientCRC) {
      if (debug)
        std::cout << "Found a mismatch at segment " << seg << " My CRC: " << ourCRC
                  << " Client's CRC: " << clientCRC << std::endl;
      mismatches.push_back(static_cast<unsigned short>(seg));
      matchedRun = 0;
    } else {
      ++matchedRun;
    }
    if (++seg == numSegments) seg = 0;
    if (!firstPassComplete && ++firstPassCount >= static_cast<int>(numSegments)) {
      firstPassComplete = true;
      if (debug) std::cout << "First pass complete!" << std::endl;
    }
  }

  DBuffer reply;
  if (mismatches.empty()) {
    SyncMessages::buildCrcReply(mismatches, static_cast<unsigned short>(seg), SyncMessages::UNCOMPRESSED, 0, reply);
    sendMessage(reply);
    return;
  }

  chunkNumber = 0;
  seriesRaw.clear();
  seriesCompressed.clear();
  if (paced) {
    preparing = deflateCache->prepare(mismatches, this);
    // A joining client asks for what follows next.
    deflateCache->readAhead(mismatches.back() + 1u, static_cast<unsigned int>(mismatches.size()), this);
    sendingState = PREPARING;
    // The batch lives only as long as this object holds it.
    preparing->onReady = [this] { finishPreparing(); };
    finishPreparing();
    return;
  }
  for (unsigned short s : mismatches) dataMap->extractInfo(s, seriesRaw);
  // The series is fixed from here on: later changes to these segments reach
  // the client by flush or by a later query.
  seriesCompressed = seriesRaw.compress(9);
  unsigned char compression = 0;
  unsigned int size = seriesRaw.size();
  if (seriesCompressed.size() == 0) {
    settings->reportError(seriesRaw.getErrMsg());
    sendingState = SENDING_UNCOMPRESSED;
  } else if (seriesCompressed.size() < seriesRaw.size()) {
    sendingState = SENDING_COMPRESSED;
    compression = 1;
    size = seriesCompressed.size();
  } else {
    sendingState = SENDING_UNCOMPRESSED;
  }
  if (sendingState == SENDING_COMPRESSED)
    seriesRaw.clear();
  else
    seriesCompressed.clear();
  SyncMessages::buildCrcReply(mismatches, 0, compression, size, reply);
  sendMessage(reply);
}

bool SyncServerFSM::linkPaced() const { return deflateCache != nullptr && settings->linkPaced(); }

bool SyncServerFSM::finishPreparing() {
  if (!preparing || !preparing->ready()) return false;
  const std::vector<unsigned short>& list = preparing->segments;
  std::size_t raw = list.size() * settings->getSegmentSize();
  unsigned char compression = SyncMessages::UNCOMPRESSED;
  if (deflateCache->builtSize(*preparing) < raw) {
    deflateCache->build(*preparing, seriesCompressed);
    sendingState = SENDING_COMPRESSED;
    compression = SyncMessages::COMPRESSED;
  } else {
    for (unsigned short s : list) dataMap->extractInfo(s, seriesRaw);
    sendingState = SENDING_UNCOMPRESSED;
  }
  DBuffer reply;
  SyncMessages::buildCrcReply(list, 0, compression, currentSeries()->size(), reply);
  preparing.reset();
  sendMessage(reply);
  streamChunks();
  return true;
}

DBuffer* SyncServerFSM::currentSeries() {
  if (sendingState == SENDING_UNCOMPRESSED) return &seriesRaw;
  if (sendingState == SENDING_COMPRESSED) return &seriesCompressed;
  DEngine::fatalError("SyncServerFSM::sendChunkSeries(): called when not sending");
}

void SyncServerFSM::streamChunks() {
  double rate = settings->getLinkRate();
  unsigned int elapsed = creditTime.timeElapsed();
  if (elapsed > 0) {
    // Unused credit is kept for one EDC period at most (and never less than
    // one full chunk, so every rate can send one).
    double most = rate * settings->getEDCPeriod() / 1000.0;
    if (most < SyncMessages::MAX_BODY_SIZE) most = SyncMessages::MAX_BODY_SIZE;
    chunkCredit += rate * elapsed / 1000.0;
    if (chunkCredit > most) chunkCredit = most;
    creditTime.updateTime();
  }
  while (sendingState == SENDING_COMPRESSED || sendingState == SENDING_UNCOMPRESSED) {
    if (isCongested()) {
      if (settings->debugEDC()) std::cout << "Not sending EDC chunk due to congestion" << std::endl;
      return;
    }
    DBuffer* series = currentSeries();
    unsigned int take = series->size() < SyncMessages::MAX_CHUNK_DATA ? series->size() : SyncMessages::MAX_CHUNK_DATA;
    double cost = take + SyncMessages::CHNK_HEADER_SIZE;
    if (chunkCredit < cost) return;
    chunkCredit -= cost;
    DBuffer chunk;
    SyncMessages::buildChunk(chunkNumber, *series, 0, take, chunk);
    series->removeFirst(take);
    if (series->size() == 0) sendingState = IDLE;
    sendMessage(chunk);
    ++chunkNumber;
  }
}

void SyncServerFSM::connectionDrained() {
  if (linkPaced() && (sendingState == SENDING_COMPRESSED || sendingState == SENDING_UNCOMPRESSED)) streamChunks();
}

void SyncServerFSM::sendChunkSeries() {
  if (sendingState == IDLE) {
    // Keeps the credit's clock current while there is nothing to send.
    if (linkPaced()) streamChunks();
    return;
  }
  if (sendingState == PREPARING) {
    deflateCache->collect();
    finishPreparing();
    return;
  }
  if (linkPaced()) {
    streamChunks();
    return;
  }
  bool debug = settings->debugEDC();
  if (debug) std::cout << "Sending Chunk, edc period: " << settings->getEDCPeriod() << std::endl;
  if (isCongested()) {
    if (debug) std::cout << "Not sending EDC chunk due to congestion" << std::endl;
    return;
  }
  unsigned int limit = settings->edcSendLimit();
  if (debug) std::cout << "Send Limit: " << limit << std::endl;
  if (limit <= 2) {
    if (!chunkLimitWarned) {
      chunkLimitWarned = true;
      settings->reportError("EDC has a send limit too small to send any data.");
    }
    return;
  }
  DBuffer* series = currentSeries();
  unsigned int take = limit - 2;
  if (take >= series->size()) {
    take = series->size();
    sendingState = IDLE;
  }
  DBuffer chunk;
  chunk.appendVariable<unsigned char>(SyncMessages::CHNK);
  chunk.appendVariable<unsigned char>(chunkNumber);
  chunk.append(*series, 0, take);
  series->removeFirst(take);
  sendMessage(chunk);
  ++chunkNumber;
}

void SyncServerFSM::flushChanges(SyncFlushBuffer& buffer, unsigned short sendLimit) {
  if (fsmState != JOINED) return;
  bool debug = settings->debugFlush();
  if (isCongested()) {
    if (debug) std::cout << "Not sending due to congestion" << std::endl;
    return;
  }
  int budget = static_cast<int>(sendLimit) + extraFlushBytes;
  if (debug) std::cout << "ServerFSM numBytes: " << budget << " extra bytes: " << extraFlushBytes << std::endl;
  DBuffer uncompressed;
  DBuffer compressed;
  bool compressedBetter = buffer.extractMessage(static_cast<unsigned short>(budget), uncompressed, compressed);
  // A slice without a single record (header only) carries nothing.
  if (uncompressed.size() <= 2) return;
  if (compressedBetter) {
    if (debug) std::cout << " sending compressed, uncompressed version is " << uncompressed.size() << std::endl;
    sendMessage(compressed);
    int credit = static_cast<int>(sendLimit) - static_cast<int>(compressed.size());
    if (static_cast<int>(buffer.getUnsentBytes()) < credit) credit = static_cast<int>(buffer.getUnsentBytes());
    extraFlushBytes += credit;
    if (extraFlushBytes > static_cast<int>(sendLimit)) extraFlushBytes = static_cast<int>(sendLimit);
    if (extraFlushBytes < 0) extraFlushBytes = 0;
    if (debug) std::cout << "Set extra flush bytes to " << extraFlushBytes << " new extra: " << credit << std::endl;
  } else {
    if (debug) std::cout << "sending uncompressed" << std::endl;
    sendMessage(uncompressed);
  }
}

}  // namespace libksync

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
      connection(c),
      chunkTimer(e),
      sendingState(IDLE),
      fsmState(AWAITING_JOIN),
      firstPassCount(0),
      bytesUsed(used),
      extraFlushBytes(0),
      chunkNumber(0),
      chunkLimitWarned(false),
      firstPassComplete(false) {
  resetFSM();
}

SyncServerFSM::~SyncServerFSM() { chunkTimer.stop(); }

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
  sendingState = IDLE;
  fsmState = AWAITING_JOIN;
  chunkNumber = 0;
  chunkLimitWarned = false;
  firstPassComplete = false;
  firstPassCount = 0;
}

void SyncServerFSM::initialize() {
  initHandlers(settings);
  chunkTimer.setInterval(settings->getEDCPeriod());
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
  unsigned int quickSync = settings->getQuickSync();
  unsigned int maxReturned = firstPassComplete ? 1 : quickSync;
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

void SyncServerFSM::sendChunkSeries() {
  if (sendingState == IDLE) return;
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
  DBuffer* series = nullptr;
  if (sendingState == SENDING_UNCOMPRESSED)
    series = &seriesRaw;
  else if (sendingState == SENDING_COMPRESSED)
    series = &seriesCompressed;
  else
    DEngine::fatalError("SyncServerFSM::sendChunkSeries(): called when not sending");
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

#include "SyncEDCProtocol.h"

#include <iostream>

#include <boost/bind/bind.hpp>

#include "DEngine.h"
#include "SyncDataMap.h"
#include "SyncMessages.h"
#include "SyncNetwork.h"
#include "SyncSettings.h"

using libkorvet::DBuffer;
using libkorvet::DEngine;

namespace libksync {

SyncEDCProtocol::SyncEDCProtocol(SyncSettings* s, SyncDataMap* map, DEngine* engine)
    : settings(s),
      dataMap(map),
      network(nullptr),
      runTimer(engine),
      edcState(IDLE),
      queryFrequency(2.0f),
      seriesSize(0),
      nextSegment(0),
      expectedChunk(0),
      queryPeriod(500),
      mismatchCount(0),
      queryLimitWarned(false),
      seriesCompressed(false) {
  lastQueryTime.useEngine(engine);
  waitStart.useEngine(engine);
  if (!setPeriod(500)) DEngine::fatalError(getErrMsg());
}

SyncEDCProtocol::~SyncEDCProtocol() { runTimer.stop(); }

std::string SyncEDCProtocol::getErrMsg() const { return settings->getErrMsg(); }

void SyncEDCProtocol::reportError(const std::string& text) { settings->reportError(text); }

bool SyncEDCProtocol::setPeriod(unsigned short p) {
  if (p == 0) {
    settings->setErrDesc("The EDC period must be non-zero");
    return false;
  }
  if (p > 1000) {
    settings->setErrDesc("The EDC period must be less than or equal to 1000 milliseconds.");
    return false;
  }
  queryPeriod = p;
  queryFrequency = 1000.0f / static_cast<float>(p);
  if (settings->debugEDC()) std::cout << "Query Frequency: " << queryFrequency << std::endl;
  return true;
}

void SyncEDCProtocol::initialize(SyncNetwork* n) {
  network = n;
  runTimer.setInterval(1);
  runTimer.setHandler(boost::bind(&SyncEDCProtocol::run, this));
  runTimer.start();
}

void SyncEDCProtocol::run() {
  switch (edcState) {
    case IDLE:
      if (lastQueryTime.timeElapsed() < queryPeriod) return;
      lastQueryTime.updateTime();
      mismatchCount = 0;
      seriesCompressed = false;
      seriesSize = 0;
      sendCRCQuery();
      break;
    case AWAITING_REPLY:
      if (waitStart.timeElapsed() > REPLY_TIMEOUT_MS) {
        edcState = IDLE;
        reportError("Didn't receive an EDC reply from the server.");
      }
      break;
    case AWAITING_CHUNKS:
      if (waitStart.timeElapsed() > REPLY_TIMEOUT_MS) {
        edcState = IDLE;
        chunkData.clear();
        reportError("Didn't receive a chunk series from the server.");
      }
      break;
    default:
      break;
  }
}

void SyncEDCProtocol::sendCRCQuery() {
  unsigned int numSegments = dataMap->getNumSegments();
  unsigned short bandwidth = settings->getEdcBandwidth();
  long limit = 0;
  long n = 0;
  if (bandwidth != 0 && queryFrequency != 0.0f) {
    long q = static_cast<long>(static_cast<float>(bandwidth) / queryFrequency);
    limit = q - 3;
    n = limit <= 0 ? 0 : limit / 4;
  }
  if (n > static_cast<long>(numSegments)) n = numSegments;
  if (n == 0) {
    if (!queryLimitWarned) {
      queryLimitWarned = true;
      reportError("EDC query has a send limit too small to send any data");
      reportError("Disabling EDC mechanism.");
    }
    return;
  }
  if (settings->debugEDC())
    std::cout << "EDC Send limit: " << limit << " bytes. Verify Segments: " << n
              << " first segment: " << nextSegment << std::endl;
  // A reply may have named a segment of a larger map; never query outside ours.
  if (nextSegment >= numSegments) nextSegment = 0;
  DBuffer query;
  query.appendVariable<unsigned char>(SyncMessages::CRC_QUERY);
  query.appendVariable<unsigned short>(nextSegment);
  unsigned int seg = nextSegment;
  for (long i = 0; i < n; ++i) {
    query.appendVariable<unsigned int>(dataMap->getCRC(static_cast<unsigned short>(seg)));
    if (++seg == numSegments) seg = 0;
  }
  network->sendMessage(query);
  waitStart.updateTime();
  edcState = AWAITING_REPLY;
  expectedChunk = 0;
}

void SyncEDCProtocol::handleCRCReply(DBuffer& rest) {
  unsigned int numSegments = dataMap->getNumSegments();
  if (edcState != AWAITING_REPLY) {
    edcState = IDLE;
    chunkData.clear();
    reportError("Received a CRC Reply, but we haven't sent a query.");
    return;
  }
  edcState = IDLE;
  if (rest.size() == 0) {
    reportError("Received a CRC Reply without a number of mismatched segments");
    return;
  }
  unsigned char m = rest.getByte(0);
  rest.removeFirst(1);
  if (m > numSegments) {
    reportError("The server claims that there are more mismatches than segments.");
    return;
  }
  std::vector<unsigned short> list;
  unsigned short next = nextSegment;
  if (m > 0) {
    if (rest.size() < 2u * m) {
      reportError("Received a CRC Reply that's missing segment indexes");
      return;
    }
    for (unsigned int i = 0; i < m; ++i) {
      unsigned short s = 0;
      rest.extractVariable<unsigned short>(static_cast<long>(i) * 2, s);
      if (s >= numSegments) {
        reportError("The server sent an out-of-bounds index for a mismatched segment");
        return;
      }
      list.push_back(s);
    }
    rest.removeFirst(2 * m);
  } else {
    if (rest.size() < 2) {
      reportError("Received a CRC Reply that's missing the next segment index to query");
      return;
    }
    rest.extractVariable<unsigned short>(0, next);
    rest.removeFirst(2);
    if (next >= numSegments) {
      reportError("Received an out-of-bounds index for the next segment to query");
      return;
    }
  }
  if (rest.size() != 5) {
    reportError("Received a CRC reply with an invalid length");
    return;
  }
  unsigned char compression = rest.getByte(0);
  if (compression > 1) {
    reportError("Server sent an invalid compression byte in its CRC reply.");
    return;
  }
  unsigned int size = 0;
  rest.extractVariable<unsigned int>(1, size);
  rest.removeFirst(5);
  if (m > 0 && size == 0) {
    reportError("There are mismatched segments, but chunk series size is zero.");
    return;
  }
  if (static_cast<unsigned long long>(size) >
      static_cast<unsigned long long>(m) * settings->getSegmentSize()) {
    reportError("Server sent an invalid chunk series size.");
    return;
  }
  // Only a reply that passed every check changes what we expect next.
  mismatchList = list;
  mismatchCount = m;
  seriesCompressed = compression == 1;
  seriesSize = size;
  if (settings->debugEDC())
    std::cout << "CRC mismatches: " << static_cast<unsigned int>(m)
              << " first index: " << (m > 0 ? list[0] : next)
              << " compression byte: " << static_cast<unsigned int>(compression)
              << " chunkSeriesSize: " << size << std::endl;
  if (m > 0) {
    waitStart.updateTime();
    edcState = AWAITING_CHUNKS;
    chunkData.clear();
  } else {
    nextSegment = next;
  }
}

void SyncEDCProtocol::handleCHNK(DBuffer& rest) {
  if (edcState != AWAITING_CHUNKS) {
    reportError("The server sent us a chunk, but we weren't waiting for one.");
    return;
  }
  if (rest.size() < 2) {
    reportError("Got a chunk portion too small to contain any data");
    return;
  }
  unsigned char number = rest.getByte(0);
  if (number != expectedChunk) {
    reportError("Expected chunk number " + DEngine::intToStr(expectedChunk) + ", got " +
                DEngine::intToStr(number));
    ++expectedChunk;
    return;
  }
  expectedChunk = static_cast<unsigned char>(number + 1);
  chunkData.append(rest, 1, static_cast<long>(rest.size()) - 1);
  if (chunkData.size() < seriesSize) {
    waitStart.updateTime();
    return;
  }
  edcState = IDLE;
  applyChunkSeries();
}

void SyncEDCProtocol::applyChunkSeries() {
  unsigned int segmentSize = settings->getSegmentSize();
  unsigned int expected = static_cast<unsigned int>(mismatchList.size()) * segmentSize;
  if (seriesCompressed) {
    // The expected length bounds the inflation; one segment of slack lets a
    // series that is slightly too long still be reported by its length.
    DBuffer inflated = chunkData.decompress(expected + segmentSize);
    if (settings->debugEDC()) std::cout << "Decompressed size: " << inflated.size() << std::endl;
    if (inflated.size() == 0) {
      reportError(chunkData.getErrMsg());
      chunkData.clear();
      return;
    }
    chunkData = inflated;
  }
  if (chunkData.size() != expected) {
    reportError("Received a chunk series with an invalid length. Expected: " + DEngine::intToStr(expected) +
                ", got: " + DEngine::intToStr(chunkData.size()));
    chunkData.clear();
    return;
  }
  unsigned int numSegments = dataMap->getNumSegments();
  unsigned int offset = 0;
  for (unsigned short s : mismatchList) {
    dataMap->insertInfo(s, chunkData, offset);
    offset += segmentSize;
  }
  unsigned int next = mismatchList.back() + 1u;
  nextSegment = static_cast<unsigned short>(next >= numSegments ? 0 : next);
  chunkData.clear();
}

}  // namespace libksync

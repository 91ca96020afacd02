#include "SyncEDCProtocol.h"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

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
      repairedBytes(0),
      applied(0),
      runTimer(engine),
      edcState(IDLE),
      queryFrequency(2.0f),
      seriesSize(0),
      firstPassCompared(0),
      queryCount(0),
      queryFirst(0),
      nextSegment(0),
      expectedChunk(0),
      queryPeriod(500),
      mismatchCount(0),
      queryLimitWarned(false),
      seriesCompressed(false),
      lastCycleOk(true) {
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

bool SyncEDCProtocol::isFirstPassComplete() const {
  return firstPassCompared >= dataMap->getNumSegments();
}

void SyncEDCProtocol::startCycle() {
  lastQueryTime.updateTime();
  mismatchCount = 0;
  seriesCompressed = false;
  seriesSize = 0;
  sendCRCQuery();
}

void SyncEDCProtocol::cycleEnded(unsigned int covered) {
  bool firstPass = !isFirstPassComplete();
  unsigned int numSegments = dataMap->getNumSegments();
  firstPassCompared = covered >= numSegments - firstPassCompared ? numSegments : firstPassCompared + covered;
  lastCycleOk = true;
  // Link-paced, the first pass runs cycle after cycle; the pass that ends
  // here still starts the next one (the calm cadence starts after it).
  if (firstPass && settings->linkPaced()) startCycle();
}

void SyncEDCProtocol::run() {
  switch (edcState) {
    case IDLE:
      if (lastQueryTime.timeElapsed() < queryPeriod &&
          !(settings->linkPaced() && lastCycleOk && !isFirstPassComplete()))
        return;
      startCycle();
      break;
    case AWAITING_REPLY:
      if (waitStart.timeElapsed() > REPLY_TIMEOUT_MS) {
        edcState = IDLE;
        lastCycleOk = false;
        reportError("Didn't receive an EDC reply from the server.");
      }
      break;
    case AWAITING_CHUNKS:
      if (waitStart.timeElapsed() > REPLY_TIMEOUT_MS) {
        edcState = IDLE;
        lastCycleOk = false;
        chunkData.clear();
        reportError("Didn't receive a chunk series from the server.");
      }
      break;
    case APPLYING:
      applySegments();
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
  if (settings->linkPaced()) {
    n = settings->linkQueryCrcs(queryPeriod, numSegments);
    limit = SyncMessages::CRC_QUERY_HEADER + SyncMessages::CRC_SIZE * n;
  } else if (bandwidth != 0 && queryFrequency != 0.0f) {
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
  std::vector<unsigned int> crcs(static_cast<std::size_t>(n));
  unsigned int seg = nextSegment;
  for (unsigned int& crc : crcs) {
    crc = dataMap->getCRC(static_cast<unsigned short>(seg));
    if (++seg == numSegments) seg = 0;
  }
  DBuffer query;
  SyncMessages::buildCrcQuery(nextSegment, crcs, query);
  network->sendMessage(query);
  waitStart.updateTime();
  edcState = AWAITING_REPLY;
  expectedChunk = 0;
  queryFirst = nextSegment;
  queryCount = static_cast<unsigned int>(n);
}

void SyncEDCProtocol::handleCRCReply(DBuffer& rest) {
  unsigned int numSegments = dataMap->getNumSegments();
  if (edcState == APPLYING) {
    // The series being written stays; nothing was asked.
    reportError("Received a CRC Reply, but we haven't sent a query.");
    return;
  }
  if (edcState != AWAITING_REPLY) {
    edcState = IDLE;
    lastCycleOk = false;
    chunkData.clear();
    reportError("Received a CRC Reply, but we haven't sent a query.");
    return;
  }
  edcState = IDLE;
  SyncCrcReply reply;
  std::string err;
  if (!SyncMessages::parseCrcReply(rest, numSegments, settings->getSegmentSize(), reply, err)) {
    lastCycleOk = false;
    reportError(err);
    return;
  }
  // Only a reply that passed every check changes what we expect next.
  const std::size_t m = reply.mismatched.size();
  mismatchList = reply.mismatched;
  mismatchCount = static_cast<unsigned char>(m);
  seriesCompressed = reply.compression == SyncMessages::COMPRESSED;
  seriesSize = reply.seriesSize;
  if (settings->debugEDC())
    std::cout << "CRC mismatches: " << m << " first index: " << (m > 0 ? mismatchList[0] : reply.nextSegment)
              << " compression byte: " << static_cast<unsigned int>(reply.compression)
              << " chunkSeriesSize: " << reply.seriesSize << std::endl;
  if (m > 0) {
    waitStart.updateTime();
    edcState = AWAITING_CHUNKS;
    chunkData.clear();
  } else {
    nextSegment = reply.nextSegment;
    // Every CRC of the query matched.
    cycleEnded(queryCount);
  }
}

void SyncEDCProtocol::handleCHNK(DBuffer& rest) {
  if (edcState != AWAITING_CHUNKS) {
    reportError("The server sent us a chunk, but we weren't waiting for one.");
    return;
  }
  unsigned char number = 0;
  std::string err;
  if (!SyncMessages::parseChunk(rest, number, err)) {
    reportError(err);
    return;
  }
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
      lastCycleOk = false;
      reportError(chunkData.getErrMsg());
      chunkData.clear();
      return;
    }
    chunkData = inflated;
  }
  if (chunkData.size() != expected) {
    lastCycleOk = false;
    reportError("Received a chunk series with an invalid length. Expected: " + DEngine::intToStr(expected) +
                ", got: " + DEngine::intToStr(chunkData.size()));
    chunkData.clear();
    return;
  }
  applied = 0;
  edcState = APPLYING;
  applySegments();
}

void SyncEDCProtocol::applySegments() {
  unsigned int segmentSize = settings->getSegmentSize();
  // Segment by segment off the front of the series, each copied whole.
  std::vector<unsigned char> segment(segmentSize);
  for (; applied < mismatchList.size(); ++applied) {
    if (applyGate && !applyGate()) return;
    std::size_t at = 0;
    for (const auto& piece : chunkData.getSendBuffers(segmentSize)) {
      std::memcpy(segment.data() + at, piece.data(), piece.size());
      at += piece.size();
    }
    chunkData.removeFirst(segmentSize);
    dataMap->insertInfo(mismatchList[applied], segment.data());
    repairedBytes += segmentSize;
  }
  edcState = IDLE;
  unsigned int numSegments = dataMap->getNumSegments();
  unsigned int next = mismatchList.back() + 1u;
  nextSegment = static_cast<unsigned short>(next >= numSegments ? 0 : next);
  chunkData.clear();
  // The server compared at least up to the last segment it named.
  cycleEnded((mismatchList.back() + numSegments - queryFirst) % numSegments + 1u);
}

}  // namespace libksync

#include "SyncSettings.h"

#include "DEngine.h"
#include "SyncMessages.h"

using libkorvet::DEngine;

namespace libksync {

SyncSettings::SyncSettings(ErrorCallback callback)
    : syncEngine(nullptr),
      errorCallback(callback),
      edcFrequency(2.0f),
      unusedDataBytes(0),
      linkRate(0),
      congestionCap(0),
      edcPeriod(500),
      speckSize(4),
      segmentSpecks(256),
      segmentSize(1024),
      flushBandwidth(1024),
      // The role is not known yet; every owner sets its own EDC budget
      // before use, so this is only a placeholder.
      edcBandwidth(1024),
      quickSync(1),
      debugEDCOn(false),
      debugFlushOn(false),
      isServer(false) {
  if (!setEDCPeriod(500)) DEngine::fatalError(errDesc);
}

bool SyncSettings::setSegmentSize(unsigned short newSegmentSize, unsigned short newSpeckSize) {
  if (newSegmentSize < MIN_SEGMENT_SIZE) {
    errDesc = "Segment size must be at least " + DEngine::intToStr(MIN_SEGMENT_SIZE) + " bytes.";
    return false;
  }
  if (newSegmentSize > MAX_SEGMENT_SIZE) {
    errDesc = "Segment size can be at most " + DEngine::intToStr(MAX_SEGMENT_SIZE) + " bytes.";
    return false;
  }
  if (newSpeckSize == 0) {
    errDesc = "Speck size must be non-zero.";
    return false;
  }
  if (newSegmentSize < newSpeckSize) {
    errDesc = "Speck size can't be larger than segment size!";
    return false;
  }
  if (newSegmentSize % newSpeckSize != 0) {
    errDesc = "Segment size must be divisible by speck size.";
    return false;
  }
  segmentSize = newSegmentSize;
  speckSize = newSpeckSize;
  segmentSpecks = static_cast<unsigned short>(newSegmentSize / newSpeckSize);
  return true;
}

bool SyncSettings::setFlushBandwidth(unsigned short bytesPerSecond) {
  if (bytesPerSecond < minFlushSize()) {
    errDesc = "Data flush limit must be at least " + DEngine::intToStr(minFlushSize()) +
              " bytes per second. Disabling data flush mechanism.";
    flushBandwidth = 0;
    return false;
  }
  flushBandwidth = bytesPerSecond;
  return true;
}

bool SyncSettings::setEDCPeriod(unsigned short milliseconds) {
  if (milliseconds == 0) {
    errDesc = "The EDC period must be non-zero";
    return false;
  }
  if (milliseconds > MAX_EDC_PERIOD) {
    errDesc = "The EDC period must be less than or equal to 1000 milliseconds.";
    return false;
  }
  edcPeriod = milliseconds;
  edcFrequency = 1000.0f / static_cast<float>(milliseconds);
  return true;
}

void SyncSettings::setQuickSync(unsigned char newSegments) {
  if (newSegments == 0) DEngine::fatalError("SyncSettings::setQuickSync(): newSegments is zero");
  quickSync = newSegments;
}

unsigned short SyncSettings::flushSendLimit(float flushFrequency) const {
  if (flushBandwidth == 0 || !(flushFrequency > 0.0f)) return 0;
  double limit = static_cast<double>(flushBandwidth) / static_cast<double>(flushFrequency);
  if (limit >= MAX_FLUSH_SEND_LIMIT) return MAX_FLUSH_SEND_LIMIT;
  return static_cast<unsigned short>(limit);
}

unsigned short SyncSettings::edcSendLimit() const {
  if (edcBandwidth == 0 || !(edcFrequency > 0.0f)) return 0;
  double limit = static_cast<double>(edcBandwidth) / static_cast<double>(edcFrequency);
  // The period is at most 1000 ms, so this only guards against rounding.
  if (limit >= 65535.0) return 65535;
  return static_cast<unsigned short>(limit);
}

unsigned int SyncSettings::linkQueryCrcs(unsigned short queryPeriodMs, unsigned int numSegments) const {
  double perQuery = static_cast<double>(linkRate) * queryPeriodMs / 1000.0 / 100.0 / SyncMessages::CRC_SIZE;
  unsigned int n = perQuery >= MAX_LINK_QUERY_CRCS ? MAX_LINK_QUERY_CRCS : static_cast<unsigned int>(perQuery);
  if (n < MIN_LINK_QUERY_CRCS) n = MIN_LINK_QUERY_CRCS;
  return n < numSegments ? n : numSegments;
}

double SyncSettings::congestionLimit() const {
  double total = 0;
  if (linkPaced()) {
    total = linkRate;
    if (congestionCap > 0 && congestionCap * 5.0 < total) total = congestionCap * 5.0;
  } else {
    total = edcBandwidth;
    if (isServer) total += flushBandwidth;
  }
  if (total == 0) total = 1;
  return total / 5.0;
}

unsigned int SyncSettings::calcSyncIndex(unsigned short size, unsigned int& nextIndex) {
  if (size > speckSize) {
    DEngine::addFatal("Tried to create a sync variable of size " + DEngine::intToStr(size));
    DEngine::fatalError(", but speck size is only " + DEngine::intToStr(speckSize) + " bytes.");
  }
  // A single byte always fits (the application only allocates those, one
  // call per byte, so this path is kept free of divisions).
  if (size == 1) return nextIndex++;
  unsigned int room = speckSize - nextIndex % speckSize;
  if (room < size) {
    nextIndex += room;
    unusedDataBytes += room;
  }
  unsigned int result = nextIndex;
  nextIndex += size;
  return result;
}

void SyncSettings::reportError(const std::string& text) {
  errDesc = text;
  errorCallback(text);
}

int SyncSettings::getNumInstances() { return -1; }

}  // namespace libksync

#ifndef SYNC_SYNCEDCPROTOCOL_H
#define SYNC_SYNCEDCPROTOCOL_H

// SyncEDCProtocol: a client's error detection and correction. Every query
// period it sends the CRCs of as many consecutive segments as the query
// budget allows (wrapping around the map), collects the CHNK series the
// server answers with, and writes the repaired segments only once the whole
// series is present and has the expected length. Owned by SyncClient, which
// passes it the CRC_REPLY and CHNK bodies (kind byte removed).
//
// It counts how much of the map its cycles have covered since the join: the
// first pass is complete once that reaches the segment count. Link-paced
// (SyncSettings::linkPaced) a query carries linkQueryCrcs() CRCs and, until
// the first pass is complete, the next cycle starts the moment one ends
// well; afterwards, and after a broken cycle, once per query period.
//
// With an apply gate, a complete series is written a segment at a time for
// as long as the gate allows, and the rest on later ticks (APPLYING); the
// next cycle starts once all of it is in, so the pace of repairs is the
// gate's.

#include <string>
#include <vector>

#include <boost/function.hpp>

#include "DBuffer.h"
#include "DTime.h"
#include "DTimer.h"

namespace libkorvet {
class DEngine;
}  // namespace libkorvet

namespace libksync {

class SyncDataMap;
class SyncNetwork;
class SyncSettings;

class SyncEDCProtocol {
 public:
  enum EDCState { IDLE = 0, AWAITING_REPLY = 1, AWAITING_CHUNKS = 2, APPLYING = 3 };
  // Asked before each repaired segment is written; false: not now.
  typedef boost::function<bool()> ApplyGate;

  // Longest wait for a reply, or for the next chunk of a series.
  static const unsigned int REPLY_TIMEOUT_MS = 30000;

  SyncEDCProtocol(SyncSettings* settings, SyncDataMap* dataMap, libkorvet::DEngine* engine);
  ~SyncEDCProtocol();
  SyncEDCProtocol(const SyncEDCProtocol&) = delete;
  SyncEDCProtocol& operator=(const SyncEDCProtocol&) = delete;

  bool setPeriod(unsigned short milliseconds);
  std::string getErrMsg() const;
  // Starts the 1 ms tick; queries go out through network.
  void initialize(SyncNetwork* network);

  void run();
  void sendCRCQuery();
  void handleCRCReply(libkorvet::DBuffer& rest);
  void handleCHNK(libkorvet::DBuffer& rest);
  void applyChunkSeries();
  void setApplyGate(const ApplyGate& gate) { applyGate = gate; }
  // Bytes the repairs have written so far.
  unsigned long long getRepairedBytes() const { return repairedBytes; }

  // State, for tests and diagnostics.
  unsigned int getState() const { return edcState; }
  unsigned short getNextSegment() const { return nextSegment; }
  // Segments covered by completed cycles since the join, at most the map's
  // count: the server has compared at least these once.
  unsigned int getFirstPassCompared() const { return firstPassCompared; }
  bool isFirstPassComplete() const;

  static int getNumInstances() { return -1; }

 private:
  void reportError(const std::string& text);
  // A cycle that ended well after covering `covered` segments.
  void cycleEnded(unsigned int covered);
  void startCycle();
  // Writes segments of the series until it is in or the gate says no.
  void applySegments();

  SyncSettings* settings;
  SyncDataMap* dataMap;
  SyncNetwork* network;
  std::vector<unsigned short> mismatchList;
  libkorvet::DBuffer chunkData;
  ApplyGate applyGate;
  unsigned long long repairedBytes;
  // Segments of mismatchList written so far (APPLYING).
  std::size_t applied;
  libkorvet::DTimer runTimer;
  libkorvet::DTime lastQueryTime;
  libkorvet::DTime waitStart;
  unsigned int edcState;
  float queryFrequency;
  unsigned int seriesSize;
  unsigned int firstPassCompared;
  unsigned int queryCount;  // CRCs of the query in flight
  unsigned short queryFirst;
  unsigned short nextSegment;
  unsigned char expectedChunk;
  unsigned short queryPeriod;
  unsigned char mismatchCount;
  bool queryLimitWarned;
  bool seriesCompressed;
  bool lastCycleOk;
};

}  // namespace libksync

#endif  // SYNC_SYNCEDCPROTOCOL_H

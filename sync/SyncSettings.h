#ifndef SYNC_SYNCSETTINGS_H
#define SYNC_SYNCSETTINGS_H

// SyncSettings: the parameters shared by every object of one sync server or
// one sync client (map geometry, bandwidth budgets, EDC timing, quick sync,
// traces, role) and its error channel. Owned by the SyncServer or SyncClient;
// everyone else holds a plain pointer. Setters that can fail return false and
// leave the reason in getErrMsg() without calling the error callback;
// reportError() is for faults of the peer or the data and does call it.
//
// 16-bit bounds (every value that travels or is computed as unsigned short):
// - segmentSize is 1024..61440 and speckSize 1..segmentSize, so
//   segmentSpecks fits; the data map refuses a 65536th segment, so a map is
//   at most 65535 x 61440 bytes and every index and JOIN_ACK size fits 32 bits.
// - the EDC period is 1..1000 ms, so a per-period EDC limit
//   (edcBandwidth / edcFrequency) is at most 65535 bytes and a CHNK fits in a
//   frame.
// - flushSendLimit() caps the flush send limit at MAX_FLUSH_SEND_LIMIT, so the
//   extract limit (2 x sendLimit) and a client's budget (sendLimit + credit,
//   credit <= sendLimit) stay below 65536 and a FLSH (budget + 1 bytes) fits
//   in a frame.
//
// Link pacing: a link rate above MAX_PACED_BANDWIDTH (the most the 16-bit
// budgets carry) is taken as the bytes per second the link carries per
// client. The server then streams chunk series at that rate and names up to
// MAX_QUICK_SYNC segments per reply in a client's first pass; the client
// verifies linkQueryCrcs() segments per query and, in its first pass, queries
// again as soon as a cycle ends. At or below it everything runs on the 16-bit
// budgets above. Every message keeps its layout either way, so each side
// works with a peer of the other kind.

#include <string>

#include <boost/function.hpp>

namespace libksync {

class SyncEngine;

class SyncSettings {
 public:
  typedef boost::function<void(std::string)> ErrorCallback;

  static constexpr unsigned short MIN_SEGMENT_SIZE = 1024;
  static constexpr unsigned short MAX_SEGMENT_SIZE = 61440;
  static constexpr unsigned short MAX_EDC_PERIOD = 1000;
  // Largest flush send limit per period; twice it must still fit 16 bits.
  static constexpr unsigned short MAX_FLUSH_SEND_LIMIT = 32767;
  // Largest number of segments a map may hold (numSegments is 16 bits).
  static constexpr unsigned int MAX_SEGMENTS = 65535;
  // Largest rate the 16-bit budgets carry; a link rate above it paces by the link.
  static constexpr unsigned int MAX_PACED_BANDWIDTH = 65535;
  // Most segments one CRC_REPLY can name (its count is one byte).
  static constexpr unsigned int MAX_QUICK_SYNC = 255;
  // Bounds of a link-paced query: at least one full reply's worth, and few
  // enough that a server whose CRCs are all stale checks one in a few
  // milliseconds.
  static constexpr unsigned int MIN_LINK_QUERY_CRCS = MAX_QUICK_SYNC;
  static constexpr unsigned int MAX_LINK_QUERY_CRCS = 512;

  // Requires: a non-empty callback before reportError() is used (an empty
  // one makes reportError throw boost::bad_function_call).
  explicit SyncSettings(ErrorCallback callback);

  void setEngine(SyncEngine* engine) { syncEngine = engine; }
  SyncEngine* getSyncEngine() const { return syncEngine; }

  void setIsServer() { isServer = true; }
  bool getIsServer() const { return isServer; }

  unsigned short getSegmentSize() const { return segmentSize; }
  unsigned short getSpeckSize() const { return speckSize; }
  unsigned short getSegmentSpecks() const { return segmentSpecks; }
  // Leaves the geometry unchanged on failure. Whether the call is still
  // allowed (no data allocated yet) is the owner's check.
  bool setSegmentSize(unsigned short newSegmentSize, unsigned short newSpeckSize);

  unsigned short getFlushBandwidth() const { return flushBandwidth; }
  // 0 switches the flush mechanism off (and is reported as a failure, since
  // anything below minFlushSize() is).
  bool setFlushBandwidth(unsigned short bytesPerSecond);

  void setEdcBandwidth(unsigned short bytesPerSecond) { edcBandwidth = bytesPerSecond; }
  unsigned short getEdcBandwidth() const { return edcBandwidth; }

  // Bytes per second the link carries per client; link pacing is on when it
  // is above MAX_PACED_BANDWIDTH (0, the default, and anything up to it: off).
  void setLinkRate(unsigned int bytesPerSecond) { linkRate = bytesPerSecond; }
  unsigned int getLinkRate() const { return linkRate; }
  bool linkPaced() const { return linkRate > MAX_PACED_BANDWIDTH; }
  // CRCs a link-paced client sends per query: a hundredth of what the link
  // carries in one query period, within the bounds above and the map.
  unsigned int linkQueryCrcs(unsigned short queryPeriodMs, unsigned int numSegments) const;
  // Link pacing only: the most bytes a connection may hold unsent before it
  // counts as congested, when that is less than 200 ms of the link (0: no cap).
  void setCongestionCap(unsigned int bytes) { congestionCap = bytes; }
  // Bytes queued on a connection above which it is congested: 200 ms of the
  // sync budget (of the link when link-paced, within the cap).
  double congestionLimit() const;

  bool setEDCPeriod(unsigned short milliseconds);
  unsigned short getEDCPeriod() const { return edcPeriod; }
  float getEDCFrequency() const { return edcFrequency; }

  // Requires: newSegments > 0 (zero is fatal).
  void setQuickSync(unsigned char newSegments);
  unsigned char getQuickSync() const { return quickSync; }

  // The smallest flush that carries one speck: FLSH header, record header,
  // speck index and the speck.
  unsigned int minFlushSize() const { return speckSize + 8u; }

  // Bytes the flush mechanism may send per period at the given frequency
  // (periods per second): flushBandwidth / frequency truncated, 0 when either
  // is 0, never above MAX_FLUSH_SEND_LIMIT.
  unsigned short flushSendLimit(float flushFrequency) const;
  // Bytes the EDC budget allows per EDC period: edcBandwidth / edcFrequency
  // truncated, 0 when either is 0 (at most 65535 since the period is <= 1000 ms).
  unsigned short edcSendLimit() const;

  // Places a variable of `size` bytes at nextIndex so that it never straddles
  // a speck boundary, advancing nextIndex. A size above the speck size is fatal.
  unsigned int calcSyncIndex(unsigned short size, unsigned int& nextIndex);
  unsigned int getUnusedDataBytes() const { return unusedDataBytes; }

  void startDebugEDC() { debugEDCOn = true; }
  bool debugEDC() const { return debugEDCOn; }
  void startDebugFlush() { debugFlushOn = true; }
  bool debugFlush() const { return debugFlushOn; }

  std::string getErrMsg() const { return errDesc; }
  void setErrDesc(const std::string& text) { errDesc = text; }
  // Stores text and hands a copy to the error callback before returning.
  void reportError(const std::string& text);

  static int getNumInstances();

 private:
  SyncEngine* syncEngine;
  ErrorCallback errorCallback;
  std::string errDesc;
  float edcFrequency;
  unsigned int unusedDataBytes;
  unsigned int linkRate;
  unsigned int congestionCap;
  unsigned short edcPeriod;
  unsigned short speckSize;
  unsigned short segmentSpecks;
  unsigned short segmentSize;
  unsigned short flushBandwidth;
  unsigned short edcBandwidth;
  unsigned char quickSync;
  bool debugEDCOn;
  bool debugFlushOn;
  bool isServer;
};

}  // namespace libksync

#endif  // SYNC_SYNCSETTINGS_H

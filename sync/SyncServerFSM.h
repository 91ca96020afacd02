#ifndef SYNC_SYNCSERVERFSM_H
#define SYNC_SYNCSERVERFSM_H

// SyncServerFSM: the server's agent for one client connection, created by
// SyncServer::addClient. Answers JOIN with JOIN_ACK, answers CRC_QUERY with
// the segments that differ (up to quickSync per reply during the client's
// first pass, then one) and streams them as a CHNK series, one chunk of at
// most edcBandwidth / edcFrequency bytes per EDC period. Takes part in the
// server's flush. Shares the server's settings and map; allocates nothing.
//
// Link-paced (SyncSettings::linkPaced): a first-pass reply names up to 255
// segments; the series is built from the server's deflate cache (the reply
// waits, PREPARING, until the cache has every piece) and streamed on a 1 ms
// tick in chunks of up to a frame, as fast as the link rate allows (a token
// bucket holding at most one EDC period of it) and while uncongested.

#include <memory>

#include "DBuffer.h"
#include "DTime.h"
#include "DTimer.h"
#include "SyncDeflateCache.h"
#include "SyncNetwork.h"

namespace libkorvet {
class DDispatcher;
class DEngine;
}  // namespace libkorvet

namespace libksync {

class SyncDataMap;
class SyncFlushBuffer;
class SyncSettings;

class SyncServerFSM : public SyncNetwork {
 public:
  // PREPARING: link-paced, the reply waits for the series' pieces.
  enum SendingState { IDLE = 0, SENDING_UNCOMPRESSED = 1, SENDING_COMPRESSED = 2, PREPARING = 3 };
  enum FSMState { AWAITING_JOIN = 0, JOINED = 1 };

  SyncServerFSM(libkorvet::DEngine* engine, SyncSettings* settings, SyncDataMap* dataMap,
                libkorvet::DDispatcher* connection, unsigned short subtype, unsigned int bytesUsed);
  ~SyncServerFSM() override;
  SyncServerFSM(const SyncServerFSM&) = delete;
  SyncServerFSM& operator=(const SyncServerFSM&) = delete;

  // Programming errors here: a state machine owns no sync data.
  unsigned int getSyncIndex(unsigned short size) override;
  SyncDataMap* retrieveDataMap() override;

  // The server's shared cache, used when link-paced (before initialize()).
  void setDeflateCache(SyncDeflateCache* cache) { deflateCache = cache; }

  void resetFSM();
  // Installs the message handler and starts the chunk timer.
  void initialize();
  void recvHandler(libkorvet::DBuffer& body) override;

  void sendJoinACK();
  void handleCRCQuery(libkorvet::DBuffer& rest);
  void sendCRCReply(libkorvet::DBuffer& rest, unsigned int count, unsigned short firstSegment);
  // Chunk timer handler.
  void sendChunkSeries();
  // The connection has sent everything queued: a link-paced series goes on
  // at once rather than at the next tick. Nothing otherwise.
  void connectionDrained();
  // The per-client step of the server's flush.
  void flushChanges(SyncFlushBuffer& buffer, unsigned short sendLimit);

  // State, for tests and diagnostics.
  unsigned int getFSMState() const { return fsmState; }
  int getSendingState() const { return sendingState; }
  bool isFirstPassComplete() const { return firstPassComplete; }
  int getExtraFlushBytes() const { return extraFlushBytes; }
  unsigned char getChunkNumber() const { return chunkNumber; }
  // CRCs the client sent that matched ours, counted since the last one that
  // did not: once it reaches the segment count, the client held our map.
  unsigned int getMatchedRun() const { return matchedRun; }

  static int getNumInstances() { return -1; }

  static constexpr unsigned int LINK_CHUNK_INTERVAL_MS = 10;

 private:
  bool linkPaced() const;
  // Link pacing: the reply once every piece is there (true when sent).
  bool finishPreparing();
  // Link pacing: chunks while the credit covers them and the link is free.
  void streamChunks();
  libkorvet::DBuffer* currentSeries();

  SyncDataMap* dataMap;
  SyncSettings* settings;
  libkorvet::DBuffer seriesRaw;
  libkorvet::DBuffer seriesCompressed;
  libkorvet::DTimer chunkTimer;
  SyncDeflateCache* deflateCache;
  std::shared_ptr<SyncDeflateCache::Batch> preparing;
  libkorvet::DTime creditTime;
  double chunkCredit;
  int sendingState;
  unsigned int fsmState;
  int firstPassCount;
  unsigned int matchedRun;
  unsigned int bytesUsed;
  int extraFlushBytes;
  unsigned char chunkNumber;
  bool chunkLimitWarned;
  bool firstPassComplete;
};

}  // namespace libksync

#endif  // SYNC_SYNCSERVERFSM_H

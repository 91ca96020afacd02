#ifndef SYNC_SYNCSERVERFSM_H
#define SYNC_SYNCSERVERFSM_H

// SyncServerFSM: the server's agent for one client connection, created by
// SyncServer::addClient. Answers JOIN with JOIN_ACK, answers CRC_QUERY with
// the segments that differ (up to quickSync per reply during the client's
// first pass, then one) and streams them as a CHNK series, one chunk of at
// most edcBandwidth / edcFrequency bytes per EDC period. Takes part in the
// server's flush. Shares the server's settings and map; allocates nothing.

#include "DBuffer.h"
#include "DTimer.h"
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
  enum SendingState { IDLE = 0, SENDING_UNCOMPRESSED = 1, SENDING_COMPRESSED = 2 };
  enum FSMState { AWAITING_JOIN = 0, JOINED = 1 };

  SyncServerFSM(libkorvet::DEngine* engine, SyncSettings* settings, SyncDataMap* dataMap,
                libkorvet::DDispatcher* connection, unsigned short subtype, unsigned int bytesUsed);
  ~SyncServerFSM() override;
  SyncServerFSM(const SyncServerFSM&) = delete;
  SyncServerFSM& operator=(const SyncServerFSM&) = delete;

  // Programming errors here: a state machine owns no sync data.
  unsigned int getSyncIndex(unsigned short size) override;
  SyncDataMap* retrieveDataMap() override;

  void resetFSM();
  // Installs the message handler and starts the chunk timer.
  void initialize();
  void recvHandler(libkorvet::DBuffer& body) override;

  void sendJoinACK();
  void handleCRCQuery(libkorvet::DBuffer& rest);
  void sendCRCReply(libkorvet::DBuffer& rest, unsigned int count, unsigned short firstSegment);
  // Chunk timer handler.
  void sendChunkSeries();
  // The per-client step of the server's flush.
  void flushChanges(SyncFlushBuffer& buffer, unsigned short sendLimit);

  // State, for tests and diagnostics.
  unsigned int getFSMState() const { return fsmState; }
  int getSendingState() const { return sendingState; }
  bool isFirstPassComplete() const { return firstPassComplete; }
  int getExtraFlushBytes() const { return extraFlushBytes; }
  unsigned char getChunkNumber() const { return chunkNumber; }

  static int getNumInstances() { return -1; }

 private:
  SyncDataMap* dataMap;
  SyncSettings* settings;
  libkorvet::DDispatcher* connection;
  libkorvet::DBuffer seriesRaw;
  libkorvet::DBuffer seriesCompressed;
  libkorvet::DTimer chunkTimer;
  int sendingState;
  unsigned int fsmState;
  int firstPassCount;
  unsigned int bytesUsed;
  int extraFlushBytes;
  unsigned char chunkNumber;
  bool chunkLimitWarned;
  bool firstPassComplete;
};

}  // namespace libksync

#endif  // SYNC_SYNCSERVERFSM_H

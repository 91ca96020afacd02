#ifndef SYNC_SYNCCLIENT_H
#define SYNC_SYNCCLIENT_H

// SyncClient: the client side. Owns a copy of the data map that application
// data allocates exactly as on the server, joins over an existing connection
// (JOIN, then a 15-byte JOIN_ACK whose geometry and used size must match),
// applies the specks the server flushes and owns the SyncEDCProtocol that
// verifies and repairs the copy. Created by the session client; all work
// runs inside DEngine::update.

#include <string>

#include <boost/function.hpp>

#include "DBuffer.h"
#include "DTimer.h"
#include "SyncNetwork.h"

namespace libkorvet {
class DDispatcher;
class DEngine;
}  // namespace libkorvet

namespace libksync {

class SyncDataMap;
class SyncEDCProtocol;
class SyncSettings;

class SyncClient : public SyncNetwork {
 public:
  enum ClientState { START = 0, JOINING = 1, SYNCHRONIZING = 2, ERROR = 3 };

  static const unsigned int HANDSHAKE_TIMEOUT_MS = 30000;

  SyncClient(libkorvet::DDispatcher* dispatcher, libkorvet::DEngine* engine, unsigned short subtype,
             boost::function<void(std::string)> errorCallback);
  ~SyncClient() override;
  SyncClient(const SyncClient&) = delete;
  SyncClient& operator=(const SyncClient&) = delete;

  // Only in START and before any sync data is allocated.
  bool setSegmentSize(unsigned short segmentSize, unsigned short speckSize);
  // The budget of the CRC queries.
  void setQueryBandwidth(unsigned short bytesPerSecond);
  bool setQueryPeriod(unsigned short milliseconds);
  // Bytes per second the link carries; above SyncSettings::MAX_PACED_BANDWIDTH
  // the error correction is paced by it (see SyncEDCProtocol).
  void setLinkRate(unsigned int bytesPerSecond);
  void setEDCOverwrite(bool on);
  // Asked before each repaired segment is written; false leaves the rest of
  // the series for later (see SyncEDCProtocol). Empty: all at once.
  void setRepairGate(const boost::function<bool()>& gate);
  // Bytes of the map written from what the server sent, by flushed specks
  // and by repaired segments: the change callbacks the server has caused.
  unsigned long long getFlushedBytes() const { return flushedBytes; }
  unsigned long long getRepairedBytes() const;

  unsigned int getSyncIndex(unsigned short size) override;
  unsigned int getSyncBytes(unsigned int count) override;
  SyncDataMap* retrieveDataMap() override;

  // Sends JOIN and starts the handshake time-out; false (nothing sent) when
  // the connection is not up.
  bool initialize();
  // The handshake time-out counts again from now: the application did long
  // work (its canvas) in the step that sent JOIN, and the answer may be
  // waiting unread.
  void restartHandshakeTimeout();

  unsigned char getByte(unsigned int index) const;
  void setByte(unsigned int index, unsigned char value);
  unsigned int getMapSize() const;
  void debugFlush();
  void debugEDC();
  std::string getErrMsg() const;
  unsigned int getState() const { return clientState; }
  SyncEDCProtocol* getEDC() { return edc; }
  // How much of the map the first pass has had compared, 0 to 1 (0 before
  // the join).
  double getFirstPassProgress() const;

  void recvHandler(libkorvet::DBuffer& body) override;
  // Handshake timer handler.
  void timeElapsed();
  bool parseJoinACK(libkorvet::DBuffer& body);
  bool createData(unsigned short numSegments, unsigned int numBytes, unsigned int bytesUsed);
  void synchronizeData(libkorvet::DBuffer& body);
  void handleFlushMsg(libkorvet::DBuffer& rest);
  bool extractFlushSpecks(unsigned short segment, unsigned short count, libkorvet::DBuffer& rest);

  static int getNumInstances() { return -1; }

 private:
  SyncDataMap* dataMap;
  SyncEDCProtocol* edc;
  SyncSettings* settings;
  libkorvet::DTimer handshakeTimer;
  unsigned int clientState;
  unsigned int nextIndex;
  unsigned long long flushedBytes;
};

}  // namespace libksync

#endif  // SYNC_SYNCCLIENT_H

#ifndef SYNC_SYNCSERVER_H
#define SYNC_SYNCSERVER_H

// SyncServer: the authoritative side. Owns the settings and the data map,
// hands out sync indexes until initialize(), keeps one SyncServerFSM per
// client connection, and every flush period sends each joined, uncongested
// client the specks changed since the last period (as much as its budget
// allows). Called by the session server; all work runs inside DEngine::update.

#include <map>
#include <memory>
#include <string>

#include <boost/function.hpp>

#include "DTimer.h"
#include "SyncEngine.h"

namespace libkorvet {
class DDispatcher;
class DEngine;
}  // namespace libkorvet

namespace libksync {

class SyncDataMap;
class SyncDeflateCache;
class SyncServerFSM;
class SyncSettings;

class SyncServer : public SyncEngine {
 public:
  SyncServer(libkorvet::DEngine* engine, unsigned short subtype,
             boost::function<void(std::string)> errorCallback);
  ~SyncServer() override;
  SyncServer(const SyncServer&) = delete;
  SyncServer& operator=(const SyncServer&) = delete;

  // Geometry: only before any sync data is allocated and before initialize().
  bool setSegmentSize(unsigned short segmentSize, unsigned short speckSize);
  void setQuickSync(unsigned char n);
  // 0 switches the flush mechanism off (EDC alone keeps clients equal).
  bool setFlushBandwidth(unsigned short bytesPerSecond);
  // Per client, for chunk series.
  void setEDCBandwidth(unsigned short bytesPerSecond);
  // Chunk timer of each client state machine.
  bool setEDCPeriod(unsigned short milliseconds);
  // Bytes per second the link carries per client; above
  // SyncSettings::MAX_PACED_BANDWIDTH chunk series are paced by it (see
  // SyncServerFSM). Before the first client is added.
  void setLinkRate(unsigned int bytesPerSecond);
  // Link pacing: most bytes queued on a connection before it is congested.
  void setCongestionCap(unsigned int bytes);
  // Takes effect when initialize() starts the flush timer.
  bool setFlushPeriod(unsigned short milliseconds);
  void debugFlush();
  void debugEDC();
  std::string getErrMsg() const;

  unsigned int getSyncIndex(unsigned short size) override;
  unsigned int getSyncBytes(unsigned int count) override;
  SyncDataMap* retrieveDataMap() override;
  unsigned int unusedBytes() const;

  unsigned int getMapSize() const;
  unsigned char getByte(unsigned int index) const;
  void setByte(unsigned int index, unsigned char value);

  // Pads the map and starts the flush timer; a second call does nothing.
  void initialize();
  // Requires: initialize() has run (fatal otherwise).
  bool addClient(libkorvet::DDispatcher* connection);
  // Deletes the client's state machine; the caller deletes the connection
  // with it, since the connection keeps the state machine's handler.
  bool removeClient(libkorvet::DDispatcher* connection);
  unsigned int numClients() const { return static_cast<unsigned int>(clients.size()); }
  // The connection has sent everything it had queued (see
  // SyncServerFSM::connectionDrained); unknown connections are ignored.
  void connectionDrained(libkorvet::DDispatcher* connection);
  // The state machine of a connection, or null (for tests and diagnostics).
  SyncServerFSM* getClient(libkorvet::DDispatcher* connection) const;

  // Flush timer handler.
  void flushChanges();

  static int getNumInstances() { return -1; }

 private:
  std::map<libkorvet::DDispatcher*, SyncServerFSM*> clients;
  SyncSettings* settings;
  SyncDataMap* dataMap;
  // Link pacing: the segments' compressed pieces, made with the first client.
  std::unique_ptr<SyncDeflateCache> deflateCache;
  libkorvet::DEngine* engine;
  libkorvet::DTimer flushTimer;
  float flushFrequency;
  unsigned int nextIndex;
  unsigned short subtype;
  unsigned short flushPeriod;
  bool flushLimitWarned;
  bool initialized;
};

}  // namespace libksync

#endif  // SYNC_SYNCSERVER_H

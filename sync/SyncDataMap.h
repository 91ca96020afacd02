#ifndef SYNC_SYNCDATAMAP_H
#define SYNC_SYNCDATAMAP_H

// SyncDataMap: the synchronized byte array of one server or client, with the
// bookkeeping flush and repair need: a cached CRC-32 per segment, one change
// bit per speck (server: not yet flushed; client: fresh, survives the next
// repair once) and, on a client on demand, predictive buffers. Owned by the
// SyncServer or SyncClient; geometry and role come from its SyncSettings.
//
// Storage: one zero-filled block of segmentSize bytes per segment, so the map
// grows a segment at a time without ever moving the bytes already held, and
// every segment is contiguous for checksums and copies. Per-speck and
// per-byte flags are packed bits. Every index, segment and position passed in
// must lie inside the map; anything else is a programming error and fatal.
// Network input is validated by the protocol code before it reaches here.
//
// [SECTION] building the map     addData, initialize, clearMap
// [SECTION] byte access          getByte, setByte, segmentData
// [SECTION] checksums            getCRC, extractInfo
// [SECTION] flush (server)       getFlushData, getSegmentFlush
// [SECTION] repair (client)      applySpeckChange, insertInfo, predictive mode
// [SECTION] SyncSpeckChange      one received speck

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "DBuffer.h"

namespace libksync {

class SyncSettings;
class SyncMapSegment;
class SyncFlushBuffer;

// SyncSpeckChange: one speck received in a FLSH message (its segment, its
// speck index inside that segment and its speckSize bytes), handed to
// SyncDataMap::applySpeckChange. Byte positions are bounds-checked; a
// position outside the speck is the caller's fault and fatal.
class SyncSpeckChange {
 public:
  // Requires: speckSize > 0. The bytes start out zero.
  explicit SyncSpeckChange(unsigned short speckSize);

  void setSegmentID(unsigned short segment) { segmentID = segment; }
  unsigned short getSegmentID() const { return segmentID; }
  // Speck index within the segment.
  void setIndex(unsigned short speck) { index = speck; }
  unsigned short getIndex() const { return index; }
  unsigned short getSize() const { return static_cast<unsigned short>(bytes.size()); }

  void setByte(unsigned char value, unsigned short position);
  unsigned char getByte(unsigned short position) const;

  // A buffer holding the speck's bytes in order.
  libkorvet::DBuffer toDBuffer() const;

  static int getNumInstances();

 private:
  std::vector<unsigned char> bytes;
  unsigned short segmentID;
  unsigned short index;
};


class SyncDataMap {
 public:
  typedef void (*ChangeCallback)(unsigned int index, unsigned char value);
  typedef void (*RangeCallback)(const SyncDataMap& map, unsigned int index, unsigned int count);

  // Called after every write into the map with the byte's index and new
  // value: application writes only when they change the byte, flushes and
  // repairs for every byte they write. Null: no call.
  ChangeCallback changeCallback;
  // Where a run of bytes is written at once (a repaired segment, setBytes),
  // called once for the run instead of changeCallback for each of its bytes:
  // [index, index + count) lie in one segment and hold every byte of the run
  // that changed (setBytes: from the first changed byte to the last). Null:
  // changeCallback is called for each byte as for any other write.
  RangeCallback rangeCallback;

  // Requires: settings outlives the map.
  explicit SyncDataMap(SyncSettings* settings);
  ~SyncDataMap();

  // Grows the map by numBytes zero bytes, adding a segment when the bytes
  // cross a segment boundary. Geometry and role are read from the settings
  // when the first segment is created and fixed from then on. A map that
  // would need more than SyncSettings::MAX_SEGMENTS segments is fatal.
  void addData(unsigned int numBytes);
  // Pads the map with zeros to numSegments x segmentSize bytes.
  void initialize();

  unsigned int getSize() const { return dataSize; }
  unsigned short getNumSegments() const { return numSegments; }
  unsigned int getTotalSpecks() const { return totalSpecks; }
  // 0 before the first segment exists.
  unsigned short getSegmentSize() const { return numSegments ? segmentSize : 0; }

  unsigned char getByte(unsigned int index) const;
  // Application write; marks flush (server) or fresh (client) state.
  void setByte(unsigned int index, unsigned char value);
  // count application writes of consecutive bytes from index on, exactly
  // as setByte would make them, checked once for the whole run (reported
  // through rangeCallback, when set, once per segment the run touches).
  void setBytes(unsigned int index, const unsigned char* values, unsigned int count);
  // The segmentSize contiguous bytes of a segment (read only).
  const unsigned char* segmentData(unsigned short segment) const;

  unsigned int getSpeckIndex(unsigned int index) const;
  unsigned int getSegmentIndex(unsigned int index) const;
  void getSegmentBoundaries(unsigned short segment, unsigned int& first, unsigned int& last) const;

  // Appends the segment's segmentSize bytes to the buffer.
  void extractInfo(unsigned short segment, libkorvet::DBuffer& buffer) const;
  // CRC-32 of the segment's bytes, recomputed only after the segment changed.
  unsigned int getCRC(unsigned short segment);
  const SyncMapSegment& getSegment(unsigned short segment) const;
  // A CRC computed elsewhere of the segment's bytes as they were at version
  // (SyncMapSegment::getVersion); cached only if the segment is unchanged since.
  void offerCRC(unsigned short segment, unsigned int version, unsigned int crc);

  // Server: moves the changed specks of every marked segment into records of
  // the flush buffer, the buffer never growing above limit, and clears their
  // bits (the specks that did not fit are dropped and left to EDC).
  void getFlushData(SyncFlushBuffer& flushBuffer, unsigned short limit);
  void getSegmentFlush(SyncFlushBuffer& flushBuffer, unsigned short segment, unsigned short segmentLimit);

  // Client: writes one flushed speck (change.getIndex() is the speck within
  // the segment; its size must be the speck size).
  void applySpeckChange(unsigned short segment, const SyncSpeckChange& change);
  // Client: writes one repaired segment from a buffer of exactly segmentSize
  // bytes; fresh specks are skipped once. A buffer of another length is
  // reported through the settings' error channel and changes nothing.
  void insertInfo(unsigned short segment, const libkorvet::DBuffer& buffer);
  // As above, taking the segment's bytes from buffer at offset (a chunk
  // series holds several segments back to back). Fewer than segmentSize bytes
  // from offset on are reported and change nothing.
  void insertInfo(unsigned short segment, const libkorvet::DBuffer& buffer, unsigned int offset);
  // Same, from plain memory of exactly segmentSize bytes.
  void insertInfo(unsigned short segment, const unsigned char* bytes);

  void setEDCOverwrite(bool on) { edcOverwrite = on; }
  bool getEDCOverwrite() const { return edcOverwrite; }

  // Flag queries, mostly for diagnostics and tests. k is a map-wide speck.
  bool isFlushPending(unsigned int speck) const;
  bool isFresh(unsigned int speck) const;

  // Predictive mode (client only; fatal on a server). Each of the three
  // accessors activates it first.
  void activateDeadReckoning();
  bool isPredictive() const { return predictive; }
  unsigned char getServerValue(unsigned int index);
  void enableUpdates(unsigned int index);
  void preventUpdates(unsigned int index);
  bool updatesAllowed(unsigned int index) const;

  // Takes every byte of another map of the same geometry and size and, when
  // both are client maps, its fresh marks; the cached CRCs come along. The
  // change callback is not called (whoever shows the bytes already shows
  // them). A map of another geometry or size is fatal.
  void copyFrom(const SyncDataMap& other);

  // Frees every segment and flag; the map is empty afterwards.
  void clearMap();

  // Bytes of heap the map holds for its bytes, flags and segment records
  // (capacity, not just size), for measuring its overhead.
  std::size_t memoryUsage() const;

  static int getNumInstances();

 private:
  // A packed bit vector of 64-bit words with a fast scan for set bits.
  class Bits {
   public:
    Bits() : count(0) {}
    std::size_t size() const { return count; }
    void resize(std::size_t newCount, bool value);
    bool get(std::size_t i) const { return (words[i >> 6] >> (i & 63)) & 1u; }
    void set(std::size_t i) { words[i >> 6] |= std::uint64_t(1) << (i & 63); }
    void reset(std::size_t i) { words[i >> 6] &= ~(std::uint64_t(1) << (i & 63)); }
    // Clears bits [first, last).
    void resetRange(std::size_t first, std::size_t last);
    // The first set bit in [first, last), or last when there is none.
    std::size_t findSet(std::size_t first, std::size_t last) const;
    void clear();
    std::size_t capacityBytes() const { return words.capacity() * sizeof(std::uint64_t); }

   private:
    std::vector<std::uint64_t> words;
    std::size_t count;
  };

  SyncDataMap(const SyncDataMap&) = delete;
  SyncDataMap& operator=(const SyncDataMap&) = delete;

  void addSegment();
  void checkIndex(unsigned int index, const char* where) const;
  void checkSegment(unsigned short segment, const char* where) const;
  void markCRC(unsigned short segment);
  // Writes one byte received from the server, honouring predictive mode.
  void applyServerByte(unsigned int index, unsigned char value);
  void writeByte(unsigned int index, unsigned char value);
  // setByte once the index is known to lie inside the map.
  void storeByte(unsigned int index, unsigned char value);
  // setBytes within one segment, reported through rangeCallback.
  void storeRun(unsigned int segment, unsigned int offset, const unsigned char* values, unsigned int count);

  // One block of segmentSize bytes per segment, in segment order.
  std::vector<std::unique_ptr<unsigned char[]>> blocks;
  Bits flushSpecks;     // server: changed since last taken into a flush
  Bits updatesEnabled;  // predictive mode: server values may be shown
  Bits freshSpecks;     // client: skip once in the next repair
  std::vector<unsigned char> serverValues;  // predictive mode: last server value
  std::vector<std::unique_ptr<SyncMapSegment>> segments;
  SyncSettings* settings;
  unsigned int dataSize;
  unsigned int totalSpecks;
  unsigned short numSegments;
  // Geometry and role fixed when the first segment was created.
  unsigned short segmentSize;
  unsigned short speckSize;
  unsigned short segmentSpecks;
  bool isServer;
  bool predictive;
  bool edcOverwrite;
};

}  // namespace libksync

#endif  // SYNC_SYNCDATAMAP_H

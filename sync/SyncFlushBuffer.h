#ifndef SYNC_SYNCFLUSHBUFFER_H
#define SYNC_SYNCFLUSHBUFFER_H

// SyncFlushBuffer: the specks one flush period collected (segment records in
// segment order, each: segment u16, count u16, count x (speck index u16,
// speckSize bytes)), shared by every client of the period. Each client takes
// its own slice with extractMessage, which builds the whole FLSH message
// (kind, compression flag, payload) within that client's budget and leaves
// the records in place for the next client. Lives on the stack of the
// server's flush tick.

#include <string>
#include <vector>

#include "DBuffer.h"

namespace libksync {

class SyncSettings;

class SyncFlushBuffer {
 public:
  // Requires: settings outlives the buffer.
  explicit SyncFlushBuffer(SyncSettings* settings);
  ~SyncFlushBuffer();

  // Takes ownership of one segment record and counts its length. A record
  // that would take size() above 65535, or that is shorter than a record
  // header, is a programming error and fatal.
  void addSegment(libkorvet::DBuffer* record);

  // FLSH header bytes (2) plus every record's length.
  unsigned short size() const { return bufferSize; }
  // What the last extractMessage left out: size() minus the message length.
  unsigned short getUnsentBytes() const { return unsentBytes; }
  unsigned int numRecords() const { return static_cast<unsigned int>(records.size()); }
  const libkorvet::DBuffer& getRecord(unsigned int i) const;

  // Builds both forms of this client's FLSH: whole records while they fit in
  // budget - 1 bytes of payload, then as many whole entries of the next
  // record as fit; the message is at most budget + 1 bytes. Returns true when
  // the compressed form is shorter (and is the one to send). When not even
  // one entry fits, both outputs are left empty: nothing to send.
  bool extractMessage(unsigned short budget, libkorvet::DBuffer& uncompressed, libkorvet::DBuffer& compressed);

  static int getNumInstances();

 private:
  SyncFlushBuffer(const SyncFlushBuffer&) = delete;
  SyncFlushBuffer& operator=(const SyncFlushBuffer&) = delete;

  std::vector<libkorvet::DBuffer*> records;
  SyncSettings* settings;
  unsigned short bufferSize;
  unsigned short unsentBytes;

  // Clients with the same budget get the same slice; the last compression is
  // kept so it is not repeated for each of them.
  bool cacheValid;
  unsigned int cachedPayloadSize;
  bool cachedCompressedBetter;
  libkorvet::DBuffer cachedCompressed;
};

}  // namespace libksync

#endif  // SYNC_SYNCFLUSHBUFFER_H

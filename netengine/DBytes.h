#ifndef NETENGINE_DBYTES_H
#define NETENGINE_DBYTES_H

// DBytes: the chunked byte store under every buffer of the network engine.
// Bytes live in 4096-byte chunks so both ends can grow and the front can be
// consumed without moving data; the owner is the only user (no locking).
// Requires: indexes passed in are inside the store; misuse is fatal.

#include <deque>
#include <vector>

#include <boost/asio/buffer.hpp>

namespace libkorvet {

class DBufferIter;

class DBytes {
 public:
  static constexpr unsigned int ARRAY_SIZE = 4096;

  DBytes();
  // A copy holds the same bytes but not the chunk layout: it always has at
  // least two chunks, the first one empty.
  DBytes(const DBytes& other);
  DBytes& operator=(const DBytes& other);
  // Moving hands over the chunks; the source is left empty (or, for
  // assignment, with the target's former bytes).
  DBytes(DBytes&& other);
  DBytes& operator=(DBytes&& other);
  virtual ~DBytes();

  unsigned int size() const;
  // Frees every chunk and keeps one new empty chunk.
  void clear();

  unsigned char getByte(long index) const;
  void setByte(long index, unsigned char b);

  void appendByte(unsigned char b);
  void insertByte(unsigned char b);
  // Returns the number of bytes added (always length; anything else is fatal).
  long appendArray(const unsigned char* data, long length);
  void append(const DBytes& other);
  // Appends length bytes of other starting at its byte index.
  void append(const DBytes& other, long index, long length);

  // Removes numRemovals bytes from the front; removing exactly all is fine,
  // removing more empties the store and is then fatal.
  void removeFirst(long numRemovals);

  // The first min(maxBytes, size()) bytes as read-only pieces pointing into
  // the chunks (no copy). The store must not change while they are in use.
  std::vector<boost::asio::const_buffer> getSendBuffers(long maxBytes) const;

  // Maps a byte index to chunk and offset; indexes outside the store are fatal.
  void calcIndexes(long index, unsigned int& arrayIndex, unsigned int& byteIndex) const;
  // Appends a new empty last chunk.
  void addElement();

  // The store is the one class that answers this diagnostic with 0.
  static int getNumInstances() { return 0; }

 protected:
  friend class DBufferIter;

  // Used when one chunk is left holding bytes at its start: drops its first
  // numRemovals bytes and moves the rest to the chunk's end.
  void convertLastToFirst(unsigned int numRemovals);

  std::deque<unsigned char*> byteData;
  unsigned short startFilledBytes;
  unsigned short endFilledBytes;
};

}  // namespace libkorvet

#endif  // NETENGINE_DBYTES_H

#ifndef NETENGINE_DBUFFER_H
#define NETENGINE_DBUFFER_H

// DBuffer: the byte buffer every message is built in and parsed from. All
// integers travel most significant byte first (1, 2 or 4 bytes, no padding,
// no tags); strings travel as raw bytes. Also CRC-32 (IEEE) and zlib of the
// whole contents. DBufferIter is a read cursor over any DBytes.

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>

#include "DBytes.h"
#include "DEngine.h"

namespace libkorvet {

class DBuffer : public DBytes {
 public:
  // Decompressed contents larger than this are refused, so a small hostile
  // stream cannot make the receiver allocate without limit.
  static constexpr unsigned int MAX_INFLATED_SIZE = 4u * 1024u * 1024u;

  DBuffer();
  DBuffer(const DBuffer& other);
  DBuffer& operator=(const DBuffer& other);
  DBuffer(DBuffer&& other);
  DBuffer& operator=(DBuffer&& other);
  ~DBuffer() override;

  // The wire types: unsigned char, unsigned short, int, unsigned int.
  // Each returns the number of bytes written.
  template <typename T>
  unsigned int appendVariable(T value);
  // Prepends, so that the buffer then starts with the value's most
  // significant byte.
  template <typename T>
  unsigned int insertVariable(T value);
  // Reads sizeof(T) bytes at index without removing them; out of bounds is fatal.
  template <typename T>
  void extractVariable(long index, T& out) const;

  // Appends every byte of s (embedded zero bytes included); returns their number.
  unsigned int appendString(const std::string& s);
  std::string toString() const;

  // CRC-32 of all bytes (0 for an empty buffer).
  unsigned int crc32() const;
  // Continues a CRC-32 over more bytes; start with crc = 0.
  static unsigned int crc32Update(unsigned int crc, const unsigned char* data, std::size_t length);

  // zlib stream of the whole contents; empty on failure (reason in getErrMsg()).
  DBuffer compress(int level);
  // Inflated contents of the zlib stream filling this buffer; empty on
  // failure, including when the result would exceed maxSize bytes.
  DBuffer decompress(unsigned int maxSize = MAX_INFLATED_SIZE);

  std::string getErrMsg() const;

  // Builds (once) and returns the most-significant-bit-first table of 256 entries.
  static const unsigned int* crcInit();
  // Bit reversal of the low `bits` bits of value.
  static unsigned int reflect(unsigned int value, int bits);

  static const unsigned int* const crcTable;

  static int getNumInstances() { return -1; }

 private:
  // Feeds this buffer's chunks through zlib into a new buffer (DBuffer.cpp).
  class ZlibPump;

  template <typename T>
  static void checkWireType() {
    static_assert(std::is_same<T, unsigned char>::value || std::is_same<T, unsigned short>::value ||
                      std::is_same<T, int>::value || std::is_same<T, unsigned int>::value,
                  "only unsigned char, unsigned short, int and unsigned int go on the wire");
  }

  std::string errMsg;
};

class DBufferIter {
 public:
  DBufferIter();

  // Sets the store and moves to index 0.
  void setBuffer(const DBytes* b);
  void setIndex(long index);
  const unsigned char* value() const { return array + byteIndex; }
  void next() {
    if (++byteIndex > maxArrayIndex) nextArray();
  }
  bool finished() const { return isDone; }

 private:
  void nextArray();

  const DBytes* buffer;
  unsigned char* array;
  unsigned int arrayIndex;
  unsigned int byteIndex;
  unsigned int maxArrayIndex;
  bool isDone;
};

template <typename T>
unsigned int DBuffer::appendVariable(T value) {
  checkWireType<T>();
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  int code = DEngine::getEndianness();
  if (code == 2) {
    for (std::size_t i = sizeof(T); i > 0; --i) appendByte(bytes[i - 1]);
  } else if (code == 1) {
    for (std::size_t i = 0; i < sizeof(T); ++i) appendByte(bytes[i]);
  } else {
    DEngine::fatalError("DBytes::appendVariable(): unknown endianness");
  }
  return sizeof(T);
}

template <typename T>
unsigned int DBuffer::insertVariable(T value) {
  checkWireType<T>();
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  int code = DEngine::getEndianness();
  // Prepending goes least significant byte first, so the most significant
  // one ends up at the front.
  if (code == 2) {
    for (std::size_t i = 0; i < sizeof(T); ++i) insertByte(bytes[i]);
  } else if (code == 1) {
    for (std::size_t i = sizeof(T); i > 0; --i) insertByte(bytes[i - 1]);
  } else {
    DEngine::fatalError("DBuffer::insertVariable(): unknown endianness");
  }
  return sizeof(T);
}

template <typename T>
void DBuffer::extractVariable(long index, T& out) const {
  checkWireType<T>();
  if (index < 0 || static_cast<unsigned long>(index) + sizeof(T) > size())
    DEngine::fatalError("DBuffer::extractVariable(): out of bounds");
  int code = DEngine::getEndianness();
  if (code != 1 && code != 2) DEngine::fatalError("DBuffer::extractVariable(): unknown endianness");
  unsigned char bytes[sizeof(T)];
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    unsigned char b = getByte(index + static_cast<long>(i));
    // Wire byte i has significance sizeof(T) - 1 - i.
    if (code == 2)
      bytes[sizeof(T) - 1 - i] = b;
    else
      bytes[i] = b;
  }
  std::memcpy(&out, bytes, sizeof(T));
}

}  // namespace libkorvet

#endif  // NETENGINE_DBUFFER_H

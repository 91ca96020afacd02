#include "DBytes.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "DEngine.h"

namespace libkorvet {

namespace {

[[noreturn]] void fatal(const std::string& text, long number) {
  DEngine::addFatal(text);
  DEngine::fatalError(DEngine::intToStr(number));
}

}  // namespace

DBytes::DBytes() : startFilledBytes(0), endFilledBytes(0) { byteData.push_back(new unsigned char[ARRAY_SIZE]); }

DBytes::DBytes(const DBytes& other) : startFilledBytes(0), endFilledBytes(0) {
  byteData.push_back(new unsigned char[ARRAY_SIZE]);
  addElement();
  append(other);
}

DBytes& DBytes::operator=(const DBytes& other) {
  if (this == &other) return *this;
  clear();
  addElement();
  append(other);
  return *this;
}

DBytes::DBytes(DBytes&& other) : startFilledBytes(0), endFilledBytes(0) {
  byteData.push_back(new unsigned char[ARRAY_SIZE]);
  *this = std::move(other);
}

DBytes& DBytes::operator=(DBytes&& other) {
  byteData.swap(other.byteData);
  std::swap(startFilledBytes, other.startFilledBytes);
  std::swap(endFilledBytes, other.endFilledBytes);
  return *this;
}

DBytes::~DBytes() {
  for (unsigned char* chunk : byteData) delete[] chunk;
}

unsigned int DBytes::size() const {
  if (byteData.size() < 2) return startFilledBytes + endFilledBytes;
  return static_cast<unsigned int>(byteData.size() - 2) * ARRAY_SIZE + startFilledBytes + endFilledBytes;
}

void DBytes::clear() {
  for (unsigned char* chunk : byteData) delete[] chunk;
  byteData.clear();
  byteData.push_back(new unsigned char[ARRAY_SIZE]);
  startFilledBytes = 0;
  endFilledBytes = 0;
}

void DBytes::addElement() {
  byteData.push_back(new unsigned char[ARRAY_SIZE]);
  endFilledBytes = 0;
}

void DBytes::calcIndexes(long index, unsigned int& arrayIndex, unsigned int& byteIndex) const {
  // A negative index or one past the last chunk would read outside the
  // chunk list, so both are refused along with the in-chunk checks.
  if (index < 0) fatal("DBytes::calcIndexes(): Invalid array index (start): ", index);
  unsigned long p = static_cast<unsigned long>(index) + ARRAY_SIZE - startFilledBytes;
  unsigned long chunk = p / ARRAY_SIZE;
  unsigned int offset = static_cast<unsigned int>(p % ARRAY_SIZE);
  if (chunk >= byteData.size()) fatal("DBytes::calcIndexes(): Invalid array index (end): ", offset);
  if (chunk == byteData.size() - 1) {
    if (byteData.size() == 1) {
      if (offset < ARRAY_SIZE - startFilledBytes)
        fatal("DBytes::calcIndexes(): Invalid array index (start): ", offset);
    } else if (offset >= endFilledBytes) {
      fatal("DBytes::calcIndexes(): Invalid array index (end): ", offset);
    }
  }
  arrayIndex = static_cast<unsigned int>(chunk);
  byteIndex = offset;
}

unsigned char DBytes::getByte(long index) const {
  unsigned int a, b;
  calcIndexes(index, a, b);
  return byteData[a][b];
}

void DBytes::setByte(long index, unsigned char value) {
  unsigned int a, b;
  calcIndexes(index, a, b);
  byteData[a][b] = value;
}

void DBytes::appendByte(unsigned char b) {
  // With a single chunk that chunk is the first one, whose bytes sit at its
  // end, so appended bytes need a last chunk of their own.
  if (endFilledBytes == ARRAY_SIZE || byteData.size() == 1) addElement();
  byteData.back()[endFilledBytes++] = b;
}

void DBytes::insertByte(unsigned char b) {
  if (startFilledBytes == ARRAY_SIZE) {
    if (byteData.size() == 1) endFilledBytes = ARRAY_SIZE;
    byteData.push_front(new unsigned char[ARRAY_SIZE]);
    startFilledBytes = 0;
  }
  byteData.front()[ARRAY_SIZE - 1 - startFilledBytes] = b;
  ++startFilledBytes;
}

long DBytes::appendArray(const unsigned char* data, long length) {
  if (byteData.size() == 1) addElement();
  long copied = 0;
  while (copied < length) {
    if (endFilledBytes == ARRAY_SIZE) addElement();
    long k = std::min<long>(ARRAY_SIZE - endFilledBytes, length - copied);
    std::memcpy(byteData.back() + endFilledBytes, data + copied, static_cast<std::size_t>(k));
    endFilledBytes = static_cast<unsigned short>(endFilledBytes + k);
    copied += k;
  }
  if (copied != length) {
    DEngine::addFatal("DBytes::appendArray(): copied " + DEngine::intToStr(copied));
    DEngine::fatalError(" out of " + DEngine::intToStr(length));
  }
  return copied;
}

void DBytes::append(const DBytes& other) { append(other, 0, other.size()); }

void DBytes::append(const DBytes& other, long index, long length) {
  if (length == 0) return;
  if (length < 0) fatal("DBytes::append(): length is ", length);
  if (index < 0) fatal("DBytes::append(): index is ", index);
  if (static_cast<unsigned long>(index) + static_cast<unsigned long>(length) > other.size()) {
    DEngine::addFatal("DBytes::append(): index + length is " + DEngine::intToStr(index + length));
    DEngine::fatalError(", size is " + DEngine::intToStr(other.size()));
  }
  if (&other == this) {
    // Appending to itself would grow the source while it is read.
    DBytes copy(other);
    append(copy, index, length);
    return;
  }
  unsigned int srcChunk, srcOffset;
  other.calcIndexes(index, srcChunk, srcOffset);
  if (byteData.size() == 1) addElement();
  long remaining = length;
  const std::size_t srcChunks = other.byteData.size();
  while (remaining > 0 && srcChunk < srcChunks) {
    unsigned int srcEnd =
        (srcChunks >= 2 && srcChunk == srcChunks - 1) ? other.endFilledBytes : ARRAY_SIZE;
    if (endFilledBytes == ARRAY_SIZE) addElement();
    long k = std::min<long>({static_cast<long>(srcEnd - srcOffset), remaining,
                             static_cast<long>(ARRAY_SIZE - endFilledBytes)});
    std::memcpy(byteData.back() + endFilledBytes, other.byteData[srcChunk] + srcOffset,
                static_cast<std::size_t>(k));
    endFilledBytes = static_cast<unsigned short>(endFilledBytes + k);
    remaining -= k;
    srcOffset += static_cast<unsigned int>(k);
    if (srcOffset >= srcEnd) {
      ++srcChunk;
      srcOffset = 0;
    }
  }
  if (remaining > 0) fatal("DBytes::append(): bytes remaining to append: ", remaining);
}

void DBytes::removeFirst(long numRemovals) {
  // A negative count would grow the front with unwritten bytes.
  if (numRemovals < 0) fatal("DBytes::removeFirst(): numRemovals is negative: ", numRemovals);
  const long s0 = size();
  if (numRemovals >= s0) {
    clear();
  } else if (numRemovals < startFilledBytes) {
    startFilledBytes = static_cast<unsigned short>(startFilledBytes - numRemovals);
  } else {
    long rest = numRemovals - startFilledBytes;
    startFilledBytes = 0;
    if (rest >= static_cast<long>(ARRAY_SIZE)) {
      // Dropping a chunk leaves the next one counted as empty, which
      // accounts for the last whole chunk of the removal.
      long whole = rest / ARRAY_SIZE;
      for (long i = 0; i < whole; ++i) {
        delete[] byteData.front();
        byteData.pop_front();
        rest -= ARRAY_SIZE;
      }
    }
    if (rest > 0) {
      if (rest >= static_cast<long>(ARRAY_SIZE)) DEngine::fatalError("DBytes::removeFirst(): numRemovals > ARRAY_SIZE");
      if (byteData.size() <= 1) DEngine::fatalError("DBytes::removeFirst(): byteData.size() <= 1");
      if (startFilledBytes != 0) DEngine::fatalError("DBytes::removeFirst(): startFilledBytes == 0");
      delete[] byteData.front();
      byteData.pop_front();
      if (byteData.size() == 1) {
        if (rest > endFilledBytes) DEngine::fatalError("DBytes::removeFirst(): numRemovals > endFilledBytes");
        convertLastToFirst(static_cast<unsigned int>(rest));
      } else {
        startFilledBytes = static_cast<unsigned short>(ARRAY_SIZE - rest);
      }
    }
  }
  if (static_cast<long>(size()) != s0 - numRemovals) {
    DEngine::addFatal("DBytes::removeFirst(): removed wrong number of bytes! size: " + DEngine::intToStr(size()));
    DEngine::fatalError(" expected size: " + DEngine::intToStr(s0 - numRemovals));
  }
}

void DBytes::convertLastToFirst(unsigned int numRemovals) {
  unsigned int kept = endFilledBytes - numRemovals;
  if (kept > ARRAY_SIZE - numRemovals) DEngine::fatalError("DBytes::convertLastToFirst(): startFilledBytes too large");
  unsigned char* chunk = byteData.back();
  std::memmove(chunk + ARRAY_SIZE - kept, chunk + numRemovals, kept);
  startFilledBytes = static_cast<unsigned short>(kept);
  endFilledBytes = 0;
}

std::vector<boost::asio::const_buffer> DBytes::getSendBuffers(long maxBytes) const {
  std::vector<boost::asio::const_buffer> pieces;
  long left = std::max<long>(maxBytes, 0);
  if (startFilledBytes > 0 && left > 0) {
    long k = std::min<long>(left, startFilledBytes);
    pieces.emplace_back(byteData.front() + ARRAY_SIZE - startFilledBytes, static_cast<std::size_t>(k));
    left -= k;
  }
  for (std::size_t i = 1; i + 1 < byteData.size() && left > 0; ++i) {
    long k = std::min<long>(left, ARRAY_SIZE);
    pieces.emplace_back(byteData[i], static_cast<std::size_t>(k));
    left -= k;
  }
  if (byteData.size() >= 2 && endFilledBytes > 0 && left > 0) {
    long k = std::min<long>(left, endFilledBytes);
    pieces.emplace_back(byteData.back(), static_cast<std::size_t>(k));
  }
  return pieces;
}

}  // namespace libkorvet

#include "SyncDataMap.h"

#include <algorithm>
#include <cstring>

#include "DBuffer.h"
#include "DEngine.h"
#include "SyncFlushBuffer.h"
#include "SyncMapSegment.h"
#include "SyncMessages.h"
#include "SyncSettings.h"

using libkorvet::DBuffer;
using libkorvet::DBufferIter;
using libkorvet::DEngine;

namespace libksync {

// ---------------------------------------------------------------------------
// Bits

void SyncDataMap::Bits::resize(std::size_t newCount, bool value) {
  std::size_t oldCount = count;
  std::size_t newWords = (newCount + 63) / 64;
  // Grow by a quarter rather than doubling: the vectors grow a segment at a
  // time, and a doubled capacity would cost up to twice the flags' size.
  if (newWords > words.capacity()) words.reserve(std::max(newWords, words.capacity() + words.capacity() / 4));
  words.resize(newWords, 0);
  count = newCount;
  if (newCount > oldCount && value) {
    for (std::size_t i = oldCount; i < newCount; ++i) set(i);
  } else if (newCount < oldCount && (newCount & 63) != 0) {
    // Keep the bits past the end clear so a later growth starts from false.
    words[newCount >> 6] &= (std::uint64_t(1) << (newCount & 63)) - 1;
  }
}

void SyncDataMap::Bits::resetRange(std::size_t first, std::size_t last) {
  while (first < last && (first & 63) != 0) reset(first++);
  while (first + 64 <= last) {
    words[first >> 6] = 0;
    first += 64;
  }
  while (first < last) reset(first++);
}

std::size_t SyncDataMap::Bits::findSet(std::size_t first, std::size_t last) const {
  while (first < last) {
    std::uint64_t word = words[first >> 6] >> (first & 63);
    if (word != 0) {
      std::size_t found = first + static_cast<std::size_t>(__builtin_ctzll(word));
      return found < last ? found : last;
    }
    first = (first | 63) + 1;
  }
  return last;
}

void SyncDataMap::Bits::clear() {
  std::vector<std::uint64_t>().swap(words);
  count = 0;
}

// ---------------------------------------------------------------------------
// [SECTION] building the map

SyncDataMap::SyncDataMap(SyncSettings* newSettings)
    : changeCallback(nullptr),
      rangeCallback(nullptr),
      settings(newSettings),
      dataSize(0),
      totalSpecks(0),
      numSegments(0),
      segmentSize(newSettings->getSegmentSize()),
      speckSize(newSettings->getSpeckSize()),
      segmentSpecks(newSettings->getSegmentSpecks()),
      isServer(newSettings->getIsServer()),
      predictive(false),
      edcOverwrite(false) {}

SyncDataMap::~SyncDataMap() { clearMap(); }

void SyncDataMap::addData(unsigned int numBytes) {
  if (numBytes == 0) return;
  // Called once per allocated byte: growth inside the last segment is the
  // common case and needs no division.
  if (numSegments > 0 && std::uint64_t(dataSize) + numBytes <= std::uint64_t(numSegments) * segmentSize) {
    dataSize += numBytes;
    return;
  }
  if (numSegments == 0) {
    // The owner forbids geometry changes once data exists; reading it here,
    // at the first byte, fixes the layout of every block that follows.
    segmentSize = settings->getSegmentSize();
    speckSize = settings->getSpeckSize();
    segmentSpecks = settings->getSegmentSpecks();
    isServer = settings->getIsServer();
  }
  std::uint64_t newSize = std::uint64_t(dataSize) + numBytes;
  std::uint64_t neededSegments = (newSize + segmentSize - 1) / segmentSize;
  if (neededSegments > SyncSettings::MAX_SEGMENTS) {
    DEngine::addFatal("SyncDataMap::addData(): the map can hold at most ");
    DEngine::fatalError(DEngine::intToStr(SyncSettings::MAX_SEGMENTS) + " segments");
  }
  dataSize = static_cast<unsigned int>(newSize);
  while (numSegments < neededSegments) addSegment();
}

void SyncDataMap::addSegment() {
  // Value-initialised: a new segment reads as zeros.
  blocks.emplace_back(new unsigned char[segmentSize]());
  segments.emplace_back(new SyncMapSegment());
  ++numSegments;
  totalSpecks = static_cast<unsigned int>(segmentSpecks) * numSegments;
  if (isServer)
    flushSpecks.resize(totalSpecks, false);
  else
    freshSpecks.resize(totalSpecks, false);
  if (predictive) {
    std::size_t bytes = std::size_t(numSegments) * segmentSize;
    updatesEnabled.resize(bytes, true);
    serverValues.resize(bytes, 1);
  }
}

void SyncDataMap::initialize() {
  // The blocks already hold the padding zeros; only the length changes.
  dataSize = static_cast<unsigned int>(numSegments) * segmentSize;
}

void SyncDataMap::clearMap() {
  blocks.clear();
  blocks.shrink_to_fit();
  segments.clear();
  segments.shrink_to_fit();
  flushSpecks.clear();
  updatesEnabled.clear();
  freshSpecks.clear();
  std::vector<unsigned char>().swap(serverValues);
  dataSize = 0;
  totalSpecks = 0;
  numSegments = 0;
  predictive = false;
}

void SyncDataMap::copyFrom(const SyncDataMap& other) {
  if (other.numSegments != numSegments || other.segmentSize != segmentSize || other.speckSize != speckSize) {
    DEngine::addFatal("SyncDataMap::copyFrom(): a map of " + DEngine::intToStr(other.numSegments));
    DEngine::fatalError(" segments does not fit one of " + DEngine::intToStr(numSegments));
  }
  for (unsigned short s = 0; s < numSegments; ++s) {
    std::memcpy(blocks[s].get(), other.blocks[s].get(), segmentSize);
    SyncMapSegment& record = *segments[s];
    const SyncMapSegment& theirs = *other.segments[s];
    record.markChanged();
    if (!theirs.getCRCChanged()) {
      record.setCRC32(theirs.getCRC32());
      record.setCRCChanged(false);
    }
  }
  if (!isServer && !other.isServer)
    for (std::size_t k = other.freshSpecks.findSet(0, totalSpecks); k < totalSpecks;
         k = other.freshSpecks.findSet(k + 1, totalSpecks))
      freshSpecks.set(k);
}

std::size_t SyncDataMap::memoryUsage() const {
  return std::size_t(numSegments) * segmentSize + blocks.capacity() * sizeof(blocks[0]) +
         segments.capacity() * sizeof(segments[0]) + std::size_t(numSegments) * sizeof(SyncMapSegment) +
         flushSpecks.capacityBytes() + updatesEnabled.capacityBytes() + freshSpecks.capacityBytes() +
         serverValues.capacity();
}

int SyncDataMap::getNumInstances() { return -1; }

// ---------------------------------------------------------------------------
// [SECTION] byte access

void SyncDataMap::checkIndex(unsigned int index, const char* where) const {
  if (index >= dataSize) {
    DEngine::addFatal(std::string("SyncDataMap::") + where + "(): index " + DEngine::intToStr(index));
    DEngine::fatalError(" is outside the map of " + DEngine::intToStr(dataSize) + " bytes");
  }
}

void SyncDataMap::checkSegment(unsigned short segment, const char* where) const {
  if (segment >= numSegments) {
    DEngine::addFatal(std::string("SyncDataMap::") + where + "(): segment " + DEngine::intToStr(segment));
    DEngine::fatalError(" is outside the map of " + DEngine::intToStr(numSegments) + " segments");
  }
}

unsigned char SyncDataMap::getByte(unsigned int index) const {
  checkIndex(index, "getByte");
  return blocks[index / segmentSize][index % segmentSize];
}

void SyncDataMap::setByte(unsigned int index, unsigned char value) {
  checkIndex(index, "setByte");
  storeByte(index, value);
}

void SyncDataMap::setBytes(unsigned int index, const unsigned char* values, unsigned int count) {
  if (count == 0) return;
  checkIndex(index, "setBytes");
  // A run past the end is fatal, naming the first index outside the map.
  if (count > dataSize - index) checkIndex(dataSize, "setBytes");
  if (!rangeCallback) {
    for (unsigned int i = 0; i < count; ++i) storeByte(index + i, values[i]);
    return;
  }
  for (unsigned int done = 0; done < count;) {
    unsigned int at = index + done;
    unsigned int offset = at % segmentSize;
    unsigned int n = std::min<unsigned int>(count - done, segmentSize - offset);
    storeRun(at / segmentSize, offset, values + done, n);
    done += n;
  }
}

void SyncDataMap::storeRun(unsigned int segment, unsigned int offset, const unsigned char* values, unsigned int count) {
  unsigned char* bytes = blocks[segment].get() + offset;
  const unsigned int base = segment * segmentSize + offset;
  unsigned int first = 0;
  while (first < count && bytes[first] == values[first]) ++first;
  if (first == count) return;
  unsigned int end = count;
  while (bytes[end - 1] == values[end - 1]) --end;
  if (isServer || !edcOverwrite) {
    // Only the bytes that change mark their specks, as setByte would.
    Bits& marks = isServer ? flushSpecks : freshSpecks;
    for (unsigned int i = first; i < end; ++i)
      if (bytes[i] != values[i]) marks.set((base + i) / speckSize);
  }
  std::memcpy(bytes + first, values + first, end - first);
  if (isServer) segments[segment]->setNeedsFlushing(true);
  segments[segment]->markChanged();
  rangeCallback(*this, base + first, end - first);
}

void SyncDataMap::storeByte(unsigned int index, unsigned char value) {
  unsigned int segment = index / segmentSize;
  unsigned char& byte = blocks[segment][index % segmentSize];
  if (byte == value) return;
  unsigned int speck = index / speckSize;
  if (isServer) {
    segments[segment]->setNeedsFlushing(true);
    flushSpecks.set(speck);
  }
  byte = value;
  if (changeCallback) changeCallback(index, value);
  segments[segment]->markChanged();
  if (!isServer && !edcOverwrite) freshSpecks.set(speck);
}

const unsigned char* SyncDataMap::segmentData(unsigned short segment) const {
  checkSegment(segment, "segmentData");
  return blocks[segment].get();
}

unsigned int SyncDataMap::getSpeckIndex(unsigned int index) const { return index / speckSize; }

unsigned int SyncDataMap::getSegmentIndex(unsigned int index) const { return index / segmentSize; }

void SyncDataMap::getSegmentBoundaries(unsigned short segment, unsigned int& first, unsigned int& last) const {
  checkSegment(segment, "getSegmentBoundaries");
  first = static_cast<unsigned int>(segment) * segmentSize;
  last = first + segmentSize - 1;
}

const SyncMapSegment& SyncDataMap::getSegment(unsigned short segment) const {
  checkSegment(segment, "getSegment");
  return *segments[segment];
}

bool SyncDataMap::isFlushPending(unsigned int speck) const {
  return speck < flushSpecks.size() && flushSpecks.get(speck);
}

bool SyncDataMap::isFresh(unsigned int speck) const { return speck < freshSpecks.size() && freshSpecks.get(speck); }

// ---------------------------------------------------------------------------
// [SECTION] checksums

void SyncDataMap::extractInfo(unsigned short segment, DBuffer& buffer) const {
  checkSegment(segment, "extractInfo");
  buffer.appendArray(blocks[segment].get(), segmentSize);
}

unsigned int SyncDataMap::getCRC(unsigned short segment) {
  checkSegment(segment, "getCRC");
  SyncMapSegment& record = *segments[segment];
  if (record.getCRCChanged()) {
    // Straight over the segment's block: the same CRC as a buffer holding
    // its bytes, without copying 30000 bytes per query.
    record.setCRC32(DBuffer::crc32Update(0, blocks[segment].get(), segmentSize));
    record.setCRCChanged(false);
  }
  return record.getCRC32();
}

void SyncDataMap::offerCRC(unsigned short segment, unsigned int version, unsigned int crc) {
  checkSegment(segment, "offerCRC");
  SyncMapSegment& record = *segments[segment];
  if (record.getVersion() != version || !record.getCRCChanged()) return;
  record.setCRC32(crc);
  record.setCRCChanged(false);
}

void SyncDataMap::markCRC(unsigned short segment) { segments[segment]->markChanged(); }

// ---------------------------------------------------------------------------
// [SECTION] flush (server)

void SyncDataMap::getFlushData(SyncFlushBuffer& flushBuffer, unsigned short limit) {
  for (unsigned int s = 0; s < numSegments; ++s) {
    if (!segments[s]->getNeedsFlushing()) continue;
    int room = static_cast<int>(limit) - static_cast<int>(SyncMessages::FLSH_RECORD_HEADER) -
               static_cast<int>(flushBuffer.size());
    getSegmentFlush(flushBuffer, static_cast<unsigned short>(s), static_cast<unsigned short>(room > 0 ? room : 0));
  }
}

void SyncDataMap::getSegmentFlush(SyncFlushBuffer& flushBuffer, unsigned short segment,
                                  unsigned short segmentLimit) {
  checkSegment(segment, "getSegmentFlush");
  SyncMapSegment& record = *segments[segment];
  if (!record.getNeedsFlushing()) return;
  record.setNeedsFlushing(false);
  if (!isServer) return;

  std::size_t first = std::size_t(segment) * segmentSpecks;
  std::size_t end = first + segmentSpecks;
  const unsigned char* block = blocks[segment].get();
  std::unique_ptr<DBuffer> out(new DBuffer());
  unsigned int recordSize = 0;
  unsigned short count = 0;
  // Only set bits matter: the record grows only when a speck is taken, so
  // once one does not fit none of the later ones would.
  for (std::size_t k = flushSpecks.findSet(first, end); k < end; k = flushSpecks.findSet(k + 1, end)) {
    if (recordSize + speckSize + 2u > segmentLimit) {
      // The rest of this segment's changes are left to error correction.
      flushSpecks.resetRange(k, end);
      break;
    }
    unsigned short local = static_cast<unsigned short>(k - first);
    out->appendVariable<unsigned short>(local);
    out->appendArray(block + std::size_t(local) * speckSize, speckSize);
    flushSpecks.reset(k);
    recordSize += speckSize + 2u;
    ++count;
  }
  if (count == 0) return;
  out->insertVariable<unsigned short>(count);
  out->insertVariable<unsigned short>(segment);
  flushBuffer.addSegment(out.release());
}

// ---------------------------------------------------------------------------
// [SECTION] repair (client)

void SyncDataMap::writeByte(unsigned int index, unsigned char value) {
  blocks[index / segmentSize][index % segmentSize] = value;
  if (changeCallback) changeCallback(index, value);
}

void SyncDataMap::applyServerByte(unsigned int index, unsigned char value) {
  if (!predictive) {
    writeByte(index, value);
    return;
  }
  if (updatesEnabled.get(index)) writeByte(index, value);
  serverValues[index] = value;
}

void SyncDataMap::applySpeckChange(unsigned short segment, const SyncSpeckChange& change) {
  checkSegment(segment, "applySpeckChange");
  if (change.getIndex() >= segmentSpecks || change.getSize() != speckSize) {
    DEngine::addFatal("SyncDataMap::applySpeckChange(): speck " + DEngine::intToStr(change.getIndex()));
    DEngine::fatalError(" of " + DEngine::intToStr(change.getSize()) + " bytes does not fit the segment");
  }
  markCRC(segment);
  unsigned int speck = static_cast<unsigned int>(segment) * segmentSpecks + change.getIndex();
  unsigned int base = speck * speckSize;
  for (unsigned short i = 0; i < speckSize; ++i) applyServerByte(base + i, change.getByte(i));
  if (!isServer && !edcOverwrite) freshSpecks.set(speck);
}

void SyncDataMap::insertInfo(unsigned short segment, const DBuffer& buffer) {
  if (buffer.size() != segmentSize) {
    settings->reportError("SyncDataMap::insertInfo(): got " + DEngine::intToStr(buffer.size()) +
                          " bytes, should have got " + DEngine::intToStr(segmentSize));
    return;
  }
  insertInfo(segment, buffer, 0);
}

void SyncDataMap::insertInfo(unsigned short segment, const DBuffer& buffer, unsigned int offset) {
  unsigned int available = buffer.size() > offset ? buffer.size() - offset : 0;
  if (available < segmentSize) {
    settings->reportError("SyncDataMap::insertInfo(): got " + DEngine::intToStr(available) +
                          " bytes, should have got " + DEngine::intToStr(segmentSize));
    return;
  }
  checkSegment(segment, "insertInfo");
  std::vector<unsigned char> bytes(segmentSize);
  DBufferIter it;
  it.setBuffer(&buffer);
  it.setIndex(offset);
  for (unsigned int i = 0; i < segmentSize; ++i, it.next()) bytes[i] = *it.value();
  insertInfo(segment, bytes.data());
}

void SyncDataMap::insertInfo(unsigned short segment, const unsigned char* bytes) {
  checkSegment(segment, "insertInfo");
  markCRC(segment);
  std::size_t firstSpeck = std::size_t(segment) * segmentSpecks;
  std::size_t endSpeck = firstSpeck + segmentSpecks;
  unsigned int base = static_cast<unsigned int>(segment) * segmentSize;
  unsigned char* block = blocks[segment].get();
  // Runs of specks between fresh ones are written whole; a speck written
  // since this repair's data was taken wins once.
  std::size_t speck = firstSpeck;
  while (speck < endSpeck) {
    std::size_t fresh = isServer ? endSpeck : freshSpecks.findSet(speck, endSpeck);
    unsigned int from = static_cast<unsigned int>(speck - firstSpeck) * speckSize;
    unsigned int to = static_cast<unsigned int>(fresh - firstSpeck) * speckSize;
    if (predictive) {
      for (unsigned int i = from; i < to; ++i) applyServerByte(base + i, bytes[i]);
    } else if (to > from) {
      std::memcpy(block + from, bytes + from, to - from);
      if (rangeCallback)
        rangeCallback(*this, base + from, to - from);
      else if (changeCallback)
        for (unsigned int i = from; i < to; ++i) changeCallback(base + i, bytes[i]);
    }
    if (fresh == endSpeck) break;
    freshSpecks.reset(fresh);
    speck = fresh + 1;
  }
}

void SyncDataMap::activateDeadReckoning() {
  if (settings->getIsServer() || isServer)
    DEngine::fatalError("Predictive buffers created on the client-side only.");
  if (predictive) return;
  predictive = true;
  std::size_t bytes = std::size_t(numSegments) * segmentSize;
  updatesEnabled.resize(bytes, true);
  // The shown values are deliberately not copied: nothing is known of the
  // server's values yet.
  serverValues.assign(bytes, 1);
}

unsigned char SyncDataMap::getServerValue(unsigned int index) {
  activateDeadReckoning();
  checkIndex(index, "getServerValue");
  return serverValues[index];
}

void SyncDataMap::enableUpdates(unsigned int index) {
  activateDeadReckoning();
  checkIndex(index, "enableUpdates");
  updatesEnabled.set(index);
}

void SyncDataMap::preventUpdates(unsigned int index) {
  activateDeadReckoning();
  checkIndex(index, "preventUpdates");
  updatesEnabled.reset(index);
}

bool SyncDataMap::updatesAllowed(unsigned int index) const {
  checkIndex(index, "updatesAllowed");
  return !predictive || updatesEnabled.get(index);
}

// ---------------------------------------------------------------------------
// SyncSpeckChange

SyncSpeckChange::SyncSpeckChange(unsigned short speckSize) : bytes(speckSize, 0), segmentID(0), index(0) {}

void SyncSpeckChange::setByte(unsigned char value, unsigned short position) {
  if (position >= bytes.size()) {
    DEngine::addFatal("SyncSpeckChange::setByte(): position " + DEngine::intToStr(position));
    DEngine::fatalError(" is outside a speck of " + DEngine::intToStr(static_cast<long>(bytes.size())) + " bytes");
  }
  bytes[position] = value;
}

unsigned char SyncSpeckChange::getByte(unsigned short position) const {
  if (position >= bytes.size()) {
    DEngine::addFatal("SyncSpeckChange::getByte(): position " + DEngine::intToStr(position));
    DEngine::fatalError(" is outside a speck of " + DEngine::intToStr(static_cast<long>(bytes.size())) + " bytes");
  }
  return bytes[position];
}

libkorvet::DBuffer SyncSpeckChange::toDBuffer() const {
  libkorvet::DBuffer out;
  if (!bytes.empty()) out.appendArray(bytes.data(), static_cast<long>(bytes.size()));
  return out;
}

int SyncSpeckChange::getNumInstances() { return -1; }

}  // namespace libksync

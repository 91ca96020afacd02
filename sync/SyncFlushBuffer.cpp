#include "SyncFlushBuffer.h"

#include "DEngine.h"
#include "SyncMessages.h"
#include "SyncSettings.h"

using libkorvet::DBuffer;
using libkorvet::DEngine;

namespace libksync {

SyncFlushBuffer::SyncFlushBuffer(SyncSettings* newSettings)
    : settings(newSettings),
      bufferSize(SyncMessages::FLSH_HEADER_SIZE),
      unsentBytes(0),
      cacheValid(false),
      cachedPayloadSize(0),
      cachedCompressedBetter(false) {}

SyncFlushBuffer::~SyncFlushBuffer() {
  for (DBuffer* record : records) delete record;
}

void SyncFlushBuffer::addSegment(DBuffer* record) {
  if (record == nullptr || record->size() < SyncMessages::FLSH_RECORD_HEADER)
    DEngine::fatalError("SyncFlushBuffer::addSegment(): not a segment record");
  if (static_cast<unsigned int>(bufferSize) + record->size() > 65535u) {
    DEngine::addFatal("SyncFlushBuffer::addSegment(): a record of " + DEngine::intToStr(record->size()));
    DEngine::fatalError(" bytes would take the buffer above 65535 bytes");
  }
  records.push_back(record);
  bufferSize = static_cast<unsigned short>(bufferSize + record->size());
  cacheValid = false;
}

const DBuffer& SyncFlushBuffer::getRecord(unsigned int i) const {
  if (i >= records.size()) DEngine::fatalError("SyncFlushBuffer::getRecord(): no such record");
  return *records[i];
}

bool SyncFlushBuffer::extractMessage(unsigned short budget, DBuffer& uncompressed, DBuffer& compressed) {
  const int entry = settings->getSpeckSize() + static_cast<int>(SyncMessages::FLSH_ENTRY_HEADER);
  const int recordHeader = static_cast<int>(SyncMessages::FLSH_RECORD_HEADER);
  uncompressed.clear();
  compressed.clear();
  // The payload gets budget - 1 bytes, so kind and flag make at most budget + 1.
  int remaining = static_cast<int>(budget) - 1;

  std::size_t next = 0;
  while (next < records.size() && static_cast<int>(records[next]->size()) <= remaining) {
    uncompressed.append(*records[next]);
    remaining -= static_cast<int>(records[next]->size());
    ++next;
  }
  if (next < records.size() && entry + 3 < remaining) {
    // The leading entries of the record that did not fit. It did not fit,
    // so fewer than its count fit here.
    const DBuffer& record = *records[next];
    unsigned short segment = 0;
    record.extractVariable<unsigned short>(0, segment);
    unsigned short n = static_cast<unsigned short>((remaining - recordHeader) / entry);
    uncompressed.appendVariable<unsigned short>(segment);
    uncompressed.appendVariable<unsigned short>(n);
    uncompressed.append(record, recordHeader, static_cast<long>(n) * entry);
  }

  if (uncompressed.size() == 0) {
    // Not even one entry fits this budget (or nothing was collected).
    unsentBytes = static_cast<unsigned short>(bufferSize - SyncMessages::FLSH_HEADER_SIZE);
    return false;
  }

  // A slice is determined by its length (whole records, then a partial one,
  // grow strictly), so clients whose slices are equally long share one
  // compression.
  bool compressedBetter = false;
  if (cacheValid && cachedPayloadSize == uncompressed.size()) {
    compressed = cachedCompressed;
    compressedBetter = cachedCompressedBetter;
  } else {
    compressed = uncompressed.compress(9);
    if (compressed.size() == 0) {
      settings->reportError(uncompressed.getErrMsg());
      compressedBetter = false;
    } else {
      compressedBetter = compressed.size() < uncompressed.size();
    }
    cacheValid = true;
    cachedPayloadSize = uncompressed.size();
    cachedCompressed = compressed;
    cachedCompressedBetter = compressedBetter;
  }

  unsigned char flag = compressedBetter ? SyncMessages::COMPRESSED : SyncMessages::UNCOMPRESSED;
  uncompressed.insertVariable<unsigned char>(flag);
  uncompressed.insertVariable<unsigned char>(SyncMessages::FLSH);
  // A failed compression leaves nothing worth sending in compressed.
  if (compressed.size() != 0) {
    compressed.insertVariable<unsigned char>(flag);
    compressed.insertVariable<unsigned char>(SyncMessages::FLSH);
  }
  unsentBytes = bufferSize > uncompressed.size() ? static_cast<unsigned short>(bufferSize - uncompressed.size()) : 0;
  return compressedBetter;
}

int SyncFlushBuffer::getNumInstances() { return -1; }

}  // namespace libksync

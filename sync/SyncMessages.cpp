#include "SyncMessages.h"

#include <cstdint>

#include "DEngine.h"
#include "SyncSettings.h"
#include "SyncDataMap.h"

using libkorvet::DBuffer;
using libkorvet::DEngine;

namespace libksync {

namespace {

std::string num(unsigned long value) { return DEngine::intToStr(static_cast<long>(value)); }

unsigned short u16At(const DBuffer& b, long index) {
  unsigned short v = 0;
  b.extractVariable<unsigned short>(index, v);
  return v;
}

unsigned int u32At(const DBuffer& b, long index) {
  unsigned int v = 0;
  b.extractVariable<unsigned int>(index, v);
  return v;
}

bool fail(std::string& err, const std::string& text) {
  err = text;
  return false;
}

}  // namespace

bool SyncMessages::takeKind(DBuffer& body, unsigned char& kind) {
  if (body.size() < KIND_SIZE) return false;
  kind = body.getByte(0);
  body.removeFirst(KIND_SIZE);
  return true;
}

// ---------------------------------------------------------------------------
// JOIN / JOIN_ACK

void SyncMessages::buildJoin(DBuffer& out) { out.appendVariable<unsigned char>(JOIN); }

void SyncMessages::buildJoinAck(const SyncJoinAck& ack, DBuffer& out) {
  out.appendVariable<unsigned char>(JOIN_ACK);
  out.appendVariable<unsigned short>(ack.speckSize);
  out.appendVariable<unsigned short>(ack.segmentSize);
  out.appendVariable<unsigned short>(ack.numSegments);
  out.appendVariable<unsigned int>(ack.numBytes);
  out.appendVariable<unsigned int>(ack.bytesUsed);
}

bool SyncMessages::parseJoinAck(const DBuffer& body, SyncJoinAck& ack, std::string& err) {
  if (body.size() != JOIN_ACK_SIZE) return fail(err, "SyncClient note: orphaned " + num(body.size()) + " bytes.");
  unsigned char kind = body.getByte(0);
  if (kind != JOIN_ACK) return fail(err, "SyncClient note: orphaned message type " + num(kind));
  ack.speckSize = u16At(body, 1);
  ack.segmentSize = u16At(body, 3);
  ack.numSegments = u16At(body, 5);
  ack.numBytes = u32At(body, 7);
  ack.bytesUsed = u32At(body, 11);
  return true;
}

bool SyncMessages::checkJoinAck(const SyncJoinAck& ack, const SyncSettings& own, std::string& err) {
  if (ack.speckSize != own.getSpeckSize())
    return fail(err, "Server is using a speck size of " + num(ack.speckSize) + ", ours is " + num(own.getSpeckSize()));
  if (ack.segmentSize != own.getSegmentSize())
    return fail(err, "Server is using a segment size of " + num(ack.segmentSize) + ", ours is " +
                         num(own.getSegmentSize()));
  if (std::uint64_t(ack.segmentSize) * ack.numSegments != ack.numBytes)
    return fail(err, "Invalid Map: Contains " + num(ack.numSegments) + " segments of size " + num(ack.segmentSize) +
                         " but total size is " + num(ack.numBytes));
  if (ack.bytesUsed > ack.numBytes) return fail(err, "Server's number of used bytes exceeds the map size.");
  return true;
}

// ---------------------------------------------------------------------------
// FLSH

bool SyncMessages::takeFlushCompression(DBuffer& rest, bool& compressed, std::string& err) {
  if (rest.size() == 0) return fail(err, "Got a FLSH with no compression byte");
  unsigned char flag = rest.getByte(0);
  if (flag != UNCOMPRESSED && flag != COMPRESSED) return fail(err, "Invalid compression byte in FLSH");
  rest.removeFirst(1);
  compressed = flag == COMPRESSED;
  return true;
}

bool SyncMessages::inflateFlush(DBuffer& payload, DBuffer& inflated, std::string& err, unsigned int maxSize) {
  inflated = payload.decompress(maxSize);
  if (inflated.size() == 0) return fail(err, "Couldn't decompress FLSH: " + payload.getErrMsg());
  return true;
}

bool SyncMessages::takeFlushRecordHeader(DBuffer& payload, unsigned short numSegments, unsigned short segmentSpecks,
                                         unsigned short& segment, unsigned short& count, std::string& err) {
  if (payload.size() < 2) return fail(err, "Got a FLSH with a missing segment index");
  unsigned short seg = u16At(payload, 0);
  if (seg >= numSegments) return fail(err, "Got a FLSH with an invalid segment index");
  if (payload.size() < FLSH_RECORD_HEADER) return fail(err, "Got a FLSH with a missing speck number");
  unsigned short n = u16At(payload, 2);
  if (n == 0 || n > segmentSpecks) return fail(err, "Got a FLSH with an invalid number of specks");
  payload.removeFirst(FLSH_RECORD_HEADER);
  segment = seg;
  count = n;
  return true;
}

bool SyncMessages::takeFlushEntry(DBuffer& payload, unsigned short segmentSpecks, SyncSpeckChange& change,
                                  std::string& err) {
  if (payload.size() < FLSH_ENTRY_HEADER) return fail(err, "Got a FLSH with no speck index");
  unsigned short speck = u16At(payload, 0);
  if (speck >= segmentSpecks) return fail(err, "Got a flush with an invalid speck index");
  unsigned short speckSize = change.getSize();
  if (payload.size() < FLSH_ENTRY_HEADER + speckSize) return fail(err, "Got a FLSH with missing speck bytes");
  for (unsigned short i = 0; i < speckSize; ++i) change.setByte(payload.getByte(FLSH_ENTRY_HEADER + i), i);
  change.setIndex(speck);
  payload.removeFirst(FLSH_ENTRY_HEADER + speckSize);
  return true;
}

// ---------------------------------------------------------------------------
// CRC_QUERY

void SyncMessages::buildCrcQuery(unsigned short firstSegment, const std::vector<unsigned int>& crcs, DBuffer& out) {
  out.appendVariable<unsigned char>(CRC_QUERY);
  out.appendVariable<unsigned short>(firstSegment);
  for (unsigned int crc : crcs) out.appendVariable<unsigned int>(crc);
}

bool SyncMessages::parseCrcQuery(const DBuffer& rest, unsigned short numSegments, SyncCrcQuery& query,
                                 std::string& err) {
  if (rest.size() < 2) return fail(err, "Got a query without an initial segment index.");
  unsigned short first = u16At(rest, 0);
  if (first >= numSegments) return fail(err, "Got a query with an invalid initial segment index.");
  unsigned int left = rest.size() - 2;
  if (left == 0) return fail(err, "Got a query without any CRC data.");
  if (left % CRC_SIZE != 0) return fail(err, "Got a query with an invalid length.");
  unsigned int n = left / CRC_SIZE;
  if (n > numSegments) return fail(err, "Got a query with more CRC values than there are data segments");
  query.firstSegment = first;
  query.crcs.resize(n);
  for (unsigned int i = 0; i < n; ++i) query.crcs[i] = u32At(rest, 2 + static_cast<long>(i) * CRC_SIZE);
  return true;
}

// ---------------------------------------------------------------------------
// CRC_REPLY

void SyncMessages::buildCrcReply(const std::vector<unsigned short>& mismatched, unsigned short nextSegment,
                                 unsigned char compression, unsigned int seriesSize, DBuffer& out) {
  if (mismatched.size() > 255) DEngine::fatalError("SyncMessages::buildCrcReply(): more than 255 mismatches");
  out.appendVariable<unsigned char>(CRC_REPLY);
  out.appendVariable<unsigned char>(static_cast<unsigned char>(mismatched.size()));
  if (mismatched.empty()) {
    out.appendVariable<unsigned short>(nextSegment);
  } else {
    for (unsigned short segment : mismatched) out.appendVariable<unsigned short>(segment);
  }
  out.appendVariable<unsigned char>(compression);
  out.appendVariable<unsigned int>(seriesSize);
}

bool SyncMessages::parseCrcReply(const DBuffer& rest, unsigned short numSegments, unsigned short segmentSize,
                                 SyncCrcReply& reply, std::string& err) {
  if (rest.size() == 0) return fail(err, "Received a CRC Reply without a number of mismatched segments");
  unsigned int m = rest.getByte(0);
  if (m > numSegments) return fail(err, "The server claims that there are more mismatches than segments.");
  long pos = 1;
  std::vector<unsigned short> list;
  unsigned short next = 0;
  if (m > 0) {
    if (rest.size() - pos < 2 * m) return fail(err, "Received a CRC Reply that's missing segment indexes");
    list.resize(m);
    for (unsigned int i = 0; i < m; ++i, pos += 2) {
      list[i] = u16At(rest, pos);
      if (list[i] >= numSegments) return fail(err, "The server sent an out-of-bounds index for a mismatched segment");
    }
  } else {
    if (rest.size() - pos < 2) return fail(err, "Received a CRC Reply that's missing the next segment index to query");
    next = u16At(rest, pos);
    if (next >= numSegments) return fail(err, "Received an out-of-bounds index for the next segment to query");
    pos += 2;
  }
  if (rest.size() - pos != CRC_REPLY_TRAILER) return fail(err, "Received a CRC reply with an invalid length");
  unsigned char compression = rest.getByte(pos);
  if (compression != UNCOMPRESSED && compression != COMPRESSED)
    return fail(err, "Server sent an invalid compression byte in its CRC reply.");
  unsigned int seriesSize = u32At(rest, pos + 1);
  if (m > 0 && seriesSize == 0) return fail(err, "There are mismatched segments, but chunk series size is zero.");
  if (std::uint64_t(seriesSize) > std::uint64_t(m) * segmentSize)
    return fail(err, "Server sent an invalid chunk series size.");
  reply.mismatched.swap(list);
  reply.nextSegment = next;
  reply.compression = compression;
  reply.seriesSize = seriesSize;
  return true;
}

// ---------------------------------------------------------------------------
// CHNK

void SyncMessages::buildChunk(unsigned char number, const DBuffer& series, unsigned int offset, unsigned int length,
                              DBuffer& out) {
  if (length == 0 || std::uint64_t(offset) + length > series.size())
    DEngine::fatalError("SyncMessages::buildChunk(): chunk outside the series");
  out.appendVariable<unsigned char>(CHNK);
  out.appendVariable<unsigned char>(number);
  out.append(series, offset, length);
}

bool SyncMessages::parseChunk(const DBuffer& rest, unsigned char& number, std::string& err) {
  if (rest.size() < 2) return fail(err, "Got a chunk portion too small to contain any data");
  number = rest.getByte(0);
  return true;
}

int SyncMessages::getNumInstances() { return -1; }

}  // namespace libksync

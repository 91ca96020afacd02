#ifndef SYNC_SYNCMESSAGES_H
#define SYNC_SYNCMESSAGES_H

// SyncMessages: the one place that knows the sync protocol's wire layouts.
// Every body travels as a dispatcher message of type 128 with the sync
// object's subtype; its first byte is the kind. Builders append a complete
// body to a buffer; parsers check every length, count and index against what
// remains and against its bound before use, and on a fault return false with
// the protocol's text in err (they never read past the end, never fatal).
// Parsers of the body after the kind byte ("rest") leave it unchanged unless
// they say they consume it. All integers are big-endian (DBuffer variables).
//
//   JOIN       kind
//   JOIN_ACK   kind, speckSize u16, segmentSize u16, numSegments u16,
//              numBytes u32, bytesUsed u32                       (15 bytes)
//   FLSH       kind, compression u8, payload = records (zlib when 1)
//              record: segment u16, count u16, count x (speck u16, speck bytes)
//   CRC_QUERY  kind, firstSegment u16, n x crc u32
//   CRC_REPLY  kind, m u8, (m = 0: nextSegment u16 | m > 0: m x segment u16),
//              compression u8, chunkSeriesSize u32
//   CHNK       kind, chunkNumber u8, data (at least 1 byte)

#include <string>
#include <vector>

#include "DBuffer.h"

namespace libksync {

class SyncSettings;
class SyncSpeckChange;

struct SyncJoinAck {
  unsigned short speckSize;
  unsigned short segmentSize;
  unsigned short numSegments;
  unsigned int numBytes;
  unsigned int bytesUsed;
};

struct SyncCrcQuery {
  unsigned short firstSegment;
  std::vector<unsigned int> crcs;  // of firstSegment, firstSegment + 1, ... wrapping
};

struct SyncCrcReply {
  std::vector<unsigned short> mismatched;  // empty when there were no mismatches
  unsigned short nextSegment;              // only meaningful when mismatched is empty
  unsigned char compression;               // 0 raw series, 1 zlib series
  unsigned int seriesSize;                 // bytes of the chunk series to come
};

class SyncMessages {
 public:
  // Kinds (first body byte).
  static constexpr unsigned char JOIN = 0;
  static constexpr unsigned char JOIN_ACK = 1;
  static constexpr unsigned char FLSH = 2;
  static constexpr unsigned char CRC_QUERY = 3;
  static constexpr unsigned char CRC_REPLY = 4;
  static constexpr unsigned char CHNK = 5;

  // Sizes in bytes.
  static constexpr unsigned int KIND_SIZE = 1;
  static constexpr unsigned int JOIN_SIZE = 1;
  static constexpr unsigned int JOIN_ACK_SIZE = 15;
  static constexpr unsigned int FLSH_HEADER_SIZE = 2;     // kind, compression
  static constexpr unsigned int FLSH_RECORD_HEADER = 4;   // segment, count
  static constexpr unsigned int FLSH_ENTRY_HEADER = 2;    // speck index
  static constexpr unsigned int CRC_QUERY_HEADER = 3;     // kind, firstSegment
  static constexpr unsigned int CRC_SIZE = 4;
  static constexpr unsigned int CRC_REPLY_TRAILER = 5;    // compression, chunkSeriesSize
  static constexpr unsigned int CHNK_HEADER_SIZE = 2;     // kind, chunkNumber
  // Largest body one dispatcher frame carries.
  static constexpr unsigned int MAX_BODY_SIZE = 65536;
  // Largest CHNK body: its layout allows 65535 bytes, one less than a frame.
  static constexpr unsigned int MAX_CHNK_SIZE = 65535;
  // Most series bytes one CHNK carries.
  static constexpr unsigned int MAX_CHUNK_DATA = MAX_CHNK_SIZE - CHNK_HEADER_SIZE;

  // Compression byte values of FLSH and CRC_REPLY.
  static constexpr unsigned char UNCOMPRESSED = 0;
  static constexpr unsigned char COMPRESSED = 1;

  // Removes and returns the kind byte; false when the body is empty.
  static bool takeKind(libkorvet::DBuffer& body, unsigned char& kind);

  // --- JOIN / JOIN_ACK
  static void buildJoin(libkorvet::DBuffer& out);
  static void buildJoinAck(const SyncJoinAck& ack, libkorvet::DBuffer& out);
  // body still starts with its kind byte: checks the length (15) and kind.
  static bool parseJoinAck(const libkorvet::DBuffer& body, SyncJoinAck& ack, std::string& err);
  // Checks a parsed JOIN_ACK against our own geometry: speck size, segment
  // size, numSegments x segmentSize = numBytes, bytesUsed <= numBytes.
  static bool checkJoinAck(const SyncJoinAck& ack, const SyncSettings& own, std::string& err);

  // --- FLSH (the message itself is built by SyncFlushBuffer::extractMessage)
  // Consumes the compression byte of rest and reports it.
  static bool takeFlushCompression(libkorvet::DBuffer& rest, bool& compressed, std::string& err);
  // Inflates a compressed payload; a legitimate one is never larger than a
  // frame, so anything above maxSize is refused as corrupt.
  static bool inflateFlush(libkorvet::DBuffer& payload, libkorvet::DBuffer& inflated, std::string& err,
                           unsigned int maxSize = MAX_BODY_SIZE);
  // Consumes one record header (segment, count) from the front of payload.
  static bool takeFlushRecordHeader(libkorvet::DBuffer& payload, unsigned short numSegments,
                                    unsigned short segmentSpecks, unsigned short& segment,
                                    unsigned short& count, std::string& err);
  // Consumes one entry (speck index and change.getSize() bytes) into change.
  // On failure the change is incomplete and must not be applied.
  static bool takeFlushEntry(libkorvet::DBuffer& payload, unsigned short segmentSpecks, SyncSpeckChange& change,
                             std::string& err);

  // --- CRC_QUERY
  static void buildCrcQuery(unsigned short firstSegment, const std::vector<unsigned int>& crcs,
                            libkorvet::DBuffer& out);
  // rest: the body after the kind byte.
  static bool parseCrcQuery(const libkorvet::DBuffer& rest, unsigned short numSegments, SyncCrcQuery& query,
                            std::string& err);

  // --- CRC_REPLY
  // Requires: at most 255 mismatches.
  static void buildCrcReply(const std::vector<unsigned short>& mismatched, unsigned short nextSegment,
                            unsigned char compression, unsigned int seriesSize, libkorvet::DBuffer& out);
  static bool parseCrcReply(const libkorvet::DBuffer& rest, unsigned short numSegments,
                            unsigned short segmentSize, SyncCrcReply& reply, std::string& err);

  // --- CHNK
  // Appends kind, number and series bytes [offset, offset + length).
  // Requires: length >= 1 and the range inside series.
  static void buildChunk(unsigned char number, const libkorvet::DBuffer& series, unsigned int offset,
                         unsigned int length, libkorvet::DBuffer& out);
  // rest: the body after the kind byte; the data are rest's bytes from index 1.
  static bool parseChunk(const libkorvet::DBuffer& rest, unsigned char& number, std::string& err);

  static int getNumInstances();
};

}  // namespace libksync

#endif  // SYNC_SYNCMESSAGES_H

#include "DBuffer.h"

#include <zlib.h>

#include <utility>
#include <vector>

namespace libkorvet {

// Sections: CRC-32 tables and loop; construction and strings; compression;
// decompression; iterator.

namespace {

// Reflected form of the IEEE polynomial: working least significant bit first
// gives the same CRC as the bit-reversed most-significant-first loop without
// reversing every byte.
const unsigned int REFLECTED_POLY = 0xEDB88320u;

// Slicing-by-16: table k advances the CRC over a byte followed by k zero
// bytes, so sixteen bytes are folded in per step with independent lookups
// (16 KB of tables, which stays in the first-level cache).
struct SlicingTables {
  unsigned int t[16][256];
  constexpr SlicingTables() : t() {
    for (unsigned int i = 0; i < 256; ++i) {
      unsigned int c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ REFLECTED_POLY : c >> 1;
      t[0][i] = c;
    }
    for (unsigned int i = 0; i < 256; ++i)
      for (int k = 1; k < 16; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
};

constexpr SlicingTables SLICES;

const std::size_t ZLIB_AREA = DBytes::ARRAY_SIZE;

std::string zlibText(const z_stream& stream) { return stream.msg ? std::string(stream.msg) : std::string(); }

}  // namespace

const unsigned int* const DBuffer::crcTable = DBuffer::crcInit();

const unsigned int* DBuffer::crcInit() {
  static unsigned int table[256];
  static bool built = false;
  if (!built) {
    for (unsigned int i = 0; i < 256; ++i) {
      unsigned int c = i << 24;
      for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
      table[i] = c;
    }
    built = true;
  }
  return table;
}

unsigned int DBuffer::reflect(unsigned int value, int bits) {
  unsigned int result = 0;
  for (int i = 0; i < bits; ++i) {
    result = (result << 1) | (value & 1);
    value >>= 1;
  }
  return result;
}

unsigned int DBuffer::crc32Update(unsigned int crc, const unsigned char* data, std::size_t length) {
  const auto& t = SLICES.t;
  unsigned int c = ~crc;
  // Bytes are read one by one, so the loop does not depend on the host's
  // byte order; the compiler merges the loads where it can.
  while (length >= 16) {
    c ^= static_cast<unsigned int>(data[0]) | static_cast<unsigned int>(data[1]) << 8 |
         static_cast<unsigned int>(data[2]) << 16 | static_cast<unsigned int>(data[3]) << 24;
    c = t[15][c & 0xFF] ^ t[14][(c >> 8) & 0xFF] ^ t[13][(c >> 16) & 0xFF] ^ t[12][c >> 24] ^ t[11][data[4]] ^
        t[10][data[5]] ^ t[9][data[6]] ^ t[8][data[7]] ^ t[7][data[8]] ^ t[6][data[9]] ^ t[5][data[10]] ^
        t[4][data[11]] ^ t[3][data[12]] ^ t[2][data[13]] ^ t[1][data[14]] ^ t[0][data[15]];
    data += 16;
    length -= 16;
  }
  while (length-- > 0) c = (c >> 8) ^ t[0][(c ^ *data++) & 0xFF];
  return ~c;
}

unsigned int DBuffer::crc32() const {
  unsigned int crc = 0;
  for (const boost::asio::const_buffer& piece : getSendBuffers(size()))
    crc = crc32Update(crc, static_cast<const unsigned char*>(piece.data()), piece.size());
  return crc;
}

DBuffer::DBuffer() : errMsg("AllOK") {}

DBuffer::DBuffer(const DBuffer& other) : DBytes(other), errMsg(other.errMsg) {}

DBuffer& DBuffer::operator=(const DBuffer& other) {
  if (this == &other) return *this;
  DBytes::operator=(other);
  errMsg = other.errMsg;
  return *this;
}

DBuffer::DBuffer(DBuffer&& other) : DBytes(std::move(other)), errMsg(other.errMsg) {}

DBuffer& DBuffer::operator=(DBuffer&& other) {
  if (this == &other) return *this;
  DBytes::operator=(std::move(other));
  errMsg = other.errMsg;
  return *this;
}

DBuffer::~DBuffer() {}

unsigned int DBuffer::appendString(const std::string& s) {
  appendArray(reinterpret_cast<const unsigned char*>(s.data()), static_cast<long>(s.size()));
  return static_cast<unsigned int>(s.size());
}

std::string DBuffer::toString() const {
  std::string s;
  s.reserve(size());
  for (const boost::asio::const_buffer& piece : getSendBuffers(size()))
    s.append(static_cast<const char*>(piece.data()), piece.size());
  return s;
}

std::string DBuffer::getErrMsg() const { return errMsg; }

// compress() and decompress() drive zlib the same way: it reads straight
// from this buffer's chunks and writes straight into the result's chunks, so
// a message is never copied into one contiguous block.
class DBuffer::ZlibPump {
 public:
  explicit ZlibPump(const DBuffer& source) : pieces(source.getSendBuffers(source.size())), nextPiece(0) {
    result.addElement();
  }

  // One round: gives zlib the next input piece once it has used up the last
  // one, and the free tail of the result's last chunk (a new chunk when that
  // one is full); then calls run(lastInput), lastInput meaning zlib now holds
  // all the input that is left, and counts the bytes it wrote. Returns run's
  // zlib code.
  template <class Run>
  int step(z_stream& stream, Run run) {
    if (stream.avail_in == 0 && nextPiece < pieces.size()) {
      stream.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(pieces[nextPiece].data()));
      stream.avail_in = static_cast<uInt>(pieces[nextPiece].size());
      ++nextPiece;
    }
    const bool lastInput = stream.avail_in == 0 && nextPiece == pieces.size();
    if (result.endFilledBytes == ZLIB_AREA) result.addElement();
    const uInt space = static_cast<uInt>(ZLIB_AREA - result.endFilledBytes);
    stream.next_out = result.byteData.back() + result.endFilledBytes;
    stream.avail_out = space;
    const int r = run(lastInput);
    result.endFilledBytes = static_cast<unsigned short>(result.endFilledBytes + (space - stream.avail_out));
    return r;
  }

  DBuffer result;

 private:
  const std::vector<boost::asio::const_buffer> pieces;
  std::size_t nextPiece;
};

DBuffer DBuffer::compress(int level) {
  if (size() == 0) {
    errMsg = "No data to compress.";
    return DBuffer();
  }
  z_stream stream = z_stream();
  int r = deflateInit(&stream, level);
  if (r != Z_OK) {
    if (r == Z_VERSION_ERROR)
      errMsg = "deflateInit(): incompatible library version";
    else if (r == Z_MEM_ERROR)
      errMsg = "deflateInit(): Insufficient memory";
    else
      errMsg = "deflateInit(): invalid compression level";
    errMsg += zlibText(stream);
    return DBuffer();
  }

  ZlibPump pump(*this);
  std::string failure;
  bool finished = false;
  while (!finished) {
    r = pump.step(stream,
                  [&stream](bool lastInput) { return deflate(&stream, lastInput ? Z_FINISH : Z_NO_FLUSH); });
    if (r == Z_STREAM_END) {
      finished = true;
    } else if (r == Z_BUF_ERROR) {
      failure = "deflate(): No progress was possible";
    } else if (r != Z_OK) {
      failure = "deflate(): Stream was inconsistent";
    }
    if (!failure.empty()) break;
  }
  if (!failure.empty()) {
    errMsg = failure + zlibText(stream);
    deflateEnd(&stream);
    return DBuffer();
  }
  const std::string zlibMsg = zlibText(stream);
  r = deflateEnd(&stream);
  if (r == Z_STREAM_ERROR) {
    errMsg = "deflateEnd(): The stream state was inconsistent." + zlibMsg;
    return DBuffer();
  }
  if (r == Z_DATA_ERROR) {
    errMsg = "deflateEnd(): The stream was freed prematurely.  Some data may be lost." + zlibMsg;
    return DBuffer();
  }
  return std::move(pump.result);
}

DBuffer DBuffer::decompress(unsigned int maxSize) {
  if (size() == 0) {
    errMsg = "No data to decompress.";
    return DBuffer();
  }
  z_stream stream = z_stream();
  int r = inflateInit(&stream);
  if (r != Z_OK) {
    if (r == Z_MEM_ERROR)
      errMsg = "inflateInit(): Insufficient memory.";
    else if (r == Z_VERSION_ERROR)
      errMsg = "inflateInit(): incompatible zlib version.";
    else
      errMsg = "inflateInit(): invalid parameters.";
    errMsg += zlibText(stream);
    return DBuffer();
  }

  ZlibPump pump(*this);
  std::string failure;
  for (;;) {
    r = pump.step(stream, [&stream](bool) { return inflate(&stream, Z_NO_FLUSH); });
    // A few hostile bytes can claim gigabytes: stop once the output passes
    // the limit (at most one chunk beyond it is ever allocated).
    if (stream.total_out > maxSize) {
      failure = "inflate(): Decompressed data exceeds " + DEngine::intToStr(maxSize) + " bytes.";
      break;
    }
    if (r == Z_OK) continue;
    if (r == Z_STREAM_END) break;
    if (r == Z_NEED_DICT)
      failure = "inflate(): Preset dictionary is required.";
    else if (r == Z_BUF_ERROR)
      failure = "inflate(): No progress was possible";  // the input ran dry before the end
    else if (r == Z_MEM_ERROR)
      failure = "inflate(): Insufficient memory";
    else if (r == Z_DATA_ERROR)
      failure = "inflate(): Input data corrupted";
    else if (r == Z_STREAM_ERROR)
      failure = "inflate(): Inflate stream structure was inconsistent.";
    else
      failure = "inflate(): Unexpected result " + DEngine::intToStr(r);
    break;
  }
  const std::string zlibMsg = zlibText(stream);
  r = inflateEnd(&stream);
  if (failure.empty() && r == Z_STREAM_ERROR) failure = "inflateEnd(): Inconsistent inflate stream";
  if (!failure.empty()) {
    errMsg = failure + zlibMsg;
    return DBuffer();
  }
  return std::move(pump.result);
}

DBufferIter::DBufferIter()
    : buffer(nullptr), array(nullptr), arrayIndex(0), byteIndex(0), maxArrayIndex(0), isDone(false) {}

void DBufferIter::setBuffer(const DBytes* b) {
  buffer = b;
  setIndex(0);
}

void DBufferIter::setIndex(long index) {
  isDone = false;
  if (!buffer) DEngine::fatalError("DBufferIter::setIndex(): buffer is NULL");
  if (index < 0) DEngine::fatalError("DBufferIter::setIndex(): index is negative");
  if (static_cast<unsigned long>(index) >= buffer->size()) {
    if (index == 0) {
      isDone = true;
      return;
    }
    DEngine::fatalError("DBufferIter::setIndex(): out of bounds");
  }
  buffer->calcIndexes(index, arrayIndex, byteIndex);
  array = buffer->byteData[arrayIndex];
  const std::size_t chunks = buffer->byteData.size();
  if (chunks >= 2 && arrayIndex == chunks - 1)
    maxArrayIndex = buffer->endFilledBytes - 1u;
  else
    maxArrayIndex = DBytes::ARRAY_SIZE - 1;
  if (maxArrayIndex > DBytes::ARRAY_SIZE - 1) DEngine::fatalError("DBufferIter::setIndex(): maxArrayIndex > ARRAY_SIZE");
}

void DBufferIter::nextArray() {
  const std::size_t chunks = buffer->byteData.size();
  // A last chunk may exist without bytes yet; it ends the walk like no chunk.
  if (arrayIndex + 1 >= chunks || (arrayIndex + 2 == chunks && buffer->endFilledBytes == 0)) {
    isDone = true;
    return;
  }
  ++arrayIndex;
  byteIndex = 0;
  array = buffer->byteData[arrayIndex];
  maxArrayIndex = (arrayIndex == chunks - 1) ? buffer->endFilledBytes - 1u : DBytes::ARRAY_SIZE - 1;
}

}  // namespace libkorvet

#include "DBuffer.h"

#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FatalTest.h"

using libkorvet::DBuffer;
using libkorvet::DBufferIter;
using libkorvet::DBytes;

namespace {

std::vector<unsigned char> bytesOf(const DBytes& b) {
  std::vector<unsigned char> out;
  for (unsigned int i = 0; i < b.size(); ++i) out.push_back(b.getByte(i));
  return out;
}

DBuffer fromVector(const std::vector<unsigned char>& v) {
  DBuffer b;
  b.appendArray(v.data(), static_cast<long>(v.size()));
  return b;
}

// Noise with long runs, like a canvas segment with painted strokes.
std::vector<unsigned char> mixedData(std::size_t n, unsigned int seed) {
  std::mt19937 rng(seed);
  std::vector<unsigned char> v(n);
  for (std::size_t i = 0; i < n;) {
    std::size_t run = rng() % 200 + 1;
    unsigned char value = static_cast<unsigned char>(rng());
    bool noisy = rng() % 3 == 0;
    for (std::size_t k = 0; k < run && i < n; ++k, ++i) v[i] = noisy ? static_cast<unsigned char>(rng()) : value;
  }
  return v;
}

std::vector<unsigned char> zlibCompress(const std::vector<unsigned char>& v) {
  uLongf len = compressBound(static_cast<uLong>(v.size()));
  std::vector<unsigned char> out(len);
  EXPECT_EQ(compress2(out.data(), &len, v.data(), static_cast<uLong>(v.size()), 9), Z_OK);
  out.resize(len);
  return out;
}

}  // namespace

TEST(DBuffer, VariablesTravelMostSignificantByteFirst) {
  DBuffer b;
  EXPECT_EQ(b.appendVariable<unsigned short>(0x1234), 2u);
  EXPECT_EQ(b.appendVariable<int>(-2), 4u);
  EXPECT_EQ(b.appendVariable<unsigned int>(0xDEADBEEFu), 4u);
  EXPECT_EQ(b.appendVariable<unsigned char>(0x7F), 1u);
  EXPECT_EQ(bytesOf(b), (std::vector<unsigned char>{0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFE, 0xDE, 0xAD, 0xBE, 0xEF, 0x7F}));

  unsigned short us = 0;
  int i = 0;
  unsigned int ui = 0;
  b.extractVariable(0, us), b.extractVariable(2, i), b.extractVariable(6, ui);
  EXPECT_TRUE(us == 0x1234 && i == -2 && ui == 0xDEADBEEFu);
  b.extractVariable(7, ui);  // exactly four bytes to the end
  EXPECT_EQ(ui, 0xADBEEF7Fu);

  // Values straddling a chunk boundary, at both ends of the store.
  DBuffer wide;
  std::vector<unsigned char> filler(4094, 0);
  wide.appendArray(filler.data(), 4094);
  wide.appendVariable<int>(-123456789);
  for (int k = 0; k < 4095; ++k) wide.insertByte(0);
  wide.insertVariable<unsigned int>(0x01020304u);
  wide.extractVariable(4099 + 4094, i);
  EXPECT_EQ(i, -123456789);
  wide.extractVariable(0, ui);
  EXPECT_EQ(ui, 0x01020304u);
}

TEST(DBuffer, Crc32MatchesStandard) {
  DBuffer digits;
  digits.appendString("123456789");
  EXPECT_EQ(digits.crc32(), 0xCBF43926u);
  EXPECT_EQ(DBuffer().crc32(), 0u);
}

TEST(DBuffer, CompressionRoundTripsWithRealZlib) {
  for (std::size_t n : {1u, 100u, 4096u, 4097u, 30000u, 100000u}) {
    std::vector<unsigned char> v = mixedData(n, static_cast<unsigned int>(n));
    DBuffer source = fromVector(v);
    DBuffer packed = source.compress(9);
    ASSERT_GT(packed.size(), 0u) << source.getErrMsg();
    EXPECT_EQ(source.getErrMsg(), "AllOK");
    // Our stream is plain zlib, and plain zlib streams decompress here.
    std::vector<unsigned char> check(n), p = bytesOf(packed);
    uLongf len = static_cast<uLongf>(n);
    EXPECT_TRUE(uncompress(check.data(), &len, p.data(), static_cast<uLong>(p.size())) == Z_OK && check == v);
    EXPECT_EQ(bytesOf(packed.decompress()), v) << packed.getErrMsg();
    EXPECT_EQ(bytesOf(fromVector(zlibCompress(v)).decompress()), v);
  }
  // Random noise grows when compressed but still round-trips; bytes after
  // the end of the stream are ignored.
  std::mt19937 rng(9);
  std::vector<unsigned char> noise(20000);
  for (auto& x : noise) x = static_cast<unsigned char>(rng());
  DBuffer packed = fromVector(noise).compress(9);
  packed.appendString("trailing");
  EXPECT_EQ(bytesOf(packed.decompress()), noise);
}

TEST(DBuffer, CompressionFailuresLeaveTheirText) {
  DBuffer empty;
  EXPECT_EQ(empty.compress(9).size(), 0u);
  EXPECT_EQ(empty.getErrMsg(), "No data to compress.");
  EXPECT_EQ(empty.decompress().size(), 0u);
  EXPECT_EQ(empty.getErrMsg(), "No data to decompress.");

  DBuffer garbage;
  garbage.appendString("this is not a zlib stream at all");
  EXPECT_EQ(garbage.decompress().size(), 0u);
  EXPECT_EQ(garbage.getErrMsg().rfind("inflate(): Input data corrupted", 0), 0u) << garbage.getErrMsg();

  std::vector<unsigned char> v = mixedData(30000, 5);
  std::vector<unsigned char> z = zlibCompress(v);
  z.resize(z.size() / 2);
  DBuffer cut = fromVector(z);
  EXPECT_EQ(cut.decompress().size(), 0u);
  EXPECT_EQ(cut.getErrMsg().rfind("inflate(): No progress was possible", 0), 0u) << cut.getErrMsg();

  // A small stream that inflates to far more than allowed is refused.
  std::vector<unsigned char> zeros(10u * 1024u * 1024u, 0);
  DBuffer bomb = fromVector(zlibCompress(zeros));
  EXPECT_LT(bomb.size(), 20000u);
  EXPECT_EQ(bomb.decompress().size(), 0u);
  EXPECT_EQ(bomb.getErrMsg(), "inflate(): Decompressed data exceeds 4194304 bytes.");
  DBuffer small = fromVector(zlibCompress(std::vector<unsigned char>(5000, 1)));
  EXPECT_EQ(small.decompress(5000).size(), 5000u);
  EXPECT_EQ(small.decompress(4999).size(), 0u);
}

TEST(DBufferIter, WalksEveryLayout) {
  DBytes empty;
  DBufferIter it;
  it.setBuffer(&empty);
  EXPECT_TRUE(it.finished());

  // Bytes inserted at the front followed by an appended chunk that holds
  // nothing yet: the walk ends after the last real byte.
  DBytes front;
  for (int k = 0; k < 3000; ++k) front.insertByte(static_cast<unsigned char>(k));
  front.appendArray(nullptr, 0);
  std::vector<unsigned char> walked;
  for (it.setBuffer(&front); !it.finished(); it.next()) walked.push_back(*it.value());
  EXPECT_EQ(walked, bytesOf(front));

  DBytes mixed;
  for (int k = 0; k < 9000; ++k) mixed.appendByte(static_cast<unsigned char>(k * 3));
  for (int k = 0; k < 100; ++k) mixed.insertByte(static_cast<unsigned char>(k));
  walked.clear();
  for (it.setBuffer(&mixed); !it.finished(); it.next()) walked.push_back(*it.value());
  EXPECT_EQ(walked, bytesOf(mixed));
}

TEST(DBufferDeath, MisuseIsFatal) {
  DBuffer b;
  b.appendString("abc");
  unsigned int ui;
  EXPECT_FATAL(b.extractVariable(0, ui), "DBuffer::extractVariable\\(\\): out of bounds");
  DBufferIter it;
  EXPECT_FATAL(it.setIndex(0), "DBufferIter::setIndex\\(\\): buffer is NULL");
  it.setBuffer(&b);
  EXPECT_FATAL(it.setIndex(3), "DBufferIter::setIndex\\(\\): out of bounds");
}

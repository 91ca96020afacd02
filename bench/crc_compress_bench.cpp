// Speed of the buffer's CRC-32 and zlib wrapping against zlib called
// directly on the same bytes. Prints the figures and ratios (our speed as a
// fraction of zlib's); it never fails on time.

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "DBuffer.h"

using libkorvet::DBuffer;

namespace {

const std::size_t SEGMENT = 30000;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The machine is shared, so each side is timed in alternating trials and
// the fastest trial counts.
const int TRIALS = 5;

template <typename Ours, typename Theirs>
void timeBoth(int rounds, Ours ours, Theirs theirs, double& oursBest, double& theirsBest) {
  oursBest = theirsBest = 1e30;
  for (int trial = 0; trial < TRIALS; ++trial) {
    auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) ours();
    oursBest = std::min(oursBest, secondsSince(start));
    start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) theirs();
    theirsBest = std::min(theirsBest, secondsSince(start));
  }
}

// One plane of a canvas segment: the grey checkerboard a joining client
// starts from, flat background crossed by strokes, and a noisy photo-like
// stretch.
std::vector<unsigned char> canvasSegment() {
  std::mt19937 rng(2024);
  std::vector<unsigned char> v(SEGMENT);
  for (std::size_t i = 0; i < SEGMENT; ++i) {
    const std::size_t x = i % 100, y = i / 100;
    if (i < 10000) {
      v[i] = ((x / 4 + y / 4) % 2) ? 120 : 136;
    } else if (i < 22000) {
      v[i] = 255;
      if ((x + y) % 37 < 3 || (x * 3 + y) % 53 < 2) v[i] = static_cast<unsigned char>(40 + (y % 5) * 20);
    } else {
      v[i] = static_cast<unsigned char>((x + y) / 2 + rng() % 24);
    }
  }
  return v;
}

}  // namespace

int main() {
  std::vector<unsigned char> data = canvasSegment();
  DBuffer buffer;
  buffer.appendArray(data.data(), static_cast<long>(data.size()));

  // CRC-32.
  const int crcRounds = 4000;
  volatile unsigned int sink = 0;
  double oursCrc, zlibCrc;
  timeBoth(
      crcRounds, [&] { sink = sink + buffer.crc32(); },
      [&] { sink = sink + static_cast<unsigned int>(::crc32(0, data.data(), static_cast<uInt>(data.size()))); },
      oursCrc, zlibCrc);
  const double mb = static_cast<double>(crcRounds) * SEGMENT / 1e6;
  std::printf("crc32, %d x %zu bytes: DBuffer %.1f MB/s, zlib %.1f MB/s, ratio %.2f (goal >= 0.30)\n", crcRounds,
              SEGMENT, mb / oursCrc, mb / zlibCrc, zlibCrc / oursCrc);
  if (buffer.crc32() != ::crc32(0, data.data(), static_cast<uInt>(data.size()))) {
    std::printf("CRC MISMATCH\n");
    return 1;
  }

  // compress(9).
  const int zRounds = 60;
  DBuffer packed;
  std::vector<unsigned char> zout(compressBound(SEGMENT));
  uLongf zlen = 0;
  double oursDeflate, zlibDeflate;
  timeBoth(
      zRounds, [&] { packed = buffer.compress(9); },
      [&] {
        zlen = static_cast<uLongf>(zout.size());
        compress2(zout.data(), &zlen, data.data(), static_cast<uLong>(data.size()), 9);
      },
      oursDeflate, zlibDeflate);
  std::printf("compress(9), %d x %zu bytes -> %u (zlib %lu): DBuffer %.3f ms, zlib %.3f ms each, ratio %.2f (goal >= 0.80)\n",
              zRounds, SEGMENT, packed.size(), static_cast<unsigned long>(zlen), oursDeflate * 1e3 / zRounds,
              zlibDeflate * 1e3 / zRounds, zlibDeflate / oursDeflate);

  // decompress().
  const int iRounds = 1000;
  DBuffer unpacked;
  std::vector<unsigned char> back(SEGMENT);
  double oursInflate, zlibInflate;
  timeBoth(
      iRounds, [&] { unpacked = packed.decompress(); },
      [&] {
        uLongf len = static_cast<uLongf>(back.size());
        uncompress(back.data(), &len, zout.data(), zlen);
      },
      oursInflate, zlibInflate);
  std::printf("decompress(), %d x %u bytes: DBuffer %.4f ms, zlib %.4f ms each, ratio %.2f (goal >= 0.80)\n", iRounds,
              packed.size(), oursInflate * 1e3 / iRounds, zlibInflate * 1e3 / iRounds, zlibInflate / oursInflate);
  if (unpacked.toString() != std::string(data.begin(), data.end()) || back != data) {
    std::printf("ROUND TRIP MISMATCH\n");
    return 1;
  }
  return 0;
}

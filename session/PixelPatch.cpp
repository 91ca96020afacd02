// PixelPatch: runs of changed pixels, built from the canvas and written back.

#include "PixelPatch.h"

#include "PayloadCodec.h"
#include "WorldMap.h"

using libkorvet::DBuffer;

const unsigned int PixelPatch::MAX_RAW_BYTES;
const unsigned int PixelPatch::RUN_HEADER;

namespace {

const unsigned int MAX_RUN = 65535;

void finishBody(unsigned char kind, DBuffer& runs, std::vector<DBuffer>& bodies) {
  if (runs.size() == 0) return;
  DBuffer body;
  PayloadCodec::wrap(std::string(1, static_cast<char>(kind)), runs, body);
  bodies.push_back(std::move(body));
  runs.clear();
}

}  // namespace

void PixelPatch::build(const WorldMap& map, const std::vector<unsigned int>& pixels, unsigned char kind,
                       std::vector<DBuffer>& bodies) {
  DBuffer runs;
  unsigned char rgb[3];
  for (std::size_t i = 0; i < pixels.size();) {
    // The longest run of consecutive pixels from i that fits this body.
    const unsigned int room = MAX_RAW_BYTES - runs.size();
    if (room < RUN_HEADER + 3) {
      finishBody(kind, runs, bodies);
      continue;
    }
    std::size_t n = 1;
    const std::size_t most = std::min<std::size_t>(MAX_RUN, (room - RUN_HEADER) / 3);
    while (n < most && i + n < pixels.size() && pixels[i + n] == pixels[i] + n) ++n;
    runs.appendVariable<unsigned int>(pixels[i]);
    runs.appendVariable<unsigned short>(static_cast<unsigned short>(n));
    for (std::size_t k = 0; k < n; ++k) {
      map.readPixel(pixels[i + k], rgb);
      for (unsigned char c : rgb) runs.appendVariable<unsigned char>(c);
    }
    i += n;
  }
  finishBody(kind, runs, bodies);
}

bool PixelPatch::apply(DBuffer& body, WorldMap& map, std::string& err) {
  if (body.size() < 1) {
    err = "PixelPatch got an empty body";
    return false;
  }
  DBuffer inflated;
  DBuffer* runs = PayloadCodec::unwrap(body, MAX_RAW_BYTES, inflated, "PixelPatch", err);
  if (!runs) return false;
  if (!map.isCreated()) {
    err = "PixelPatch got pixels before the canvas";
    return false;
  }
  const unsigned long long total =
      static_cast<unsigned long long>(map.getPixelWidth()) * static_cast<unsigned long long>(map.getPixelHeight());
  // Checked first, written after: a bad run anywhere leaves the canvas as it was.
  std::vector<std::pair<unsigned int, unsigned int>> found;
  unsigned long long next = 0;
  unsigned int at = 0;
  while (at < runs->size()) {
    if (runs->size() - at < RUN_HEADER + 3) {
      err = "PixelPatch got a run that's too short";
      return false;
    }
    unsigned int first = 0;
    unsigned short count = 0;
    runs->extractVariable(at, first);
    runs->extractVariable(at + 4, count);
    if (count == 0 || runs->size() - at - RUN_HEADER < 3u * count) {
      err = "PixelPatch got a run that's too short";
      return false;
    }
    if (first < next || first + static_cast<unsigned long long>(count) > total) {
      err = "PixelPatch got pixels out of order or off the canvas";
      return false;
    }
    found.push_back(std::make_pair(first, at + RUN_HEADER));
    next = first + static_cast<unsigned long long>(count);
    at += RUN_HEADER + 3u * count;
  }
  unsigned char rgb[3];
  for (const auto& run : found) {
    unsigned short count = 0;
    runs->extractVariable(run.second - 2, count);
    for (unsigned int k = 0; k < count; ++k) {
      for (unsigned int c = 0; c < 3; ++c) rgb[c] = runs->getByte(run.second + 3 * k + c);
      map.writePixel(run.first + k, rgb);
    }
  }
  return true;
}

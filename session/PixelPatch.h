#ifndef SESSION_PIXELPATCH_H
#define SESSION_PIXELPATCH_H

// PixelPatch: pixels of the canvas that changed at once (an undo, a redo, a
// rollback), as the host sends them to Brelvin clients so that they see the
// change without waiting for synchronization to find it. A body is a
// compression flag (0 raw, 1 zlib), then runs of consecutive pixels
// (numbered y * width + x), ascending and apart: the first pixel (4 bytes),
// the count (2 bytes, 1 or more), and count times red, green, blue. No state.

#include <string>
#include <vector>

#include "DBuffer.h"

class WorldMap;

class PixelPatch {
 public:
  // Run bytes of one body before compression: with the kind byte and the
  // worst case of zlib a body stays within one frame (65536 bytes).
  static const unsigned int MAX_RAW_BYTES = 60000;
  static const unsigned int RUN_HEADER = 6;

  // Bodies, each starting with the byte `kind`, holding the current values
  // of pixels (ascending, each once) of map.
  // Requires: every pixel lies inside map.
  static void build(const WorldMap& map, const std::vector<unsigned int>& pixels, unsigned char kind,
                    std::vector<libkorvet::DBuffer>& bodies);
  // Writes the pixels of a body (its kind byte removed) into map. Checked
  // whole before anything is written: false with the reason in err, and
  // nothing written, when it is malformed or reaches past the canvas.
  static bool apply(libkorvet::DBuffer& body, WorldMap& map, std::string& err);
};

#endif  // SESSION_PIXELPATCH_H

// DRAW bodies as the session hands them to the drawing protocol (the "DRAW"
// header removed), decoded and painted on a 1600 x 1600 host canvas: the
// compression flag, inflation bounds, blocks, continued lines and the
// painting of every stroke, clipped to the canvas.

#include <cstdint>
#include <string>

#include "DrawingProtocol.h"
#include "SyncServer.h"
#include "WorldMap.h"
#include "FuzzSupport.h"

namespace {

using namespace fuzzsupport;

struct Canvas {
  Canvas() : sync(&engine, 0, [](std::string) {}) {
    setUpProcess();
    if (!sync.setSegmentSize(static_cast<unsigned short>(WorldMap::KIV_SEGMENT_SIZE), 3) ||
        !map.create(1600, 1600, &sync)) {
      std::fprintf(stderr, "draw_canvas: no canvas\n");
      std::abort();
    }
  }
  libkorvet::DEngine engine;
  libksync::SyncServer sync;
  WorldMap map;
  DrawingProtocol drawing;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Canvas* canvas = new Canvas();
  fromPeer([&] {
    DBuffer body = bytesOf(data, size);
    canvas->drawing.parseDraw(body, &canvas->map);
  });
  return 0;
}

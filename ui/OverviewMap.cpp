#include "OverviewMap.h"

#include <algorithm>

#include "CanvasReductions.h"
#include "InputStatus.h"
#include "ViewTransform.h"
#include "WorldMap.h"

// Last: its macros and globals must not leak into the headers above.
#include <allegro.h>

namespace {

const int BORDER_COLOR = 4;  // light grey
const int FRAME_COLOR = 35;  // cyan

}  // namespace

OverviewMap::~OverviewMap() {
  if (picture != nullptr) destroy_bitmap(picture);
}

void OverviewMap::hide() {
  shown = false;
  dragging = false;
}

void OverviewMap::layout(long cw, long ch, int screenWidth, int bottomLimit) {
  cw = std::max(cw, 1L);
  ch = std::max(ch, 1L);
  const long longer = std::max(cw, ch);
  // Never down to the panel: a short screen gets a smaller map.
  const int side = std::max(8, std::min(MAX_SIDE, bottomLimit - TOP - MARGIN));
  const int w = static_cast<int>(std::max(1L, side * cw / longer));
  const int h = static_cast<int>(std::max(1L, side * ch / longer));
  x = screenWidth - MARGIN - w;
  y = TOP;
  if (w == width && h == height && cw == canvasWidth && ch == canvasHeight && picture != nullptr) return;
  canvasWidth = cw;
  canvasHeight = ch;
  width = w;
  height = h;
  if (picture != nullptr) destroy_bitmap(picture);
  picture = create_bitmap(width, height);
  stale = true;
}

bool OverviewMap::contains(int px, int py) const {
  return shown && px >= x - 1 && px <= x + width && py >= y - 1 && py <= y + height;
}

int OverviewMap::toMapX(long cx) const { return static_cast<int>(cx * width / canvasWidth); }
int OverviewMap::toMapY(long cy) const { return static_cast<int>(cy * height / canvasHeight); }
long OverviewMap::toCanvasX(int mx) const { return static_cast<long>(mx) * canvasWidth / width; }
long OverviewMap::toCanvasY(int my) const { return static_cast<long>(my) * canvasHeight / height; }

bool OverviewMap::run(ViewTransform& view) {
  if (!shown) {
    dragging = false;
    return false;
  }
  const int px = InputStatus::getCursorX(), py = InputStatus::getCursorY();
  if (InputStatus::getLeftClicked() && contains(px, py)) dragging = true;
  if (!InputStatus::getLeftPressed()) {
    const bool was = dragging;
    dragging = false;
    return was;
  }
  if (!dragging) return false;
  // The view's centre goes to the canvas point under the pointer, the
  // pointer held to the map's edges.
  const long cx = toCanvasX(std::min(std::max(px - x, 0), width - 1));
  const long cy = toCanvasY(std::min(std::max(py - y, 0), height - 1));
  view.originX = cx - (view.toCanvasX(view.getViewWidth()) - view.originX) / 2;
  view.originY = cy - (view.toCanvasY(view.getViewHeight()) - view.originY) / 2;
  view.clamp();
  return true;
}

void OverviewMap::refresh() {
  BITMAP* mirror = WorldMap::getMapBuffer();
  if (picture == nullptr) return;
  if (mirror == nullptr) {
    clear_to_color(picture, makecol(0, 32, 16));
    return;
  }
  // The smallest copy that is still larger than the map.
  const CanvasReductions* reductions = WorldMap::getReductions();
  BITMAP* source = mirror;
  if (reductions != nullptr) {
    for (int k = reductions->levels(); k >= 1; --k) {
      BITMAP* copy = reductions->level(k);
      if (copy->w >= width && copy->h >= height) {
        source = copy;
        break;
      }
    }
    shownVersion = reductions->version();
  }
  stretch_blit(source, picture, 0, 0, source->w, source->h, 0, 0, width, height);
  stale = false;
}

void OverviewMap::display(BITMAP* buffer, const ViewTransform& view) {
  if (!shown || buffer == nullptr || picture == nullptr) return;
  // Without reduced copies there is nothing to tell a change by: the
  // picture is taken again each time it is due.
  const CanvasReductions* reductions = WorldMap::getReductions();
  if (--framesToRefresh <= 0) {
    if (stale || reductions == nullptr || reductions->version() != shownVersion) refresh();
    framesToRefresh = REFRESH_FRAMES;
  }
  blit(picture, buffer, 0, 0, x, y, width, height);
  rect(buffer, x - 1, y - 1, x + width, y + height, palette_color[BORDER_COLOR]);

  // The view's part of the canvas, held inside the map.
  auto held = [](long v, int lo, int hi) { return static_cast<int>(std::min<long>(std::max<long>(v, lo), hi)); };
  const int fx0 = held(toMapX(view.originX), 0, width - 1);
  const int fy0 = held(toMapY(view.originY), 0, height - 1);
  const int fx1 = held(toMapX(view.toCanvasX(view.getViewWidth()) - 1), 0, width - 1);
  const int fy1 = held(toMapY(view.toCanvasY(view.getViewHeight()) - 1), 0, height - 1);
  rect(buffer, x + fx0, y + fy0, x + fx1, y + fy1, palette_color[FRAME_COLOR]);
}

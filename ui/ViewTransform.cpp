#include "ViewTransform.h"

#include <algorithm>
#include <cstdlib>

namespace {

// floor(a / b) and ceil(a / b) for b > 0.
long long floorDiv(long long a, long long b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
long long ceilDiv(long long a, long long b) { return -floorDiv(-a, b); }

}  // namespace

void ViewTransform::setViewSize(int width, int height) {
  viewWidth = std::max(width, 1);
  viewHeight = std::max(height, 1);
}

void ViewTransform::setCanvasSize(long width, long height) {
  canvasWidth = std::max(width, 1L);
  canvasHeight = std::max(height, 1L);
}

void ViewTransform::scaleOf(Step s, long& n, long& d) const {
  static const long fixedNum[] = {4, 2, 1, 1, 1, 1};
  static const long fixedDen[] = {1, 1, 1, 2, 4, 8};
  if (s != WHOLE_CANVAS) {
    n = fixedNum[s];
    d = fixedDen[s];
  } else if (static_cast<long long>(viewWidth) * canvasHeight <= static_cast<long long>(viewHeight) * canvasWidth) {
    // The width is what limits.
    n = viewWidth;
    d = canvasWidth;
  } else {
    n = viewHeight;
    d = canvasHeight;
  }
}

long ViewTransform::num() const {
  long n, d;
  scaleOf(step, n, d);
  return n;
}

long ViewTransform::den() const {
  long n, d;
  scaleOf(step, n, d);
  return d;
}

std::string ViewTransform::label() const {
  static const char* const names[] = {"4:1", "2:1", "1:1", "1:2", "1:4", "1:8", "whole"};
  return names[step];
}

bool ViewTransform::nearerThanWhole(Step s) const {
  long n, d, wn, wd;
  scaleOf(s, n, d);
  scaleOf(WHOLE_CANVAS, wn, wd);
  return static_cast<long long>(n) * wd > static_cast<long long>(wn) * d;
}

long ViewTransform::toCanvasX(long screenX) const { return originX + static_cast<long>(floorDiv(static_cast<long long>(screenX) * den(), num())); }
long ViewTransform::toCanvasY(long screenY) const { return originY + static_cast<long>(floorDiv(static_cast<long long>(screenY) * den(), num())); }
long ViewTransform::toScreenX(long canvasX) const { return static_cast<long>(floorDiv(static_cast<long long>(canvasX - originX) * num(), den())); }
long ViewTransform::toScreenY(long canvasY) const { return static_cast<long>(floorDiv(static_cast<long long>(canvasY - originY) * num(), den())); }

long ViewTransform::canvasDistance(long screenPixels) const {
  if (screenPixels == 0) return 0;
  const long long a = std::abs(screenPixels);
  const long d = static_cast<long>(std::max<long long>(1, (a * den() + num() / 2) / num()));
  return screenPixels < 0 ? -d : d;
}

bool ViewTransform::zoomIn(int px, int py) {
  if (step == ZOOM_4_1) return false;
  if (step != WHOLE_CANVAS) return zoomTo(static_cast<Step>(step - 1), px, py);
  // The farthest fixed step that still shows more than the whole canvas does.
  for (int s = ZOOM_1_8; s >= ZOOM_4_1; --s)
    if (nearerThanWhole(static_cast<Step>(s))) return zoomTo(static_cast<Step>(s), px, py);
  return false;
}

bool ViewTransform::zoomOut(int px, int py) {
  // Farther than the whole canvas there is nothing more to see.
  if (step == WHOLE_CANVAS || !nearerThanWhole(step)) return false;
  const Step next = static_cast<Step>(step + 1);
  return zoomTo(next != WHOLE_CANVAS && nearerThanWhole(next) ? next : WHOLE_CANVAS, px, py);
}

bool ViewTransform::zoomTo(Step to, int px, int py) {
  if (to == step || to < ZOOM_4_1 || to >= NUM_STEPS) return false;
  const long cx = toCanvasX(px), cy = toCanvasY(py);
  step = to;
  originX = cx - static_cast<long>(floorDiv(static_cast<long long>(px) * den(), num()));
  originY = cy - static_cast<long>(floorDiv(static_cast<long long>(py) * den(), num()));
  clamp();
  return true;
}

void ViewTransform::clamp() {
  const long n = num(), d = den();
  auto fit = [&](long& origin, long view, long canvas) {
    const long span = static_cast<long>(ceilDiv(static_cast<long long>(view) * d, n));
    if (span <= canvas) {
      origin = std::min(std::max(origin, 0L), canvas - span);
    } else if (n >= d) {
      origin = canvas - span;
    } else {
      origin = -static_cast<long>(floorDiv(span - canvas, 2));
    }
  };
  fit(originX, viewWidth, canvasWidth);
  fit(originY, viewHeight, canvasHeight);
}

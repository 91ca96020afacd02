#include "DrawingData.h"

DrawingData::DrawingData()
    : firstX(0), firstY(0), secondX(0), secondY(0), fillType(1), brushSize(0),
      clientIndex(0) {}

DrawingData::DrawingData(long x1, long y1, long x2, long y2)
    : firstX(static_cast<int32_t>(x1)), firstY(static_cast<int32_t>(y1)),
      secondX(static_cast<int32_t>(x2)), secondY(static_cast<int32_t>(y2)),
      fillType(1), brushSize(0), clientIndex(0) {}

void DrawingData::setFirstCoords(long x, long y) {
  firstX = static_cast<int32_t>(x);
  firstY = static_cast<int32_t>(y);
}

void DrawingData::setSecondCoords(long x, long y) {
  secondX = static_cast<int32_t>(x);
  secondY = static_cast<int32_t>(y);
}

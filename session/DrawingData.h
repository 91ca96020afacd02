#ifndef SESSION_DRAWINGDATA_H
#define SESSION_DRAWINGDATA_H

// One straight stroke segment with the brush size and colour it is painted
// with. The paint panel fills it, the drawing protocol queues and encodes it.
// The client index is carried along but nothing reads it.

#include <cstdint>

class DrawingData {
 public:
  DrawingData();
  DrawingData(long x1, long y1, long x2, long y2);
  DrawingData(const DrawingData& other) = default;
  DrawingData& operator=(const DrawingData& other) = default;

  void setFirstCoords(long x, long y);
  void setSecondCoords(long x, long y);
  void setFillType(unsigned char type) { fillType = type; }
  void setBrushSize(unsigned char size) { brushSize = size; }
  void setClientIndex(long index) { clientIndex = static_cast<int32_t>(index); }

  long getFirstX() const { return firstX; }
  long getFirstY() const { return firstY; }
  long getSecondX() const { return secondX; }
  long getSecondY() const { return secondY; }
  unsigned char getFillType() const { return fillType; }
  unsigned char getBrushSize() const { return brushSize; }
  long getClientIndex() const { return clientIndex; }

  static int getNumInstances() { return -1; }

 private:
  int32_t firstX;
  int32_t firstY;
  int32_t secondX;
  int32_t secondY;
  unsigned char fillType;
  unsigned char brushSize;
  int32_t clientIndex;
};

#endif  // SESSION_DRAWINGDATA_H

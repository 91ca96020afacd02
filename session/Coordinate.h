#ifndef SESSION_COORDINATE_H
#define SESSION_COORDINATE_H

// A point on the canvas, in canvas pixels. A plain value: the paint panel
// collects stroke points in it and nothing here checks the range.

#include <cstdint>

class Coordinate {
 public:
  Coordinate();
  Coordinate(long x, long y);
  Coordinate(const Coordinate& other) = default;
  Coordinate& operator=(const Coordinate& other) = default;

  long getX() const { return x; }
  long getY() const { return y; }
  void setX(long newX);
  void setY(long newY);

  static int getNumInstances() { return -1; }

 private:
  int32_t x;
  int32_t y;
};

#endif  // SESSION_COORDINATE_H

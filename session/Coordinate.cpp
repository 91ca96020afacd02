#include "Coordinate.h"

Coordinate::Coordinate() : x(0), y(0) {}

Coordinate::Coordinate(long x, long y)
    : x(static_cast<int32_t>(x)), y(static_cast<int32_t>(y)) {}

void Coordinate::setX(long newX) { x = static_cast<int32_t>(newX); }

void Coordinate::setY(long newY) { y = static_cast<int32_t>(newY); }

#pragma once

#include <algorithm>

namespace glimra {

// A rectangle in points: origin, width and height, as the platform reports
// it. Which way y grows depends on the coordinate space that names it.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double maxX() const { return x + width; }
  double maxY() const { return y + height; }

  friend bool operator==(const Rect&, const Rect&) = default;
};

// The overlap of two rectangles; its width or height is negative or zero
// when they do not meet.
inline Rect intersection(const Rect& a, const Rect& b) {
  const double x = std::max(a.x, b.x);
  const double y = std::max(a.y, b.y);
  return {x, y, std::min(a.maxX(), b.maxX()) - x, std::min(a.maxY(), b.maxY()) - y};
}

}  // namespace glimra

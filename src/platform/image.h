#pragma once

#include <cstdint>
#include <vector>

namespace glimra {

// A bitmap as X11, pixman and most compositors keep it: one 32-bit value
// per pixel, 0xAARRGGBB, rows top to bottom, no padding between rows.
// sRGB. With `Alpha::none` the top byte is padding and the image is opaque.
struct Image {
  enum class Alpha { none, premultiplied };

  int width = 0;
  int height = 0;
  Alpha alpha = Alpha::none;
  std::vector<std::uint32_t> pixels;  // width * height values

  static Image blank(int width, int height, Alpha alpha) {
    return {width, height, alpha,
            std::vector<std::uint32_t>(static_cast<std::size_t>(width) * height)};
  }
  std::uint32_t& at(int x, int y) { return pixels[static_cast<std::size_t>(y) * width + x]; }
  std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

}  // namespace glimra

#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

// Reading PNG files back in tests, through libpng itself, so the files the
// helper writes are checked by an independent decoder (libpng verifies the
// signature, every chunk's CRC and the zlib stream as it reads).
namespace glimra::testing {

struct DecodedPNG {
  // As the file's IHDR says.
  int width = 0;
  int height = 0;
  int bitDepth = 0;
  int colourType = 0;  // PNG_COLOR_TYPE_*: 2 for RGB, 6 for RGBA
  int channels = 0;    // per pixel in the file: 3 for RGB, 4 for RGBA

  // Every pixel whatever the file held: 8-bit R, G, B, A, straight (not
  // premultiplied) alpha, 255 where the file has no alpha; rows top to
  // bottom, width * 4 bytes each.
  std::vector<std::uint8_t> rgba;

  using Pixel = std::array<std::uint8_t, 4>;  // R, G, B, A
  Pixel pixel(int x, int y) const {
    const std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
    return {p[0], p[1], p[2], p[3]};
  }
};

// The decoded file, or none when libpng rejects it (not a PNG, a bad CRC,
// a truncated or corrupt stream).
std::optional<DecodedPNG> decodePNG(const std::vector<std::uint8_t>& file);
std::optional<DecodedPNG> decodePNGFile(const std::filesystem::path& path);

}  // namespace glimra::testing

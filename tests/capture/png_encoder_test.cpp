#include "capture/png_encoder.h"

#include <gtest/gtest.h>
#include <libdeflate.h>

#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/png_decoder.h"

namespace glimra {
namespace {

using testing::DecodedPNG;
using testing::decodePNG;

std::uint32_t argb(int a, int r, int g, int b) {
  return static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(r) << 16 |
         static_cast<std::uint32_t>(g) << 8 | static_cast<std::uint32_t>(b);
}

// Random values everywhere; opaque, or premultiplied with random alpha.
Image noiseImage(int width, int height, Image::Alpha alpha, unsigned seed) {
  std::mt19937 random(seed);
  Image image = Image::blank(width, height, alpha);
  for (std::uint32_t& pixel : image.pixels) {
    const int a = alpha == Image::Alpha::none ? static_cast<int>(random() & 0xff)  // padding
                                              : static_cast<int>(random() % 256);
    const int limit = alpha == Image::Alpha::none ? 255 : a;
    auto channel = [&] { return static_cast<int>(random() % (limit + 1)); };
    pixel = argb(a, channel(), channel(), channel());
  }
  return image;
}

// What the file must hold for `pixel`: straight colour, 255 without alpha.
DecodedPNG::Pixel expectedPixel(std::uint32_t pixel, Image::Alpha alpha) {
  const int r = pixel >> 16 & 0xff, g = pixel >> 8 & 0xff, b = pixel & 0xff;
  if (alpha == Image::Alpha::none) {
    return {std::uint8_t(r), std::uint8_t(g), std::uint8_t(b), 255};
  }
  const int a = static_cast<int>(pixel >> 24);
  if (a == 0) return {0, 0, 0, 0};
  auto straight = [a](int c) { return std::uint8_t(std::min(255, (c * 255 + a / 2) / a)); };
  return {straight(r), straight(g), straight(b), std::uint8_t(a)};
}

void expectRoundTrip(const Image& image) {
  const std::optional<std::vector<std::uint8_t>> png = encodePNG(image);
  ASSERT_TRUE(png.has_value());
  const std::optional<DecodedPNG> decoded = decodePNG(*png);
  ASSERT_TRUE(decoded.has_value()) << "libpng rejected the file";
  const bool withAlpha = image.alpha == Image::Alpha::premultiplied;
  EXPECT_EQ(decoded->width, image.width);
  EXPECT_EQ(decoded->height, image.height);
  EXPECT_EQ(decoded->bitDepth, 8);
  EXPECT_EQ(decoded->colourType, withAlpha ? 6 : 2);
  EXPECT_EQ(decoded->channels, withAlpha ? 4 : 3);
  int mismatches = 0;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      if (decoded->pixel(x, y) != expectedPixel(image.at(x, y), image.alpha) && ++mismatches < 5) {
        ADD_FAILURE() << "pixel (" << x << ", " << y << ") differs";
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

std::uint32_t bigEndian(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
         std::uint32_t{bytes[2]} << 8 | bytes[3];
}

struct Chunk {
  std::string type;
  std::vector<std::uint8_t> data;
  std::uint32_t crc = 0;
};

// The chunks after the signature, as they are stored; stops at a chunk
// that runs past the end.
std::vector<Chunk> chunksOf(const std::vector<std::uint8_t>& png) {
  std::vector<Chunk> chunks;
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const std::size_t length = bigEndian(&png[at]);
    if (length > png.size() - at - 12) break;
    const std::uint8_t* data = &png[at + 8];
    chunks.push_back({std::string(&png[at + 4], &png[at + 8]),
                      std::vector<std::uint8_t>(data, data + length), bigEndian(data + length)});
    at += length + 12;
  }
  return chunks;
}

// CRC-32 as the PNG format defines it, bit by bit.
std::uint32_t crc32(const std::string& type, const std::vector<std::uint8_t>& data) {
  std::uint32_t crc = 0xffffffff;
  auto add = [&crc](std::uint8_t byte) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = crc & 1 ? (crc >> 1) ^ 0xedb88320 : crc >> 1;
  };
  for (char c : type) add(static_cast<std::uint8_t>(c));
  for (std::uint8_t byte : data) add(byte);
  return ~crc;
}

// The filter type byte of every row, read from the file's own zlib stream.
std::vector<int> rowFilters(const std::vector<std::uint8_t>& png, std::size_t rowBytes,
                            int height) {
  std::vector<std::uint8_t> stream;
  for (const Chunk& chunk : chunksOf(png)) {
    if (chunk.type == "IDAT") stream.insert(stream.end(), chunk.data.begin(), chunk.data.end());
  }
  std::vector<std::uint8_t> raw((rowBytes + 1) * height);
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  const libdeflate_result result = libdeflate_zlib_decompress(
      decompressor, stream.data(), stream.size(), raw.data(), raw.size(), nullptr);
  libdeflate_free_decompressor(decompressor);
  if (result != LIBDEFLATE_SUCCESS) return {};
  std::vector<int> filters;
  for (int y = 0; y < height; ++y) filters.push_back(raw[y * (rowBytes + 1)]);
  return filters;
}

// Signature, IHDR, the image data, IEND, nothing else, every CRC right.
TEST(PNGEncoderTest, FileIsHeaderImageDataAndEndWithTheirCRCs) {
  for (Image::Alpha alpha : {Image::Alpha::none, Image::Alpha::premultiplied}) {
    const std::vector<std::uint8_t> png = encodePNG(noiseImage(300, 7, alpha, 6)).value();
    const std::vector<std::uint8_t> signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    ASSERT_GE(png.size(), 8u);
    EXPECT_EQ(std::vector<std::uint8_t>(png.begin(), png.begin() + 8), signature);
    const std::vector<Chunk> chunks = chunksOf(png);
    ASSERT_GE(chunks.size(), 3u);
    EXPECT_EQ(chunks.front().type, "IHDR");
    const std::uint8_t colourType = alpha == Image::Alpha::none ? 2 : 6;
    EXPECT_EQ(chunks.front().data,
              (std::vector<std::uint8_t>{0, 0, 1, 44, 0, 0, 0, 7, 8, colourType, 0, 0, 0}));
    for (std::size_t i = 1; i + 1 < chunks.size(); ++i) EXPECT_EQ(chunks[i].type, "IDAT");
    EXPECT_EQ(chunks.back().type, "IEND");
    EXPECT_TRUE(chunks.back().data.empty());
    std::size_t stored = 8;
    for (const Chunk& chunk : chunks) {
      EXPECT_EQ(chunk.crc, crc32(chunk.type, chunk.data)) << chunk.type;
      stored += chunk.data.size() + 12;
    }
    EXPECT_EQ(stored, png.size()) << "bytes after IEND";
  }
}

TEST(PNGEncoderTest, OpaqueImageBecomesRGBWithItsExactColours) {
  expectRoundTrip(noiseImage(61, 47, Image::Alpha::none, 1));
}

TEST(PNGEncoderTest, TransparentImageBecomesRGBAWithRandomAlpha) {
  expectRoundTrip(noiseImage(61, 47, Image::Alpha::premultiplied, 2));
}

// Straight colour is c * 255 / a, rounded; nothing is left where a is 0,
// and a colour brighter than its alpha (not premultiplied) is clamped.
TEST(PNGEncoderTest, AlphaIsUnpremultipliedWithRounding) {
  struct Case {
    std::uint32_t premultiplied;
    DecodedPNG::Pixel straight;
  };
  const Case cases[] = {
      {argb(255, 0x33, 0x66, 0x99), {0x33, 0x66, 0x99, 255}},
      {argb(0, 0, 0, 0), {0, 0, 0, 0}},
      {argb(0, 9, 9, 9), {0, 0, 0, 0}},
      {argb(128, 64, 32, 16), {128, 64, 32, 128}},
      {argb(1, 1, 1, 0), {255, 255, 0, 1}},
      {argb(127, 127, 0, 1), {255, 0, 2, 127}},
      {argb(64, 255, 0, 0), {255, 0, 0, 64}},
  };
  Image image = Image::blank(std::size(cases), 1, Image::Alpha::premultiplied);
  for (std::size_t i = 0; i < std::size(cases); ++i) image.pixels[i] = cases[i].premultiplied;
  const std::optional<DecodedPNG> decoded = decodePNG(encodePNG(image).value());
  ASSERT_TRUE(decoded.has_value());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(decoded->pixel(static_cast<int>(i), 0), cases[i].straight) << "case " << i;
  }
}

// Rows that are a pixel, rows shorter than the encoder's blocks of sixteen
// bytes, rows with a few bytes after the last block, and one pixel high.
TEST(PNGEncoderTest, OddSizesRoundTrip) {
  const std::pair<int, int> sizes[] = {{1, 1}, {1, 37}, {37, 1}, {2, 2}, {5, 3}, {17, 9}, {45, 4}};
  for (const auto& [width, height] : sizes) {
    for (Image::Alpha alpha : {Image::Alpha::none, Image::Alpha::premultiplied}) {
      SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) +
                   (alpha == Image::Alpha::none ? " RGB" : " RGBA"));
      expectRoundTrip(noiseImage(width, height, alpha, width * 100 + height));
    }
  }
}

// Large enough to be filtered in bands by several threads on a machine with
// more than one core; the rows at the bands' edges must still match. Noise
// and flat blocks, which are compressed with different effort.
TEST(PNGEncoderTest, LargeImagesRoundTrip) {
  expectRoundTrip(noiseImage(1031, 1200, Image::Alpha::none, 3));
  expectRoundTrip(noiseImage(640, 900, Image::Alpha::premultiplied, 4));
  Image blocks = Image::blank(1203, 1001, Image::Alpha::none);
  for (int y = 0; y < blocks.height; ++y) {
    for (int x = 0; x < blocks.width; ++x) {
      blocks.at(x, y) = 0xff000000 | ((x / 37) * 0x010203 + (y / 29) * 0x030201);
    }
  }
  expectRoundTrip(blocks);
}

// Rows built so that each filter is the clear winner somewhere: a copy of
// the row above (Up); the mean of left and above (Average); flat under a
// flat stretch, then a copy of a varied stretch above (Paeth follows the
// left neighbour in the one and the upper one in the other); a ramp along
// the row (Sub); values near zero under a ramp (None). Random rows between
// them give the neighbours.
TEST(PNGEncoderTest, EveryFilterIsChosenAndDecodes) {
  constexpr int kWidth = 45;  // 135 bytes: eight blocks of sixteen and seven more
  constexpr int kBpp = 3;
  constexpr std::size_t kRowBytes = kWidth * kBpp;
  constexpr std::size_t kFlatBytes = 20 * kBpp;
  std::mt19937 random(5);
  auto randomByte = [&] { return static_cast<int>(random() % 256); };
  std::vector<std::vector<int>> rows;
  auto addRow = [&](auto byteAt) {
    std::vector<int> row(kRowBytes);
    for (std::size_t i = 0; i < kRowBytes; ++i) row[i] = byteAt(i, row) & 0xff;
    rows.push_back(std::move(row));
  };
  auto above = [&](std::size_t i) { return rows.back()[i]; };
  auto left = [](std::size_t i, const std::vector<int>& row) {
    return i >= kBpp ? row[i - kBpp] : 0;
  };

  addRow([&](std::size_t, auto&) { return randomByte(); });
  addRow([&](std::size_t i, auto&) { return above(i); });  // Up
  addRow([&](std::size_t, auto&) { return randomByte(); });
  addRow([&](std::size_t i, auto& row) { return (left(i, row) + above(i)) / 2; });  // Average
  addRow([&](std::size_t i, auto&) { return i < kFlatBytes ? 200 : randomByte(); });
  addRow([&](std::size_t i, auto&) { return i < kFlatBytes ? 50 : above(i); });          // Paeth
  addRow([&](std::size_t i, auto&) { return int(i / kBpp) * 7 + int(i % kBpp) * 50; });  // Sub
  addRow([&](std::size_t i, auto&) { return int(i / kBpp) % 2; });                       // None

  Image image = Image::blank(kWidth, static_cast<int>(rows.size()), Image::Alpha::none);
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const int* rgb = &rows[y][x * kBpp];
      image.at(x, y) = argb(255, rgb[0], rgb[1], rgb[2]);
    }
  }
  const std::optional<std::vector<std::uint8_t>> png = encodePNG(image);
  ASSERT_TRUE(png.has_value());
  const std::vector<int> filters = rowFilters(*png, kRowBytes, image.height);
  ASSERT_EQ(filters.size(), rows.size());
  EXPECT_EQ(filters[1], 2);  // Up
  EXPECT_EQ(filters[3], 3);  // Average
  EXPECT_EQ(filters[5], 4);  // Paeth
  EXPECT_EQ(filters[6], 1);  // Sub
  EXPECT_EQ(filters[7], 0);  // None
  expectRoundTrip(image);
}

TEST(PNGEncoderTest, EmptyOrInconsistentImageIsNotEncoded) {
  const Image images[] = {
      Image{},
      Image{0, 5, Image::Alpha::none, {}},
      Image{5, 0, Image::Alpha::premultiplied, {}},
      Image{-2, -3, Image::Alpha::none, std::vector<std::uint32_t>(6)},
      Image{4, 4, Image::Alpha::none, std::vector<std::uint32_t>(15)},
      Image{4, 4, Image::Alpha::premultiplied, std::vector<std::uint32_t>(17)},
  };
  for (const Image& image : images) {
    EXPECT_FALSE(encodePNG(image).has_value()) << image.width << "x" << image.height;
  }
}

}  // namespace
}  // namespace glimra

#include "capture/image_resampler.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace glimra {
namespace {

constexpr std::uint32_t kRed = 0xffff0000, kGreen = 0xff00ff00, kBlue = 0xff0000ff,
                        kBlack = 0xff000000, kWhite = 0xffffffff;

Image filled(int width, int height, Image::Alpha alpha, std::uint32_t colour) {
  Image image = Image::blank(width, height, alpha);
  std::fill(image.pixels.begin(), image.pixels.end(), colour);
  return image;
}

void fillRect(Image& image, int x0, int y0, int width, int height, std::uint32_t colour) {
  for (int y = y0; y < y0 + height; ++y) {
    for (int x = x0; x < x0 + width; ++x) image.at(x, y) = colour;
  }
}

struct Scale {
  int fromWidth, fromHeight, toWidth, toHeight;
};
const Scale kScales[] = {
    {100, 80, 37, 23}, {640, 400, 524, 328}, {10, 10, 64, 64}, {1, 1, 64, 64}, {64, 48, 64, 64},
};

std::string describe(const Scale& s) {
  return std::to_string(s.fromWidth) + "x" + std::to_string(s.fromHeight) + " -> " +
         std::to_string(s.toWidth) + "x" + std::to_string(s.toHeight);
}

// Smaller, larger and changed aspect: the result has the size asked for,
// is premultiplied, and a flat colour stays that colour to the edges. An
// opaque source's padding byte (here 0x00) does not leak into the alpha.
TEST(ImageResamplerTest, FlatOpaqueColourStaysFlatAtEverySize) {
  for (const Scale& s : kScales) {
    SCOPED_TRACE(describe(s));
    const Image source = filled(s.fromWidth, s.fromHeight, Image::Alpha::none, 0x00336699);
    const std::optional<Image> result = resampleImage(source, s.toWidth, s.toHeight);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->width, s.toWidth);
    EXPECT_EQ(result->height, s.toHeight);
    EXPECT_EQ(result->alpha, Image::Alpha::premultiplied);
    ASSERT_EQ(result->pixels.size(), std::size_t(s.toWidth) * s.toHeight);
    for (std::uint32_t pixel : result->pixels) ASSERT_EQ(pixel, 0xff336699u);
  }
}

TEST(ImageResamplerTest, OpaqueDetailStaysOpaque) {
  std::mt19937 random(9);
  Image source = Image::blank(301, 203, Image::Alpha::none);
  for (std::uint32_t& pixel : source.pixels) pixel = random() & 0x00ffffff;
  const std::optional<Image> result = resampleImage(source, 246, 166);
  ASSERT_TRUE(result.has_value());
  for (std::uint32_t pixel : result->pixels) ASSERT_EQ(pixel >> 24, 0xffu);
}

// Drawn at its own size (or along a side that keeps its size) a source is
// copied, not blurred.
TEST(ImageResamplerTest, KeptSideIsCopiedExactly) {
  std::mt19937 random(11);
  Image source = Image::blank(23, 40, Image::Alpha::none);
  for (std::uint32_t& pixel : source.pixels) pixel = random() | 0xff000000;
  const std::optional<Image> same = resampleImage(source, 23, 40);
  ASSERT_TRUE(same.has_value());
  EXPECT_EQ(same->pixels, source.pixels);

  Image columns = Image::blank(23, 40, Image::Alpha::none);
  for (int y = 0; y < 40; ++y) {
    for (int x = 0; x < 23; ++x) columns.at(x, y) = source.at(x, 0);
  }
  const std::optional<Image> shorter = resampleImage(columns, 23, 13);
  ASSERT_TRUE(shorter.has_value());
  for (int y = 0; y < 13; ++y) {
    for (int x = 0; x < 23; ++x) ASSERT_EQ(shorter->at(x, y), source.at(x, 0)) << x << "," << y;
  }
}

// Left and right halves (then top and bottom) keep their colours, apart
// from the pixels next to the seam, which may blend.
TEST(ImageResamplerTest, HalvesKeepTheirSides) {
  Image leftRight = filled(200, 100, Image::Alpha::none, kRed);
  fillRect(leftRight, 100, 0, 100, 100, kBlue);
  const std::optional<Image> across = resampleImage(leftRight, 50, 25);
  ASSERT_TRUE(across.has_value());
  for (int y = 0; y < 25; ++y) {
    for (int x = 0; x < 24; ++x) ASSERT_EQ(across->at(x, y), kRed) << x << "," << y;
    for (int x = 26; x < 50; ++x) ASSERT_EQ(across->at(x, y), kBlue) << x << "," << y;
  }

  Image topBottom = filled(90, 120, Image::Alpha::none, kGreen);
  fillRect(topBottom, 0, 60, 90, 60, kBlack);
  const std::optional<Image> down = resampleImage(topBottom, 30, 40);
  ASSERT_TRUE(down.has_value());
  for (int x = 0; x < 30; ++x) {
    for (int y = 0; y < 19; ++y) ASSERT_EQ(down->at(x, y), kGreen) << x << "," << y;
    for (int y = 21; y < 40; ++y) ASSERT_EQ(down->at(x, y), kBlack) << x << "," << y;
  }
}

// The whole source is drawn: a mark in each corner ends up in the same
// corner of the result, and the middle stays as it was.
TEST(ImageResamplerTest, WholeSourceIsDrawn) {
  Image source = filled(300, 200, Image::Alpha::none, kWhite);
  fillRect(source, 0, 0, 30, 20, kRed);
  fillRect(source, 270, 0, 30, 20, kGreen);
  fillRect(source, 0, 180, 30, 20, kBlue);
  fillRect(source, 270, 180, 30, 20, kBlack);
  const std::optional<Image> result = resampleImage(source, 60, 40);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->at(0, 0), kRed);
  EXPECT_EQ(result->at(59, 0), kGreen);
  EXPECT_EQ(result->at(0, 39), kBlue);
  EXPECT_EQ(result->at(59, 39), kBlack);
  EXPECT_EQ(result->at(30, 20), kWhite);
}

// A premultiplied source keeps its transparency, and the result is valid
// premultiplied colour (no channel above alpha).
TEST(ImageResamplerTest, TransparencyIsKeptPremultiplied) {
  Image source = filled(64, 64, Image::Alpha::premultiplied, 0);
  fillRect(source, 16, 16, 32, 32, 0x80800000);  // half-transparent red
  const std::optional<Image> result = resampleImage(source, 16, 16);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->at(0, 0), 0u);
  EXPECT_EQ(result->at(8, 8), 0x80800000u);
  for (std::uint32_t pixel : result->pixels) {
    const std::uint32_t alpha = pixel >> 24;
    ASSERT_LE(pixel >> 16 & 0xff, alpha);
    ASSERT_LE(pixel >> 8 & 0xff, alpha);
    ASSERT_LE(pixel & 0xff, alpha);
  }
}

TEST(ImageResamplerTest, ImpossibleSizesOrSourcesGiveNothing) {
  const Image source = filled(8, 8, Image::Alpha::none, kWhite);
  EXPECT_FALSE(resampleImage(source, 0, 4).has_value());
  EXPECT_FALSE(resampleImage(source, 4, 0).has_value());
  EXPECT_FALSE(resampleImage(source, -4, 4).has_value());
  EXPECT_FALSE(resampleImage(Image{}, 4, 4).has_value());
  EXPECT_FALSE(resampleImage(Image{8, 8, Image::Alpha::none, std::vector<std::uint32_t>(63)}, 4, 4)
                   .has_value());
}

}  // namespace
}  // namespace glimra

#include "capture/app_icon.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/png_decoder.h"

namespace glimra {
namespace {

using testing::DecodedPNG;
using testing::decodePNG;

constexpr char kPrefix[] = "data:image/png;base64,";

// Standard base64 back to bytes; none on any character outside the
// alphabet or a length that is not a multiple of four.
std::optional<std::vector<std::uint8_t>> fromBase64(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    std::uint32_t group = 0;
    int padding = 0;
    for (std::size_t j = i; j < i + 4; ++j) {
      const std::size_t value = text[j] == '=' ? 0 : kAlphabet.find(text[j]);
      if (value == std::string::npos) return std::nullopt;
      padding += text[j] == '=';
      group = group << 6 | static_cast<std::uint32_t>(value);
    }
    for (int k = 0; k < 3 - padding; ++k) bytes.push_back(std::uint8_t(group >> (16 - 8 * k)));
  }
  return bytes;
}

std::optional<DecodedPNG> decodeDataURL(const std::string& url) {
  if (url.rfind(kPrefix, 0) != 0) return std::nullopt;
  const std::optional<std::vector<std::uint8_t>> png = fromBase64(url.substr(sizeof kPrefix - 1));
  if (!png) return std::nullopt;
  return decodePNG(*png);
}

// An encoder that hands back fixed bytes and notes what it was given.
struct FixedEncoder {
  std::vector<std::uint8_t> bytes;
  std::optional<Image> given = std::nullopt;
  IconEncoder encoder() {
    return [this](const Image& image) -> std::optional<std::vector<std::uint8_t>> {
      given = image;
      return bytes;
    };
  }
};

Image icon(int width, int height, std::uint32_t colour) {
  Image image = Image::blank(width, height, Image::Alpha::premultiplied);
  std::fill(image.pixels.begin(), image.pixels.end(), colour);
  return image;
}

// Small icons are enlarged and large ones reduced, whatever their shape.
TEST(AppIconTest, DataURLHoldsTheIconAtSixtyFourPixels) {
  for (const auto& [width, height] : {std::pair{16, 16}, {256, 256}, {48, 32}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    const std::optional<std::string> url = appIconDataURL(icon(width, height, 0xff2080c0));
    ASSERT_TRUE(url.has_value());
    const std::optional<DecodedPNG> png = decodeDataURL(*url);
    ASSERT_TRUE(png.has_value()) << "not a base64 PNG data URL";
    EXPECT_EQ(png->width, 64);
    EXPECT_EQ(png->height, 64);
    EXPECT_EQ(png->colourType, 6);  // RGBA: icons may be transparent
    EXPECT_EQ(png->pixel(0, 0), (DecodedPNG::Pixel{0x20, 0x80, 0xc0, 0xff}));
    EXPECT_EQ(png->pixel(63, 63), (DecodedPNG::Pixel{0x20, 0x80, 0xc0, 0xff}));
  }
}

TEST(AppIconTest, TransparencySurvives) {
  const std::optional<std::string> url = appIconDataURL(icon(32, 32, 0x80400000));
  ASSERT_TRUE(url.has_value());
  const std::optional<DecodedPNG> png = decodeDataURL(*url);
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(png->pixel(10, 10), (DecodedPNG::Pixel{0x80, 0, 0, 0x80}));
}

TEST(AppIconTest, NoIconOrAnUndrawableOneGivesNoURL) {
  EXPECT_FALSE(appIconDataURL(std::nullopt).has_value());
  EXPECT_FALSE(appIconDataURL(Image{}).has_value());
  EXPECT_FALSE(
      appIconDataURL(Image{4, 4, Image::Alpha::none, std::vector<std::uint32_t>(3)}).has_value());
}

TEST(AppIconTest, EncoderFailureGivesNoURL) {
  const IconEncoder failing = [](const Image&) {
    return std::optional<std::vector<std::uint8_t>>();
  };
  EXPECT_FALSE(appIconDataURL(icon(16, 16, 0xffffffff), failing).has_value());
}

TEST(AppIconTest, PNGOfAtMost128000BytesIsAccepted) {
  FixedEncoder atLimit{std::vector<std::uint8_t>(128000, 0x5a)};
  const std::optional<std::string> url =
      appIconDataURL(icon(16, 16, 0xffffffff), atLimit.encoder());
  ASSERT_TRUE(url.has_value());
  ASSERT_TRUE(atLimit.given.has_value());
  EXPECT_EQ(atLimit.given->width, 64);
  EXPECT_EQ(atLimit.given->height, 64);
  EXPECT_EQ(url->size(), sizeof kPrefix - 1 + 170668);  // 42667 groups of four
  EXPECT_EQ(fromBase64(url->substr(sizeof kPrefix - 1)), atLimit.bytes);

  FixedEncoder overLimit{std::vector<std::uint8_t>(128001, 0x5a)};
  EXPECT_FALSE(appIconDataURL(icon(16, 16, 0xffffffff), overLimit.encoder()).has_value());
}

TEST(AppIconTest, Base64IsStandardAndPadded) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    std::string text;
  };
  const Case cases[] = {
      {{}, ""},
      {{'f'}, "Zg=="},
      {{'f', 'o'}, "Zm8="},
      {{'f', 'o', 'o'}, "Zm9v"},
      {{'f', 'o', 'o', 'b', 'a', 'r'}, "Zm9vYmFy"},
      {{0xfb, 0xff}, "+/8="},
      {{0xfb, 0xff, 0xbf}, "+/+/"},
      {{0x00, 0x10, 0x83}, "ABCD"},
  };
  for (const Case& c : cases) {
    FixedEncoder encoder{c.bytes};
    EXPECT_EQ(appIconDataURL(icon(8, 8, 0), encoder.encoder()), kPrefix + c.text);
  }
}

}  // namespace
}  // namespace glimra

#include "capture/png_attachment_limit.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/png_encoder.h"
#include "protocol/failure_catalog.h"

namespace glimra {
namespace {

constexpr std::size_t kLimit = 10'485'760;
constexpr std::size_t kTooLarge = 11'000'000;  // reduced by 0.82

struct Size {
  int width, height;
  friend bool operator==(const Size&, const Size&) = default;
};

std::ostream& operator<<(std::ostream& out, const Size& size) {
  return out << size.width << "x" << size.height;
}

// Steps whose results a test scripts: each encoding has the next byte count
// of `pngSizes` (none: the encoder fails), and resampling gives an image of
// the size asked for (with no pixels; nothing here reads them) unless told to
// fail. Records the size of every image encoded and every size asked for.
class ScriptedSteps {
 public:
  explicit ScriptedSteps(std::vector<std::optional<std::size_t>> pngSizes)
      : pngSizes_(std::move(pngSizes)) {}

  PNGReductionSteps steps() {
    return {
        [this](const Image& image) -> std::optional<std::vector<std::uint8_t>> {
          encoded.push_back({image.width, image.height});
          EXPECT_LT(encoded.size() - 1, pngSizes_.size()) << "more encodings than scripted";
          if (encoded.size() > pngSizes_.size()) return std::nullopt;
          const std::optional<std::size_t> size = pngSizes_[encoded.size() - 1];
          if (!size) return std::nullopt;
          return std::vector<std::uint8_t>(*size, static_cast<std::uint8_t>(encoded.size()));
        },
        [this](const Image& image, int width, int height) -> std::optional<Image> {
          // Always from the image the previous step produced.
          EXPECT_EQ((Size{image.width, image.height}), encoded.back());
          resampledTo.push_back({width, height});
          if (failResampling) return std::nullopt;
          return Image{width, height, Image::Alpha::premultiplied, {}};
        },
    };
  }

  std::vector<Size> encoded;
  std::vector<Size> resampledTo;
  bool failResampling = false;

 private:
  std::vector<std::optional<std::size_t>> pngSizes_;
};

Image imageOfSize(int width, int height) { return Image{width, height, Image::Alpha::none, {}}; }

TEST(PNGAttachmentLimitTest, SmallEnoughInputIsReturnedUnreduced) {
  ScriptedSteps script({kLimit - 1});
  const Result<std::vector<std::uint8_t>> result =
      encodePNGUnderAttachmentLimit(imageOfSize(3024, 1964), script.steps());
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value(), std::vector<std::uint8_t>(kLimit - 1, 1));
  EXPECT_EQ(script.encoded, (std::vector<Size>{{3024, 1964}}));
  EXPECT_TRUE(script.resampledTo.empty());
}

TEST(PNGAttachmentLimitTest, ExactlyTenMebibytesIsReduced) {
  ScriptedSteps script({kLimit, kLimit - 1});
  const Result<std::vector<std::uint8_t>> result =
      encodePNGUnderAttachmentLimit(imageOfSize(3024, 1964), script.steps());
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value(), std::vector<std::uint8_t>(kLimit - 1, 2));
  EXPECT_EQ(script.resampledTo, (std::vector<Size>{{2479, 1610}}));
  EXPECT_EQ(script.encoded, (std::vector<Size>{{3024, 1964}, {2479, 1610}}));
}

// factor = 0.9 * sqrt(10485759 / size), at most 0.82, at least 0.25; each
// side is floor(factor * side).
TEST(PNGAttachmentLimitTest, FactorFollowsTheEncodedSize) {
  struct Case {
    std::size_t pngSize;
    int reducedSide;  // of 10000
  };
  const Case cases[] = {
      {kLimit, 8200},       // 0.9 * ~1 clamped to 0.82
      {11'000'000, 8200},   // 0.8787 clamped to 0.82
      {13'000'000, 8082},   // 0.8083
      {40'000'000, 4607},   // 0.460799978: floored, not rounded
      {200'000'000, 2500},  // 0.2061 raised to 0.25
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pngSize);
    ScriptedSteps script({c.pngSize, 1});
    ASSERT_TRUE(encodePNGUnderAttachmentLimit(imageOfSize(10000, 10000), script.steps()).ok());
    EXPECT_EQ(script.resampledTo, (std::vector<Size>{{c.reducedSide, c.reducedSide}}));
  }
}

// Each reduction starts from the previous reduced image and its own size.
TEST(PNGAttachmentLimitTest, ReductionsCompound) {
  ScriptedSteps sameSize({kTooLarge, kTooLarge, kTooLarge, 5});
  ASSERT_TRUE(encodePNGUnderAttachmentLimit(imageOfSize(3024, 1964), sameSize.steps()).ok());
  EXPECT_EQ(sameSize.resampledTo, (std::vector<Size>{{2479, 1610}, {2032, 1320}, {1666, 1082}}));

  ScriptedSteps shrinkingSize({40'000'000, 13'000'000, 5});
  ASSERT_TRUE(encodePNGUnderAttachmentLimit(imageOfSize(10000, 10000), shrinkingSize.steps()).ok());
  EXPECT_EQ(shrinkingSize.resampledTo, (std::vector<Size>{{4607, 4607}, {3723, 3723}}));
}

TEST(PNGAttachmentLimitTest, TwentiethEncodingIsTheLastChance) {
  std::vector<std::optional<std::size_t>> sizes(19, kTooLarge);
  sizes.push_back(kLimit - 1);
  ScriptedSteps lastChance(sizes);
  const Result<std::vector<std::uint8_t>> result =
      encodePNGUnderAttachmentLimit(imageOfSize(100000, 100000), lastChance.steps());
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(lastChance.encoded.size(), 20u);
  EXPECT_EQ(lastChance.resampledTo.size(), 19u);

  ScriptedSteps neverSmall(std::vector<std::optional<std::size_t>>(20, kTooLarge));
  const Result<std::vector<std::uint8_t>> failed =
      encodePNGUnderAttachmentLimit(imageOfSize(100000, 100000), neverSmall.steps());
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.failure(), failures::pngTooLarge());
  EXPECT_EQ(neverSmall.encoded.size(), 20u);
  EXPECT_EQ(neverSmall.resampledTo.size(), 20u);  // the last one never encoded
  EXPECT_EQ(neverSmall.resampledTo.back(), (Size{1886, 1886}));
}

TEST(PNGAttachmentLimitTest, OnePixelCannotShrink) {
  ScriptedSteps script({kTooLarge});
  const Result<std::vector<std::uint8_t>> result =
      encodePNGUnderAttachmentLimit(imageOfSize(1, 1), script.steps());
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.failure(), failures::pngTooLarge());
  EXPECT_TRUE(script.resampledTo.empty());
}

// A side that cannot shrink stays at one pixel while the other shrinks.
TEST(PNGAttachmentLimitTest, OnePixelWideShrinksInHeightOnly) {
  ScriptedSteps script({kTooLarge, 200'000'000, 5});
  ASSERT_TRUE(encodePNGUnderAttachmentLimit(imageOfSize(1, 1000), script.steps()).ok());
  EXPECT_EQ(script.resampledTo, (std::vector<Size>{{1, 820}, {1, 205}}));
}

TEST(PNGAttachmentLimitTest, EncoderFailureIsEncodingFailedAtAnyAttempt) {
  for (const auto& sizes : {std::vector<std::optional<std::size_t>>{std::nullopt},
                            std::vector<std::optional<std::size_t>>{kTooLarge, std::nullopt}}) {
    ScriptedSteps script(sizes);
    const Result<std::vector<std::uint8_t>> result =
        encodePNGUnderAttachmentLimit(imageOfSize(800, 600), script.steps());
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.failure(), failures::pngEncodingFailed());
    EXPECT_EQ(script.encoded.size(), sizes.size());
  }
}

TEST(PNGAttachmentLimitTest, ResamplerFailureIsTooLarge) {
  ScriptedSteps script({kTooLarge});
  script.failResampling = true;
  const Result<std::vector<std::uint8_t>> result =
      encodePNGUnderAttachmentLimit(imageOfSize(800, 600), script.steps());
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.failure(), failures::pngTooLarge());
  EXPECT_EQ(script.resampledTo, (std::vector<Size>{{656, 491}}));  // 0.82 * 600 is 491.99...
}

// With the real steps a small image is simply its PNG.
TEST(PNGAttachmentLimitTest, RealStepsEncodeSmallImage) {
  Image image = Image::blank(40, 30, Image::Alpha::none);
  for (std::size_t i = 0; i < image.pixels.size(); ++i)
    image.pixels[i] = std::uint32_t(i * 2654435761u);
  const Result<std::vector<std::uint8_t>> result = encodePNGUnderAttachmentLimit(image);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value(), encodePNG(image).value());
}

TEST(PNGAttachmentLimitTest, RealStepsRejectEmptyImage) {
  const Result<std::vector<std::uint8_t>> result = encodePNGUnderAttachmentLimit(Image{});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.failure(), failures::pngEncodingFailed());
}

}  // namespace
}  // namespace glimra

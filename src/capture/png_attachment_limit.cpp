#include "capture/png_attachment_limit.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "capture/image_resampler.h"
#include "capture/png_encoder.h"
#include "protocol/failure_catalog.h"

namespace glimra {
namespace {

// Attachments must stay below 10 MiB.
constexpr std::size_t kAttachmentLimit = 10'485'760;
constexpr int kMaxAttempts = 20;
// Each step takes the sides to 0.9 of what would just fit if the PNG's size
// followed the area, shrinking them by at least 18 % and at most 75 %.
constexpr double kHeadroom = 0.9;
constexpr double kMaxFactor = 0.82;
constexpr double kMinFactor = 0.25;

double reductionFactor(std::size_t pngSize) {
  const double factor = kHeadroom * std::sqrt(static_cast<double>(kAttachmentLimit - 1) /
                                              static_cast<double>(pngSize));
  // Written so that NaN also takes the smallest factor.
  return factor >= kMinFactor ? std::min(factor, kMaxFactor) : kMinFactor;
}

int reducedSide(double factor, int side) {
  return std::max(1, static_cast<int>(std::floor(factor * side)));
}

}  // namespace

Result<std::vector<std::uint8_t>> encodePNGUnderAttachmentLimit(const Image& image,
                                                                const PNGReductionSteps& steps) {
  const Image* current = &image;
  std::optional<Image> reduced;  // owns `current` once the input has been reduced
  for (int attemptsLeft = kMaxAttempts;;) {
    std::optional<std::vector<std::uint8_t>> png = steps.encode(*current);
    if (!png) return failures::pngEncodingFailed();
    if (png->size() < kAttachmentLimit) return std::move(*png);

    const double factor = reductionFactor(png->size());
    png.reset();
    const int width = reducedSide(factor, current->width);
    const int height = reducedSide(factor, current->height);
    if (width >= current->width && height >= current->height) return failures::pngTooLarge();
    std::optional<Image> smaller = steps.resample(*current, width, height);
    if (!smaller) return failures::pngTooLarge();
    reduced = std::move(smaller);
    current = &*reduced;
    if (--attemptsLeft == 0) return failures::pngTooLarge();
  }
}

Result<std::vector<std::uint8_t>> encodePNGUnderAttachmentLimit(const Image& image) {
  return encodePNGUnderAttachmentLimit(image, {encodePNG, resampleImage});
}

}  // namespace glimra

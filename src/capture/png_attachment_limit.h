#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/image.h"
#include "protocol/glimra_failure.h"

namespace glimra {

// The PNG of `image`, reduced in steps until it is smaller than 10 MiB,
// with at most 20 encodings. Fails with "png_encoding_failed" or
// "png_too_large".
Result<std::vector<std::uint8_t>> encodePNGUnderAttachmentLimit(const Image& image);

// The two steps the reduction is made of; encodePNG and resampleImage unless
// a test scripts them.
struct PNGReductionSteps {
  std::function<std::optional<std::vector<std::uint8_t>>(const Image&)> encode;
  std::function<std::optional<Image>(const Image&, int width, int height)> resample;
};

// The same with its steps given: each attempt encodes the current image;
// one of 10 MiB or more is redrawn smaller by a factor found from its size
// (0.9 * sqrt(limit / size), at most 0.82, at least 0.25) and tried again.
Result<std::vector<std::uint8_t>> encodePNGUnderAttachmentLimit(const Image& image,
                                                                const PNGReductionSteps& steps);

}  // namespace glimra

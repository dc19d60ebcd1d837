#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/image.h"

namespace glimra {

// One complete PNG file of `image`: 8-bit RGB when the image has no alpha,
// 8-bit RGBA (alpha un-premultiplied) otherwise. Empty when it cannot be
// encoded (an empty or inconsistent image, or the compressor failed).
std::optional<std::vector<std::uint8_t>> encodePNG(const Image& image);

}  // namespace glimra

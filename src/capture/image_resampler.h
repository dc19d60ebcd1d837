#pragma once

#include <optional>

#include "platform/image.h"

namespace glimra {

// `source` drawn whole into a new premultiplied sRGB image of
// `width` x `height` pixels with a high-quality filter. Empty when the
// sizes are not positive or the memory cannot be had.
std::optional<Image> resampleImage(const Image& source, int width, int height);

}  // namespace glimra

#include "capture/image_resampler.h"

#include <pixman.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

namespace glimra {
namespace {

// Filter positions between source pixels: 2^4 phases, as cairo uses.
constexpr int kSubsampleBits = 4;
// pixman places pixels in 16.16 fixed point, so sides stop below 2^15 (as
// X11 windows do).
constexpr int kMaxSide = 32767;

struct PixmanImageDeleter {
  void operator()(pixman_image_t* image) const { pixman_image_unref(image); }
};
using PixmanImage = std::unique_ptr<pixman_image_t, PixmanImageDeleter>;

bool isDrawableSize(int width, int height) {
  return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide;
}

bool isDrawable(const Image& image) {
  if (!isDrawableSize(image.width, image.height)) return false;
  return image.pixels.size() == static_cast<std::size_t>(image.width) * image.height;
}

// Wraps `image`'s pixels without copying them; pixman only reads a source.
PixmanImage wrap(const Image& image, pixman_format_code_t format) {
  auto* bits = const_cast<std::uint32_t*>(image.pixels.data());
  return PixmanImage(
      pixman_image_create_bits(format, image.width, image.height, bits, image.width * 4));
}

// How one axis is filtered, by the source pixels per result pixel.
// Reducing a side averages the source area each result pixel covers:
// source pixels are squares (box) seen through a box of the scale's width.
// Enlarging interpolates linearly between source pixels. A side that keeps
// its size is copied (a single box tap), which a box sample, placed in
// sixteenths of a pixel, would blur slightly.
struct AxisFilter {
  explicit AxisFilter(double scale) {
    if (scale > 1) {
      sample = PIXMAN_KERNEL_BOX;
      width = pixman_double_to_fixed(scale);
    } else if (scale < 1) {
      reconstruct = PIXMAN_KERNEL_LINEAR;
    }
  }
  pixman_kernel_t reconstruct = PIXMAN_KERNEL_BOX;
  pixman_kernel_t sample = PIXMAN_KERNEL_IMPULSE;
  pixman_fixed_t width = pixman_fixed_1;
};

bool setFilter(pixman_image_t* source, double scaleX, double scaleY) {
  const AxisFilter x(scaleX), y(scaleY);
  int count = 0;
  pixman_fixed_t* parameters = pixman_filter_create_separable_convolution(
      &count, x.width, y.width, x.reconstruct, y.reconstruct, x.sample, y.sample, kSubsampleBits,
      kSubsampleBits);
  if (!parameters) return false;
  const bool set =
      pixman_image_set_filter(source, PIXMAN_FILTER_SEPARABLE_CONVOLUTION, parameters, count);
  std::free(parameters);
  return set;
}

}  // namespace

std::optional<Image> resampleImage(const Image& source, int width, int height) {
  if (!isDrawableSize(width, height) || !isDrawable(source)) return std::nullopt;
  try {
    Image result = Image::blank(width, height, Image::Alpha::premultiplied);
    const PixmanImage from =
        wrap(source, source.alpha == Image::Alpha::none ? PIXMAN_x8r8g8b8 : PIXMAN_a8r8g8b8);
    const PixmanImage to(
        pixman_image_create_bits(PIXMAN_a8r8g8b8, width, height, result.pixels.data(), width * 4));
    if (!from || !to) return std::nullopt;
    const double scaleX = double(source.width) / width;
    const double scaleY = double(source.height) / height;
    pixman_transform_t transform;
    pixman_transform_init_scale(&transform, pixman_double_to_fixed(scaleX),
                                pixman_double_to_fixed(scaleY));
    if (!pixman_image_set_transform(from.get(), &transform)) return std::nullopt;
    if (!setFilter(from.get(), scaleX, scaleY)) return std::nullopt;
    // Edge pixels extend outwards, so the border is not blended with nothing.
    pixman_image_set_repeat(from.get(), PIXMAN_REPEAT_PAD);
    pixman_image_composite32(PIXMAN_OP_SRC, from.get(), nullptr, to.get(), 0, 0, 0, 0, 0, 0, width,
                             height);
    return result;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace glimra

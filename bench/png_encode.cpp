// Compares the capture PNG encoder with libpng at its default settings on two
// 3840 x 2160 opaque frames, one like a desktop of windows and text, one like
// a photograph, and times one 0.82 reduction by the resampler. Both encoders
// start from the same 0xAARRGGBB pixels (libpng through its BGR and filler
// transforms), so both times include turning them into RGB rows.
// Usage: png_encode [runs]
#include <png.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <vector>

#include "capture/image_resampler.h"
#include "capture/png_encoder.h"
#include "platform/image.h"

using Clock = std::chrono::steady_clock;
using glimra::Image;

namespace {

constexpr int kWidth = 3840;
constexpr int kHeight = 2160;

// A small deterministic generator, so every run measures the same frames.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<std::uint32_t>(state_ >> 16);
  }
  int below(int bound) { return static_cast<int>(next() % static_cast<std::uint32_t>(bound)); }

 private:
  std::uint64_t state_;
};

std::uint32_t rgb(int r, int g, int b) {
  auto clamp = [](int v) { return static_cast<std::uint32_t>(std::clamp(v, 0, 255)); };
  return 0xff000000u | clamp(r) << 16 | clamp(g) << 8 | clamp(b);
}

void fillRect(Image& image, int x0, int y0, int w, int h, std::uint32_t colour) {
  for (int y = std::max(0, y0); y < std::min(image.height, y0 + h); ++y) {
    for (int x = std::max(0, x0); x < std::min(image.width, x0 + w); ++x) image.at(x, y) = colour;
  }
}

// Lines of 6 x 9 glyph-like marks, dark on the page colour, with a grey
// edge as anti-aliased text has.
void drawText(Image& image, Random& random, int x0, int y0, int w, int h) {
  std::vector<std::uint64_t> glyphs(64);
  for (auto& glyph : glyphs) glyph = (std::uint64_t{random.next()} << 32) | random.next();
  for (int line = y0; line + 12 < y0 + h; line += 16) {
    int x = x0;
    const int lineEnd = x0 + w - 8 - random.below(w / 3);
    while (x + 7 < lineEnd) {
      if (random.below(7) == 0) {  // a space between words
        x += 5;
        continue;
      }
      const std::uint64_t glyph = glyphs[random.below(64)];
      for (int gy = 0; gy < 9; ++gy) {
        for (int gx = 0; gx < 6; ++gx) {
          if (glyph >> (gy * 6 + gx) & 1) {
            image.at(x + gx, line + gy) = rgb(34, 34, 38);
          } else if (gx > 0 && (glyph >> (gy * 6 + gx - 1) & 1)) {
            image.at(x + gx, line + gy) = rgb(150, 150, 156);
          }
        }
      }
      x += 7;
    }
  }
}

Image textFrame() {
  Random random(42);
  Image image = Image::blank(kWidth, kHeight, Image::Alpha::none);
  fillRect(image, 0, 0, kWidth, kHeight, rgb(46, 52, 64));  // desktop
  fillRect(image, 0, 0, kWidth, 28, rgb(30, 30, 30));       // top bar
  drawText(image, random, 12, 8, 600, 20);
  struct Window {
    int x, y, w, h;
  };
  for (const Window& win :
       {Window{80, 90, 2400, 1700}, Window{1500, 400, 2200, 1600}, Window{300, 1300, 1400, 800}}) {
    fillRect(image, win.x - 1, win.y - 1, win.w + 2, win.h + 2, rgb(20, 20, 20));
    fillRect(image, win.x, win.y, win.w, 40, rgb(235, 235, 235));  // title bar
    for (int i = 0; i < 3; ++i) {                                  // window buttons
      fillRect(image, win.x + 14 + 24 * i, win.y + 13, 14, 14,
               rgb(220 - 60 * i, 90 + 50 * i, 80 + 40 * i));
    }
    drawText(image, random, win.x + win.w / 2 - 150, win.y + 15, 300, 16);
    fillRect(image, win.x, win.y + 40, 260, win.h - 40, rgb(244, 245, 247));  // sidebar
    drawText(image, random, win.x + 16, win.y + 60, 200, win.h - 80);
    fillRect(image, win.x + 260, win.y + 40, win.w - 260, win.h - 40, rgb(255, 255, 255));
    drawText(image, random, win.x + 300, win.y + 70, win.w - 600, win.h - 500);
    fillRect(image, win.x + 300, win.y + win.h - 380, 360, 240, rgb(66, 133, 244));
    fillRect(image, win.x + 700, win.y + win.h - 380, 360, 240, rgb(251, 188, 5));
    fillRect(image, win.x + 1100, win.y + win.h - 380, 200, 48, rgb(52, 168, 83));
  }
  return image;
}

Image photoFrame() {
  Random random(7);
  Image image = Image::blank(kWidth, kHeight, Image::Alpha::none);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const double u = x / double(kWidth), v = y / double(kHeight);
      const double sky = 1.0 - v;
      const double hills = std::sin(u * 9.0 + std::sin(v * 5.0) * 2.0) * 0.5 + 0.5;
      const double texture = std::sin(x * 0.21 + std::sin(y * 0.07) * 3.0) *
                             std::sin(y * 0.17 + std::cos(x * 0.05) * 2.0);
      const int noise = random.below(9) - 4;
      const double detail = texture * 14.0 * v;
      image.at(x, y) = rgb(int(60 + 120 * sky * hills + 60 * v + detail) + noise,
                           int(90 + 100 * sky + 50 * hills * v + detail) + random.below(9) - 4,
                           int(150 + 90 * sky - 80 * v * hills + detail) + noise);
    }
  }
  return image;
}

void writeToVector(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

// libpng with nothing but the layout set: its own filters and zlib level.
std::vector<std::uint8_t> encodeWithLibpng(const Image& image) {
  // The pixels are 0xAARRGGBB words: B, G, R, padding in memory. Made before
  // setjmp, which a libpng error returns to.
  std::vector<png_bytep> rows(image.height);
  for (int y = 0; y < image.height; ++y) {
    rows[y] = reinterpret_cast<png_bytep>(const_cast<std::uint32_t*>(image.pixels.data())) +
              std::size_t(y) * image.width * 4;
  }
  std::vector<std::uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &out, writeToVector, nullptr);
  png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_rows(png, info, rows.data());
  png_write_png(png, info, PNG_TRANSFORM_BGR | PNG_TRANSFORM_STRIP_FILLER_AFTER, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

struct Measurement {
  double medianMs = 0;
  std::size_t bytes = 0;
};

Measurement measure(int runs, const std::function<std::size_t()>& encode) {
  std::vector<double> times;
  std::size_t bytes = 0;
  for (int run = 0; run < runs; ++run) {
    const Clock::time_point start = Clock::now();
    bytes = encode();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], bytes};
}

void compare(const char* name, const Image& image, int runs) {
  const Measurement ours = measure(runs, [&] {
    const std::optional<std::vector<std::uint8_t>> png = glimra::encodePNG(image);
    return png ? png->size() : 0;
  });
  const Measurement libpng = measure(runs, [&] { return encodeWithLibpng(image).size(); });
  std::printf(
      "%-6s  ours %8.1f ms %10zu B   libpng %8.1f ms %10zu B   speed-up %5.2fx  size %5.3fx\n",
      name, ours.medianMs, ours.bytes, libpng.medianMs, libpng.bytes,
      libpng.medianMs / ours.medianMs, double(ours.bytes) / double(libpng.bytes));
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const Image text = textFrame();
  const Image photo = photoFrame();
  std::printf("%dx%d frames, median of %d runs\n", kWidth, kHeight, runs);
  compare("text", text, runs);
  compare("photo", photo, runs);
  const Measurement resample = measure(runs, [&] {
    const int w = int(std::floor(0.82 * kWidth)), h = int(std::floor(0.82 * kHeight));
    return glimra::resampleImage(photo, w, h).has_value() ? std::size_t(w) * h * 4 : 0;
  });
  std::printf("resample 0.82 of the photo frame: %.1f ms\n", resample.medianMs);
}

#include "support/png_decoder.h"

#include <png.h>

#include <csetjmp>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

namespace glimra::testing {
namespace {

struct MemoryReader {
  const std::vector<std::uint8_t>* file;
  std::size_t offset = 0;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t length) {
  auto* reader = static_cast<MemoryReader*>(png_get_io_ptr(png));
  if (length > reader->file->size() - reader->offset) png_error(png, "file is truncated");
  std::memcpy(out, reader->file->data() + reader->offset, length);
  reader->offset += length;
}

// Rejections are the answer, not something to print.
void quietError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void quietWarning(png_structp, png_const_charp) {}

// Everything that lives across libpng's error longjmp, kept out of the frame
// that calls setjmp, where no object with a destructor may be skipped.
struct Decoding {
  MemoryReader reader;
  DecodedPNG result;
  std::vector<png_bytep> rows;
};

bool decodeInto(png_structp png, png_infop info, Decoding& decoding) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_read_fn(png, &decoding.reader, readFromMemory);
  png_read_info(png, info);
  DecodedPNG& result = decoding.result;
  result.width = static_cast<int>(png_get_image_width(png, info));
  result.height = static_cast<int>(png_get_image_height(png, info));
  result.bitDepth = png_get_bit_depth(png, info);
  result.colourType = png_get_color_type(png, info);
  result.channels = png_get_channels(png, info);

  // Whatever the layout, read 8-bit RGBA.
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);

  const std::size_t stride = static_cast<std::size_t>(result.width) * 4;
  result.rgba.resize(stride * result.height);
  decoding.rows.resize(result.height);
  for (int y = 0; y < result.height; ++y) decoding.rows[y] = &result.rgba[y * stride];
  png_read_image(png, decoding.rows.data());
  png_read_end(png, nullptr);
  return true;
}

}  // namespace

std::optional<DecodedPNG> decodePNG(const std::vector<std::uint8_t>& file) {
  if (file.size() < 8 || png_sig_cmp(file.data(), 0, 8) != 0) return std::nullopt;
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, quietError, quietWarning);
  if (!png) return std::nullopt;
  png_infop info = png_create_info_struct(png);
  Decoding decoding{{&file}, {}, {}};
  const bool decoded = info && decodeInto(png, info, decoding);
  png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
  if (!decoded) return std::nullopt;
  return std::move(decoding.result);
}

std::optional<DecodedPNG> decodePNGFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in),
                                       std::istreambuf_iterator<char>()};
  return decodePNG(file);
}

}  // namespace glimra::testing

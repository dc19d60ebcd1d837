#include "capture/png_encoder.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace glimra {
namespace {

constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::uint8_t kColourTypeRGB = 2;
constexpr std::uint8_t kColourTypeRGBA = 6;
// Chunks may hold up to 2^31 - 1 bytes; longer image data is split.
constexpr std::size_t kMaxChunkData = std::size_t{1} << 30;
// Filtering is shared among threads only when each gets this many bytes.
constexpr std::size_t kMinBytesPerThread = std::size_t{1} << 20;
constexpr unsigned kMaxThreads = 8;
// libdeflate levels, chosen by measurement (bench/png_encode.cpp): see
// compressionLevel().
constexpr int kLevel = 3;
constexpr int kNoisyLevel = 1;

enum Filter : int { kNone, kSub, kUp, kAverage, kPaeth, kFilterCount };

// Sixteen bytes at a time through GCC's portable vector types (SSE2, NEON),
// with eight 16-bit lanes where a byte could overflow.
using Bytes = std::uint8_t __attribute__((vector_size(16)));
using SignedBytes = std::int8_t __attribute__((vector_size(16)));
using Words = std::int16_t __attribute__((vector_size(16)));
using Sums = std::uint16_t __attribute__((vector_size(16)));
constexpr std::size_t kLanes = sizeof(Bytes);
// Blocks a Sums can take: each adds at most 2 * 128 per lane, 255 blocks
// at most 65280. Byte counters of zeros take 255 blocks as well.
constexpr std::size_t kBlocksPerFlush = 255;

Bytes load(const std::uint8_t* bytes) {
  Bytes v;
  std::memcpy(&v, bytes, sizeof v);
  return v;
}

std::uint64_t horizontalSum(Sums sums) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < sizeof(Sums) / sizeof(std::uint16_t); ++i) sum += sums[i];
  return sum;
}

// Adjacent pairs of bytes added into sixteen-bit lanes.
Sums pairSums(Bytes bytes) {
  const Sums pairs = reinterpret_cast<Sums>(bytes);
  return (pairs & 0xff) + (pairs >> 8);
}

// |value| of each byte read as signed (at most 128), pairs added into
// sixteen-bit lanes.
Sums absoluteSigned(Bytes filtered) {
  // All-ones where negative; negated as unsigned bytes, so -128 gives 128.
  const Bytes negative = reinterpret_cast<Bytes>(reinterpret_cast<SignedBytes>(filtered) < 0);
  return pairSums((filtered ^ negative) - negative);
}

// Branch-free with all-ones/all-zeros lane masks, so it stays vectorised.
Words absolute(Words v) {
  const Words sign = v >> 15;
  return (v ^ sign) - sign;
}

Words select(Words mask, Words ifSet, Words ifClear) { return (ifSet & mask) | (ifClear & ~mask); }

[[gnu::always_inline]] inline Words paethPredictor(Words a, Words b, Words c) {
  const Words pa = absolute(b - c), pb = absolute(a - c), pc = absolute(a + b - c - c);
  return select((pa <= pb) & (pa <= pc), a, select(pb <= pc, b, c));
}

// The neighbours of sixteen bytes: the bytes themselves (x), left (a),
// above (b) and above-left (c), as the filters of PNG name them.
struct Neighbours {
  Bytes x, a, b, c;
};

Bytes average(const Neighbours& n) {
  // (a + b) / 2 without overflowing a byte.
  return n.x - ((n.a & n.b) + ((n.a ^ n.b) >> 1));
}

// Each 16-bit lane holds two bytes; the low and the high bytes are
// predicted apart and put back where they were, whatever the byte order.
[[gnu::always_inline]] inline Bytes paeth(const Neighbours& n) {
  const Sums a = reinterpret_cast<Sums>(n.a), b = reinterpret_cast<Sums>(n.b),
             c = reinterpret_cast<Sums>(n.c);
  const Words lows =
      paethPredictor(reinterpret_cast<Words>(a & 0xff), reinterpret_cast<Words>(b & 0xff),
                     reinterpret_cast<Words>(c & 0xff));
  const Words highs =
      paethPredictor(reinterpret_cast<Words>(a >> 8), reinterpret_cast<Words>(b >> 8),
                     reinterpret_cast<Words>(c >> 8));
  return n.x - reinterpret_cast<Bytes>(reinterpret_cast<Sums>(lows) |
                                       (reinterpret_cast<Sums>(highs) << 8));
}

Bytes applyFilter(int filter, const Neighbours& n) {
  switch (filter) {
    case kSub:
      return n.x - n.a;
    case kUp:
      return n.x - n.b;
    case kAverage:
      return average(n);
    case kPaeth:
      return paeth(n);
    default:
      return n.x;
  }
}

// The same filters one byte at a time, for the end of a row.
std::uint8_t filterByte(int filter, int x, int a, int b, int c) {
  switch (filter) {
    case kSub:
      return static_cast<std::uint8_t>(x - a);
    case kUp:
      return static_cast<std::uint8_t>(x - b);
    case kAverage:
      return static_cast<std::uint8_t>(x - (a + b) / 2);
    case kPaeth: {
      const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
      return static_cast<std::uint8_t>(x - (pa <= pb && pa <= pc ? a : pb <= pc ? b : c));
    }
    default:
      return static_cast<std::uint8_t>(x);
  }
}

// 0xAARRGGBB with straight alpha: colour * 255 / alpha, rounded, and
// clamped for colour above its alpha (which is not premultiplied).
std::uint32_t unpremultiplied(std::uint32_t pixel) {
  const std::uint32_t a = pixel >> 24;
  if (a == 255) return pixel;
  if (a == 0) return 0;
  auto channel = [pixel, a](int shift) {
    const std::uint32_t c = (pixel >> shift) & 0xff;
    return std::min<std::uint32_t>(255, (c * 255 + a / 2) / a) << shift;
  };
  return a << 24 | channel(16) | channel(8) | channel(0);
}

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// R, G, B of 0xAARRGGBB at `out`; may overwrite the byte after them.
void storeRGB(std::uint32_t pixel, std::uint8_t* out) {
  if constexpr (kLittleEndian) {
    const std::uint32_t rgb0 = __builtin_bswap32(pixel) >> 8;  // R, G, B, 0 in memory
    std::memcpy(out, &rgb0, sizeof rgb0);
  } else {
    out[0] = static_cast<std::uint8_t>(pixel >> 16);
    out[1] = static_cast<std::uint8_t>(pixel >> 8);
    out[2] = static_cast<std::uint8_t>(pixel);
  }
}

// R, G, B, A of 0xAARRGGBB at `out`.
void storeRGBA(std::uint32_t pixel, std::uint8_t* out) {
  if constexpr (kLittleEndian) {
    // Red and blue change places: R, G, B, A in memory.
    const std::uint32_t rgba = (pixel & 0xff00ff00) | (pixel >> 16 & 0xff) | (pixel & 0xff) << 16;
    std::memcpy(out, &rgba, sizeof rgba);
  } else {
    storeRGB(pixel, out);
    out[3] = static_cast<std::uint8_t>(pixel >> 24);
  }
}

// One row of the image as PNG stores it: R, G, B (and straight A) bytes.
// May write one byte past the row.
void convertRow(const std::uint32_t* pixels, int width, bool withAlpha, std::uint8_t* out) {
  if (withAlpha) {
    for (int x = 0; x < width; ++x) storeRGBA(unpremultiplied(pixels[x]), out + 4 * x);
  } else {
    for (int x = 0; x < width; ++x) storeRGB(pixels[x], out + 3 * x);
  }
}

// Filters one row after another, each with the filter whose output has the
// smallest sum of absolute values read as signed bytes (the estimate libpng
// uses too). Rows live after kLanes zero bytes, so the left neighbours of
// the first pixel read as zero, and before kLanes spare bytes; "above" the
// first row is all zeros.
class RowFilter {
 public:
  RowFilter(std::size_t rowBytes, std::size_t bytesPerPixel)
      : rowBytes_(rowBytes),
        bpp_(bytesPerPixel),
        blocks_(rowBytes / kLanes),
        current_(kLanes + rowBytes + kLanes, 0),
        above_(kLanes + rowBytes + kLanes, 0) {
    // Blocks start at multiples of 16, so alpha is in the same lanes of each.
    for (std::size_t i = 0; i < kLanes; ++i) colourLanes_[i] = isAlpha(i) ? 0 : 0xff;
  }

  std::uint8_t* row() { return current_.data() + kLanes; }
  std::uint8_t* above() { return above_.data() + kLanes; }

  // Writes the filter type byte and row() filtered to `out`, makes row()
  // the row above the next one, and returns how many filtered colour bytes
  // (not alpha) are 0.
  std::uint64_t filterInto(std::uint8_t* out) {
    const int best = bestFilter();
    out[0] = static_cast<std::uint8_t>(best);
    std::uint8_t* bytes = out + 1;
    std::uint64_t zeros = 0;
    for (std::size_t start = 0; start < blocks_; start += kBlocksPerFlush) {
      Bytes zeroCounts{};
      for (std::size_t block = start; block < std::min(blocks_, start + kBlocksPerFlush); ++block) {
        const Bytes filtered = applyFilter(best, neighbours(block * kLanes));
        std::memcpy(bytes + block * kLanes, &filtered, kLanes);
        // Lanes of -1 where a colour byte is zero.
        zeroCounts -= reinterpret_cast<Bytes>(filtered == 0) & colourLanes_;
      }
      zeros += horizontalSum(pairSums(zeroCounts));
    }
    for (std::size_t i = blocks_ * kLanes; i < rowBytes_; ++i) {
      bytes[i] = filterTail(best, i);
      zeros += bytes[i] == 0 && !isAlpha(i);
    }
    std::swap(current_, above_);
    return zeros;
  }

 private:
  Neighbours neighbours(std::size_t i) {
    return {load(row() + i), load(row() + i - bpp_), load(above() + i), load(above() + i - bpp_)};
  }

  bool isAlpha(std::size_t i) const { return bpp_ == 4 && i % 4 == 3; }

  std::uint8_t filterTail(int filter, std::size_t i) {
    return filterByte(filter, row()[i], row()[i - bpp_], above()[i], above()[i - bpp_]);
  }

  int bestFilter() {
    std::array<std::uint64_t, kFilterCount> sums{};
    for (std::size_t start = 0; start < blocks_; start += kBlocksPerFlush) {
      Sums none{}, sub{}, up{}, avg{}, pae{};
      for (std::size_t block = start; block < std::min(blocks_, start + kBlocksPerFlush); ++block) {
        const Neighbours n = neighbours(block * kLanes);
        none += absoluteSigned(n.x);
        sub += absoluteSigned(n.x - n.a);
        up += absoluteSigned(n.x - n.b);
        avg += absoluteSigned(average(n));
        pae += absoluteSigned(paeth(n));
      }
      sums[kNone] += horizontalSum(none);
      sums[kSub] += horizontalSum(sub);
      sums[kUp] += horizontalSum(up);
      sums[kAverage] += horizontalSum(avg);
      sums[kPaeth] += horizontalSum(pae);
    }
    for (std::size_t i = blocks_ * kLanes; i < rowBytes_; ++i) {
      for (int f = 0; f < kFilterCount; ++f) {
        sums[f] += static_cast<std::uint64_t>(std::abs(static_cast<std::int8_t>(filterTail(f, i))));
      }
    }
    return static_cast<int>(std::min_element(sums.begin(), sums.end()) - sums.begin());
  }

  std::size_t rowBytes_;
  std::size_t bpp_;
  std::size_t blocks_;
  std::vector<std::uint8_t> current_;
  std::vector<std::uint8_t> above_;
  Bytes colourLanes_{};
};

// Bytes not cleared before they are written: the buffers here are large and
// written whole.
struct Buffer {
  explicit Buffer(std::size_t length)
      : bytes(std::make_unique_for_overwrite<std::uint8_t[]>(length)), size(length) {}
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t size;
};

// The image data before compression: each row as its filter type byte
// followed by its filtered bytes.
struct FilteredImage {
  Buffer data;
  std::uint64_t colourBytes = 0;      // bytes of R, G and B
  std::uint64_t zeroColourBytes = 0;  // of which filtered to 0
};

class ImageFilter {
 public:
  ImageFilter(const Image& image, bool withAlpha)
      : image_(image),
        withAlpha_(withAlpha),
        bpp_(withAlpha ? 4 : 3),
        rowBytes_(static_cast<std::size_t>(image.width) * bpp_) {}

  // Bands of rows are filtered on threads of their own (the calling thread
  // takes the first); everything is allocated before any starts.
  FilteredImage run() {
    FilteredImage result{Buffer((rowBytes_ + 1) * image_.height)};
    const int parts = partCount(result.data.size);
    std::vector<RowFilter> filters(parts, RowFilter(rowBytes_, bpp_));
    std::vector<std::uint64_t> zeros(parts, 0);
    auto filterPart = [&](int part) {
      zeros[part] = filterBand(part, parts, filters[part], result.data.bytes.get());
    };
    std::vector<std::thread> workers;
    workers.reserve(parts);
    for (int part = 1; part < parts; ++part) {
      try {
        workers.emplace_back(filterPart, part);
      } catch (const std::system_error&) {
        filterPart(part);  // no thread to be had: this one does it
      }
    }
    filterPart(0);
    for (std::thread& worker : workers) worker.join();
    result.colourBytes = std::uint64_t{3} * image_.width * image_.height;
    for (std::uint64_t count : zeros) result.zeroColourBytes += count;
    return result;
  }

 private:
  int partCount(std::size_t bytes) const {
    const std::size_t threads = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
    return static_cast<int>(std::clamp<std::size_t>(bytes / kMinBytesPerThread, 1, threads));
  }

  // The rows of band `part` of `parts` into `out`; each band converts the
  // row above its first row itself. Returns the count of zero colour bytes.
  std::uint64_t filterBand(int part, int parts, RowFilter& filter, std::uint8_t* out) const {
    const int first = static_cast<int>(std::int64_t{image_.height} * part / parts);
    const int last = static_cast<int>(std::int64_t{image_.height} * (part + 1) / parts);
    if (first > 0) convertRow(pixelRow(first - 1), image_.width, withAlpha_, filter.above());
    std::uint64_t zeros = 0;
    for (int y = first; y < last; ++y) {
      convertRow(pixelRow(y), image_.width, withAlpha_, filter.row());
      zeros += filter.filterInto(out + y * (rowBytes_ + 1));
    }
    return zeros;
  }

  const std::uint32_t* pixelRow(int y) const {
    return image_.pixels.data() + static_cast<std::size_t>(y) * image_.width;
  }

  const Image& image_;
  bool withAlpha_;
  std::size_t bpp_;
  std::size_t rowBytes_;
};

// Deflate effort by content. When under a quarter of the filtered colour
// bytes are zero (alpha, mostly opaque, tells little) the image is
// noise-like, as photographs are: deflate finds few matches, and
// libdeflate's fastest level is two to three times as fast as the next ones
// for about 5 % more size. On screens of text and flat colour it is both
// slower and 20 % larger than level 3, which stays within a few per cent of
// libpng's size; higher levels cost more time than they save.
int compressionLevel(const FilteredImage& filtered) {
  return filtered.zeroColourBytes < filtered.colourBytes / 4 ? kNoisyLevel : kLevel;
}

struct CompressorDeleter {
  void operator()(libdeflate_compressor* compressor) const {
    libdeflate_free_compressor(compressor);
  }
};

// A zlib stream, in a buffer that may be longer than the stream.
struct CompressedData {
  Buffer buffer;
  std::size_t size;
};

std::optional<CompressedData> zlibCompress(const Buffer& data, int level) {
  const std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
      libdeflate_alloc_compressor(level));
  if (!compressor) return std::nullopt;
  Buffer compressed(libdeflate_zlib_compress_bound(compressor.get(), data.size));
  const std::size_t size = libdeflate_zlib_compress(compressor.get(), data.bytes.get(), data.size,
                                                    compressed.bytes.get(), compressed.size);
  if (size == 0) return std::nullopt;
  return CompressedData{std::move(compressed), size};
}

// The image's IDAT contents; the filtered rows are gone once it returns.
std::optional<CompressedData> compressedImageData(const Image& image, bool withAlpha) {
  const FilteredImage filtered = ImageFilter(image, withAlpha).run();
  return zlibCompress(filtered.data, compressionLevel(filtered));
}

void appendBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

void appendChunk(std::vector<std::uint8_t>& out, const char (&type)[5], const std::uint8_t* data,
                 std::size_t size) {
  appendBigEndian(out, static_cast<std::uint32_t>(size));
  const std::size_t typeStart = out.size();
  out.insert(out.end(), type, type + 4);
  if (size > 0) out.insert(out.end(), data, data + size);
  // The CRC covers the type and the data, not the length.
  appendBigEndian(out, libdeflate_crc32(0, out.data() + typeStart, size + 4));
}

std::vector<std::uint8_t> pngFile(const Image& image, bool withAlpha,
                                  const CompressedData& imageData) {
  constexpr std::size_t kChunkOverhead = 12;  // length, type and CRC
  std::vector<std::uint8_t> png;
  png.reserve(kSignature.size() + imageData.size +
              kChunkOverhead * (imageData.size / kMaxChunkData + 3) + 13);
  png.insert(png.end(), kSignature.begin(), kSignature.end());
  std::vector<std::uint8_t> header;
  appendBigEndian(header, static_cast<std::uint32_t>(image.width));
  appendBigEndian(header, static_cast<std::uint32_t>(image.height));
  // Bit depth 8, colour type, then deflate, adaptive filtering, no interlace.
  header.insert(header.end(), {8, withAlpha ? kColourTypeRGBA : kColourTypeRGB, 0, 0, 0});
  appendChunk(png, "IHDR", header.data(), header.size());
  for (std::size_t offset = 0; offset < imageData.size; offset += kMaxChunkData) {
    appendChunk(png, "IDAT", imageData.buffer.bytes.get() + offset,
                std::min(kMaxChunkData, imageData.size - offset));
  }
  appendChunk(png, "IEND", nullptr, 0);
  return png;
}

bool isEncodable(const Image& image) {
  if (image.width <= 0 || image.height <= 0) return false;
  return image.pixels.size() == static_cast<std::size_t>(image.width) * image.height;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> encodePNG(const Image& image) {
  if (!isEncodable(image)) return std::nullopt;
  const bool withAlpha = image.alpha == Image::Alpha::premultiplied;
  try {
    const std::optional<CompressedData> imageData = compressedImageData(image, withAlpha);
    if (!imageData) return std::nullopt;
    return pngFile(image, withAlpha, *imageData);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace glimra

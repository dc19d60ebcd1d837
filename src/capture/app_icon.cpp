#include "capture/app_icon.h"

#include <algorithm>

#include "capture/image_resampler.h"
#include "capture/png_encoder.h"

namespace glimra {
namespace {

constexpr int kIconSide = 64;
constexpr std::size_t kMaxIconPNGBytes = 128000;
constexpr char kDataURLPrefix[] = "data:image/png;base64,";

// Standard base64 (RFC 4648): padded, without line breaks.
std::string base64(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    if (count > 1) group |= std::uint32_t{bytes[i + 1]} << 8;
    if (count > 2) group |= bytes[i + 2];
    for (std::size_t sextet = 0; sextet < 4; ++sextet) {
      text += sextet <= count ? kAlphabet[(group >> (18 - 6 * sextet)) & 0x3f] : '=';
    }
  }
  return text;
}

}  // namespace

std::optional<std::string> appIconDataURL(const std::optional<Image>& icon,
                                          const IconEncoder& encode) {
  if (!icon) return std::nullopt;
  const std::optional<Image> drawn = resampleImage(*icon, kIconSide, kIconSide);
  if (!drawn) return std::nullopt;
  const std::optional<std::vector<std::uint8_t>> png = encode(*drawn);
  if (!png || png->size() > kMaxIconPNGBytes) return std::nullopt;
  return kDataURLPrefix + base64(*png);
}

std::optional<std::string> appIconDataURL(const std::optional<Image>& icon) {
  return appIconDataURL(icon, encodePNG);
}

}  // namespace glimra

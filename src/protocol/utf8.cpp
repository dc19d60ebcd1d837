#include "protocol/utf8.h"

#include <cstddef>

namespace glimra {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// Length of the well-formed sequence that starts at text[start], or 0 when it
// is ill-formed; then `invalidLength` is the length of its maximal subpart.
std::size_t sequenceLength(std::string_view text, std::size_t start, std::size_t& invalidLength) {
  const auto byteAt = [&](std::size_t index) { return static_cast<unsigned char>(text[index]); };
  const unsigned char lead = byteAt(start);
  if (lead < 0x80) return 1;

  // Bounds of the second byte exclude overlong forms, surrogates and code
  // points above U+10FFFF.
  std::size_t length = 0;
  unsigned char secondLow = 0x80;
  unsigned char secondHigh = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) secondLow = 0xA0;
    if (lead == 0xED) secondHigh = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) secondLow = 0x90;
    if (lead == 0xF4) secondHigh = 0x8F;
  } else {
    invalidLength = 1;
    return 0;
  }

  for (std::size_t offset = 1; offset < length; ++offset) {
    const unsigned char low = offset == 1 ? secondLow : 0x80;
    const unsigned char high = offset == 1 ? secondHigh : 0xBF;
    if (start + offset >= text.size() || byteAt(start + offset) < low ||
        byteAt(start + offset) > high) {
      invalidLength = offset;
      return 0;
    }
  }
  return length;
}

}  // namespace

bool isValidUTF8(std::string_view text) {
  std::size_t invalidLength = 0;
  for (std::size_t index = 0; index < text.size();) {
    const std::size_t length = sequenceLength(text, index, invalidLength);
    if (length == 0) return false;
    index += length;
  }
  return true;
}

std::string makeValidUTF8(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  std::size_t invalidLength = 0;
  for (std::size_t index = 0; index < text.size();) {
    const std::size_t length = sequenceLength(text, index, invalidLength);
    if (length == 0) {
      result += kReplacementCharacter;
      index += invalidLength;
    } else {
      result.append(text.substr(index, length));
      index += length;
    }
  }
  return result;
}

}  // namespace glimra

#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/image.h"

namespace glimra {

// The icon drawn into 64 x 64 pixels as a "data:image/png;base64," URL, or
// none when there is no icon, it cannot be drawn or encoded, or its PNG is
// longer than 128000 bytes.
std::optional<std::string> appIconDataURL(const std::optional<Image>& icon);

// The same with the PNG encoder given (encodePNG in the form above), so the
// size limit can be met exactly.
using IconEncoder = std::function<std::optional<std::vector<std::uint8_t>>(const Image&)>;
std::optional<std::string> appIconDataURL(const std::optional<Image>& icon,
                                          const IconEncoder& encode);

}  // namespace glimra

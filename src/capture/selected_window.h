#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/geometry.h"

namespace glimra {

// The window a capture works from, and what the `captured` event reports
// about where it came from.
struct SelectedWindow {
  std::uint32_t windowID = 0;
  Rect bounds;  // points, global display space, y down
  std::optional<std::string> sourceAppName;
  std::optional<std::string> sourceBundleIdentifier;
  std::optional<std::string> sourceAppIconDataURL;
  // Non-empty for a titled window; for an untitled one empty when the
  // window list gave an empty name, absent when it gave none.
  std::optional<std::string> sourceWindowTitle;
};

}  // namespace glimra

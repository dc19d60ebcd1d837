#pragma once

#include <optional>
#include <string>

namespace glimra {

// Whether the focused element of an application takes typed text, as the
// focused-text-target inspection found it; sent as a `focusedTextTarget`
// event. Absent and empty strings are both left out of the event.
struct FocusedTextTargetReport {
  bool trusted = false;
  std::optional<bool> editable;
  std::optional<std::string> role;
  std::optional<std::string> subrole;
  std::optional<std::string> appName;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> reason;
};

}  // namespace glimra

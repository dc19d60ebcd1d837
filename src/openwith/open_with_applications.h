#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/application_registry.h"

namespace glimra {

// One application offered to open a file, as the openWithApplications event
// lists it.
struct OpenWithApplication {
  std::string id;               // the application's identifier, else its path
  std::string label;            // the name to show
  std::string applicationPath;  // absolute and standardized
  bool isWebBrowser = false;    // it can also view a web address

  friend bool operator==(const OpenWithApplication&, const OpenWithApplication&) = default;
};

inline constexpr std::size_t kOpenWithWebBrowserLimit = 5;
inline constexpr std::size_t kOpenWithOtherApplicationLimit = 5;

// The fixed web address whose viewers are the web browsers. Its host is a
// name reserved for examples, so it never depends on a real site.
inline constexpr std::string_view kWebBrowserProbeAddress = "https://www.example.com/";

// The applications that can open `fileURL` (absolute, standardized), in the
// registry's order: at most five web browsers and five others, each path
// once. Never fails: every problem yields an empty list or a skipped
// application. Stops asking the registry once both limits are reached.
// Nothing is cached between calls. Main thread, like the registry.
std::vector<OpenWithApplication> openWithApplications(const std::filesystem::path& fileURL,
                                                      ApplicationRegistry& registry);

// The last component of an application location without its extension:
// "Editor" for "/Applications/Editor.app/".
std::string applicationFileStem(std::string_view applicationLocation);

}  // namespace glimra

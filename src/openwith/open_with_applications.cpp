#include "openwith/open_with_applications.h"

#include <optional>
#include <unordered_set>
#include <utility>

#include "protocol/utf8.h"

namespace glimra {
namespace {

using PathSet = std::unordered_set<std::string>;

// The standardized paths of the applications that can view a web page. No
// suffix filter here: whatever views the page counts.
PathSet webBrowserApplicationPaths(ApplicationRegistry& registry) {
  PathSet paths;
  const std::optional<std::vector<RegistryElement>> viewers =
      registry.viewersOfWebAddress(kWebBrowserProbeAddress);
  if (!viewers) return paths;
  for (const RegistryElement& element : *viewers) {
    if (!element.applicationLocation) continue;
    paths.insert(registry.standardizedPath(*element.applicationLocation));
  }
  return paths;
}

// The entry of one application. It is opened at the location the registry
// returned, not the standardized path; one that cannot be opened is still
// listed, under its file name and its path.
OpenWithApplication entryFor(ApplicationRegistry& registry, const std::string& location,
                             std::string path, bool isWebBrowser) {
  const std::optional<ApplicationDescription> description = registry.openApplication(location);
  OpenWithApplication entry;
  if (description && description->displayName) {
    entry.label = *description->displayName;
  } else if (description && description->name) {
    entry.label = *description->name;
  } else {
    entry.label = applicationFileStem(location);
  }
  entry.id = description && description->identifier ? *description->identifier : path;
  entry.applicationPath = std::move(path);
  entry.isWebBrowser = isWebBrowser;
  return entry;
}

}  // namespace

std::vector<OpenWithApplication> openWithApplications(const std::filesystem::path& fileURL,
                                                      ApplicationRegistry& registry) {
  std::vector<OpenWithApplication> result;
  const std::optional<std::vector<RegistryElement>> candidates =
      registry.applicationsForFile(fileURL);
  if (!candidates) return result;  // and the browsers are never asked for

  const PathSet webBrowsers = webBrowserApplicationPaths(registry);
  const std::string_view suffix = registry.applicationPathSuffix();
  std::size_t browsers = 0;
  std::size_t others = 0;
  PathSet seen;
  for (const RegistryElement& element : *candidates) {
    if (!element.applicationLocation) continue;
    std::string path = registry.standardizedPath(*element.applicationLocation);
    if (!path.ends_with(suffix)) continue;
    if (!seen.insert(path).second) continue;
    const bool isWebBrowser = webBrowsers.contains(path);
    // A skipped application stays seen: a later copy of it is skipped too.
    if (isWebBrowser ? browsers == kOpenWithWebBrowserLimit
                     : others == kOpenWithOtherApplicationLimit) {
      continue;
    }
    result.push_back(
        entryFor(registry, *element.applicationLocation, std::move(path), isWebBrowser));
    ++(isWebBrowser ? browsers : others);
    if (browsers == kOpenWithWebBrowserLimit && others == kOpenWithOtherApplicationLimit) break;
  }
  return result;
}

std::string applicationFileStem(std::string_view applicationLocation) {
  // A bundle's location may end in a separator, as a directory URL does.
  while (applicationLocation.size() > 1 && applicationLocation.ends_with('/')) {
    applicationLocation.remove_suffix(1);
  }
  const std::filesystem::path name = std::filesystem::path(applicationLocation).filename();
  return makeValidUTF8(name.stem().string());
}

}  // namespace glimra

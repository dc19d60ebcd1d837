#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/application_registry.h"

namespace glimra::testing {

// What a FakeApplicationRegistry answers, and the calls it has seen in
// order: "applicationsForFile <path>", "viewersOfWebAddress <address>",
// "standardizedPath <location>", "openApplication <location>". Shared, so
// the test keeps it while the code under test uses the fake.
struct ApplicationRegistryScript {
  std::string suffix = ".app";
  std::optional<std::vector<RegistryElement>> applicationsForFile;
  std::optional<std::vector<RegistryElement>> webViewers;
  // The applications that open, by location; any other location does not.
  std::map<std::string, ApplicationDescription> openable;
  std::vector<std::string> calls;

  // The calls whose text starts with `prefix`, in order.
  std::vector<std::string> callsStartingWith(const std::string& prefix) const {
    std::vector<std::string> matching;
    for (const std::string& call : calls) {
      if (call.starts_with(prefix)) matching.push_back(call);
    }
    return matching;
  }
};

inline RegistryElement applicationAt(std::string location) {
  return RegistryElement{std::move(location)};
}
inline RegistryElement notAnApplication() { return RegistryElement{std::nullopt}; }

class FakeApplicationRegistry final : public ApplicationRegistry {
 public:
  explicit FakeApplicationRegistry(std::shared_ptr<ApplicationRegistryScript> script)
      : script_(std::move(script)) {}

  std::string_view applicationPathSuffix() const override { return script_->suffix; }

  std::optional<std::vector<RegistryElement>> applicationsForFile(
      const std::filesystem::path& file) override {
    script_->calls.push_back("applicationsForFile " + file.string());
    return script_->applicationsForFile;
  }

  std::optional<std::vector<RegistryElement>> viewersOfWebAddress(
      std::string_view webAddress) override {
    script_->calls.push_back("viewersOfWebAddress " + std::string(webAddress));
    return script_->webViewers;
  }

  // Textual standardization, as the platforms do it: "." and empty
  // components dropped, ".." resolved, no trailing separator.
  std::string standardizedPath(std::string_view applicationLocation) override {
    script_->calls.push_back("standardizedPath " + std::string(applicationLocation));
    std::string path = std::filesystem::path(applicationLocation).lexically_normal().string();
    if (path.size() > 1 && path.ends_with('/')) path.pop_back();
    return path;
  }

  std::optional<ApplicationDescription> openApplication(
      std::string_view applicationLocation) override {
    script_->calls.push_back("openApplication " + std::string(applicationLocation));
    const auto found = script_->openable.find(std::string(applicationLocation));
    if (found == script_->openable.end()) return std::nullopt;
    return found->second;
  }

 private:
  std::shared_ptr<ApplicationRegistryScript> script_;
};

}  // namespace glimra::testing

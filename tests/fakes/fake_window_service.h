#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/window_service.h"

namespace glimra::testing {

// What a FakeWindowService answers, and the calls it has seen in order
// ("frontmostApplication", "onScreenWindows", "applicationIcon"). Shared, so
// the test keeps it while the code under test owns the fake; the test may
// change the answers between calls.
struct WindowScript {
  std::optional<RunningApplication> frontmostApplication;
  std::optional<std::vector<WindowRecord>> onScreenWindows;  // front to back
  std::optional<Image> applicationIcon;
  std::vector<std::string> calls;
  // The handles of the applications whose icon was asked for.
  std::vector<std::uint64_t> iconHandles;
};

class FakeWindowService final : public WindowService {
 public:
  explicit FakeWindowService(std::shared_ptr<WindowScript> script) : script_(std::move(script)) {}

  std::optional<RunningApplication> frontmostApplication() override {
    script_->calls.emplace_back("frontmostApplication");
    return script_->frontmostApplication;
  }
  std::optional<std::vector<WindowRecord>> onScreenWindows() override {
    script_->calls.emplace_back("onScreenWindows");
    return script_->onScreenWindows;
  }
  std::optional<Image> applicationIcon(const RunningApplication& application) override {
    script_->calls.emplace_back("applicationIcon");
    script_->iconHandles.push_back(application.handle);
    return script_->applicationIcon;
  }

 private:
  std::shared_ptr<WindowScript> script_;
};

// A window that passes every filter of the window selection: a normal,
// visible, shared window of `owner`, 800 x 600 at (10, 20).
inline WindowRecord capturableWindow(std::int32_t owner, std::uint32_t number,
                                     std::optional<std::string> name) {
  WindowRecord window;
  window.ownerPID = owner;
  window.layer = 0;
  window.alpha = 1.0;
  window.isOnscreen = true;
  window.sharingState = 1;
  window.number = number;
  window.bounds = Rect{10, 20, 800, 600};
  window.name = std::move(name);
  return window;
}

}  // namespace glimra::testing

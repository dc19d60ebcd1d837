#include "capture/window_selection.h"

#include <optional>
#include <utility>

#include "capture/app_icon.h"
#include "protocol/failure_catalog.h"

namespace glimra {
namespace {

// Windows narrower or shorter than this are slivers, not something to capture.
constexpr double kMinimumSide = 2.0;

struct Candidate {
  std::uint32_t windowID = 0;
  Rect bounds;
  std::optional<std::string> title;
};

// The window as a capture candidate, or none when it is not a visible,
// shareable, normal window of `owner` with a number and real bounds.
std::optional<Candidate> eligibleWindow(const WindowRecord& window, std::int32_t owner) {
  if (window.ownerPID != owner) return std::nullopt;
  if (window.layer != 0) return std::nullopt;
  if (window.alpha && !(*window.alpha > 0)) return std::nullopt;
  if (window.isOnscreen && !*window.isOnscreen) return std::nullopt;
  if (window.sharingState && *window.sharingState == 0) return std::nullopt;
  if (!window.number) return std::nullopt;
  if (!window.bounds || !(window.bounds->width >= kMinimumSide) ||
      !(window.bounds->height >= kMinimumSide)) {
    return std::nullopt;
  }
  return Candidate{*window.number, *window.bounds, window.name};
}

// The frontmost titled window; failing that, the frontmost untitled one.
std::optional<Candidate> chooseWindow(const std::vector<WindowRecord>& frontToBack,
                                      std::int32_t owner) {
  std::optional<Candidate> untitled;
  for (const WindowRecord& window : frontToBack) {
    std::optional<Candidate> candidate = eligibleWindow(window, owner);
    if (!candidate) continue;
    if (candidate->title && !candidate->title->empty()) return candidate;
    if (!untitled) untitled = std::move(candidate);
  }
  return untitled;
}

}  // namespace

Result<SelectedWindow> selectFrontmostWindow(WindowService& windows,
                                             const std::string& excludedBundleIdentifier) {
  const std::optional<RunningApplication> application = windows.frontmostApplication();
  if (!application || application->isTerminated) return failures::noFrontmostApplication();
  // Checked before the window list is read: the helper's own host is never
  // captured, however its windows look.
  if (application->bundleIdentifier == excludedBundleIdentifier) {
    return failures::excludedFrontmostApplication();
  }

  const std::optional<std::vector<WindowRecord>> frontToBack = windows.onScreenWindows();
  if (!frontToBack) return failures::windowListUnavailable();
  std::optional<Candidate> chosen = chooseWindow(*frontToBack, application->processIdentifier);
  if (!chosen) return failures::noEligibleWindow();

  SelectedWindow selected;
  selected.windowID = chosen->windowID;
  selected.bounds = chosen->bounds;
  selected.sourceWindowTitle = std::move(chosen->title);
  selected.sourceAppName = application->localizedName;
  selected.sourceBundleIdentifier = application->bundleIdentifier;
  selected.sourceAppIconDataURL = appIconDataURL(windows.applicationIcon(*application));
  return selected;
}

}  // namespace glimra

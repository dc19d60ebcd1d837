#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry.h"
#include "platform/image.h"

namespace glimra {

// The application the user is working in.
struct RunningApplication {
  std::int32_t processIdentifier = 0;
  bool isTerminated = false;
  std::optional<std::string> bundleIdentifier;  // reverse-DNS or desktop id
  std::optional<std::string> localizedName;
  // The backend's own reference to the application, handed back to
  // WindowService::applicationIcon (on X11: its active window).
  std::uint64_t handle = 0;
};

// One on-screen window as the window list describes it. A field is empty
// when the platform did not report it (or reported it in another form);
// which fields a capturable window needs is the core's decision.
struct WindowRecord {
  std::optional<std::int32_t> ownerPID;
  std::optional<std::int64_t> layer;  // 0: a normal application window
  std::optional<double> alpha;
  std::optional<bool> isOnscreen;
  std::optional<std::uint32_t> sharingState;  // 0: not shared with other processes
  std::optional<std::uint32_t> number;        // the system-wide window number
  std::optional<Rect> bounds;                 // global display space, y down
  std::optional<std::string> name;            // the title, valid UTF-8
};

// The desktop's windows and applications, read at one instant. Main thread
// only. No call fails: what cannot be read is reported as absent.
class WindowService {
 public:
  virtual ~WindowService() = default;

  // The frontmost application, or none.
  virtual std::optional<RunningApplication> frontmostApplication() = 0;

  // The on-screen windows front to back, or none when the window list
  // cannot be read at all.
  virtual std::optional<std::vector<WindowRecord>> onScreenWindows() = 0;

  // The application's icon at the best size it offers, or none.
  virtual std::optional<Image> applicationIcon(const RunningApplication& application) = 0;
};

}  // namespace glimra

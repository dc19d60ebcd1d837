#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "support/subprocess.h"

namespace glimra::testing {

// A private D-Bus session with the AT-SPI 2 accessibility bus, for one X
// display: dbus-daemon with a configuration of its own (a socket in a
// private runtime directory, no activatable services), at-spi-bus-launcher
// on it, which starts the accessibility bus, and the registry daemon,
// started on that bus before start() returns. Nothing of the developer's
// session is used: the children get the private addresses, runtime
// directory and HOME, and GSettings in memory, so the launcher's settings
// neither come from nor go to the developer's.
//
// Destroying it stops every process by pid: SIGTERM to the launcher's
// process group (launcher, accessibility bus, registry), then the registry
// and the accessibility bus each by pid if they linger (neither is our
// child, so their exit is watched in /proc), then the session bus; the
// runtime directory is removed. Used from the test's main thread only.
class PrivateAccessibilityBus {
 public:
  struct Options {
    std::string display;               // DISPLAY of the session, such as ":3"
    bool accessibilityEnabled = true;  // org.a11y.Status IsEnabled
  };

  // Returns once the registry answers on the accessibility bus. Throws
  // std::runtime_error, with what the daemons printed, when something
  // cannot be started within 10 s.
  static std::unique_ptr<PrivateAccessibilityBus> start(const Options& options);

  PrivateAccessibilityBus(const PrivateAccessibilityBus&) = delete;
  PrivateAccessibilityBus& operator=(const PrivateAccessibilityBus&) = delete;
  ~PrivateAccessibilityBus();

  // What a client of this session needs in its environment: DISPLAY,
  // DBUS_SESSION_BUS_ADDRESS, XDG_RUNTIME_DIR and GSETTINGS_BACKEND=memory
  // set; AT_SPI_BUS_ADDRESS, AT_SPI_DISPLAY and WAYLAND_DISPLAY removed, so
  // clients find the accessibility bus through the session bus, as on a
  // desktop. (Set AT_SPI_BUS_ADDRESS to accessibilityBusAddress() to skip
  // that step.)
  const EnvironmentChanges& environment() const { return environment_; }

  const std::string& sessionBusAddress() const { return sessionBusAddress_; }
  const std::string& accessibilityBusAddress() const { return accessibilityBusAddress_; }
  // Private to this session (mode 0700); removed with it.
  const std::filesystem::path& runtimeDirectory() const { return runtimeDirectory_; }

  pid_t sessionBusPid() const { return sessionBusPid_; }
  pid_t launcherPid() const { return launcherPid_; }
  pid_t accessibilityBusPid() const { return accessibilityBusPid_; }
  pid_t registryPid() const { return registryPid_; }

 private:
  explicit PrivateAccessibilityBus(std::filesystem::path runtimeDirectory);
  void startSessionBus();
  void startLauncher(const Options& options);
  void startRegistry();

  std::filesystem::path runtimeDirectory_;
  EnvironmentChanges environment_;
  UniqueFd log_;  // what every daemon printed, for failure messages
  std::optional<ChildProcess> sessionBus_;
  std::optional<ChildProcess> launcher_;
  std::string sessionBusAddress_;
  std::string accessibilityBusAddress_;
  pid_t sessionBusPid_ = -1;
  pid_t launcherPid_ = -1;
  pid_t accessibilityBusPid_ = -1;
  pid_t registryPid_ = -1;
};

}  // namespace glimra::testing

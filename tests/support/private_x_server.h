#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/xcb_handles.h"
#include "support/subprocess.h"

namespace glimra::testing {

// A private Xvfb for one test (or one test suite), optionally with the
// openbox window manager. The test owns it; destroying it stops both
// processes by pid and reaps them, also when the test has failed an
// assertion. openbox runs with a private HOME, so neither the developer's
// settings nor its log files mix with the tests. Used from the test's main
// thread only.
class PrivateXServer {
 public:
  struct Options {
    bool withWindowManager = false;
    int width = 1280;
    int height = 800;
  };

  // Returns once clients can connect to display() and, if asked for, the
  // window manager has taken over the screen and manages new windows.
  // Throws std::runtime_error, with what Xvfb or openbox printed, if either
  // cannot be started.
  static std::unique_ptr<PrivateXServer> start(const Options& options);
  static std::unique_ptr<PrivateXServer> start() { return start(Options{}); }

  PrivateXServer(const PrivateXServer&) = delete;
  PrivateXServer& operator=(const PrivateXServer&) = delete;
  // SIGTERM to the window manager, then to the server; each gets a short
  // grace period before SIGKILL, and both are reaped.
  ~PrivateXServer();

  // The display name for DISPLAY or xcb_connect, such as ":3".
  const std::string& display() const { return display_; }
  pid_t serverPid() const { return serverPid_; }

 private:
  PrivateXServer(ChildProcess server, std::string display);
  void startWindowManager();

  ChildProcess server_;
  pid_t serverPid_;
  std::string display_;
  std::optional<ChildProcess> windowManager_;
  // Holds the ids of openbox's probe window, so no test window reuses them.
  xcb::Connection probeConnection_;
  // openbox's HOME, removed with the server.
  std::filesystem::path windowManagerHome_;
};

}  // namespace glimra::testing

#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/subprocess.h"

namespace glimra::testing {

// The GTK 3 application of accessible_test_app.py, whose accessibility tree
// the tests read through AT-SPI. Layouts: "form" (a label, then the
// widgets "entry", "password", "textview", "readonly" (a read-only text
// view), "button" and "combo", in that order in one vertical box, the one
// named by `focus` focused, or none for "none"); "many" (`labels`
// non-focusable labels in rows of ten, nothing focused); "hidden" (no
// window: the application is only on the accessibility bus). The application
// runs with a private HOME and the given environment (a
// PrivateAccessibilityBus's), and is stopped by pid when this object goes.
// Used from the test's main thread only.
class AccessibleTestApp {
 public:
  struct Options {
    std::string layout = "form";
    std::string focus = "entry";
    int labels = 500;
    std::string title = "Accessible test app";
    // The window's WM_CLASS instance, by which a desktop entry names the
    // application; the interpreter's script name when empty.
    std::string programName{};
  };

  // Returns once the application reports its window active and the focus
  // where it was asked to be. Throws std::runtime_error, with what the
  // application printed, when it exits or does not get there within 20 s.
  static std::unique_ptr<AccessibleTestApp> start(const EnvironmentChanges& environment,
                                                  const Options& options);

  AccessibleTestApp(const AccessibleTestApp&) = delete;
  AccessibleTestApp& operator=(const AccessibleTestApp&) = delete;
  // SIGCONT (a test may have stopped it), then SIGTERM and SIGKILL after a
  // grace period; reaped.
  ~AccessibleTestApp();

  pid_t pid() const { return pid_; }

  // Moves the focus to a widget of the form and waits until it is there.
  void focus(const std::string& widget);
  // Destroys a widget of the form and waits until it is gone.
  void destroyWidget(const std::string& widget);

 private:
  AccessibleTestApp(ChildProcess process, UniqueFd output, UniqueFd commands, UniqueFd log,
                    std::filesystem::path home);
  // Waits for the next line the application prints and checks it.
  void expectLine(const std::string& expected);
  void send(const std::string& command);

  ChildProcess process_;
  pid_t pid_;
  UniqueFd output_;
  UniqueFd commands_;
  UniqueFd log_;
  std::filesystem::path home_;
  std::string pending_;  // printed but not yet read as a line
};

}  // namespace glimra::testing

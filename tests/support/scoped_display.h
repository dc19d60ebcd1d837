#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace glimra::testing {

// Points DISPLAY elsewhere for one test and puts it back afterwards.
class ScopedDisplay {
 public:
  explicit ScopedDisplay(const char* display) {
    if (const char* previous = std::getenv("DISPLAY")) previous_ = previous;
    display ? ::setenv("DISPLAY", display, 1) : ::unsetenv("DISPLAY");
  }
  ~ScopedDisplay() {
    previous_ ? ::setenv("DISPLAY", previous_->c_str(), 1) : ::unsetenv("DISPLAY");
  }

 private:
  std::optional<std::string> previous_;
};

}  // namespace glimra::testing

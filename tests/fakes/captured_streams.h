#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace glimra::testing {

// Two pipes standing in for standard output and standard error, so a test
// can hand an NDJSONEmitter real descriptors. A thread drains each pipe as
// the parent process would; `finish` closes the write ends and waits for
// every byte.
class CapturedStreams {
 public:
  CapturedStreams() {
    if (::pipe2(output_, O_CLOEXEC) != 0 || ::pipe2(diagnostics_, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe2 failed");
    }
    outputReader_ = std::thread([this] { drain(output_[0], outputText_); });
    diagnosticReader_ = std::thread([this] { drain(diagnostics_[0], diagnosticText_); });
  }
  ~CapturedStreams() {
    finish();
    ::close(output_[0]);
    ::close(diagnostics_[0]);
  }
  CapturedStreams(const CapturedStreams&) = delete;
  CapturedStreams& operator=(const CapturedStreams&) = delete;

  int outputFd() const { return output_[1]; }
  int diagnosticFd() const { return diagnostics_[1]; }

  void finish() {
    if (finished_) return;
    finished_ = true;
    ::close(output_[1]);
    ::close(diagnostics_[1]);
    outputReader_.join();
    diagnosticReader_.join();
  }

  const std::string& output() {
    finish();
    return outputText_;
  }
  const std::string& diagnostics() {
    finish();
    return diagnosticText_;
  }

  // Every line of standard output, parsed. Throws on an unterminated line
  // or one that is not JSON.
  std::vector<nlohmann::json> events() {
    std::vector<nlohmann::json> parsed;
    const std::string& text = output();
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      parsed.push_back(nlohmann::json::parse(text.substr(start, end - start)));
    }
    if (start != text.size()) throw std::runtime_error("unterminated line: " + text.substr(start));
    return parsed;
  }

 private:
  static void drain(int fd, std::string& text) {
    char buffer[65536];
    for (ssize_t count; (count = ::read(fd, buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<std::size_t>(count));
    }
  }

  int output_[2];
  int diagnostics_[2];
  std::string outputText_;
  std::string diagnosticText_;
  std::thread outputReader_;
  std::thread diagnosticReader_;
  bool finished_ = false;
};

}  // namespace glimra::testing

#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/subprocess.h"

namespace glimra::testing {

// The schema problems of NDJSON output, one per line, or an empty string
// when every line is a valid event.
std::string eventSchemaProblems(const std::string& output);

// The helper binary running in the background, as a host application runs
// it: standard output read line by line as it comes. Stopped and reaped
// when destroyed.
class RunningHelper {
 public:
  // `launcher`, when given, is a command that execs the helper in its own
  // process, such as setpriv with another user.
  RunningHelper(std::vector<std::string> arguments, EnvironmentChanges environment,
                std::vector<std::string> launcher = {});

  // The next line of standard output, parsed; empty when none arrives in
  // time or the output has ended.
  std::optional<nlohmann::json> nextEvent(std::chrono::milliseconds timeout);

  // Every byte of standard output read so far.
  const std::string& output() const { return output_; }
  // What it has written to standard error so far.
  std::string standardError();

  ChildProcess& process() { return process_; }

 private:
  UniqueFd outputEnd_;
  UniqueFd errorEnd_;
  ChildProcess process_;
  std::string output_;
  std::size_t consumed_ = 0;
  std::string errorText_;
};

// The helper as the grandchild of this process: an intermediate process
// starts it and stays its parent until `endParent`. With `orphaned`, the
// intermediate ends at once and the helper starts only after it has been
// handed to another parent (init, or the nearest subreaper).
class HelperUnderIntermediateParent {
 public:
  struct Options {
    std::vector<std::string> arguments{};
    EnvironmentChanges environment{};
    bool orphaned = false;
  };
  explicit HelperUnderIntermediateParent(const Options& options);
  ~HelperUnderIntermediateParent();

  pid_t helperPid() const { return helperPid_; }
  // The parent id the helper had when it started.
  pid_t parentAtStart() const { return parentAtStart_; }
  int outputFd() const { return outputEnd_.get(); }

  // Ends the intermediate parent and reaps it.
  void endParent();

 private:
  UniqueFd outputEnd_;
  UniqueFd controlEnd_;  // closing it releases the intermediate
  pid_t intermediatePid_ = -1;
  pid_t helperPid_ = -1;
  pid_t parentAtStart_ = -1;
};

// Reads `fd` until end of file or `timeout`; whether the end was reached.
bool readUntilEnd(int fd, std::string& text, std::chrono::milliseconds timeout);

}  // namespace glimra::testing

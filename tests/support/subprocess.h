#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Starting child processes from tests: runProcess() runs a program to the end
// and collects its output; ChildProcess and UniqueFd are the building blocks
// for children that keep running while the test works (see PrivateXServer).
// Everything here is used from the test's main thread only.
namespace glimra::testing {

// Changes to the test's own environment: a value sets the variable,
// std::nullopt removes it.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

// This process's environment with `changes` applied, as NAME=value strings.
std::vector<std::string> childEnvironment(const EnvironmentChanges& changes);

// The null-terminated array of C strings that exec and posix_spawn take;
// valid while `strings` lives unchanged.
std::vector<char*> cStringArray(std::vector<std::string>& strings);

struct ProcessOptions {
  std::vector<std::string> arguments{};  // without the program itself
  EnvironmentChanges environment{};
  std::chrono::milliseconds timeout{10000};
};

struct ProcessResult {
  int exitStatus = -1;    // exit code; 128 + signal number when killed by a signal
  bool timedOut = false;  // killed (SIGKILL) because the timeout passed
  std::string standardOutput;
  std::string standardError;
};

// Runs `program` with standard input from /dev/null and waits for it, reading
// its standard output and error separately. The child gets no descriptors
// other than 0, 1 and 2 and runs in its own process group, which is killed
// when the program exits or times out, so nothing it started outlives the
// call. A program name without '/' is looked up in the test's PATH. Throws
// std::runtime_error when the program cannot be started.
ProcessResult runProcess(const std::string& program, const ProcessOptions& options);

// Splits output into lines at '\n'. A trailing partial line (text that does
// not end in '\n') is returned as the last element too.
std::vector<std::string> splitLines(const std::string& text);

// A file descriptor, closed when the owner goes away.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Both ends are close-on-exec; ChildProcess::spawn hands a child only the
// descriptors it is told to.
struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};
Pipe makePipe();

// An anonymous in-memory file for what children print (close-on-exec;
// `name` shows in /proc), and its last few kilobytes for a failure message.
UniqueFd makeMemoryLog(const char* name);
std::string logTail(const UniqueFd& log);

// A started child that this object owns. Unless it was waited for, the
// destructor stops it (SIGTERM, then SIGKILL after a grace period) and reaps
// it, so a test that fails an assertion leaves no process behind.
class ChildProcess {
 public:
  struct SpawnOptions {
    std::vector<std::string> arguments{};  // without the program itself
    EnvironmentChanges environment{};
    // Descriptors of this process that become the child's standard output
    // and error; its standard input is always /dev/null.
    int standardOutput = -1;
    int standardError = -1;
    // When set, this descriptor becomes the child's descriptor 3.
    int passedDescriptor = -1;
    // A child that leads its own group is signalled as a group.
    bool ownProcessGroup = false;
  };

  // The child starts with default signal handling and an empty signal mask,
  // whatever the test has set up. Throws std::runtime_error when `program`
  // cannot be started.
  static ChildProcess spawn(const std::string& program, const SpawnOptions& options);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // The child's pid until it is reaped, -1 afterwards.
  pid_t pid() const { return pid_; }

  // Sends `signalNumber` to the child (or its group). Does nothing once the
  // child has been reaped, so a reused pid is never hit.
  void signal(int signalNumber);

  // Whether the child has exited. It is not reaped yet, so its pid and
  // process group stay reserved and signal() remains safe.
  bool hasExited();
  // Waits until the child has exited or `deadline` passes; does not reap.
  bool awaitExit(std::chrono::steady_clock::time_point deadline);

  // Blocks until the child exits and reaps it; returns the status as in
  // ProcessResult::exitStatus. Once reaped, returns the same status again.
  int wait();

  // SIGTERM, up to `gracePeriod` to exit, then SIGKILL; always reaps.
  int stop(std::chrono::milliseconds gracePeriod);

 private:
  ChildProcess(pid_t pid, bool leadsGroup) : pid_(pid), leadsGroup_(leadsGroup) {}
  void stopIfRunning() noexcept;

  pid_t pid_ = -1;  // -1 once reaped
  bool leadsGroup_ = false;
  int exitStatus_ = -1;
};

}  // namespace glimra::testing

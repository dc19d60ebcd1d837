#include "support/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace glimra::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long the destructor lets a child react to SIGTERM.
constexpr std::chrono::milliseconds kStopGracePeriod{2000};
// After a timeout the process group is killed; this bounds collecting what
// it wrote before, in case something outside the group holds the pipes.
constexpr std::chrono::milliseconds kDrainPeriod{2000};
constexpr std::chrono::milliseconds kLongestExitPollPause{20};

std::runtime_error systemError(const std::string& what, int errorNumber) {
  return std::runtime_error(what + ": " + std::generic_category().message(errorNumber));
}

int decodeWaitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

class SpawnFileActions {
 public:
  SpawnFileActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

// Descriptor 0 reads /dev/null, 1 and 2 (and optionally 3) are the given
// descriptors, and everything else is closed: the child must not hold pipes
// of other children open, or their readers would never see end of file.
void describeDescriptors(const ChildProcess::SpawnOptions& options, SpawnFileActions& actions) {
  assert(options.standardOutput >= 0 && options.standardError >= 0);
  posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  // The sources are our own descriptors (at least 3), so mapping onto 1, 2
  // and then 3 never overwrites a source before it is used.
  posix_spawn_file_actions_adddup2(actions.get(), options.standardOutput, 1);
  posix_spawn_file_actions_adddup2(actions.get(), options.standardError, 2);
  int firstClosed = 3;
  if (options.passedDescriptor >= 0) {
    posix_spawn_file_actions_adddup2(actions.get(), options.passedDescriptor, 3);
    firstClosed = 4;
  }
  posix_spawn_file_actions_addclosefrom_np(actions.get(), firstClosed);
}

// Tests may block or ignore signals (ignored ones survive exec); the child
// must not inherit that.
void describeSignals(const ChildProcess::SpawnOptions& options, SpawnAttributes& attributes) {
  sigset_t noSignals;
  sigemptyset(&noSignals);
  sigset_t allSignals;
  sigfillset(&allSignals);
  posix_spawnattr_setsigmask(attributes.get(), &noSignals);
  posix_spawnattr_setsigdefault(attributes.get(), &allSignals);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.ownProcessGroup) {
    posix_spawnattr_setpgroup(attributes.get(), 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(attributes.get(), flags);
}

struct OutputStream {
  UniqueFd fd;
  std::string* text;
};

// Appends what is ready on one stream; closes it at end of file.
void readAvailable(OutputStream& stream) {
  char buffer[65536];
  ssize_t count = read(stream.fd.get(), buffer, sizeof buffer);
  if (count > 0) {
    stream.text->append(buffer, static_cast<size_t>(count));
  } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
    stream.fd.reset();
  }
}

// Reads all streams at once, so a child that fills one pipe while we wait on
// the other cannot deadlock. Returns false if `deadline` passes first.
bool readUntilClosed(std::vector<OutputStream>& streams, Clock::time_point deadline) {
  while (true) {
    std::vector<pollfd> polled;
    std::vector<OutputStream*> open;
    for (OutputStream& stream : streams) {
      if (!stream.fd.valid()) continue;
      polled.push_back({stream.fd.get(), POLLIN, 0});
      open.push_back(&stream);
    }
    if (polled.empty()) return true;

    auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (remaining <= 0ms) return false;
    int waitMs =
        static_cast<int>(std::min<std::chrono::milliseconds::rep>(remaining.count(), INT_MAX));
    int ready = poll(polled.data(), polled.size(), waitMs);
    if (ready < 0 && errno != EINTR) throw systemError("poll", errno);
    for (size_t index = 0; ready > 0 && index < polled.size(); ++index) {
      if (polled[index].revents != 0) readAvailable(*open[index]);
    }
  }
}

}  // namespace

std::vector<std::string> childEnvironment(const EnvironmentChanges& changes) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    std::string name(text.substr(0, text.find('=')));
    if (!changes.contains(name)) entries.emplace_back(text);
  }
  for (const auto& [name, value] : changes) {
    assert(name.find('=') == std::string::npos);
    if (value) entries.push_back(name + "=" + *value);
  }
  return entries;
}

// posix_spawn wants a null-terminated array of mutable C strings.
std::vector<char*> cStringArray(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

ProcessResult runProcess(const std::string& program, const ProcessOptions& options) {
  Pipe output = makePipe();
  Pipe error = makePipe();
  ChildProcess child = ChildProcess::spawn(program, {.arguments = options.arguments,
                                                     .environment = options.environment,
                                                     .standardOutput = output.writeEnd.get(),
                                                     .standardError = error.writeEnd.get(),
                                                     .ownProcessGroup = true});
  // Only the child may hold the write ends, or we would never see end of file.
  output.writeEnd.reset();
  error.writeEnd.reset();

  ProcessResult result;
  std::vector<OutputStream> streams;
  streams.push_back({std::move(output.readEnd), &result.standardOutput});
  streams.push_back({std::move(error.readEnd), &result.standardError});

  Clock::time_point deadline = Clock::now() + options.timeout;
  bool finished = readUntilClosed(streams, deadline) && child.awaitExit(deadline);
  // The child is exited but unreaped, or still running: either way its group
  // is still ours. Killing it ends whatever the program left running.
  child.signal(SIGKILL);
  if (!finished) {
    result.timedOut = true;
    readUntilClosed(streams, Clock::now() + kDrainPeriod);
  }
  result.exitStatus = child.wait();
  return result;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UniqueFd::release() { return std::exchange(fd_, -1); }

void UniqueFd::reset(int fd) {
  // On Linux the descriptor is gone even when close fails, so no retry.
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

Pipe makePipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw systemError("cannot create a pipe", errno);
  return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

UniqueFd makeMemoryLog(const char* name) {
  const int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) throw systemError(std::string("cannot create a log for ") + name, errno);
  return UniqueFd(fd);
}

std::string logTail(const UniqueFd& log) {
  constexpr std::size_t kTailBytes = 4000;
  std::string text;
  char buffer[4096];
  ssize_t count;
  // pread leaves the shared file offset to the writing child.
  while ((count = pread(log.get(), buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<std::size_t>(count));
  }
  if (text.size() <= kTailBytes) return text;
  return "[...]" + text.substr(text.size() - kTailBytes);
}

ChildProcess ChildProcess::spawn(const std::string& program, const SpawnOptions& options) {
  SpawnFileActions actions;
  describeDescriptors(options, actions);
  SpawnAttributes attributes;
  describeSignals(options, attributes);

  std::vector<std::string> argumentStrings{program};
  argumentStrings.insert(argumentStrings.end(), options.arguments.begin(), options.arguments.end());
  std::vector<std::string> environmentStrings = childEnvironment(options.environment);
  std::vector<char*> argv = cStringArray(argumentStrings);
  std::vector<char*> envp = cStringArray(environmentStrings);

  // glibc reports a failed exec here (it spawns with CLONE_VFORK), so a
  // missing program is an error now rather than exit status 127 later.
  pid_t pid = -1;
  int result = posix_spawnp(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(),
                            envp.data());
  if (result != 0) throw systemError("cannot start \"" + program + "\"", result);
  return ChildProcess(pid, options.ownProcessGroup);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      leadsGroup_(other.leadsGroup_),
      exitStatus_(other.exitStatus_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this == &other) return *this;
  stopIfRunning();
  pid_ = std::exchange(other.pid_, -1);
  leadsGroup_ = other.leadsGroup_;
  exitStatus_ = other.exitStatus_;
  return *this;
}

ChildProcess::~ChildProcess() { stopIfRunning(); }

void ChildProcess::signal(int signalNumber) {
  if (pid_ <= 0) return;
  kill(leadsGroup_ ? -pid_ : pid_, signalNumber);
}

bool ChildProcess::hasExited() {
  if (pid_ <= 0) return true;
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    // ECHILD: someone else reaped it, so it is certainly gone.
    if (errno != EINTR) return true;
  }
  return info.si_pid != 0;
}

bool ChildProcess::awaitExit(Clock::time_point deadline) {
  // There is no portable way to poll() for a child, so sleep in short,
  // growing steps.
  std::chrono::milliseconds pause{1};
  while (!hasExited()) {
    Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, kLongestExitPollPause);
  }
  return true;
}

int ChildProcess::wait() {
  if (pid_ <= 0) return exitStatus_;
  int status = 0;
  pid_t reaped;
  do {
    reaped = waitpid(pid_, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  exitStatus_ = reaped == pid_ ? decodeWaitStatus(status) : -1;
  pid_ = -1;
  return exitStatus_;
}

int ChildProcess::stop(std::chrono::milliseconds gracePeriod) {
  signal(SIGTERM);
  if (!awaitExit(Clock::now() + gracePeriod)) signal(SIGKILL);
  return wait();
}

void ChildProcess::stopIfRunning() noexcept {
  if (pid_ > 0) stop(kStopGracePeriod);
}

}  // namespace glimra::testing

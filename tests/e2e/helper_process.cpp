#include "e2e/helper_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace glimra::testing {
namespace {

// Spawns the helper with its output on the write ends of two pipes.
ChildProcess spawnHelper(const std::vector<std::string>& arguments,
                         const EnvironmentChanges& environment,
                         const std::vector<std::string>& launcher, Pipe& output, Pipe& error) {
  std::vector<std::string> command = launcher;
  command.push_back(GLIMRA_HELPER_BINARY);
  command.insert(command.end(), arguments.begin(), arguments.end());
  const std::string program = command.front();
  command.erase(command.begin());
  ChildProcess child = ChildProcess::spawn(program,
                                           {.arguments = command,
                                            .environment = environment,
                                            .standardOutput = output.writeEnd.get(),
                                            .standardError = error.writeEnd.get()});
  output.writeEnd.reset();
  error.writeEnd.reset();
  return child;
}

Pipe makePipeFor(UniqueFd& readEnd) {
  Pipe pipe = makePipe();
  readEnd = std::move(pipe.readEnd);
  return pipe;
}

}  // namespace

std::string eventSchemaProblems(const std::string& output) {
  char path[] = "/tmp/glimra-events-XXXXXX";
  const int fd = ::mkstemp(path);
  const bool written =
      fd >= 0 && ::write(fd, output.data(), output.size()) == static_cast<ssize_t>(output.size());
  if (fd >= 0) ::close(fd);
  if (!written) return "could not write the output to a temporary file";
  const ProcessResult result = runProcess(
      "/bin/sh", {.arguments = {"-c", "exec /usr/bin/python3 \"$0\" \"$1\" < \"$2\"",
                                GLIMRA_EVENT_VALIDATOR, GLIMRA_EVENT_SCHEMA, path}});
  ::unlink(path);
  return result.exitStatus == 0 ? "" : result.standardOutput + result.standardError;
}

RunningHelper::RunningHelper(std::vector<std::string> arguments, EnvironmentChanges environment,
                             std::vector<std::string> launcher)
    : process_([&] {
        Pipe output = makePipeFor(outputEnd_);
        Pipe error = makePipeFor(errorEnd_);
        return spawnHelper(arguments, environment, launcher, output, error);
      }()) {
  ::fcntl(errorEnd_.get(), F_SETFL, O_NONBLOCK);
}

std::optional<nlohmann::json> RunningHelper::nextEvent(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t end;
  while ((end = output_.find('\n', consumed_)) == std::string::npos) {
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) return std::nullopt;
    pollfd readable{outputEnd_.get(), POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(remaining.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t count = ::read(outputEnd_.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return std::nullopt;  // the helper closed its output
    output_.append(buffer, static_cast<std::size_t>(count));
  }
  const std::string line = output_.substr(consumed_, end - consumed_);
  consumed_ = end + 1;
  return nlohmann::json::parse(line);
}

std::string RunningHelper::standardError() {
  char buffer[4096];
  for (ssize_t count; (count = ::read(errorEnd_.get(), buffer, sizeof buffer)) > 0;) {
    errorText_.append(buffer, static_cast<std::size_t>(count));
  }
  return errorText_;
}

namespace {


// Runs in the grandchild, between fork and exec: async-signal-safe calls only.
[[noreturn]] void becomeHelper(pid_t intermediate, bool orphaned, int output, int report,
                               char* const* argv, char* const* envp) {
  if (orphaned) {
    while (::getppid() == intermediate) ::usleep(1000);
  }
  const pid_t parent = ::getppid();
  (void)!::write(report, &parent, sizeof parent);
  const int devNull = ::open("/dev/null", O_RDWR);
  ::dup2(devNull, STDIN_FILENO);
  ::dup2(output, STDOUT_FILENO);
  ::dup2(output, STDERR_FILENO);
  ::execve(GLIMRA_HELPER_BINARY, argv, envp);
  ::_exit(127);
}

}  // namespace

HelperUnderIntermediateParent::HelperUnderIntermediateParent(const Options& options) {
  std::vector<std::string> arguments{GLIMRA_HELPER_BINARY};
  arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
  std::vector<std::string> environment = childEnvironment(options.environment);
  const std::vector<char*> argv = cStringArray(arguments);
  const std::vector<char*> envp = cStringArray(environment);

  Pipe output = makePipe();
  Pipe control = makePipe();
  Pipe pidReport = makePipe();
  Pipe parentReport = makePipe();
  intermediatePid_ = ::fork();
  if (intermediatePid_ < 0) throw std::runtime_error("fork failed");
  if (intermediatePid_ == 0) {
    const pid_t self = ::getpid();
    const pid_t helper = ::fork();
    if (helper == 0) {
      becomeHelper(self, options.orphaned, output.writeEnd.get(), parentReport.writeEnd.get(),
                   argv.data(), envp.data());
    }
    (void)!::write(pidReport.writeEnd.get(), &helper, sizeof helper);
    // Only the test may hold the control pipe's write end, or it never ends.
    ::close(control.writeEnd.get());
    ::close(output.writeEnd.get());
    if (!options.orphaned) {
      char byte;
      (void)!::read(control.readEnd.get(), &byte, 1);  // until the test closes its end
    }
    ::_exit(0);
  }
  outputEnd_ = std::move(output.readEnd);
  controlEnd_ = std::move(control.writeEnd);
  pidReport.writeEnd.reset();
  parentReport.writeEnd.reset();
  output.writeEnd.reset();
  if (::read(pidReport.readEnd.get(), &helperPid_, sizeof helperPid_) != sizeof helperPid_) {
    throw std::runtime_error("the intermediate parent did not start the helper");
  }
  if (options.orphaned) endParent();
  if (::read(parentReport.readEnd.get(), &parentAtStart_, sizeof parentAtStart_) !=
      sizeof parentAtStart_) {
    throw std::runtime_error("the helper did not start");
  }
}

HelperUnderIntermediateParent::~HelperUnderIntermediateParent() {
  endParent();
  // A helper that is still running is killed; reaped if it became ours.
  if (helperPid_ > 0 && ::kill(helperPid_, SIGKILL) == 0) ::waitpid(helperPid_, nullptr, 0);
}

void HelperUnderIntermediateParent::endParent() {
  if (intermediatePid_ <= 0) return;
  controlEnd_.reset();
  ::waitpid(intermediatePid_, nullptr, 0);
  intermediatePid_ = -1;
}

bool readUntilEnd(int fd, std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) return false;
    pollfd readable{fd, POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(remaining.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count == 0) return true;
    if (count > 0) text.append(buffer, static_cast<std::size_t>(count));
  }
}

}  // namespace glimra::testing

#include "support/accessible_test_app.h"

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace glimra::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// GTK's start-up, the window manager and the bus registration together.
constexpr std::chrono::seconds kAnswerTimeout{20};
constexpr std::chrono::milliseconds kStopGracePeriod{2000};

// Commands go through a socket rather than a pipe, so that sending to an
// application that has died fails with EPIPE instead of raising SIGPIPE.
struct CommandChannel {
  UniqueFd ours;
  UniqueFd theirs;
};
CommandChannel makeCommandChannel() {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    throw std::runtime_error("cannot create a socket pair: " +
                             std::generic_category().message(errno));
  }
  return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

std::filesystem::path makeHome() {
  std::string path = (std::filesystem::temp_directory_path() / "glimra-gtk-XXXXXX").string();
  if (mkdtemp(path.data()) == nullptr) {
    throw std::runtime_error("cannot create a home: " + std::generic_category().message(errno));
  }
  return path;
}

}  // namespace

std::unique_ptr<AccessibleTestApp> AccessibleTestApp::start(const EnvironmentChanges& environment,
                                                            const Options& options) {
  std::filesystem::path home = makeHome();
  EnvironmentChanges changes = environment;
  changes["HOME"] = home.string();
  changes["XDG_CONFIG_HOME"] = std::nullopt;
  changes["XDG_DATA_HOME"] = std::nullopt;
  changes["XDG_CACHE_HOME"] = std::nullopt;
  changes["GDK_BACKEND"] = "x11";
  changes["NO_AT_BRIDGE"] = std::nullopt;
  changes["GTK_MODULES"] = std::nullopt;
  changes["GTK_THEME"] = std::nullopt;

  UniqueFd log = makeMemoryLog("accessible-test-app");
  Pipe output = makePipe();
  CommandChannel commands = makeCommandChannel();
  std::vector<std::string> arguments = {GLIMRA_ACCESSIBLE_TEST_APP,
                                        "--layout",
                                        options.layout,
                                        "--focus",
                                        options.focus,
                                        "--labels",
                                        std::to_string(options.labels),
                                        "--title",
                                        options.title,
                                        "--command-fd",
                                        "3"};
  if (!options.programName.empty()) {
    arguments.insert(arguments.end(), {"--program-name", options.programName});
  }
  // Debian's interpreter, which has python3-gi; one earlier in PATH may not.
  ChildProcess process =
      ChildProcess::spawn("/usr/bin/python3", {.arguments = std::move(arguments),
                                               .environment = std::move(changes),
                                               .standardOutput = output.writeEnd.get(),
                                               .standardError = log.get(),
                                               .passedDescriptor = commands.theirs.get()});
  output.writeEnd.reset();
  commands.theirs.reset();

  std::unique_ptr<AccessibleTestApp> app(
      new AccessibleTestApp(std::move(process), std::move(output.readEnd), std::move(commands.ours),
                            std::move(log), std::move(home)));
  app->expectLine("ready focus=" + (options.layout == "form" ? options.focus : "none"));
  return app;
}

AccessibleTestApp::AccessibleTestApp(ChildProcess process, UniqueFd output, UniqueFd commands,
                                     UniqueFd log, std::filesystem::path home)
    : process_(std::move(process)),
      pid_(process_.pid()),
      output_(std::move(output)),
      commands_(std::move(commands)),
      log_(std::move(log)),
      home_(std::move(home)) {}

AccessibleTestApp::~AccessibleTestApp() {
  process_.signal(SIGCONT);
  process_.stop(kStopGracePeriod);
  std::error_code ignored;
  std::filesystem::remove_all(home_, ignored);
}

void AccessibleTestApp::focus(const std::string& widget) {
  send("focus " + widget);
  expectLine("focused " + widget);
}

void AccessibleTestApp::destroyWidget(const std::string& widget) {
  send("destroy " + widget);
  expectLine("destroyed " + widget);
}

void AccessibleTestApp::send(const std::string& command) {
  const std::string line = command + "\n";
  if (::send(commands_.get(), line.data(), line.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(line.size())) {
    throw std::runtime_error("cannot send \"" + command + "\" to the test application");
  }
}

void AccessibleTestApp::expectLine(const std::string& expected) {
  const Clock::time_point deadline = Clock::now() + kAnswerTimeout;
  size_t end;
  while ((end = pending_.find('\n')) == std::string::npos) {
    const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (remaining <= 0ms) {
      throw std::runtime_error("the test application did not print \"" + expected +
                               "\" within 20 s\n" + logTail(log_));
    }
    pollfd polled{output_.get(), POLLIN, 0};
    if (poll(&polled, 1, static_cast<int>(remaining.count())) <= 0) continue;
    char buffer[512];
    const ssize_t count = read(output_.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      throw std::runtime_error("the test application exited before printing \"" + expected +
                               "\"\n" + logTail(log_));
    }
    pending_.append(buffer, static_cast<size_t>(count));
  }
  const std::string line = pending_.substr(0, end);
  pending_.erase(0, end + 1);
  if (line != expected) {
    throw std::runtime_error("the test application printed \"" + line + "\" instead of \"" +
                             expected + "\"\n" + logTail(log_));
  }
}

}  // namespace glimra::testing

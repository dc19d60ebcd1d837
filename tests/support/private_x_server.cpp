#include "support/private_x_server.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/x11_properties.h"
#include "platform/linux/xcb_handles.h"

namespace glimra::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::chrono::seconds kStartupTimeout{10};
constexpr std::chrono::milliseconds kStopGracePeriod{2000};
constexpr std::chrono::milliseconds kWindowManagerPollPause{10};
// Enough of a log to show why startup failed without burying the message.

// Xvfb and openbox print warnings even when all is well, so their output goes
// to an anonymous in-memory file and is shown only when startup fails.
[[noreturn]] void failStartup(const std::string& what, const char* program, const UniqueFd& log) {
  throw std::runtime_error(what + "\n--- output of " + program + " ---\n" + logTail(log));
}

// For messages only: a child that just closed its end of a pipe is usually
// exiting, so give it a moment.
std::string describeExit(ChildProcess& child) {
  if (!child.awaitExit(Clock::now() + 1s)) return "is still running";
  return "exited with status " + std::to_string(child.wait());
}

// openbox reads its configuration from HOME and writes a log there: a fresh
// one keeps a developer's own settings out of the tests and the tests out of
// the developer's home.
std::filesystem::path makeWindowManagerHome() {
  std::string path = (std::filesystem::temp_directory_path() / "glimra-openbox-XXXXXX").string();
  if (mkdtemp(path.data()) == nullptr) {
    throw std::runtime_error("cannot create a home for openbox: " +
                             std::generic_category().message(errno));
  }
  return path;
}

std::vector<std::string> serverArguments(const PrivateXServer::Options& options) {
  std::string screen = std::to_string(options.width) + "x" + std::to_string(options.height) + "x24";
  // -displayfd lets Xvfb take the first free display itself, so parallel
  // tests cannot race for a number. -noreset keeps the server as it is when
  // the last client disconnects.
  return {"-displayfd", "3", "-nolisten", "tcp", "-noreset", "-screen", "0", screen};
}

// Xvfb writes the display number and a newline to the -displayfd descriptor
// once it accepts connections.
std::string awaitDisplayNumber(const UniqueFd& displayPipe, ChildProcess& server,
                               const UniqueFd& log) {
  std::string text;
  Clock::time_point deadline = Clock::now() + kStartupTimeout;
  while (text.find('\n') == std::string::npos) {
    auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (remaining <= 0ms) failStartup("Xvfb did not report its display within 10 s", "Xvfb", log);
    pollfd polled{displayPipe.get(), POLLIN, 0};
    if (poll(&polled, 1, static_cast<int>(remaining.count())) <= 0) continue;
    char buffer[32];
    ssize_t count = read(displayPipe.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      failStartup("Xvfb " + describeExit(server) + " before reporting its display", "Xvfb", log);
    }
    text.append(buffer, static_cast<size_t>(count));
  }
  int number = -1;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || *end != '\n' || number < 0) {
    failStartup("Xvfb reported an unexpected display \"" + text + "\"", "Xvfb", log);
  }
  return ":" + std::to_string(number);
}

xcb_atom_t internAtom(xcb_connection_t* connection, const std::string& name) {
  xcb::Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.data()),
      nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// The window named by the root's _NET_SUPPORTING_WM_CHECK, or none.
xcb_window_t supportingWindow(xcb_connection_t* connection, xcb_window_t root,
                              xcb_atom_t checkAtom) {
  xcb::Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      connection, xcb_get_property(connection, 0, root, checkAtom, XCB_ATOM_WINDOW, 0, 1),
      nullptr));
  if (!reply || reply->type != XCB_ATOM_WINDOW || reply->format != 32 || reply->value_len != 1) {
    return XCB_WINDOW_NONE;
  }
  return *static_cast<xcb_window_t*>(xcb_get_property_value(reply.get()));
}

// openbox sets _NET_SUPPORTING_WM_CHECK only after it has selected
// SubstructureRedirect on the root, so from then on it manages every window
// a test maps.
// openbox announces itself a moment before it manages new windows, and a
// window mapped in between stays unmanaged: map a probe window again and
// again until openbox frames it. openbox may still act on queued requests
// for the probe afterwards, so the caller keeps the connection open: were it
// closed, the next client would get the same ids and its first window would
// inherit them.
void awaitManagement(xcb_connection_t* connection, xcb_window_t root, Clock::time_point deadline,
                     ChildProcess& windowManager, const UniqueFd& log) {
  const xcb_window_t probe = xcb_generate_id(connection);
  xcb_create_window(connection, XCB_COPY_FROM_PARENT, probe, root, 0, 0, 10, 10, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
  while (xcb::topLevelAncestor(connection, probe) == probe) {
    if (windowManager.hasExited() || Clock::now() >= deadline) {
      failStartup("openbox did not manage a window within 10 s", "openbox", log);
    }
    xcb_unmap_window(connection, probe);
    xcb_map_window(connection, probe);
    std::this_thread::sleep_for(kWindowManagerPollPause);
  }
  // Gone from openbox's own list too, so no test ever sees it.
  xcb_destroy_window(connection, probe);
  const xcb_atom_t clients = xcb::internAtom(connection, "_NET_CLIENT_LIST_STACKING");
  const auto listed = [&] {
    const auto windows = xcb::readCardinals(connection, root, clients, XCB_ATOM_WINDOW);
    return windows && std::find(windows->begin(), windows->end(), probe) != windows->end();
  };
  while (listed()) {
    if (windowManager.hasExited() || Clock::now() >= deadline) {
      failStartup("openbox did not let go of a window within 10 s", "openbox", log);
    }
    std::this_thread::sleep_for(kWindowManagerPollPause);
  }
}

xcb::Connection awaitWindowManager(const std::string& display, ChildProcess& windowManager,
                                   const UniqueFd& log) {
  int screenNumber = 0;
  xcb::Connection connection(xcb_connect(display.c_str(), &screenNumber));
  if (xcb_connection_has_error(connection.get()) != 0) {
    throw std::runtime_error("cannot connect to the private X server on " + display);
  }
  const xcb_window_t root = xcb::screenOfDisplay(connection.get(), screenNumber)->root;
  xcb_atom_t checkAtom = internAtom(connection.get(), "_NET_SUPPORTING_WM_CHECK");
  Clock::time_point deadline = Clock::now() + kStartupTimeout;
  while (supportingWindow(connection.get(), root, checkAtom) == XCB_WINDOW_NONE) {
    if (xcb_connection_has_error(connection.get()) != 0) {
      failStartup("lost the connection to the private X server on " + display, "openbox", log);
    }
    if (windowManager.hasExited()) {
      failStartup("openbox " + describeExit(windowManager) + " before taking over " + display,
                  "openbox", log);
    }
    if (Clock::now() >= deadline)
      failStartup("openbox did not take over " + display + " within 10 s", "openbox", log);
    std::this_thread::sleep_for(kWindowManagerPollPause);
  }
  awaitManagement(connection.get(), root, deadline, windowManager, log);
  return connection;
}

}  // namespace

std::unique_ptr<PrivateXServer> PrivateXServer::start(const Options& options) {
  UniqueFd log = makeMemoryLog("Xvfb");
  Pipe displayPipe = makePipe();
  ChildProcess server =
      ChildProcess::spawn("Xvfb", {.arguments = serverArguments(options),
                                   .standardOutput = log.get(),
                                   .standardError = log.get(),
                                   .passedDescriptor = displayPipe.writeEnd.get()});
  // With the child holding the only write end, end of file means Xvfb died.
  displayPipe.writeEnd.reset();
  std::string display = awaitDisplayNumber(displayPipe.readEnd, server, log);

  // From here on the destructor cleans up, also when openbox fails.
  std::unique_ptr<PrivateXServer> xServer(
      new PrivateXServer(std::move(server), std::move(display)));
  if (options.withWindowManager) xServer->startWindowManager();
  return xServer;
}

PrivateXServer::PrivateXServer(ChildProcess server, std::string display)
    : server_(std::move(server)), serverPid_(server_.pid()), display_(std::move(display)) {}

PrivateXServer::~PrivateXServer() {
  // The window manager goes first, so it does not die complaining about a
  // lost display.
  if (windowManager_) windowManager_->stop(kStopGracePeriod);
  server_.stop(kStopGracePeriod);
  std::error_code ignored;
  if (!windowManagerHome_.empty()) std::filesystem::remove_all(windowManagerHome_, ignored);
}

void PrivateXServer::startWindowManager() {
  UniqueFd log = makeMemoryLog("openbox");
  windowManagerHome_ = makeWindowManagerHome();
  EnvironmentChanges environment = {{"DISPLAY", display_},
                                    {"HOME", windowManagerHome_.string()},
                                    {"XDG_CONFIG_HOME", std::nullopt},
                                    {"XDG_CACHE_HOME", std::nullopt},
                                    {"XDG_DATA_HOME", std::nullopt}};
  windowManager_ = ChildProcess::spawn("openbox", {.arguments = {"--sm-disable"},
                                                   .environment = std::move(environment),
                                                   .standardOutput = log.get(),
                                                   .standardError = log.get()});
  probeConnection_ = awaitWindowManager(display_, *windowManager_, log);
}

}  // namespace glimra::testing

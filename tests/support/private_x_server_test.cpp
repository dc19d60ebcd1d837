#include "support/private_x_server.h"
#include "support/process_probes.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/linux/xcb_handles.h"

namespace glimra::testing {
namespace {

bool processExists(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

// Null when nothing accepts connections on `display`.
xcb::Connection connectTo(const std::string& display) {
  xcb::Connection connection(xcb_connect(display.c_str(), nullptr));
  if (xcb_connection_has_error(connection.get()) != 0) return nullptr;
  return connection;
}

// A request that needs a reply: fails once the server is gone.
bool serverAnswers(xcb_connection_t* connection) {
  xcb::Reply<xcb_get_input_focus_reply_t> reply(
      xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
  return reply != nullptr;
}

xcb_window_t rootOf(xcb_connection_t* connection) {
  return xcb::screenOfDisplay(connection, 0)->root;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const std::string& name) {
  xcb::Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.data()),
      nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::optional<std::string> stringProperty(xcb_connection_t* connection, xcb_window_t window,
                                          const std::string& name) {
  xcb::Reply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(connection,
                             xcb_get_property(connection, 0, window, internAtom(connection, name),
                                              XCB_ATOM_STRING, 0, 1024),
                             nullptr));
  if (!reply || reply->type != XCB_ATOM_STRING) return std::nullopt;
  return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                     static_cast<size_t>(xcb_get_property_value_length(reply.get())));
}

void setStringProperty(xcb_connection_t* connection, xcb_window_t window, const std::string& name,
                       const std::string& value) {
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, internAtom(connection, name),
                      XCB_ATOM_STRING, 8, static_cast<uint32_t>(value.size()), value.data());
}

std::optional<xcb_window_t> supportingWmCheck(xcb_connection_t* connection, xcb_window_t window) {
  xcb_atom_t atom = internAtom(connection, "_NET_SUPPORTING_WM_CHECK");
  xcb::Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      connection, xcb_get_property(connection, 0, window, atom, XCB_ATOM_WINDOW, 0, 1), nullptr));
  if (!reply || reply->type != XCB_ATOM_WINDOW || xcb_get_property_value_length(reply.get()) != 4)
    return std::nullopt;
  return *static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
}

std::string startFailure(const PrivateXServer::Options& options) {
  try {
    PrivateXServer::start(options);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  ADD_FAILURE() << "start() did not throw";
  return "";
}

// Sets a variable of the test's own environment and restores it afterwards.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) oldValue_ = old;
    setenv(name_.c_str(), value.c_str(), 1);
  }
  ~ScopedEnvironmentVariable() {
    if (oldValue_) {
      setenv(name_.c_str(), oldValue_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::string name_;
  std::optional<std::string> oldValue_;
};

class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "glimra-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TemporaryDirectory() { std::filesystem::remove_all(path_); }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  bool empty() const { return std::filesystem::is_empty(path_); }

 private:
  std::filesystem::path path_;
};

TEST(PrivateXServerTest, AcceptsConnectionsWithTheRequestedScreen) {
  auto server = PrivateXServer::start({.width = 640, .height = 480});

  ASSERT_EQ(server->display().front(), ':');
  xcb::Connection connection = connectTo(server->display());
  ASSERT_NE(connection, nullptr);
  xcb_screen_t* screen = xcb::screenOfDisplay(connection.get(), 0);
  ASSERT_NE(screen, nullptr);
  EXPECT_EQ(screen->width_in_pixels, 640);
  EXPECT_EQ(screen->height_in_pixels, 480);
  EXPECT_EQ(screen->root_depth, 24);
  EXPECT_TRUE(serverAnswers(connection.get()));
}

TEST(PrivateXServerTest, ServersRunningAtOnceAreIndependent) {
  auto first = PrivateXServer::start();
  auto second = PrivateXServer::start();

  EXPECT_NE(first->display(), second->display());
  EXPECT_NE(first->serverPid(), second->serverPid());
  xcb::Connection firstConnection = connectTo(first->display());
  xcb::Connection secondConnection = connectTo(second->display());
  ASSERT_NE(firstConnection, nullptr);
  ASSERT_NE(secondConnection, nullptr);
  // A mark made through one display must not show up on the other.
  setStringProperty(firstConnection.get(), rootOf(firstConnection.get()), "GLIMRA_TEST_MARK",
                    "first");
  EXPECT_EQ(
      stringProperty(firstConnection.get(), rootOf(firstConnection.get()), "GLIMRA_TEST_MARK"),
      "first");
  EXPECT_FALSE(
      stringProperty(secondConnection.get(), rootOf(secondConnection.get()), "GLIMRA_TEST_MARK"));
}

TEST(PrivateXServerTest, WindowManagerHasTakenOverWhenStartReturns) {
  auto server = PrivateXServer::start({.withWindowManager = true});

  xcb::Connection connection = connectTo(server->display());
  ASSERT_NE(connection, nullptr);
  std::optional<xcb_window_t> check = supportingWmCheck(connection.get(), rootOf(connection.get()));
  ASSERT_TRUE(check.has_value());
  // The window manager's own window points back at itself.
  EXPECT_EQ(supportingWmCheck(connection.get(), *check), check);
}

TEST(PrivateXServerTest, NoWindowManagerUnlessAskedFor) {
  auto server = PrivateXServer::start();

  xcb::Connection connection = connectTo(server->display());
  ASSERT_NE(connection, nullptr);
  EXPECT_FALSE(supportingWmCheck(connection.get(), rootOf(connection.get())));
}

TEST(PrivateXServerTest, WindowManagerStaysOutOfHomeAndLeavesNoFiles) {
  TemporaryDirectory home;
  TemporaryDirectory temporary;
  ScopedEnvironmentVariable homeVariable("HOME", home.path().string());
  ScopedEnvironmentVariable cacheVariable("XDG_CACHE_HOME", (home.path() / ".cache").string());
  ScopedEnvironmentVariable temporaryVariable("TMPDIR", temporary.path().string());

  auto server = PrivateXServer::start({.withWindowManager = true});
  server.reset();

  EXPECT_TRUE(home.empty());
  EXPECT_TRUE(temporary.empty());
}

class PrivateXServerShutdownTest : public ::testing::TestWithParam<bool> {};

TEST_P(PrivateXServerShutdownTest, DestructionStopsEverythingItStarted) {
  size_t descriptorsBefore = openDescriptorCount();
  auto server = PrivateXServer::start({.withWindowManager = GetParam()});
  std::string display = server->display();
  pid_t serverPid = server->serverPid();
  xcb::Connection connection = connectTo(display);
  ASSERT_NE(connection, nullptr);
  // Another test may get the same display number right after this server is
  // gone; the mark tells our server from such a newcomer.
  std::string mark = std::to_string(getpid());
  setStringProperty(connection.get(), rootOf(connection.get()), "GLIMRA_TEST_MARK", mark);
  ASSERT_EQ(stringProperty(connection.get(), rootOf(connection.get()), "GLIMRA_TEST_MARK"), mark);

  server.reset();

  EXPECT_FALSE(processExists(serverPid));
  EXPECT_FALSE(hasChildProcesses());  // the window manager is gone and reaped too
  EXPECT_FALSE(serverAnswers(connection.get()));
  if (xcb::Connection newConnection = connectTo(display)) {
    EXPECT_NE(stringProperty(newConnection.get(), rootOf(newConnection.get()), "GLIMRA_TEST_MARK"),
              mark);
  }
  connection.reset();
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutWindowManager, PrivateXServerShutdownTest,
                         ::testing::Bool());

TEST(PrivateXServerTest, ReportsWhatXvfbPrintedWhenItFails) {
  // Xvfb starts, then rejects the screen size and exits.
  std::string message = startFailure({.width = -5});

  EXPECT_NE(message.find("Xvfb exited with status 1"), std::string::npos) << message;
  // Xvfb's own words, from its log.
  EXPECT_NE(message.find("Couldn't add screen"), std::string::npos) << message;
  EXPECT_FALSE(hasChildProcesses());
}

TEST(PrivateXServerTest, ReportsMissingProgramsAndLeavesNothingRunning) {
  struct Case {
    std::vector<std::string> installed;
    bool withWindowManager;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{}, false, "cannot start \"Xvfb\""},
      {{"Xvfb"}, true, "cannot start \"openbox\""},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.expected);
    TemporaryDirectory programs;
    for (const std::string& program : testCase.installed) {
      std::filesystem::create_symlink(std::filesystem::path("/usr/bin") / program,
                                      programs.path() / program);
    }
    ScopedEnvironmentVariable path("PATH", programs.path().string());

    std::string message = startFailure({.withWindowManager = testCase.withWindowManager});

    EXPECT_NE(message.find(testCase.expected), std::string::npos) << message;
    EXPECT_FALSE(hasChildProcesses());
  }
}

}  // namespace
}  // namespace glimra::testing

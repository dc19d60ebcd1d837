// Drives the real binary as a host application would: spawns it, reads its
// standard output line by line and checks every line against the published
// event schema.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "e2e/helper_process.h"
#include "support/private_x_server.h"
#include "support/subprocess.h"

namespace glimra {
namespace {

using nlohmann::json;
using testing::PrivateXServer;
using testing::ProcessResult;

const std::regex kTimestamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");

struct HelperRun {
  ProcessResult result;
  std::vector<json> events;
};

// Runs the helper to its end with the given DISPLAY (none when empty) and
// checks what every run must satisfy: whole JSON lines that match the
// schema, and nothing on standard error.
HelperRun runHelper(std::vector<std::string> arguments, const std::string& display,
                    std::map<std::string, std::optional<std::string>> environment = {}) {
  environment["DISPLAY"] = display.empty() ? std::nullopt : std::optional(display);
  HelperRun run;
  run.result = testing::runProcess(GLIMRA_HELPER_BINARY, {.arguments = std::move(arguments),
                                                          .environment = std::move(environment)});
  EXPECT_FALSE(run.result.timedOut);
  EXPECT_EQ(run.result.standardError, "");
  EXPECT_EQ(testing::eventSchemaProblems(run.result.standardOutput), "");
  for (const std::string& line : testing::splitLines(run.result.standardOutput)) {
    run.events.push_back(json::parse(line));
  }
  return run;
}

class HelperWithDisplayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = PrivateXServer::start(); }
  static void TearDownTestSuite() { server_.reset(); }
  static std::unique_ptr<PrivateXServer> server_;
};
std::unique_ptr<PrivateXServer> HelperWithDisplayTest::server_;

TEST_F(HelperWithDisplayTest, PermissionModesReportBothGranted) {
  for (const char* mode : {"--check-permissions", "--request-permissions"}) {
    const HelperRun run = runHelper({mode}, server_->display());
    EXPECT_EQ(run.result.exitStatus, 0) << mode;
    ASSERT_EQ(run.events.size(), 1u) << mode;
    EXPECT_EQ(run.events[0], json::parse(R"({"type":"permissions","inputMonitoring":"granted",
                                             "screenRecording":"granted"})"));
  }
}

TEST_F(HelperWithDisplayTest, IgnoredOptionsStillGiveThePermissionsEvent) {
  const HelperRun run =
      runHelper({"--pid", "+0", "--check-permissions", "--path", "x"}, server_->display());
  EXPECT_EQ(run.result.exitStatus, 0);
  ASSERT_EQ(run.events.size(), 1u);
  EXPECT_EQ(run.events[0]["type"], "permissions");
}

TEST(HelperTest, PermissionModesWithoutADisplayReportDenied) {
  for (const std::string display : {"", ":4095"}) {
    for (const char* mode : {"--check-permissions", "--request-permissions"}) {
      const HelperRun run = runHelper({mode}, display);
      EXPECT_EQ(run.result.exitStatus, 0) << mode << " on '" << display << "'";
      ASSERT_EQ(run.events.size(), 1u);
      EXPECT_EQ(run.events[0], json::parse(R"({"type":"permissions","inputMonitoring":"denied",
                                               "screenRecording":"denied"})"));
    }
  }
}

struct FailureCase {
  std::vector<std::string> arguments;
  int status;
  std::string code;
  std::string message;
};

TEST(HelperTest, FailuresAreOneErrorEventAndTheirExitStatus) {
  const FailureCase cases[] = {
      {{},
       64,
       "invalid_arguments",
       "Expected --check-permissions, --request-permissions, or --watch."},
      {{"--watch", "--voice-chords", "--bogus"},
       64,
       "invalid_arguments",
       "Choose exactly one helper mode."},
      {{"--check-permissions", "--path/x"}, 64, "invalid_arguments", "Unknown argument: --path/x"},
      {{"--check-permissions", "bad\xFF"},
       64,
       "invalid_arguments",
       "Unknown argument: bad\xEF\xBF\xBD"},
      {{"--list-open-with"},
       64,
       "invalid_arguments",
       "--list-open-with requires exactly one --path."},
      {{"--focused-text-target", "--pid", "2147483648"},
       64,
       "invalid_arguments",
       "--pid requires a process id."},
  };
  for (const FailureCase& c : cases) {
    // A time zone far from UTC must not show in the timestamp.
    const HelperRun run = runHelper(c.arguments, "", {{"TZ", "Pacific/Kiritimati"}});
    EXPECT_EQ(run.result.exitStatus, c.status) << c.message;
    ASSERT_EQ(run.events.size(), 1u) << c.message;
    const json& error = run.events[0];
    EXPECT_EQ(error["type"], "error");
    EXPECT_EQ(error["code"], c.code);
    EXPECT_EQ(error["message"], c.message);
    EXPECT_FALSE(error.contains("id"));
    EXPECT_TRUE(std::regex_match(error["capturedAt"].get<std::string>(), kTimestamp));
  }
}

TEST(HelperTest, SlashesAreEscapedOnTheWire) {
  const HelperRun run = runHelper({"--check-permissions", "a/b"}, "");
  EXPECT_NE(run.result.standardOutput.find(R"("Unknown argument: a\/b")"), std::string::npos)
      << run.result.standardOutput;
}

// The parent may close its end of the pipe before the helper writes: the
// write fails quietly and the process still ends with its own status
// rather than being killed by SIGPIPE.
TEST(HelperTest, AClosedStandardOutputDoesNotKillTheHelper) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  ::close(pipeFds[0]);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    char* const noEnvironment[] = {nullptr};  // no DISPLAY: a quick, known answer
    ::execle(GLIMRA_HELPER_BINARY, GLIMRA_HELPER_BINARY, "--check-permissions", nullptr,
             noEnvironment);
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace glimra

#include "cli/helper_entry.h"

#include <gtest/gtest.h>

#include <regex>

#include "fakes/captured_streams.h"
#include "fakes/fake_permission_service.h"

namespace glimra {
namespace {

using nlohmann::json;
using testing::CapturedStreams;
using testing::FakePermissionService;
using testing::PermissionScript;

const std::regex kTimestamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");

// Runs the entry on a fake platform and keeps what it wrote.
struct EntryRun {
  std::shared_ptr<PermissionScript> permissions;
  int platformsMade = 0;
  int status = -1;
  std::vector<json> events;
  std::string diagnostics;

  explicit EntryRun(std::vector<std::string> arguments, PermissionScript answers = {})
      : permissions(std::make_shared<PermissionScript>(std::move(answers))) {
    CapturedStreams streams;
    NDJSONEmitter emitter(streams.outputFd(), streams.diagnosticFd());
    status = runHelper(arguments, emitter, [this] {
      ++platformsMade;
      Platform platform;
      platform.permissions = std::make_unique<FakePermissionService>(permissions);
      return platform;
    });
    events = streams.events();
    diagnostics = streams.diagnostics();
  }
};

TEST(HelperEntryTest, CheckPermissionsPreflightsBothAndExitsZero) {
  PermissionScript answers;
  answers.listenPreflight = true;
  answers.listenRequest = false;
  answers.capturePreflight = false;
  answers.captureRequest = true;  // never asked: a check does not request
  const EntryRun run({"--check-permissions"}, answers);

  EXPECT_EQ(run.status, kExitSuccess);
  EXPECT_EQ(run.permissions->calls,
            (std::vector<std::string>{"preflightListen", "preflightCapture"}));
  ASSERT_EQ(run.events.size(), 1u);
  EXPECT_EQ(run.events[0], json::parse(R"({"type":"permissions","inputMonitoring":"granted",
                                           "screenRecording":"denied"})"));
  EXPECT_EQ(run.diagnostics, "");
}

struct RequestCase {
  bool request;
  bool preflight;
  const char* expected;
};

void PrintTo(const RequestCase& c, std::ostream* out) {
  *out << "request " << c.request << ", preflight " << c.preflight;
}

class RequestPermissionsTest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestPermissionsTest, GrantedWhenTheRequestOrTheLaterPreflightSaysSo) {
  const RequestCase& c = GetParam();
  PermissionScript answers;
  answers.listenRequest = answers.captureRequest = c.request;
  answers.listenPreflight = answers.capturePreflight = c.preflight;
  const EntryRun run({"--request-permissions"}, answers);

  EXPECT_EQ(run.status, kExitSuccess);
  EXPECT_EQ(run.permissions->calls,
            (std::vector<std::string>{"requestListen", "requestCapture", "preflightListen",
                                      "preflightCapture"}));
  ASSERT_EQ(run.events.size(), 1u);
  EXPECT_EQ(run.events[0]["inputMonitoring"], c.expected);
  EXPECT_EQ(run.events[0]["screenRecording"], c.expected);
}

INSTANTIATE_TEST_SUITE_P(Answers, RequestPermissionsTest,
                         ::testing::Values(RequestCase{false, false, "denied"},
                                           RequestCase{true, false, "granted"},
                                           RequestCase{false, true, "granted"},
                                           RequestCase{true, true, "granted"}));

TEST(HelperEntryTest, ACommandLineFailureIsOneErrorEventAndStatus64) {
  const EntryRun run({"--watch", "--bogus"});
  EXPECT_EQ(run.status, kExitUsage);
  EXPECT_EQ(run.platformsMade, 0);
  ASSERT_EQ(run.events.size(), 1u);
  const json& error = run.events[0];
  EXPECT_EQ(error["type"], "error");
  EXPECT_EQ(error["code"], "invalid_arguments");
  EXPECT_EQ(error["message"], "Unknown argument: --bogus");
  EXPECT_TRUE(std::regex_match(error["capturedAt"].get<std::string>(), kTimestamp));
  EXPECT_FALSE(error.contains("id"));
  EXPECT_EQ(run.diagnostics, "");
}

TEST(HelperEntryTest, ModesNotYetBuiltFailInsteadOfPretending) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--focused-text-target", "--pid", "1"}, "--focused-text-target"},
      {{"--list-open-with", "--path", "/tmp/f"}, "--list-open-with"},
  };
  for (const auto& [arguments, flag] : cases) {
    const EntryRun run(arguments);
    EXPECT_EQ(run.status, kExitFailure) << flag;
    ASSERT_EQ(run.events.size(), 1u) << flag;
    EXPECT_EQ(run.events[0]["code"], "helper_failed");
    EXPECT_EQ(run.events[0]["message"], "The " + flag + " mode is not available yet.");
    EXPECT_TRUE(run.permissions->calls.empty());
  }
}

TEST(HelperEntryTest, FailuresMapToTheirStatus) {
  struct FailureCase {
    std::exception_ptr failure;
    int status;
    const char* code;
    const char* message;
  };
  const FailureCase cases[] = {
      {std::make_exception_ptr(GlimraError({"output_directory_unavailable", "Nope: x"})),
       kExitUsage, "output_directory_unavailable", "Nope: x"},
      {std::make_exception_ptr(std::runtime_error("disk on fire")), kExitFailure, "helper_failed",
       "disk on fire"},
      {std::make_exception_ptr(42), kExitFailure, "helper_failed", "An unknown error occurred."},
  };
  for (const FailureCase& c : cases) {
    CapturedStreams streams;
    NDJSONEmitter emitter(streams.outputFd(), streams.diagnosticFd());
    EXPECT_EQ(reportFailure(c.failure, emitter), c.status);
    const std::vector<json> events = streams.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["code"], c.code);
    EXPECT_EQ(events[0]["message"], c.message);
    EXPECT_FALSE(events[0].contains("id"));
  }
}

}  // namespace
}  // namespace glimra

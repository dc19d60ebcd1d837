#include "cli/helper_entry.h"

#include <gtest/gtest.h>

#include <regex>

#include "fakes/captured_streams.h"
#include "fakes/fake_accessibility_service.h"
#include "fakes/fake_application_registry.h"
#include "fakes/fake_permission_service.h"
#include "fakes/virtual_runtime.h"

namespace glimra {
namespace {

using nlohmann::json;
using testing::AccessibilityScript;
using testing::ApplicationRegistryScript;
using testing::CapturedStreams;
using testing::FakeApplicationRegistry;
using testing::FakePermissionService;
using testing::PermissionScript;
using testing::VirtualRuntime;

const std::regex kTimestamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");

// Runs the entry on a fake platform and keeps what it wrote.
struct EntryRun {
  std::shared_ptr<PermissionScript> permissions;
  std::shared_ptr<ApplicationRegistryScript> applications =
      std::make_shared<ApplicationRegistryScript>();
  std::shared_ptr<AccessibilityScript> accessibility = std::make_shared<AccessibilityScript>();
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
      platform.runtime = std::make_unique<VirtualRuntime>();
      platform.applicationRegistry = std::make_unique<FakeApplicationRegistry>(applications);
      platform.accessibility = std::make_unique<testing::FakeAccessibilityService>(accessibility);
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

TEST(HelperEntryTest, ListOpenWithAsksForTheStandardizedPathAndExitsZero) {
  const EntryRun run({"--list-open-with", "--path", "/tmp/./docs/../notes.txt"});

  EXPECT_EQ(run.status, kExitSuccess);
  ASSERT_FALSE(run.applications->calls.empty());
  EXPECT_EQ(run.applications->calls.front(), "applicationsForFile /tmp/notes.txt");
  EXPECT_EQ(run.events,
            std::vector<json>{json::parse(R"({"type":"openWithApplications","applications":[]})")});
  EXPECT_EQ(run.diagnostics, "");
}

TEST(HelperEntryTest, FocusedTextTargetInspectsTheNamedProcessAndExitsZero) {
  const EntryRun run({"--focused-text-target", "--pid", "4242"});

  EXPECT_EQ(run.status, kExitSuccess);
  ASSERT_FALSE(run.accessibility->calls.empty());
  EXPECT_EQ(run.accessibility->calls.front(), "runningApplication 4242");
  EXPECT_EQ(run.events, std::vector<json>{json::parse(R"({"type":"focusedTextTarget",
      "trusted":true,"editable":false,"reason":"system_no_focused_element_no_window"})")});
  EXPECT_EQ(run.diagnostics, "");
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

#include "cli/focused_text_target_mode.h"

#include <gtest/gtest.h>

#include <memory>

#include "fakes/captured_streams.h"
#include "fakes/fake_accessibility_service.h"
#include "fakes/virtual_runtime.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::AccessibilityScript;
using testing::CapturedStreams;
using testing::FakeAccessibilityService;
using testing::VirtualRuntime;
using Attribute = AccessibilityAttribute;
using Status = AccessibilityStatus;

constexpr std::int32_t kEditorPid = 42;
const std::string kEditor = AccessibilityScript::applicationElementName(kEditorPid);

// One run of the mode against a frontmost editor (process 42) on the fake
// and the virtual clock.
class FocusedTextTargetModeTest : public ::testing::Test {
 protected:
  FocusedTextTargetModeTest()
      : script_(std::make_shared<AccessibilityScript>()), service_(script_) {
    RunningApplication editor;
    editor.processIdentifier = kEditorPid;
    editor.localizedName = "Editor";
    editor.bundleIdentifier = "org.example.Editor";
    script_->frontmostApplication = editor;
  }

  std::vector<json> run() {
    CapturedStreams streams;
    NDJSONEmitter emitter(streams.outputFd(), streams.diagnosticFd());
    runFocusedTextTargetMode(std::nullopt, emitter, service_, runtime_.mainLoop());
    EXPECT_EQ(streams.diagnostics(), "");
    return streams.events();
  }

  std::shared_ptr<AccessibilityScript> script_;
  FakeAccessibilityService service_;
  VirtualRuntime runtime_;
};

TEST_F(FocusedTextTargetModeTest, ReportsAFocusedTextFieldAtOnce) {
  script_->setFocus(kEditor, "field");
  script_->setRole("field", "AXTextField");

  EXPECT_EQ(run(), std::vector<json>{json::parse(R"({"type":"focusedTextTarget","trusted":true,
      "editable":true,"role":"AXTextField","appName":"Editor","bundleId":"org.example.Editor"})")});
  EXPECT_EQ(runtime_.now(), 0s);
}

TEST_F(FocusedTextTargetModeTest, RunsTheLoopThroughRepeatedProbesAndReturnsAfterTheReport) {
  script_->setFocus(kEditor, "pane");
  script_->setRole("pane", "AXGroup");

  const std::vector<json> events = run();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["role"], "AXGroup");
  EXPECT_EQ(events[0]["editable"], false);
  EXPECT_EQ(events[0]["reason"], "focus_not_editable");
  EXPECT_EQ(script_->count(kEditor + " focusedElement"), 3);
  EXPECT_EQ(runtime_.now(), 240ms);
}

TEST_F(FocusedTextTargetModeTest, AnUntrustedHelperStillReports) {
  script_->trusted = false;

  EXPECT_EQ(run(), std::vector<json>{json::parse(R"({"type":"focusedTextTarget","trusted":false,
      "editable":null,"appName":"Editor","bundleId":"org.example.Editor",
      "reason":"accessibility_not_trusted"})")});
}

}  // namespace
}  // namespace glimra

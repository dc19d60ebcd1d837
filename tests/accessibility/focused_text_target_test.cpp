#include "accessibility/focused_text_target.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_accessibility_service.h"
#include "fakes/virtual_runtime.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;
using testing::AccessibilityScript;
using testing::FakeAccessibilityService;
using testing::VirtualRuntime;
using Attribute = AccessibilityAttribute;
using Status = AccessibilityStatus;

constexpr std::int32_t kFrontPid = 42;
constexpr std::int32_t kNamedPid = 77;
const std::string kFrontApp = AccessibilityScript::applicationElementName(kFrontPid);
const std::string kNamedApp = AccessibilityScript::applicationElementName(kNamedPid);
const std::string kSystem = AccessibilityScript::kSystemWide;

RunningApplication application(std::int32_t pid, std::string name, std::string bundle) {
  RunningApplication running;
  running.processIdentifier = pid;
  running.localizedName = std::move(name);
  running.bundleIdentifier = std::move(bundle);
  return running;
}

struct Completed {
  FocusedTextTargetReport report;
  Duration at;
};

// An inspection on the fake and the virtual clock, with a frontmost editor
// (process 42) and a running terminal (process 77); reports are recorded
// with the virtual time they came at.
class FocusedTextTargetTest : public ::testing::Test {
 protected:
  FocusedTextTargetTest() : script_(std::make_shared<AccessibilityScript>()), service_(script_) {
    script_->frontmostApplication = application(kFrontPid, "Editor", "org.example.Editor");
    script_->runningApplications[kFrontPid] = *script_->frontmostApplication;
    script_->runningApplications[kNamedPid] =
        application(kNamedPid, "Terminal", "org.example.Terminal");
  }

  void inspect(std::optional<std::int32_t> pidOverride = std::nullopt) {
    inspectFocusedTextTarget(service_, runtime_.mainLoop(), pidOverride,
                             [this](FocusedTextTargetReport report) {
                               completed_.push_back({std::move(report), runtime_.now()});
                             });
  }

  // Inspects and lets all the pauses pass; the one report.
  FocusedTextTargetReport inspectToEnd(std::optional<std::int32_t> pidOverride = std::nullopt) {
    inspect(pidOverride);
    runtime_.advanceBy(1s);
    EXPECT_EQ(completed_.size(), 1u);
    return completed_.empty() ? FocusedTextTargetReport{} : completed_.front().report;
  }

  long probesOf(const std::string& element) const {
    return script_->count(element + " focusedElement");
  }

  VirtualRuntime runtime_;
  std::shared_ptr<AccessibilityScript> script_;
  FakeAccessibilityService service_;
  std::vector<Completed> completed_;
};

TEST_F(FocusedTextTargetTest, WithoutPermissionNamesTheApplicationAndProbesNothing) {
  script_->trusted = false;
  script_->setFocus(kFrontApp, "field");
  script_->setRole("field", "AXTextField");

  inspect();

  ASSERT_EQ(completed_.size(), 1u);
  const FocusedTextTargetReport& report = completed_[0].report;
  EXPECT_FALSE(report.trusted);
  EXPECT_EQ(report.editable, std::nullopt);
  EXPECT_EQ(report.role, std::nullopt);
  EXPECT_EQ(report.subrole, std::nullopt);
  EXPECT_EQ(report.appName, "Editor");
  EXPECT_EQ(report.bundleIdentifier, "org.example.Editor");
  EXPECT_EQ(report.reason, "accessibility_not_trusted");
  EXPECT_EQ(probesOf(kFrontApp) + probesOf(kSystem), 0);
}

TEST_F(FocusedTextTargetTest, PidOfARunningApplicationIsInspectedInsteadOfTheFrontmost) {
  script_->setFocus(kNamedApp, "field");
  script_->setRole("field", "AXTextField");

  const FocusedTextTargetReport report = inspectToEnd(kNamedPid);

  EXPECT_EQ(report.appName, "Terminal");
  EXPECT_EQ(report.bundleIdentifier, "org.example.Terminal");
  EXPECT_EQ(report.editable, true);
  EXPECT_EQ(probesOf(kNamedApp), 1);
  EXPECT_EQ(probesOf(kFrontApp), 0);
  EXPECT_EQ(script_->count("frontmostApplication"), 0);
}

TEST_F(FocusedTextTargetTest, PidOfNoRunningApplicationFallsBackToTheFrontmost) {
  script_->setFocus(kFrontApp, "field");
  script_->setRole("field", "AXTextField");

  const FocusedTextTargetReport report = inspectToEnd(999);

  EXPECT_EQ(script_->count("runningApplication 999"), 1);
  EXPECT_EQ(report.appName, "Editor");
  EXPECT_EQ(report.editable, true);
  EXPECT_EQ(probesOf(kFrontApp), 1);
  EXPECT_EQ(script_->count("applicationElement 999"), 0);
}

TEST_F(FocusedTextTargetTest, WithoutAnyApplicationAsksOnlyTheSystemWideElement) {
  script_->frontmostApplication.reset();
  script_->setFocus(kSystem, "field");
  script_->setRole("field", "AXTextArea");
  script_->answer("field", Attribute::kSubrole, Status::kSuccess, std::string("AXSearchField"));

  const FocusedTextTargetReport report = inspectToEnd(999);

  EXPECT_TRUE(report.trusted);
  EXPECT_EQ(report.appName, std::nullopt);
  EXPECT_EQ(report.bundleIdentifier, std::nullopt);
  EXPECT_EQ(report.editable, true);
  EXPECT_EQ(report.role, "AXTextArea");
  EXPECT_EQ(report.subrole, "AXSearchField");
  EXPECT_EQ(report.reason, std::nullopt);
  EXPECT_EQ(probesOf(kSystem), 1);
  for (const std::string& call : script_->calls) EXPECT_FALSE(call.starts_with("app"));
}

struct RepeatCase {
  const char* name;
  std::optional<std::string> role;
  bool settableWithSelection;
  int probes;
  bool editable;
  std::optional<std::string> reason;
};

TEST_F(FocusedTextTargetTest, RepeatsTheProbeWhileFocusIsOnAContainerOrHasNoRole) {
  const std::vector<RepeatCase> cases = {
      {"text field", "AXTextField", false, 1, true, std::nullopt},
      {"button", "AXButton", false, 1, false, "focus_not_editable"},
      {"editable group", "AXGroup", true, 1, true, "settable_value_with_selection"},
      {"editable without role", std::nullopt, true, 1, true, "settable_value_with_selection"},
      {"web area", "AXWebArea", false, 3, false, "focus_not_editable"},
      {"group", "AXGroup", false, 3, false, "focus_not_editable"},
      {"scroll area", "AXScrollArea", false, 3, false, "focus_not_editable"},
      {"window", "AXWindow", false, 3, false, "focus_not_editable"},
      {"application", "AXApplication", false, 3, false, "focus_not_editable"},
      {"no role", std::nullopt, false, 3, false, "focus_not_editable"},
  };
  for (const RepeatCase& test : cases) {
    SCOPED_TRACE(test.name);
    script_ = std::make_shared<AccessibilityScript>();
    script_->frontmostApplication = application(kFrontPid, "Editor", "org.example.Editor");
    FakeAccessibilityService service(script_);
    script_->setFocus(kFrontApp, "focus");
    if (test.role) script_->setRole("focus", *test.role);
    if (test.settableWithSelection) {
      script_->setSettable("focus", Attribute::kValue, Status::kSuccess, true);
      script_->answer("focus", Attribute::kSelectedTextRange, Status::kSuccess,
                      OtherAccessibilityValue{});
    }
    completed_.clear();
    const Duration start = runtime_.now();

    inspectFocusedTextTarget(service, runtime_.mainLoop(), std::nullopt,
                             [this](FocusedTextTargetReport report) {
                               completed_.push_back({std::move(report), runtime_.now()});
                             });
    runtime_.advanceBy(1s);

    ASSERT_EQ(completed_.size(), 1u);
    const FocusedTextTargetReport& report = completed_[0].report;
    EXPECT_EQ(probesOf(kFrontApp), test.probes);
    EXPECT_EQ(completed_[0].at - start, kRepeatedProbePause * (test.probes - 1));
    EXPECT_TRUE(report.trusted);
    EXPECT_EQ(report.editable, test.editable);
    EXPECT_EQ(report.role, test.role);
    EXPECT_EQ(report.reason, test.reason);
    EXPECT_EQ(report.appName, "Editor");
  }
}

TEST_F(FocusedTextTargetTest, FirstProbeThatSettlesReportsWithoutPause) {
  script_->setFocus(kFrontApp, "field");
  script_->setRole("field", "AXTextField");

  inspect();

  ASSERT_EQ(completed_.size(), 1u);
  EXPECT_EQ(completed_[0].at, Duration::zero());
  EXPECT_EQ(completed_[0].report.editable, true);
}

TEST_F(FocusedTextTargetTest, ProbesAgainOnlyAfterEachPause) {
  script_->setFocus(kFrontApp, "area");
  script_->setRole("area", "AXWebArea");

  inspect();
  EXPECT_EQ(probesOf(kFrontApp), 1);
  runtime_.advanceBy(kRepeatedProbePause - 1ns);
  EXPECT_EQ(probesOf(kFrontApp), 1);
  runtime_.advanceBy(1ns);
  EXPECT_EQ(probesOf(kFrontApp), 2);
  runtime_.advanceBy(kRepeatedProbePause - 1ns);
  EXPECT_EQ(probesOf(kFrontApp), 2);
  EXPECT_TRUE(completed_.empty());
  runtime_.advanceBy(1ns);
  EXPECT_EQ(probesOf(kFrontApp), 3);
  ASSERT_EQ(completed_.size(), 1u);
  EXPECT_EQ(completed_[0].at, 2 * kRepeatedProbePause);
  // Three probes are the most, whatever the third one shows.
  runtime_.advanceBy(10s);
  EXPECT_EQ(probesOf(kFrontApp), 3);
  EXPECT_EQ(completed_[0].report.role, "AXWebArea");
}

TEST_F(FocusedTextTargetTest, ReportsTheProbeAfterFocusMovesIntoAField) {
  script_->setFocus(kFrontApp, "area");
  script_->setRole("area", "AXWebArea");
  script_->setRole("field", "AXTextField");

  inspect();
  script_->setFocus(kFrontApp, "field");
  runtime_.advanceBy(1s);

  ASSERT_EQ(completed_.size(), 1u);
  EXPECT_EQ(probesOf(kFrontApp), 2);
  EXPECT_EQ(completed_[0].at, kRepeatedProbePause);
  EXPECT_EQ(completed_[0].report.editable, true);
  EXPECT_EQ(completed_[0].report.role, "AXTextField");
  EXPECT_EQ(completed_[0].report.reason, std::nullopt);
}

struct NoFocusCase {
  const char* name;
  int windowChildren;
  std::optional<bool> editable;
  std::string reason;
};

TEST_F(FocusedTextTargetTest, NoFocusedElementProbesThreeTimesThenJudgesTheWindow) {
  const std::vector<NoFocusCase> cases = {
      {"sparse window", 2, std::nullopt, "opaque_tree_3_nodes"},
      {"rich window", 29, false, "app_no_focused_element_tree_30_nodes_text_false"},
  };
  for (const NoFocusCase& test : cases) {
    SCOPED_TRACE(test.name);
    script_->calls.clear();
    completed_.clear();
    script_->answer(kFrontApp, Attribute::kFocusedElement, Status::kNoValue);
    script_->answer(kFrontApp, Attribute::kFocusedWindow, Status::kSuccess,
                    AccessibilityScript::element("w"));
    std::vector<std::string> children;
    for (int i = 0; i < test.windowChildren; ++i) children.push_back("c" + std::to_string(i));
    script_->setChildren("w", children);

    const FocusedTextTargetReport report = inspectToEnd();

    EXPECT_EQ(probesOf(kFrontApp), 3);
    EXPECT_TRUE(report.trusted);
    EXPECT_EQ(report.editable, test.editable);
    EXPECT_EQ(report.role, std::nullopt);
    EXPECT_EQ(report.reason, test.reason);
  }
}

TEST_F(FocusedTextTargetTest, LookupFailingTwiceReportsTheSystemWideError) {
  script_->answer(kFrontApp, Attribute::kFocusedElement, Status::kCannotComplete);
  script_->answer(kSystem, Attribute::kFocusedElement, Status::kAPIDisabled);

  inspect();

  ASSERT_EQ(completed_.size(), 1u);
  EXPECT_EQ(completed_[0].at, Duration::zero());
  const FocusedTextTargetReport& report = completed_[0].report;
  EXPECT_TRUE(report.trusted);
  EXPECT_EQ(report.editable, std::nullopt);
  EXPECT_EQ(report.role, std::nullopt);
  EXPECT_EQ(report.appName, "Editor");
  EXPECT_EQ(report.reason, "system_ax_error_-25211");
  EXPECT_EQ(probesOf(kSystem), 2);
}

struct SecondLookupCase {
  const char* name;
  AttributeAnswer secondAppAnswer;
};

TEST_F(FocusedTextTargetTest, LookupThatNoLongerFailsReportsTheQueryFailed) {
  const std::vector<SecondLookupCase> cases = {
      {"finds an element", {Status::kSuccess, AccessibilityScript::element("field")}},
      {"finds no focus", {Status::kNoValue, std::monostate{}}},
  };
  for (const SecondLookupCase& test : cases) {
    SCOPED_TRACE(test.name);
    script_->calls.clear();
    completed_.clear();
    script_->answerOnce(kFrontApp, Attribute::kFocusedElement, Status::kCannotComplete);
    script_->answer(kSystem, Attribute::kFocusedElement, Status::kCannotComplete);
    script_->answers[{kFrontApp, Attribute::kFocusedElement}] = test.secondAppAnswer;

    const FocusedTextTargetReport report = inspectToEnd();

    EXPECT_EQ(probesOf(kFrontApp), 2);
    EXPECT_EQ(report.editable, std::nullopt);
    EXPECT_EQ(report.role, std::nullopt);
    EXPECT_EQ(report.reason, "accessibility_query_failed");
  }
}

TEST_F(FocusedTextTargetTest, RepeatedProbeThatFailsEndsInTheLookupsReason) {
  for (const int failingProbe : {2, 3}) {
    SCOPED_TRACE(failingProbe);
    script_->calls.clear();
    completed_.clear();
    script_->answers.clear();
    script_->setFocus(kFrontApp, "group");
    script_->setRole("group", "AXGroup");
    script_->answer(kSystem, Attribute::kFocusedElement, Status::kCannotComplete);

    inspect();
    runtime_.advanceBy(kRepeatedProbePause * (failingProbe - 2));
    ASSERT_TRUE(completed_.empty());
    script_->answer(kFrontApp, Attribute::kFocusedElement, Status::kInvalidElement);
    runtime_.advanceBy(kRepeatedProbePause);

    ASSERT_EQ(completed_.size(), 1u);
    const FocusedTextTargetReport& report = completed_[0].report;
    EXPECT_EQ(probesOf(kFrontApp), failingProbe + 1);
    EXPECT_EQ(report.editable, std::nullopt);
    EXPECT_EQ(report.role, std::nullopt);
    EXPECT_EQ(report.reason, "system_ax_error_-25204");
  }
}

}  // namespace
}  // namespace glimra

#include "accessibility/focused_element_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_accessibility_service.h"

namespace glimra {
namespace {

using testing::AccessibilityScript;
using testing::FakeAccessibilityService;
using Attribute = AccessibilityAttribute;
using Status = AccessibilityStatus;

constexpr std::int32_t kPid = 42;
const std::string kApp = AccessibilityScript::applicationElementName(kPid);
const std::string kSystem = AccessibilityScript::kSystemWide;

class FocusedElementProbeTest : public ::testing::Test {
 protected:
  FocusedElementProbeTest() : script_(std::make_shared<AccessibilityScript>()), service_(script_) {}

  bool wasCalled(const std::string& call) const { return script_->count(call) > 0; }

  // The application's focused window "w" and `count - 1` children of it,
  // "e1" and on; the one at `editableChild` (if any) is a text field.
  void giveApplicationFlatWindow(int count, std::optional<int> editableChild = std::nullopt) {
    script_->answer(kApp, Attribute::kFocusedWindow, Status::kSuccess,
                    AccessibilityScript::element("w"));
    std::vector<std::string> children;
    for (int i = 1; i < count; ++i) {
      children.push_back("e" + std::to_string(i));
      script_->setRole(children.back(), i == editableChild ? "AXTextField" : "AXStaticText");
    }
    script_->setRole("w", "AXWindow");
    script_->setChildren("w", children);
  }

  // The application's focused window "n0" holding a chain "n1", "n2", ...
  // of `length` elements in all.
  void giveApplicationChainWindow(int length) {
    script_->answer(kApp, Attribute::kFocusedWindow, Status::kSuccess,
                    AccessibilityScript::element("n0"));
    for (int i = 0; i + 1 < length; ++i) {
      script_->setChildren("n" + std::to_string(i), {"n" + std::to_string(i + 1)});
    }
  }

  std::shared_ptr<AccessibilityScript> script_;
  FakeAccessibilityService service_;
};

struct FocusedElementCase {
  const char* name;
  std::optional<std::string> role;
  SettableAnswer valueSettable;
  std::optional<Status> selectionStatus;  // unscripted when absent
  bool editable;
  std::optional<std::string> reason;
};

TEST_F(FocusedElementProbeTest, JudgesTheFocusedElementByRoleThenBySettableValue) {
  const std::vector<FocusedElementCase> cases = {
      {"text area", "AXTextArea", {Status::kSuccess, false}, std::nullopt, true, std::nullopt},
      {"text field", "AXTextField", {Status::kSuccess, false}, std::nullopt, true, std::nullopt},
      {"combo box", "AXComboBox", {Status::kSuccess, false}, std::nullopt, true, std::nullopt},
      {"button",
       "AXButton",
       {Status::kSuccess, false},
       Status::kSuccess,
       false,
       "focus_not_editable"},
      {"settable with selection",
       "AXGroup",
       {Status::kSuccess, true},
       Status::kSuccess,
       true,
       "settable_value_with_selection"},
      {"settable, selection fails",
       "AXGroup",
       {Status::kSuccess, true},
       Status::kCannotComplete,
       false,
       "focus_not_editable"},
      {"settable, no selection",
       "AXGroup",
       {Status::kSuccess, true},
       Status::kNoValue,
       false,
       "focus_not_editable"},
      {"settable, selection unscripted",
       "AXGroup",
       {Status::kSuccess, true},
       std::nullopt,
       false,
       "focus_not_editable"},
      {"settable query fails",
       "AXGroup",
       {Status::kCannotComplete, true},
       Status::kSuccess,
       false,
       "focus_not_editable"},
      {"no role, settable with selection",
       std::nullopt,
       {Status::kSuccess, true},
       Status::kSuccess,
       true,
       "settable_value_with_selection"},
      {"no role, not settable",
       std::nullopt,
       {Status::kSuccess, false},
       Status::kSuccess,
       false,
       "focus_not_editable"},
      {"role in another case",
       "axtextfield",
       {Status::kSuccess, false},
       std::nullopt,
       false,
       "focus_not_editable"},
  };
  for (const FocusedElementCase& test : cases) {
    SCOPED_TRACE(test.name);
    script_ = std::make_shared<AccessibilityScript>();
    FakeAccessibilityService service(script_);
    script_->setFocus(kApp, "focus");
    if (test.role) script_->setRole("focus", *test.role);
    script_->answer("focus", Attribute::kSubrole, Status::kSuccess, std::string("AXSub"));
    script_->setSettable("focus", Attribute::kValue, test.valueSettable.status,
                         test.valueSettable.settable);
    if (test.selectionStatus) {
      script_->answer("focus", Attribute::kSelectedTextRange, *test.selectionStatus,
                      OtherAccessibilityValue{});
    }

    const std::optional<FocusedElementProbe> probe = probeFocusedElement(service, kPid);

    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->editable, test.editable);
    EXPECT_EQ(probe->role, test.role);
    EXPECT_EQ(probe->subrole, "AXSub");
    EXPECT_EQ(probe->reason, test.reason);
    EXPECT_FALSE(probe->unknown);
    EXPECT_EQ(script_->count(kSystem + " focusedElement"), 0);
    // An editable role decides alone.
    const bool roleDecides = test.role && isEditableRole(*test.role);
    EXPECT_EQ(script_->count("focus settable value"), roleDecides ? 0 : 1);
  }
}

TEST_F(FocusedElementProbeTest, ReadsOnlyStringValuesAsStrings) {
  script_->setFocus(kApp, "focus");
  script_->answer("focus", Attribute::kRole, Status::kSuccess, OtherAccessibilityValue{});
  script_->answer("focus", Attribute::kSubrole, Status::kCannotComplete, std::string("AXSub"));

  const std::optional<FocusedElementProbe> probe = probeFocusedElement(service_, kPid);

  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->role, std::nullopt);
  EXPECT_EQ(probe->subrole, std::nullopt);
  EXPECT_EQ(probe->reason, "focus_not_editable");
}

enum class Outcome { kFound, kNoFocus, kFailed };

struct LookupCase {
  const char* name;
  std::optional<std::int32_t> pid;
  std::optional<AttributeAnswer> appAnswer;  // unscripted when absent
  std::optional<AttributeAnswer> systemAnswer;
  Outcome outcome;
  std::string reason;  // empty when found
  bool systemAsked;
};

AttributeAnswer answered(Status status, AccessibilityValue value = std::monostate{}) {
  return AttributeAnswer{status, std::move(value)};
}

TEST_F(FocusedElementProbeTest, LooksUpTheFocusedElementOnTheApplicationThenSystemWide) {
  const AccessibilityValue focus = AccessibilityScript::element("focus");
  const std::vector<LookupCase> cases = {
      {"app finds", kPid, answered(Status::kSuccess, focus), answered(Status::kCannotComplete),
       Outcome::kFound, "", false},
      {"app no value", kPid, answered(Status::kNoValue), answered(Status::kSuccess, focus),
       Outcome::kNoFocus, "app_no_focused_element", false},
      {"app unsupported", kPid, answered(Status::kAttributeUnsupported),
       answered(Status::kSuccess, focus), Outcome::kNoFocus, "app_no_focused_element", false},
      {"app success without value", kPid, answered(Status::kSuccess),
       answered(Status::kSuccess, focus), Outcome::kNoFocus, "app_no_focused_element", false},
      {"app success with a string", kPid, answered(Status::kSuccess, std::string("field")),
       answered(Status::kSuccess, focus), Outcome::kNoFocus, "app_no_focused_element", false},
      {"app fails, system no value", kPid, answered(Status::kCannotComplete),
       answered(Status::kNoValue), Outcome::kNoFocus, "system_no_focused_element", true},
      {"app fails, system finds", kPid, answered(Status::kFailure),
       answered(Status::kSuccess, focus), Outcome::kFound, "", true},
      {"both fail", kPid, answered(Status::kCannotComplete), answered(Status::kInvalidElement),
       Outcome::kFailed, "system_ax_error_-25202", true},
      {"both fail, other code", kPid, answered(Status::kAPIDisabled),
       answered(static_cast<Status>(7)), Outcome::kFailed, "system_ax_error_7", true},
      {"no pid, system fails", std::nullopt, answered(Status::kSuccess, focus),
       answered(Status::kCannotComplete), Outcome::kFailed, "system_ax_error_-25204", true},
      {"no pid, system unsupported", std::nullopt, std::nullopt, std::nullopt, Outcome::kNoFocus,
       "system_no_focused_element", true},
      {"no pid, system finds", std::nullopt, std::nullopt, answered(Status::kSuccess, focus),
       Outcome::kFound, "", true},
  };
  for (const LookupCase& test : cases) {
    SCOPED_TRACE(test.name);
    script_ = std::make_shared<AccessibilityScript>();
    FakeAccessibilityService service(script_);
    if (test.appAnswer) script_->answers[{kApp, Attribute::kFocusedElement}] = *test.appAnswer;
    if (test.systemAnswer) {
      script_->answers[{kSystem, Attribute::kFocusedElement}] = *test.systemAnswer;
    }

    const FocusedElementLookup lookup = lookupFocusedElement(service, test.pid);

    switch (test.outcome) {
      case Outcome::kFound: {
        const auto* found = std::get_if<FocusFound>(&lookup);
        ASSERT_TRUE(found);
        EXPECT_EQ(dynamic_cast<const testing::FakeAccessibilityElement&>(*found->element).name,
                  "focus");
        break;
      }
      case Outcome::kNoFocus:
        ASSERT_TRUE(std::holds_alternative<NoFocusedElement>(lookup));
        EXPECT_EQ(std::get<NoFocusedElement>(lookup).reason, test.reason);
        break;
      case Outcome::kFailed:
        ASSERT_TRUE(std::holds_alternative<FocusLookupFailed>(lookup));
        EXPECT_EQ(std::get<FocusLookupFailed>(lookup).reason, test.reason);
        break;
    }
    EXPECT_EQ(script_->count(kApp + " focusedElement"), test.pid ? 1 : 0);
    EXPECT_EQ(script_->count(kSystem + " focusedElement"), test.systemAsked ? 1 : 0);
  }
}

struct NoFocusCase {
  const char* name;
  int windowElements;  // 0: no focused window
  std::optional<int> editableChild;
  std::string reason;
  bool unknown;
};

TEST_F(FocusedElementProbeTest, WithoutFocusJudgesTheApplicationsFocusedWindow) {
  const std::vector<NoFocusCase> cases = {
      {"rich window", 30, std::nullopt, "app_no_focused_element_tree_30_nodes_text_false", false},
      {"sparse window", 3, std::nullopt, "opaque_tree_3_nodes", true},
      {"sparse window with a text field", 5, 2, "app_no_focused_element_tree_5_nodes_text_true",
       false},
      {"11 elements", 11, std::nullopt, "opaque_tree_11_nodes", true},
      {"12 elements", 12, std::nullopt, "app_no_focused_element_tree_12_nodes_text_false", false},
      {"the window alone", 1, std::nullopt, "opaque_tree_1_nodes", true},
      {"no focused window", 0, std::nullopt, "app_no_focused_element_no_window", false},
  };
  for (const NoFocusCase& test : cases) {
    SCOPED_TRACE(test.name);
    script_ = std::make_shared<AccessibilityScript>();
    FakeAccessibilityService service(script_);
    script_->answer(kApp, Attribute::kFocusedElement, Status::kNoValue);
    if (test.windowElements > 0) giveApplicationFlatWindow(test.windowElements, test.editableChild);

    const std::optional<FocusedElementProbe> probe = probeFocusedElement(service, kPid);

    ASSERT_TRUE(probe);
    EXPECT_FALSE(probe->editable);
    EXPECT_EQ(probe->role, std::nullopt);
    EXPECT_EQ(probe->subrole, std::nullopt);
    EXPECT_EQ(probe->reason, test.reason);
    EXPECT_EQ(probe->unknown, test.unknown);
    EXPECT_EQ(script_->count(kSystem + " focusedElement"), 0);
  }
}

TEST_F(FocusedElementProbeTest, SystemWideAnswerStillWalksTheGivenApplicationsWindow) {
  script_->answer(kApp, Attribute::kFocusedElement, Status::kCannotComplete);
  script_->answer(kSystem, Attribute::kFocusedElement, Status::kNoValue);
  giveApplicationFlatWindow(20);

  const std::optional<FocusedElementProbe> probe = probeFocusedElement(service_, kPid);

  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->reason, "system_no_focused_element_tree_20_nodes_text_false");
  EXPECT_TRUE(wasCalled(kApp + " focusedWindow"));
}

TEST_F(FocusedElementProbeTest, WithoutProcessIdThereIsNoWindowToJudge) {
  script_->answer(kSystem, Attribute::kFocusedElement, Status::kNoValue);

  const std::optional<FocusedElementProbe> probe = probeFocusedElement(service_, std::nullopt);

  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->reason, "system_no_focused_element_no_window");
  EXPECT_FALSE(probe->unknown);
  EXPECT_TRUE(std::none_of(script_->calls.begin(), script_->calls.end(),
                           [](const std::string& call) { return call.starts_with("app"); }));
}

TEST_F(FocusedElementProbeTest, NoProbeWhenEveryElementFails) {
  script_->answer(kApp, Attribute::kFocusedElement, Status::kCannotComplete);
  script_->answer(kSystem, Attribute::kFocusedElement, Status::kCannotComplete);

  EXPECT_EQ(probeFocusedElement(service_, kPid), std::nullopt);
  EXPECT_FALSE(wasCalled(kApp + " focusedWindow"));
}

struct FocusedWindowCase {
  const char* name;
  AttributeAnswer answer;
};

TEST_F(FocusedElementProbeTest, OnlyAFocusedWindowElementIsWalked) {
  const std::vector<FocusedWindowCase> cases = {
      {"error", answered(Status::kCannotComplete, AccessibilityScript::element("w"))},
      {"no value", answered(Status::kNoValue)},
      {"success without value", answered(Status::kSuccess)},
      {"a string", answered(Status::kSuccess, std::string("w"))},
      {"an array", answered(Status::kSuccess, std::vector{AccessibilityScript::element("w")})},
  };
  for (const FocusedWindowCase& test : cases) {
    SCOPED_TRACE(test.name);
    script_->answers[{kApp, Attribute::kFocusedWindow}] = test.answer;
    EXPECT_TRUE(std::holds_alternative<NoWindow>(assessWindowAccessibility(service_, kPid)));
  }
  EXPECT_TRUE(std::holds_alternative<NoWindow>(assessWindowAccessibility(service_, std::nullopt)));
  EXPECT_FALSE(wasCalled("w role"));
}

TEST_F(FocusedElementProbeTest, WalkCountsAtMost400ElementsExactly) {
  for (const int elements : {399, 400, 401, 500}) {
    SCOPED_TRACE(elements);
    script_ = std::make_shared<AccessibilityScript>();
    FakeAccessibilityService service(script_);
    giveApplicationFlatWindow(elements);

    const WindowAccessibilityVerdict verdict = assessWindowAccessibility(service, kPid);

    ASSERT_TRUE(std::holds_alternative<ReadableTree>(verdict));
    EXPECT_EQ(std::get<ReadableTree>(verdict).nodeCount, std::min(elements, 400));
    EXPECT_EQ(wasCalled("e399 role"), elements >= 400);
    EXPECT_FALSE(wasCalled("e400 role"));
    EXPECT_FALSE(wasCalled("e400 children"));
  }
}

TEST_F(FocusedElementProbeTest, WalkStopsAfterTheSubtreeThatReachesTheBound) {
  // "w" holds "big" (with 450 children) and then "late", which is never
  // reached: two queries for each of the 400 counted elements, none more.
  script_->answer(kApp, Attribute::kFocusedWindow, Status::kSuccess,
                  AccessibilityScript::element("w"));
  script_->setChildren("w", {"big", "late"});
  std::vector<std::string> leaves;
  for (int i = 0; i < 450; ++i) leaves.push_back("leaf" + std::to_string(i));
  script_->setChildren("big", leaves);

  const WindowAccessibilityVerdict verdict = assessWindowAccessibility(service_, kPid);

  ASSERT_TRUE(std::holds_alternative<ReadableTree>(verdict));
  EXPECT_EQ(std::get<ReadableTree>(verdict).nodeCount, 400);
  EXPECT_TRUE(wasCalled("leaf397 children"));
  EXPECT_FALSE(wasCalled("leaf398 role"));
  EXPECT_FALSE(wasCalled("late role"));
  const long walkQueries =
      std::count_if(script_->calls.begin(), script_->calls.end(), [](const std::string& call) {
        return call.ends_with(" role") || call.ends_with(" children");
      });
  EXPECT_EQ(walkQueries, 800);
}

struct ChainCase {
  int length;
  int counted;
};

TEST_F(FocusedElementProbeTest, WalkVisitsLevelsZeroToSixOnly) {
  const std::vector<ChainCase> cases = {{6, 6}, {7, 7}, {8, 7}, {10, 7}};
  for (const ChainCase& test : cases) {
    SCOPED_TRACE(test.length);
    script_ = std::make_shared<AccessibilityScript>();
    FakeAccessibilityService service(script_);
    giveApplicationChainWindow(test.length);

    const WindowAccessibilityVerdict verdict = assessWindowAccessibility(service, kPid);

    ASSERT_TRUE(std::holds_alternative<OpaqueTree>(verdict));
    EXPECT_EQ(std::get<OpaqueTree>(verdict).nodeCount, test.counted);
    EXPECT_EQ(wasCalled("n6 role"), test.length >= 7);
    EXPECT_FALSE(wasCalled("n7 role"));
  }
}

TEST_F(FocusedElementProbeTest, WalkGoesOnPastAnEditableRoleAndThroughNestedChildren) {
  script_->answer(kApp, Attribute::kFocusedWindow, Status::kSuccess,
                  AccessibilityScript::element("w"));
  script_->setChildren("w", {"field", "group"});
  script_->setRole("field", "AXTextArea");
  script_->setChildren("group", {"a", "b"});
  script_->setChildren("a", {"c"});

  const WindowAccessibilityVerdict verdict = assessWindowAccessibility(service_, kPid);

  ASSERT_TRUE(std::holds_alternative<ReadableTree>(verdict));
  EXPECT_EQ(std::get<ReadableTree>(verdict).nodeCount, 6);
  EXPECT_TRUE(std::get<ReadableTree>(verdict).sawEditableRole);
}

TEST_F(FocusedElementProbeTest, ChildrenAnswersOtherThanAnElementArrayHaveNoChildren) {
  const std::vector<AttributeAnswer> answers = {
      answered(Status::kCannotComplete, std::vector{AccessibilityScript::element("child")}),
      answered(Status::kSuccess, AccessibilityScript::element("child")),
      answered(Status::kSuccess, OtherAccessibilityValue{}),
      answered(Status::kSuccess),
  };
  for (const AttributeAnswer& answer : answers) {
    script_ = std::make_shared<AccessibilityScript>();
    FakeAccessibilityService service(script_);
    script_->answer(kApp, Attribute::kFocusedWindow, Status::kSuccess,
                    AccessibilityScript::element("w"));
    script_->answers[{"w", Attribute::kChildren}] = answer;

    const WindowAccessibilityVerdict verdict = assessWindowAccessibility(service, kPid);

    ASSERT_TRUE(std::holds_alternative<OpaqueTree>(verdict));
    EXPECT_EQ(std::get<OpaqueTree>(verdict).nodeCount, 1);
  }
}

}  // namespace
}  // namespace glimra

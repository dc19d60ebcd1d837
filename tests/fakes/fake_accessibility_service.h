#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/accessibility_service.h"

namespace glimra::testing {

// An element of the fake tree: only its name, by which the script keys its
// answers.
class FakeAccessibilityElement final : public AccessibilityElement {
 public:
  explicit FakeAccessibilityElement(std::string name) : name(std::move(name)) {}
  const std::string name;
};

inline const char* attributeName(AccessibilityAttribute attribute) {
  switch (attribute) {
    case AccessibilityAttribute::kFocusedElement:
      return "focusedElement";
    case AccessibilityAttribute::kRole:
      return "role";
    case AccessibilityAttribute::kSubrole:
      return "subrole";
    case AccessibilityAttribute::kValue:
      return "value";
    case AccessibilityAttribute::kSelectedTextRange:
      return "selectedTextRange";
    case AccessibilityAttribute::kFocusedWindow:
      return "focusedWindow";
    case AccessibilityAttribute::kChildren:
      return "children";
  }
  return "?";
}

// What a FakeAccessibilityService answers, and the calls it has seen in
// order: "isProcessTrusted", "runningApplication 42", "frontmostApplication",
// "applicationElement 42", "systemWideElement", "<element> <attribute>" for
// a value ("app:42 focusedElement") and "<element> settable <attribute>".
// Elements are named: the application of process 42 is "app:42", the
// system-wide element "system", any other name is the test's. Shared, so the
// test keeps it while the code under test owns the fake; the test may change
// the answers between calls.
struct AccessibilityScript {
  static constexpr char kSystemWide[] = "system";
  static std::string applicationElementName(std::int32_t pid) {
    return "app:" + std::to_string(pid);
  }

  bool trusted = true;
  std::map<std::int32_t, RunningApplication> runningApplications;  // by process id
  std::optional<RunningApplication> frontmostApplication;
  // By element name and attribute; unscripted: kAttributeUnsupported.
  std::map<std::pair<std::string, AccessibilityAttribute>, AttributeAnswer> answers;
  // Given once each, in order, before the answer above.
  std::map<std::pair<std::string, AccessibilityAttribute>, std::deque<AttributeAnswer>> nextAnswers;
  // By element name and attribute; unscripted: success, not settable.
  std::map<std::pair<std::string, AccessibilityAttribute>, SettableAnswer> settable;
  std::vector<std::string> calls;

  // A handle to the element with this name.
  static ElementHandle element(const std::string& name) {
    return std::make_shared<FakeAccessibilityElement>(name);
  }

  void answer(const std::string& name, AccessibilityAttribute attribute, AccessibilityStatus status,
              AccessibilityValue value = std::monostate{}) {
    answers[{name, attribute}] = AttributeAnswer{status, std::move(value)};
  }
  void answerOnce(const std::string& name, AccessibilityAttribute attribute,
                  AccessibilityStatus status, AccessibilityValue value = std::monostate{}) {
    nextAnswers[{name, attribute}].push_back(AttributeAnswer{status, std::move(value)});
  }
  void setRole(const std::string& name, std::string role) {
    answer(name, AccessibilityAttribute::kRole, AccessibilityStatus::kSuccess, std::move(role));
  }
  // `holder` (an application or "system") reports `focused` as focused.
  void setFocus(const std::string& holder, const std::string& focused) {
    answer(holder, AccessibilityAttribute::kFocusedElement, AccessibilityStatus::kSuccess,
           element(focused));
  }
  void setChildren(const std::string& name, const std::vector<std::string>& children) {
    std::vector<ElementHandle> handles;
    for (const std::string& child : children) handles.push_back(element(child));
    answer(name, AccessibilityAttribute::kChildren, AccessibilityStatus::kSuccess,
           std::move(handles));
  }
  void setSettable(const std::string& name, AccessibilityAttribute attribute,
                   AccessibilityStatus status, bool isSettable) {
    settable[{name, attribute}] = SettableAnswer{status, isSettable};
  }

  long count(const std::string& call) const { return std::count(calls.begin(), calls.end(), call); }
};

class FakeAccessibilityService final : public AccessibilityService {
 public:
  explicit FakeAccessibilityService(std::shared_ptr<AccessibilityScript> script)
      : script_(std::move(script)) {}

  bool isProcessTrusted() override {
    script_->calls.emplace_back("isProcessTrusted");
    return script_->trusted;
  }
  std::optional<RunningApplication> runningApplication(std::int32_t pid) override {
    script_->calls.push_back("runningApplication " + std::to_string(pid));
    const auto found = script_->runningApplications.find(pid);
    if (found == script_->runningApplications.end()) return std::nullopt;
    return found->second;
  }
  std::optional<RunningApplication> frontmostApplication() override {
    script_->calls.emplace_back("frontmostApplication");
    return script_->frontmostApplication;
  }
  ElementHandle applicationElement(std::int32_t pid) override {
    script_->calls.push_back("applicationElement " + std::to_string(pid));
    return AccessibilityScript::element(AccessibilityScript::applicationElementName(pid));
  }
  ElementHandle systemWideElement() override {
    script_->calls.emplace_back("systemWideElement");
    return AccessibilityScript::element(AccessibilityScript::kSystemWide);
  }
  AttributeAnswer copyAttributeValue(const ElementHandle& element,
                                     AccessibilityAttribute attribute) override {
    const std::string& name = nameOf(element);
    script_->calls.push_back(name + " " + attributeName(attribute));
    const auto queued = script_->nextAnswers.find({name, attribute});
    if (queued != script_->nextAnswers.end() && !queued->second.empty()) {
      AttributeAnswer answer = std::move(queued->second.front());
      queued->second.pop_front();
      return answer;
    }
    const auto found = script_->answers.find({name, attribute});
    if (found == script_->answers.end()) {
      return AttributeAnswer{AccessibilityStatus::kAttributeUnsupported, std::monostate{}};
    }
    return found->second;
  }
  SettableAnswer isAttributeSettable(const ElementHandle& element,
                                     AccessibilityAttribute attribute) override {
    const std::string& name = nameOf(element);
    script_->calls.push_back(name + " settable " + attributeName(attribute));
    const auto found = script_->settable.find({name, attribute});
    if (found == script_->settable.end())
      return SettableAnswer{AccessibilityStatus::kSuccess, false};
    return found->second;
  }

 private:
  // Only handles this fake made come back to it.
  static const std::string& nameOf(const ElementHandle& element) {
    assert(element);
    return dynamic_cast<const FakeAccessibilityElement&>(*element).name;
  }

  std::shared_ptr<AccessibilityScript> script_;
};

}  // namespace glimra::testing

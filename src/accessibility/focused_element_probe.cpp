#include "accessibility/focused_element_probe.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace glimra {
namespace {

constexpr std::array<std::string_view, 3> kEditableRoles = {"AXTextField", "AXTextArea",
                                                            "AXComboBox"};
constexpr std::array<std::string_view, 5> kContainerRoles = {"AXWebArea", "AXGroup", "AXScrollArea",
                                                             "AXWindow", "AXApplication"};

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& roles, std::string_view role) {
  return std::find(roles.begin(), roles.end(), role) != roles.end();
}

bool hasEditableRole(AccessibilityService& service, const ElementHandle& element) {
  const std::optional<std::string> role =
      copyStringAttribute(service, element, AccessibilityAttribute::kRole);
  return role && isEditableRole(*role);
}

// The element in a successful answer; none for any other answer or value.
ElementHandle elementValue(const AttributeAnswer& answer) {
  if (answer.status != AccessibilityStatus::kSuccess) return nullptr;
  const ElementHandle* element = std::get_if<ElementHandle>(&answer.value);
  return element ? *element : nullptr;
}

std::string errorReason(std::string_view label, AccessibilityStatus status) {
  return std::string(label) + "_ax_error_" + std::to_string(static_cast<std::int32_t>(status));
}

// Whether a focused element outside the editable roles still takes text:
// its value can be set and it has a text selection.
bool hasSettableValueWithSelection(AccessibilityService& service, const ElementHandle& element) {
  const SettableAnswer settable =
      service.isAttributeSettable(element, AccessibilityAttribute::kValue);
  if (settable.status != AccessibilityStatus::kSuccess || !settable.settable) return false;
  return service.copyAttributeValue(element, AccessibilityAttribute::kSelectedTextRange).status ==
         AccessibilityStatus::kSuccess;
}

FocusedElementProbe probeElement(AccessibilityService& service, const ElementHandle& element) {
  FocusedElementProbe probe;
  probe.role = copyStringAttribute(service, element, AccessibilityAttribute::kRole);
  probe.subrole = copyStringAttribute(service, element, AccessibilityAttribute::kSubrole);
  if (probe.role && isEditableRole(*probe.role)) {
    probe.editable = true;
  } else if (hasSettableValueWithSelection(service, element)) {
    probe.editable = true;
    probe.reason = "settable_value_with_selection";
  } else {
    probe.reason = "focus_not_editable";
  }
  return probe;
}

// Nothing reports focus: the reason says how far the window's tree can be
// trusted to show a text field.
FocusedElementProbe probeWithoutFocus(AccessibilityService& service,
                                      std::optional<std::int32_t> frontmostPid,
                                      const std::string& lookupReason) {
  FocusedElementProbe probe;
  const WindowAccessibilityVerdict verdict = assessWindowAccessibility(service, frontmostPid);
  if (const auto* readable = std::get_if<ReadableTree>(&verdict)) {
    probe.reason = lookupReason + "_tree_" + std::to_string(readable->nodeCount) + "_nodes_text_" +
                   (readable->sawEditableRole ? "true" : "false");
  } else if (const auto* opaque = std::get_if<OpaqueTree>(&verdict)) {
    probe.reason = "opaque_tree_" + std::to_string(opaque->nodeCount) + "_nodes";
    probe.unknown = true;
  } else {
    probe.reason = lookupReason + "_no_window";
  }
  return probe;
}

// A bounded depth-first count of a window's elements.
class WindowWalk {
 public:
  explicit WindowWalk(AccessibilityService& service) : service_(service) {}

  // Counts `element` and its descendants, unless a bound is reached first.
  void walk(const ElementHandle& element, int depth) {
    if (nodeCount_ >= kMaxWalkedElements || depth > kDeepestWalkedLevel) return;
    ++nodeCount_;
    // The walk goes on after an editable role: the count is reported too.
    if (hasEditableRole(service_, element)) sawEditableRole_ = true;
    const AttributeAnswer children =
        service_.copyAttributeValue(element, AccessibilityAttribute::kChildren);
    if (children.status != AccessibilityStatus::kSuccess) return;
    const auto* elements = std::get_if<std::vector<ElementHandle>>(&children.value);
    if (!elements) return;
    for (const ElementHandle& child : *elements) {
      walk(child, depth + 1);
      if (nodeCount_ >= kMaxWalkedElements) break;
    }
  }

  WindowAccessibilityVerdict verdict() const {
    if (nodeCount_ >= kReadableTreeElements || sawEditableRole_) {
      return ReadableTree{nodeCount_, sawEditableRole_};
    }
    return OpaqueTree{nodeCount_};
  }

 private:
  AccessibilityService& service_;
  int nodeCount_ = 0;
  bool sawEditableRole_ = false;
};

}  // namespace

bool isEditableRole(std::string_view role) { return contains(kEditableRoles, role); }

bool isContainerRole(std::string_view role) { return contains(kContainerRoles, role); }

std::optional<std::string> copyStringAttribute(AccessibilityService& service,
                                               const ElementHandle& element,
                                               AccessibilityAttribute attribute) {
  AttributeAnswer answer = service.copyAttributeValue(element, attribute);
  if (answer.status != AccessibilityStatus::kSuccess) return std::nullopt;
  std::string* value = std::get_if<std::string>(&answer.value);
  if (!value) return std::nullopt;
  return std::move(*value);
}

FocusedElementLookup lookupFocusedElement(AccessibilityService& service,
                                          std::optional<std::int32_t> frontmostPid) {
  std::vector<std::pair<std::string_view, ElementHandle>> candidates;
  if (frontmostPid) candidates.emplace_back("app", service.applicationElement(*frontmostPid));
  candidates.emplace_back("system", service.systemWideElement());

  std::string failure;
  for (const auto& [label, element] : candidates) {
    const AttributeAnswer answer =
        service.copyAttributeValue(element, AccessibilityAttribute::kFocusedElement);
    switch (answer.status) {
      case AccessibilityStatus::kSuccess:
        if (ElementHandle focused = elementValue(answer)) return FocusFound{std::move(focused)};
        [[fallthrough]];
      case AccessibilityStatus::kNoValue:
      case AccessibilityStatus::kAttributeUnsupported:
        return NoFocusedElement{std::string(label) + "_no_focused_element"};
      default:
        failure = errorReason(label, answer.status);
    }
  }
  // "system" is always asked last, so its error is the one reported.
  return FocusLookupFailed{std::move(failure)};
}

std::optional<FocusedElementProbe> probeFocusedElement(AccessibilityService& service,
                                                       std::optional<std::int32_t> frontmostPid) {
  const FocusedElementLookup lookup = lookupFocusedElement(service, frontmostPid);
  if (const auto* found = std::get_if<FocusFound>(&lookup)) {
    return probeElement(service, found->element);
  }
  if (const auto* noFocus = std::get_if<NoFocusedElement>(&lookup)) {
    return probeWithoutFocus(service, frontmostPid, noFocus->reason);
  }
  // The caller asks again for the failure's reason when it needs it.
  return std::nullopt;
}

WindowAccessibilityVerdict assessWindowAccessibility(AccessibilityService& service,
                                                     std::optional<std::int32_t> appPid) {
  if (!appPid) return NoWindow{};
  const ElementHandle window = elementValue(service.copyAttributeValue(
      service.applicationElement(*appPid), AccessibilityAttribute::kFocusedWindow));
  if (!window) return NoWindow{};
  WindowWalk walk(service);
  walk.walk(window, 0);
  return walk.verdict();
}

}  // namespace glimra

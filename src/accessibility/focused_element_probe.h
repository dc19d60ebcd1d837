#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/accessibility_service.h"

// The accessibility queries behind the focused-text-target inspection: the
// focused element, whether it takes text, and whether the focused window's
// tree is rich enough to judge when nothing reports focus. Every outcome
// ends in a reason string that the host matches on, so their exact text is
// fixed. Main thread only; nothing here keeps state between calls.

namespace glimra {

// Roles of elements that take typed text.
bool isEditableRole(std::string_view role);

// Roles of elements that stand for a region rather than a control; focus
// reported on one of them may still be moving to the control inside.
bool isContainerRole(std::string_view role);

// The window walk counts at most this many elements...
inline constexpr int kMaxWalkedElements = 400;
// ...in levels 0 (the window) to this one.
inline constexpr int kDeepestWalkedLevel = 6;
// A tree without an editable role is readable from this many elements on.
inline constexpr int kReadableTreeElements = 12;

// The attribute's value as a string; none when the query did not succeed or
// the value is not a string.
std::optional<std::string> copyStringAttribute(AccessibilityService& service,
                                               const ElementHandle& element,
                                               AccessibilityAttribute attribute);

// An element reports focus.
struct FocusFound {
  ElementHandle element;
};
// The element asked answered that nothing has focus: label +
// "_no_focused_element".
struct NoFocusedElement {
  std::string reason;
};
// Every element asked answered with an error; the reason is the last one's:
// label + "_ax_error_" + status.
struct FocusLookupFailed {
  std::string reason;
};
using FocusedElementLookup = std::variant<FocusFound, NoFocusedElement, FocusLookupFailed>;

// Asks the application of `frontmostPid` ("app") if there is one, then the
// system-wide element ("system"), for the focused element; the first answer
// other than an error decides.
FocusedElementLookup lookupFocusedElement(AccessibilityService& service,
                                          std::optional<std::int32_t> frontmostPid);

struct FocusedElementProbe {
  bool editable = false;
  std::optional<std::string> role;
  std::optional<std::string> subrole;
  // Absent when the role alone made the element editable.
  std::optional<std::string> reason;
  // The window's tree was too sparse to judge; `editable` means nothing then.
  bool unknown = false;
};

// Whether the focused element takes text; none when the lookup failed with
// errors on every element asked.
std::optional<FocusedElementProbe> probeFocusedElement(AccessibilityService& service,
                                                       std::optional<std::int32_t> frontmostPid);

// No process id, or its application has no focused window.
struct NoWindow {};
// At least kReadableTreeElements elements, or an element with an editable
// role.
struct ReadableTree {
  int nodeCount = 0;
  bool sawEditableRole = false;
};
// Fewer than kReadableTreeElements elements and no editable role.
struct OpaqueTree {
  int nodeCount = 0;
};
using WindowAccessibilityVerdict = std::variant<NoWindow, ReadableTree, OpaqueTree>;

// Walks the focused window of the application of `appPid` depth first, in
// the application's order of children, counting at most kMaxWalkedElements
// elements down to level kDeepestWalkedLevel, and judges its tree.
WindowAccessibilityVerdict assessWindowAccessibility(AccessibilityService& service,
                                                     std::optional<std::int32_t> appPid);

}  // namespace glimra

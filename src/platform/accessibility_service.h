#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/window_service.h"

namespace glimra {

// One element of an application's accessibility tree (a window, a text
// field, a button) as the backend holds it. The core never looks inside: it
// only hands elements back to the service that produced them. Releasing the
// last handle releases the element.
class AccessibilityElement {
 public:
  virtual ~AccessibilityElement() = default;
};
using ElementHandle = std::shared_ptr<AccessibilityElement>;

// How a query went. The numbers are the host application's established
// accessibility codes and appear in reason strings in signed decimal, so a
// backend maps its own errors onto them. A backend may answer any other
// number too; the core only tells success, kNoValue and
// kAttributeUnsupported apart and treats every other code as an error.
enum class AccessibilityStatus : std::int32_t {
  kSuccess = 0,
  kFailure = -25200,
  kIllegalArgument = -25201,
  kInvalidElement = -25202,
  kCannotComplete = -25204,
  kAttributeUnsupported = -25205,
  kNotImplemented = -25208,
  kAPIDisabled = -25211,
  kNoValue = -25212,
};

// The attributes the focused-text-target inspection reads.
enum class AccessibilityAttribute {
  kFocusedElement,     // the element with keyboard focus (application or system-wide)
  kRole,               // string, such as "AXTextField"
  kSubrole,            // string
  kValue,              // only ever asked whether it is settable
  kSelectedTextRange,  // any value: what matters is whether the query succeeds
  kFocusedWindow,      // element: the application's focused window
  kChildren,           // array of elements, in the application's order
};

// A value of a type the core never reads, such as a text range or a number.
struct OtherAccessibilityValue {};

// An attribute's value: none, a string, one element, an array of elements
// (an array holding anything else is OtherAccessibilityValue), or another
// type.
using AccessibilityValue = std::variant<std::monostate, std::string, ElementHandle,
                                        std::vector<ElementHandle>, OtherAccessibilityValue>;

// The answer to an attribute query; the value only means something on
// success.
struct AttributeAnswer {
  AccessibilityStatus status = AccessibilityStatus::kSuccess;
  AccessibilityValue value;
};

// The answer to whether an attribute can be set.
struct SettableAnswer {
  AccessibilityStatus status = AccessibilityStatus::kSuccess;
  bool settable = false;
};

// The accessibility interface of the desktop, as the focused-text-target
// inspection uses it. Main thread only. Queries are synchronous messages to
// the target application and take as long as it does; none throws: every
// problem is a status.
class AccessibilityService {
 public:
  virtual ~AccessibilityService() = default;

  // Whether this process may use the accessibility interface. Never prompts.
  virtual bool isProcessTrusted() = 0;

  // The running application with this process id, or none.
  virtual std::optional<RunningApplication> runningApplication(std::int32_t processIdentifier) = 0;

  // The frontmost application, or none.
  virtual std::optional<RunningApplication> frontmostApplication() = 0;

  // The element of the application with this process id. Always an element;
  // whether the application answers shows only when it is queried.
  virtual ElementHandle applicationElement(std::int32_t processIdentifier) = 0;

  // The element standing for the whole desktop, which can also be asked for
  // the focused element.
  virtual ElementHandle systemWideElement() = 0;

  // The attribute's current value.
  virtual AttributeAnswer copyAttributeValue(const ElementHandle& element,
                                             AccessibilityAttribute attribute) = 0;

  // Whether the attribute can be set on the element.
  virtual SettableAnswer isAttributeSettable(const ElementHandle& element,
                                             AccessibilityAttribute attribute) = 0;
};

}  // namespace glimra

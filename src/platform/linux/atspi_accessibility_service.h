#pragma once

#include <atspi/atspi-constants.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/accessibility_service.h"
#include "platform/linux/x11_window_service.h"
#include "runtime/sequence_checker.h"

namespace glimra {

namespace atspi {

// libatspi's own method-call timeout (atspi_set_timeout, 800 ms unless an
// application changes it). Every D-Bus call of the service waits at most
// this long; libatspi's 15-second grace for applications it has just met is
// switched off, since for a short-lived helper every application is new.
inline constexpr std::chrono::milliseconds kMethodCallTimeout{800};

// The states of an element that decide its role name.
struct RoleStates {
  bool editable = false;    // ATSPI_STATE_EDITABLE
  bool singleLine = false;  // ATSPI_STATE_SINGLE_LINE
};

// An element's role and subrole in the vocabulary the core compares.
struct AXRoles {
  std::optional<std::string> role;
  std::optional<std::string> subrole;
  bool operator==(const AXRoles&) const = default;
};

// Maps an AT-SPI role onto the AX role names:
// - text: ENTRY, PASSWORD_TEXT and TEXT (EDITBAR alike) are "AXTextField"
//   when editable and single-line (ENTRY and PASSWORD_TEXT always are,
//   TEXT with STATE_SINGLE_LINE), "AXTextArea" when editable and multi-line,
//   and "AXStaticText" when not editable, so read-only text is never taken
//   for an input; an editable PASSWORD_TEXT has the subrole
//   "AXSecureTextField";
// - COMBO_BOX is "AXComboBox" when editable, else "AXPopUpButton";
// - the containers the core repeats probes on: DOCUMENT_WEB, DOCUMENT_FRAME,
//   HTML_CONTAINER "AXWebArea"; PANEL, SECTION, FILLER, GROUPING, FORM
//   "AXGroup"; SCROLL_PANE, VIEWPORT "AXScrollArea"; FRAME, DIALOG, WINDOW,
//   ALERT "AXWindow"; APPLICATION "AXApplication";
// - controls by their usual AX names (see the table in the source);
// - every other role is "AX" followed by its AT-SPI name in CamelCase
//   ("table column header" is "AXTableColumnHeader");
// - INVALID, UNKNOWN and EXTENDED (a toolkit's own role) have no role.
// Only editable password text has a subrole.
AXRoles axRolesFor(AtspiRole role, RoleStates states);

}  // namespace atspi

// The accessibility interface of a Linux desktop through AT-SPI 2
// (libatspi), with the frontmost application and window owners from X11.
//
// Trust: the process is trusted when the accessibility bus answers and
// accessibility is enabled. The bus is found as libatspi finds it
// (AT_SPI_BUS_ADDRESS; else the AT_SPI_BUS property of the X root window,
// unless WAYLAND_DISPLAY is set; else org.a11y.Bus GetAddress on the session
// bus) and must answer a Hello; org.a11y.Status IsEnabled on the session bus
// must be true. An address that did not come from the session bus counts as
// enabled when there is no session bus, or no org.a11y.Bus on it, to ask.
// The check uses libdbus connections of its own, each call bounded by
// kMethodCallTimeout; libatspi is initialised (once per process, which it
// cannot undo) only after the check has succeeded, on the first query.
//
// Queries go to the application every time: libatspi uses the data it
// caches from events only while its own event loop runs, an event listener
// is registered or a cache mask is set, and the service does none of these.
// (ATSPI_CACHE_NONE itself is no option: libatspi 2.46 then asks for states
// from inside its own D-Bus dispatch and deadlocks.)
//
// Failures become statuses: the accessibility bus lost or never found
// kAPIDisabled; an application that left the bus, an element it no longer
// knows or reports STATE_DEFUNCT kInvalidElement; a call that waited out
// kMethodCallTimeout kCannotComplete; anything else kFailure. libatspi
// reports many failures without a GError, so the service tells them apart
// itself (by the call's duration, the bus daemon and a call of its own). A
// query ends at its first failure, so it waits at most about one
// method-call timeout. libatspi's messages (log domain "dbind") are
// dropped: standard error belongs to the protocol.
//
// Elements: the system-wide element answers kFocusedElement only (the
// focus of the application of X11's active window, else of any application
// with an active window); an application element looks its process up on
// the bus at every query; kFocusedElement and kFocusedWindow are answered
// by applications only.
//
// Main thread only; the X11 connection opens on first use.
class AtspiAccessibilityService final : public AccessibilityService {
 public:
  AtspiAccessibilityService();
  ~AtspiAccessibilityService() override;

  bool isProcessTrusted() override;
  std::optional<RunningApplication> runningApplication(std::int32_t processIdentifier) override;
  std::optional<RunningApplication> frontmostApplication() override;
  ElementHandle applicationElement(std::int32_t processIdentifier) override;
  ElementHandle systemWideElement() override;
  AttributeAnswer copyAttributeValue(const ElementHandle& element,
                                     AccessibilityAttribute attribute) override;
  SettableAnswer isAttributeSettable(const ElementHandle& element,
                                     AccessibilityAttribute attribute) override;

 private:
  // Whether libatspi is connected to a live accessibility bus; initialises
  // it on the first call after a successful trust check.
  bool connect();

  // The element with keyboard focus on the whole desktop.
  AttributeAnswer systemWideFocus();

  X11WindowService windows_;
  SequenceChecker sequence_;
};

}  // namespace glimra

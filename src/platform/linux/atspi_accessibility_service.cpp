#include "platform/linux/atspi_accessibility_service.h"

#include <atspi/atspi.h>
#include <dbus/dbus.h>
#include <glib.h>
#include <sys/stat.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/dbus_handles.h"
#include "platform/linux/glib_handles.h"
#include "platform/linux/x11_properties.h"
#include "platform/linux/xcb_handles.h"
#include "protocol/utf8.h"

namespace glimra {
namespace {

using Clock = std::chrono::steady_clock;
using Status = AccessibilityStatus;

// A failed call that lasted this long waited out the method-call timeout;
// the margin covers the clocks libdbus and libatspi measure it with.
constexpr Clock::duration kTimedOutAfter = atspi::kMethodCallTimeout * 95 / 100;
constexpr int kTimeoutMilliseconds = static_cast<int>(atspi::kMethodCallTimeout.count());

// Bounds on what a query reads from an application that reports nonsense.
constexpr gint kMostApplications = 1000;
constexpr gint kMostChildren = 10000;
// The walk that looks for the focused element where a toolkit offers no
// Collection interface: depth first, in the application's order.
constexpr int kMostElementsSearchedForFocus = 1000;
constexpr int kDeepestLevelSearchedForFocus = 32;

constexpr char kApplicationRootPath[] = "/org/a11y/atspi/accessible/root";

// ---- Ownership at the C boundary -----------------------------------------

using AccessiblePtr = glib::Object<AtspiAccessible>;

AccessiblePtr addReference(AtspiAccessible* accessible) {
  return AccessiblePtr(static_cast<AtspiAccessible*>(g_object_ref(accessible)));
}

// ---- D-Bus calls of our own ------------------------------------------------

// Our own calls wait at most as long as libatspi's.
dbus::CallOutcome callAndWait(DBusConnection* connection, DBusMessage* message) {
  return dbus::callAndWait(connection, message, kTimeoutMilliseconds);
}

// A string or boolean out of the variant that Properties.Get answers.
template <int Type, typename T>
std::optional<T> variantValue(DBusMessage* reply) {
  DBusMessageIter iter;
  if (!dbus_message_iter_init(reply, &iter) ||
      dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_VARIANT) {
    return std::nullopt;
  }
  DBusMessageIter variant;
  dbus_message_iter_recurse(&iter, &variant);
  if (dbus_message_iter_get_arg_type(&variant) != Type) return std::nullopt;
  T value{};
  dbus_message_iter_get_basic(&variant, &value);
  return value;
}

bool errorMeansGone(std::string_view name) {
  return name == DBUS_ERROR_SERVICE_UNKNOWN || name == DBUS_ERROR_NAME_HAS_NO_OWNER ||
         name == DBUS_ERROR_DISCONNECTED || name == DBUS_ERROR_UNKNOWN_OBJECT;
}

bool errorMeansNoReply(std::string_view name) {
  return name == DBUS_ERROR_NO_REPLY || name == DBUS_ERROR_TIMEOUT || name == DBUS_ERROR_TIMED_OUT;
}

// ---- Finding the accessibility bus -----------------------------------------

// Where the address of the accessibility bus came from. Only the session
// bus's org.a11y.Bus can also say whether accessibility is enabled.
enum class BusOrigin { kEnvironment, kRootWindow, kSessionBus };

std::optional<std::string> nonEmptyVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

// The session bus as libdbus finds it, without autolaunching one:
// DBUS_SESSION_BUS_ADDRESS, else the socket "bus" in XDG_RUNTIME_DIR.
std::optional<std::string> sessionBusAddress() {
  if (std::optional<std::string> address = nonEmptyVariable("DBUS_SESSION_BUS_ADDRESS")) {
    return address;
  }
  const std::optional<std::string> runtimeDirectory = nonEmptyVariable("XDG_RUNTIME_DIR");
  if (!runtimeDirectory) return std::nullopt;
  const std::string path = *runtimeDirectory + "/bus";
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) return std::nullopt;
  char* escaped = dbus_address_escape_value(path.c_str());
  if (escaped == nullptr) return std::nullopt;
  std::string address = std::string("unix:path=") + escaped;
  dbus_free(escaped);
  return address;
}

// The display libatspi reads the AT_SPI_BUS property from: AT_SPI_DISPLAY,
// else DISPLAY without its screen number.
std::optional<std::string> propertyDisplayName() {
  if (std::optional<std::string> display = nonEmptyVariable("AT_SPI_DISPLAY")) return display;
  std::optional<std::string> display = nonEmptyVariable("DISPLAY");
  if (!display) return std::nullopt;
  const std::size_t colon = display->rfind(':');
  const std::size_t dot = display->rfind('.');
  if (colon != std::string::npos && dot != std::string::npos && dot > colon) display->resize(dot);
  return display;
}

// The AT_SPI_BUS property of the X root window, which a bus launcher with
// X11 support sets.
std::optional<std::string> addressFromRootWindow() {
  if (std::getenv("DISPLAY") == nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr) {
    return std::nullopt;
  }
  const std::optional<std::string> displayName = propertyDisplayName();
  if (!displayName) return std::nullopt;
  int screenNumber = 0;
  const xcb::Connection connection(xcb_connect(displayName->c_str(), &screenNumber));
  if (xcb_connection_has_error(connection.get()) != 0) return std::nullopt;
  const xcb_screen_t* screen = xcb::screenOfDisplay(connection.get(), screenNumber);
  if (screen == nullptr) return std::nullopt;
  // Only if it exists: asking must not create the atom.
  static constexpr std::string_view kProperty = "AT_SPI_BUS";
  const xcb::Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
      connection.get(),
      xcb_intern_atom(connection.get(), 1, static_cast<std::uint16_t>(kProperty.size()),
                      kProperty.data()),
      nullptr));
  if (!atom || atom->atom == XCB_ATOM_NONE) return std::nullopt;
  const std::optional<xcb::PropertyValue> value =
      xcb::readProperty(connection.get(), screen->root, atom->atom, XCB_ATOM_STRING, 8192);
  if (!value || value->format != 8) return std::nullopt;
  std::string address(value->bytes.begin(), value->bytes.end());
  address.resize(std::strlen(address.c_str()));
  if (address.empty()) return std::nullopt;
  return address;
}

std::optional<std::string> addressFromSessionBus(DBusConnection* session) {
  const dbus::Message message =
      dbus::methodCall("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress");
  if (!message) return std::nullopt;
  const dbus::CallOutcome outcome = callAndWait(session, message.get());
  if (!outcome.reply) return std::nullopt;
  const char* address = nullptr;
  if (!dbus_message_get_args(outcome.reply.get(), nullptr, DBUS_TYPE_STRING, &address,
                             DBUS_TYPE_INVALID) ||
      address == nullptr || *address == '\0') {
    return std::nullopt;
  }
  return std::string(address);
}

enum class Enabled { kYes, kNo, kNobodyToAsk };

// org.a11y.Status IsEnabled of the running bus launcher. It is not started
// for the question: one started now would launch a bus of its own.
Enabled accessibilityEnabled(DBusConnection* session) {
  const dbus::Message message =
      dbus::methodCall("org.a11y.Bus", "/org/a11y/bus", DBUS_INTERFACE_PROPERTIES, "Get");
  if (!message) return Enabled::kNo;
  const char* interface = "org.a11y.Status";
  const char* property = "IsEnabled";
  dbus_message_append_args(message.get(), DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property,
                           DBUS_TYPE_INVALID);
  dbus_message_set_auto_start(message.get(), FALSE);
  const dbus::CallOutcome outcome = callAndWait(session, message.get());
  if (!outcome.reply) {
    return errorMeansGone(outcome.errorName) ? Enabled::kNobodyToAsk : Enabled::kNo;
  }
  const std::optional<dbus_bool_t> enabled =
      variantValue<DBUS_TYPE_BOOLEAN, dbus_bool_t>(outcome.reply.get());
  return enabled && *enabled ? Enabled::kYes : Enabled::kNo;
}

// Whether the accessibility bus answers and accessibility is enabled.
bool accessibilityBusUsable() {
  dbus::PrivateConnection session;
  if (const std::optional<std::string> address = sessionBusAddress())
    session = dbus::openPrivateBus(*address, kTimeoutMilliseconds);

  std::optional<std::string> address = nonEmptyVariable("AT_SPI_BUS_ADDRESS");
  BusOrigin origin = BusOrigin::kEnvironment;
  if (!address) {
    address = addressFromRootWindow();
    origin = BusOrigin::kRootWindow;
  }
  if (!address && session) {
    address = addressFromSessionBus(session.get());
    origin = BusOrigin::kSessionBus;
  }
  if (!address || !dbus::openPrivateBus(*address, kTimeoutMilliseconds)) return false;

  if (!session) return origin != BusOrigin::kSessionBus;
  switch (accessibilityEnabled(session.get())) {
    case Enabled::kYes:
      return true;
    case Enabled::kNo:
      return false;
    case Enabled::kNobodyToAsk:
      return origin != BusOrigin::kSessionBus;
  }
  return false;
}

// ---- libatspi --------------------------------------------------------------

// libatspi connects once per process and cannot start over, so whether it
// did is the process's state, not a service's.
struct Libatspi {
  enum class State { kNotInitialised, kConnected, kUnusable };
  State state = State::kNotInitialised;
  // libatspi's connection to the accessibility bus, kept for the process.
  DBusConnection* bus = nullptr;
};

Libatspi& libatspi() {
  static Libatspi instance;
  return instance;
}

void dropMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

// One libatspi call: when it started and the GError it may set.
class AtspiCall {
 public:
  AtspiCall() = default;
  ~AtspiCall() {
    if (error_ != nullptr) g_error_free(error_);
  }
  AtspiCall(const AtspiCall&) = delete;
  AtspiCall& operator=(const AtspiCall&) = delete;

  GError** error() { return &error_; }
  bool reportedError() const { return error_ != nullptr; }
  bool waitedOutTimeout() const { return Clock::now() - started_ >= kTimedOutAfter; }

 private:
  GError* error_ = nullptr;
  const Clock::time_point started_ = Clock::now();
};

// A value, or the status that ended the query.
struct Failure {
  Status status;
};

template <typename T>
class Fallible {
 public:
  Fallible(T value) : value_(std::move(value)) {}         // NOLINT: implicit by design
  Fallible(Failure failure) : status_(failure.status) {}  // NOLINT
  bool ok() const { return status_ == Status::kSuccess; }
  Status status() const { return status_; }
  Failure failure() const { return Failure{status_}; }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  const T& value() const { return *value_; }

 private:
  Status status_ = Status::kSuccess;
  std::optional<T> value_;
};

// Whether the application at `busName` still answers for the object at
// `path`: nothing when it does, else the status for its failure. GetRole is
// a method every accessible object has.
std::optional<Status> objectStatus(DBusConnection* connection, const char* busName,
                                   const char* path) {
  const dbus::Message message =
      dbus::methodCall(busName, path, "org.a11y.atspi.Accessible", "GetRole");
  if (!message) return Status::kFailure;
  const dbus::CallOutcome outcome = callAndWait(connection, message.get());
  if (outcome.reply) return std::nullopt;
  if (errorMeansGone(outcome.errorName) || outcome.errorName == DBUS_ERROR_UNKNOWN_METHOD ||
      outcome.errorName == DBUS_ERROR_UNKNOWN_INTERFACE) {
    return Status::kInvalidElement;
  }
  if (errorMeansNoReply(outcome.errorName)) return Status::kCannotComplete;
  return Status::kFailure;
}

std::optional<bool> nameHasOwner(DBusConnection* bus, const char* name) {
  const dbus::Message message =
      dbus::methodCall(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "NameHasOwner");
  if (!message) return std::nullopt;
  dbus_message_append_args(message.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
  const dbus::CallOutcome outcome = callAndWait(bus, message.get());
  dbus_bool_t owned = FALSE;
  if (!outcome.reply || !dbus_message_get_args(outcome.reply.get(), nullptr, DBUS_TYPE_BOOLEAN,
                                               &owned, DBUS_TYPE_INVALID)) {
    return std::nullopt;
  }
  return owned != FALSE;
}

// What went wrong with `accessible` or the bus, if anything, after a call
// that failed or answered suspiciously. libatspi reports many failures
// without a GError (a failed GetState is a set holding STATE_DEFUNCT, a
// failed ChildCount -1, a failed GetRole over a peer-to-peer connection the
// role it had), so the call's duration and two questions of our own decide:
// the bus gone kAPIDisabled, the application gone (as libatspi saw it, or
// as the bus daemon says) kInvalidElement, a call that lasted the whole
// method-call timeout kCannotComplete, and else whatever asking the element
// directly shows. Nothing means the element answers: the suspicious answer
// was a real one.
std::optional<Status> diagnose(AtspiAccessible* accessible, const AtspiCall& call) {
  DBusConnection* bus = libatspi().bus;
  if (!dbus_connection_get_is_connected(bus)) return Status::kAPIDisabled;
  const AtspiApplication* application = accessible->parent.app;
  if (application == nullptr || application->bus == nullptr || application->bus_name == nullptr ||
      accessible->parent.path == nullptr) {
    return Status::kInvalidElement;
  }
  if (call.waitedOutTimeout()) return Status::kCannotComplete;
  const std::optional<bool> owned = nameHasOwner(bus, application->bus_name);
  if (!owned) return Status::kFailure;
  if (!*owned) return Status::kInvalidElement;
  return objectStatus(application->bus, application->bus_name, accessible->parent.path);
}

Failure failureOf(AtspiAccessible* accessible, const AtspiCall& call) {
  return Failure{diagnose(accessible, call).value_or(Status::kFailure)};
}

// ---- Reading elements ------------------------------------------------------

struct States {
  std::uint64_t bits = 0;
  bool has(AtspiStateType state) const { return ((bits >> state) & 1u) != 0; }
};

Fallible<States> statesOf(AtspiAccessible* accessible) {
  AtspiCall call;
  const glib::Object<AtspiStateSet> set(atspi_accessible_get_state_set(accessible));
  if (set && !atspi_state_set_contains(set.get(), ATSPI_STATE_DEFUNCT)) {
    return States{static_cast<std::uint64_t>(set->states)};
  }
  // A failed GetState looks like a defunct element, and a defunct element
  // that still answers is gone all the same.
  return Failure{diagnose(accessible, call).value_or(Status::kInvalidElement)};
}

Fallible<AtspiRole> roleOf(AtspiAccessible* accessible) {
  AtspiCall call;
  const AtspiRole role = atspi_accessible_get_role(accessible, call.error());
  if (!call.reportedError() && role != ATSPI_ROLE_INVALID) return role;
  if (const std::optional<Status> status = diagnose(accessible, call)) return Failure{*status};
  if (call.reportedError()) return Failure{Status::kFailure};
  return role;
}

// The children in the application's order; a child that is gone by the
// time it is asked for is left out.
Fallible<std::vector<AccessiblePtr>> childrenOf(AtspiAccessible* accessible) {
  AtspiCall countCall;
  const gint count = atspi_accessible_get_child_count(accessible, countCall.error());
  if (count < 0) return failureOf(accessible, countCall);
  std::vector<AccessiblePtr> children;
  for (gint index = 0; index < std::min(count, kMostChildren); ++index) {
    AtspiCall call;
    AccessiblePtr child(atspi_accessible_get_child_at_index(accessible, index, call.error()));
    if (child) {
      children.push_back(std::move(child));
      continue;
    }
    if (const std::optional<Status> status = diagnose(accessible, call)) return Failure{*status};
  }
  return children;
}

// One of the element's interfaces (AtspiText and the like), or null when it
// does not offer it. libatspi answers a failed interface query with "not
// offered": only its duration tells a timeout apart.
template <typename Interface>
Fallible<glib::Object<Interface>> interfaceOf(AtspiAccessible* accessible,
                                              Interface* (*get)(AtspiAccessible*)) {
  AtspiCall call;
  glib::Object<Interface> offered(get(accessible));
  if (!offered && call.waitedOutTimeout()) return Failure{Status::kCannotComplete};
  return offered;
}

bool isApplicationRoot(AtspiAccessible* accessible) {
  return accessible->parent.path != nullptr &&
         std::string_view(accessible->parent.path) == kApplicationRootPath;
}

// ---- Applications ----------------------------------------------------------

struct RegisteredApplication {
  AccessiblePtr root;
  std::int32_t processIdentifier = 0;
};

// The applications the registry lists, with their processes as the bus
// daemon knows them; one that leaves while it is asked about is left out.
Fallible<std::vector<RegisteredApplication>> registeredApplications() {
  const AccessiblePtr desktop(atspi_get_desktop(0));
  if (!desktop) return Failure{Status::kFailure};
  AtspiCall countCall;
  const gint count = atspi_accessible_get_child_count(desktop.get(), countCall.error());
  if (count < 0) return failureOf(desktop.get(), countCall);
  std::vector<RegisteredApplication> applications;
  for (gint index = 0; index < std::min(count, kMostApplications); ++index) {
    AtspiCall call;
    AccessiblePtr root(atspi_accessible_get_child_at_index(desktop.get(), index, call.error()));
    if (!root) {
      if (const std::optional<Status> status = diagnose(desktop.get(), call)) {
        return Failure{*status};
      }
      continue;
    }
    AtspiCall processCall;
    const guint pid = atspi_accessible_get_process_id(root.get(), processCall.error());
    if (processCall.reportedError() || pid == 0 || pid > G_MAXINT32) continue;
    applications.push_back({std::move(root), static_cast<std::int32_t>(pid)});
  }
  return applications;
}

Fallible<AccessiblePtr> applicationOfProcess(std::int32_t processIdentifier) {
  Fallible<std::vector<RegisteredApplication>> applications = registeredApplications();
  if (!applications.ok()) return applications.failure();
  for (RegisteredApplication& application : *applications) {
    if (application.processIdentifier == processIdentifier) return std::move(application.root);
  }
  return Failure{Status::kInvalidElement};
}

// The application's window with STATE_ACTIVE, or null. A window that closes
// while it is asked about is passed over.
Fallible<AccessiblePtr> activeWindowOf(AtspiAccessible* application) {
  Fallible<std::vector<AccessiblePtr>> windows = childrenOf(application);
  if (!windows.ok()) return windows.failure();
  for (AccessiblePtr& window : *windows) {
    const Fallible<States> states = statesOf(window.get());
    if (states.status() == Status::kInvalidElement) continue;
    if (!states.ok()) return states.failure();
    if (states.value().has(ATSPI_STATE_ACTIVE)) return std::move(window);
  }
  return AccessiblePtr();
}

// The active window, else the first top-level window that is showing.
Fallible<AccessiblePtr> focusedWindowOf(AtspiAccessible* application) {
  Fallible<std::vector<AccessiblePtr>> windows = childrenOf(application);
  if (!windows.ok()) return windows.failure();
  AccessiblePtr firstShowing;
  for (AccessiblePtr& window : *windows) {
    const Fallible<States> states = statesOf(window.get());
    if (states.status() == Status::kInvalidElement) continue;
    if (!states.ok()) return states.failure();
    if (states.value().has(ATSPI_STATE_ACTIVE)) return std::move(window);
    if (!firstShowing && states.value().has(ATSPI_STATE_SHOWING)) firstShowing = std::move(window);
  }
  return firstShowing;
}

// The first element with STATE_FOCUSED below `element`, depth first.
class FocusSearch {
 public:
  Fallible<AccessiblePtr> below(AtspiAccessible* element, int depth) {
    if (depth >= kDeepestLevelSearchedForFocus) return AccessiblePtr();
    Fallible<std::vector<AccessiblePtr>> children = childrenOf(element);
    if (!children.ok()) return children.failure();
    for (AccessiblePtr& child : *children) {
      if (++searched_ > kMostElementsSearchedForFocus) return AccessiblePtr();
      const Fallible<States> states = statesOf(child.get());
      if (states.status() == Status::kInvalidElement) continue;
      if (!states.ok()) return states.failure();
      if (states.value().has(ATSPI_STATE_FOCUSED)) return std::move(child);
      Fallible<AccessiblePtr> found = below(child.get(), depth + 1);
      if (!found.ok() || *found) return found;
    }
    return AccessiblePtr();
  }

 private:
  int searched_ = 0;
};

void releaseMatches(GArray* matches) {
  for (guint index = 0; index < matches->len; ++index) {
    g_object_unref(g_array_index(matches, AtspiAccessible*, index));
  }
  g_array_free(matches, TRUE);
}

// The focused element in `window`, or null: through the toolkit's
// Collection interface in one call where it offers one, else by a bounded
// walk.
Fallible<AccessiblePtr> focusedElementIn(AtspiAccessible* window) {
  Fallible<glib::Object<AtspiCollection>> collection =
      interfaceOf(window, atspi_accessible_get_collection_iface);
  if (!collection.ok()) return collection.failure();
  if (const glib::Object<AtspiCollection>& matcher = *collection) {
    GArray* focusedState = g_array_new(FALSE, FALSE, sizeof(AtspiStateType));
    const AtspiStateType focused = ATSPI_STATE_FOCUSED;
    g_array_append_val(focusedState, focused);
    const glib::Object<AtspiStateSet> states(atspi_state_set_new(focusedState));
    g_array_free(focusedState, TRUE);
    const glib::Object<AtspiMatchRule> rule(atspi_match_rule_new(
        states.get(), ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, nullptr,
        ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, FALSE));
    AtspiCall call;
    GArray* matches = atspi_collection_get_matches(
        matcher.get(), rule.get(), ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, call.error());
    if (matches != nullptr) {
      AccessiblePtr first;
      if (matches->len > 0) first = addReference(g_array_index(matches, AtspiAccessible*, 0));
      releaseMatches(matches);
      return first;
    }
    // A toolkit whose Collection fails while the window still answers is
    // searched by walking.
    if (const std::optional<Status> status = diagnose(window, call)) return Failure{*status};
  }
  return FocusSearch().below(window, 0);
}

Fallible<AccessiblePtr> focusedElementOf(AtspiAccessible* application) {
  Fallible<AccessiblePtr> window = activeWindowOf(application);
  if (!window.ok() || !*window) return window;
  return focusedElementIn(window->get());
}

// ---- Attribute values ------------------------------------------------------

AttributeAnswer answer(Failure failure) {
  return AttributeAnswer{failure.status, std::monostate{}};
}

AttributeAnswer elementAnswer(Fallible<AccessiblePtr> element,
                              const std::function<ElementHandle(AccessiblePtr)>& wrap) {
  if (!element.ok()) return answer(element.failure());
  if (!*element) return answer(Failure{Status::kNoValue});
  return AttributeAnswer{Status::kSuccess, wrap(std::move(*element))};
}

std::string camelCaseRoleName(std::string_view name) {
  std::string camel = "AX";
  bool wordStart = true;
  for (const char character : name) {
    if (character == ' ' || character == '-' || character == '_') {
      wordStart = true;
      continue;
    }
    camel += wordStart ? g_ascii_toupper(character) : character;
    wordStart = false;
  }
  return camel;
}

}  // namespace

// ---- Role names --------------------------------------------------------------

namespace atspi {

AXRoles axRolesFor(AtspiRole role, RoleStates states) {
  const auto named = [](const char* name) { return AXRoles{name, std::nullopt}; };
  switch (role) {
    case ATSPI_ROLE_INVALID:
    case ATSPI_ROLE_UNKNOWN:
    case ATSPI_ROLE_EXTENDED:
      return {};
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_EDITBAR: {
      if (!states.editable) return named("AXStaticText");
      const bool singleLine =
          role == ATSPI_ROLE_ENTRY || role == ATSPI_ROLE_PASSWORD_TEXT || states.singleLine;
      if (!singleLine) return named("AXTextArea");
      if (role == ATSPI_ROLE_PASSWORD_TEXT) return {"AXTextField", "AXSecureTextField"};
      return named("AXTextField");
    }
    case ATSPI_ROLE_COMBO_BOX:
      return named(states.editable ? "AXComboBox" : "AXPopUpButton");
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_DOCUMENT_FRAME:
    case ATSPI_ROLE_HTML_CONTAINER:
      return named("AXWebArea");
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_FILLER:
    case ATSPI_ROLE_GROUPING:
    case ATSPI_ROLE_FORM:
      return named("AXGroup");
    case ATSPI_ROLE_SCROLL_PANE:
    case ATSPI_ROLE_VIEWPORT:
      return named("AXScrollArea");
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_ALERT:
      return named("AXWindow");
    case ATSPI_ROLE_APPLICATION:
      return named("AXApplication");
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_PUSH_BUTTON_MENU:
      return named("AXButton");
    case ATSPI_ROLE_TOGGLE_BUTTON:
    case ATSPI_ROLE_CHECK_BOX:
      return named("AXCheckBox");
    case ATSPI_ROLE_RADIO_BUTTON:
      return named("AXRadioButton");
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_CAPTION:
    case ATSPI_ROLE_ACCELERATOR_LABEL:
      return named("AXStaticText");
    case ATSPI_ROLE_HEADING:
      return named("AXHeading");
    case ATSPI_ROLE_LINK:
      return named("AXLink");
    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
      return named("AXImage");
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_BOX:
      return named("AXList");
    case ATSPI_ROLE_MENU:
    case ATSPI_ROLE_POPUP_MENU:
      return named("AXMenu");
    case ATSPI_ROLE_MENU_BAR:
      return named("AXMenuBar");
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_TEAROFF_MENU_ITEM:
      return named("AXMenuItem");
    case ATSPI_ROLE_PAGE_TAB_LIST:
      return named("AXTabGroup");
    case ATSPI_ROLE_SLIDER:
      return named("AXSlider");
    case ATSPI_ROLE_SPIN_BUTTON:
      return named("AXIncrementor");
    case ATSPI_ROLE_PROGRESS_BAR:
      return named("AXProgressIndicator");
    case ATSPI_ROLE_LEVEL_BAR:
      return named("AXLevelIndicator");
    case ATSPI_ROLE_SCROLL_BAR:
      return named("AXScrollBar");
    case ATSPI_ROLE_SPLIT_PANE:
      return named("AXSplitGroup");
    case ATSPI_ROLE_TABLE:
    case ATSPI_ROLE_TREE_TABLE:
      return named("AXTable");
    case ATSPI_ROLE_TREE:
      return named("AXOutline");
    case ATSPI_ROLE_TABLE_ROW:
      return named("AXRow");
    case ATSPI_ROLE_TABLE_CELL:
      return named("AXCell");
    case ATSPI_ROLE_TOOL_BAR:
      return named("AXToolbar");
    case ATSPI_ROLE_TOOL_TIP:
      return named("AXHelpTag");
    default:
      break;
  }
  if (static_cast<int>(role) < 0 || role >= ATSPI_ROLE_LAST_DEFINED) return {};
  const glib::Text name(atspi_role_get_name(role));
  if (!name || *name == '\0') return {};
  return named(camelCaseRoleName(name.get()).c_str());
}

}  // namespace atspi

namespace {

// An element as the core holds it: the system-wide element, the application
// of a process (looked up on the bus whenever it is queried), or an object
// of an application.
class AtspiElement final : public AccessibilityElement {
 public:
  enum class Kind { kSystemWide, kApplication, kObject };

  static ElementHandle systemWide() { return std::make_shared<AtspiElement>(Kind::kSystemWide); }
  static ElementHandle application(std::int32_t processIdentifier) {
    auto element = std::make_shared<AtspiElement>(Kind::kApplication);
    element->processIdentifier = processIdentifier;
    return element;
  }
  static ElementHandle object(AccessiblePtr accessible) {
    auto element = std::make_shared<AtspiElement>(Kind::kObject);
    element->accessible = std::move(accessible);
    return element;
  }

  explicit AtspiElement(Kind kind) : kind(kind) {}

  const Kind kind;
  std::int32_t processIdentifier = 0;
  AccessiblePtr accessible;
};

ElementHandle wrapObject(AccessiblePtr accessible) {
  return AtspiElement::object(std::move(accessible));
}

Fallible<atspi::AXRoles> rolesOf(AtspiAccessible* accessible, const States& states) {
  const Fallible<AtspiRole> role = roleOf(accessible);
  if (!role.ok()) return role.failure();
  return atspi::axRolesFor(role.value(), {.editable = states.has(ATSPI_STATE_EDITABLE),
                                          .singleLine = states.has(ATSPI_STATE_SINGLE_LINE)});
}

AttributeAnswer stringAnswer(const std::optional<std::string>& value) {
  if (!value) return answer(Failure{Status::kNoValue});
  return AttributeAnswer{Status::kSuccess, *value};
}

// The selection, else the caret, of an element with the Text interface.
AttributeAnswer selectedTextRangeOf(AtspiAccessible* accessible) {
  const Fallible<glib::Object<AtspiText>> text =
      interfaceOf(accessible, atspi_accessible_get_text_iface);
  if (!text.ok()) return answer(text.failure());
  if (!*text) return answer(Failure{Status::kAttributeUnsupported});
  AtspiText* textInterface = text->get();

  AtspiCall selectionsCall;
  const gint selections = atspi_text_get_n_selections(textInterface, selectionsCall.error());
  if (selections < 0 || selectionsCall.reportedError()) {
    return answer(failureOf(accessible, selectionsCall));
  }
  if (selections > 0) {
    AtspiCall rangeCall;
    const std::unique_ptr<AtspiRange, glib::FreeDeleter> range(
        atspi_text_get_selection(textInterface, 0, rangeCall.error()));
    if (!range || rangeCall.reportedError()) return answer(failureOf(accessible, rangeCall));
    return AttributeAnswer{Status::kSuccess, OtherAccessibilityValue{}};
  }
  AtspiCall caretCall;
  const gint caret = atspi_text_get_caret_offset(textInterface, caretCall.error());
  if (caret >= 0 && !caretCall.reportedError()) {
    return AttributeAnswer{Status::kSuccess, OtherAccessibilityValue{}};
  }
  if (const std::optional<Status> status = diagnose(accessible, caretCall)) {
    return answer(Failure{*status});
  }
  return answer(Failure{caretCall.reportedError() ? Status::kFailure : Status::kNoValue});
}

// The text of an element with the Text interface.
AttributeAnswer textValueOf(AtspiAccessible* accessible) {
  const Fallible<glib::Object<AtspiText>> text =
      interfaceOf(accessible, atspi_accessible_get_text_iface);
  if (!text.ok()) return answer(text.failure());
  if (!*text) return answer(Failure{Status::kAttributeUnsupported});
  AtspiText* textInterface = text->get();
  AtspiCall call;
  const glib::Text value(atspi_text_get_text(textInterface, 0, -1, call.error()));
  if (!value || call.reportedError()) return answer(failureOf(accessible, call));
  return AttributeAnswer{Status::kSuccess, makeValidUTF8(value.get())};
}

// Every query of an object first asks for its states: a toolkit may still
// answer for an element it has destroyed, marked STATE_DEFUNCT, and such an
// element is gone all the same.
AttributeAnswer objectAttribute(AtspiAccessible* accessible, AccessibilityAttribute attribute) {
  const Fallible<States> states = statesOf(accessible);
  if (!states.ok()) return answer(states.failure());
  switch (attribute) {
    case AccessibilityAttribute::kFocusedElement:
      if (!isApplicationRoot(accessible)) return answer(Failure{Status::kAttributeUnsupported});
      return elementAnswer(focusedElementOf(accessible), wrapObject);
    case AccessibilityAttribute::kFocusedWindow:
      if (!isApplicationRoot(accessible)) return answer(Failure{Status::kAttributeUnsupported});
      return elementAnswer(focusedWindowOf(accessible), wrapObject);
    case AccessibilityAttribute::kRole:
    case AccessibilityAttribute::kSubrole: {
      Fallible<atspi::AXRoles> roles = rolesOf(accessible, states.value());
      if (!roles.ok()) return answer(roles.failure());
      return stringAnswer(attribute == AccessibilityAttribute::kRole ? roles->role
                                                                     : roles->subrole);
    }
    case AccessibilityAttribute::kValue:
      return textValueOf(accessible);
    case AccessibilityAttribute::kSelectedTextRange:
      return selectedTextRangeOf(accessible);
    case AccessibilityAttribute::kChildren: {
      Fallible<std::vector<AccessiblePtr>> children = childrenOf(accessible);
      if (!children.ok()) return answer(children.failure());
      std::vector<ElementHandle> handles;
      handles.reserve(children->size());
      for (AccessiblePtr& child : *children) handles.push_back(wrapObject(std::move(child)));
      return AttributeAnswer{Status::kSuccess, std::move(handles)};
    }
  }
  return answer(Failure{Status::kAttributeUnsupported});
}

// Only the value can be set, and only of text the user can type into: the
// element offers EditableText and is editable now.
SettableAnswer settableOf(AtspiAccessible* accessible, AccessibilityAttribute attribute) {
  const Fallible<States> states = statesOf(accessible);
  if (!states.ok()) return SettableAnswer{states.status(), false};
  if (attribute != AccessibilityAttribute::kValue || !states->has(ATSPI_STATE_EDITABLE)) {
    return SettableAnswer{Status::kSuccess, false};
  }
  const Fallible<glib::Object<AtspiEditableText>> editableText =
      interfaceOf(accessible, atspi_accessible_get_editable_text_iface);
  if (!editableText.ok()) return SettableAnswer{editableText.status(), false};
  return SettableAnswer{Status::kSuccess, *editableText != nullptr};
}

}  // namespace

// ---- The service -------------------------------------------------------------

AtspiAccessibilityService::AtspiAccessibilityService() = default;
AtspiAccessibilityService::~AtspiAccessibilityService() = default;

bool AtspiAccessibilityService::connect() {
  Libatspi& library = libatspi();
  if (library.state == Libatspi::State::kNotInitialised) {
    // With no bus, atspi_init prints warnings, and later calls abort.
    if (!accessibilityBusUsable()) return false;
    g_log_set_handler(
        "dbind",
        static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
        dropMessage, nullptr);
    // Startup time 0: no grace period beyond the method-call timeout.
    atspi_set_timeout(kTimeoutMilliseconds, 0);
    // 1 would mean another part of the process initialised libatspi, on a
    // bus nobody here has checked.
    library.bus = atspi_init() == 0 ? atspi_get_a11y_bus() : nullptr;
    library.state =
        library.bus != nullptr ? Libatspi::State::kConnected : Libatspi::State::kUnusable;
  }
  return library.state == Libatspi::State::kConnected &&
         dbus_connection_get_is_connected(library.bus);
}

bool AtspiAccessibilityService::isProcessTrusted() {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  return accessibilityBusUsable();
}

std::optional<RunningApplication> AtspiAccessibilityService::runningApplication(
    std::int32_t processIdentifier) {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  if (std::optional<RunningApplication> owner = windows_.runningApplication(processIdentifier)) {
    return owner;
  }
  if (processIdentifier <= 0 || !connect()) return std::nullopt;
  Fallible<AccessiblePtr> root = applicationOfProcess(processIdentifier);
  if (!root.ok()) return std::nullopt;
  RunningApplication application;
  application.processIdentifier = processIdentifier;
  AtspiCall call;
  const glib::Text name(atspi_accessible_get_name(root->get(), call.error()));
  if (name && *name != '\0' && !call.reportedError()) {
    application.localizedName = makeValidUTF8(name.get());
  }
  return application;
}

std::optional<RunningApplication> AtspiAccessibilityService::frontmostApplication() {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  return windows_.frontmostApplication();
}

ElementHandle AtspiAccessibilityService::applicationElement(std::int32_t processIdentifier) {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  return AtspiElement::application(processIdentifier);
}

ElementHandle AtspiAccessibilityService::systemWideElement() {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  return AtspiElement::systemWide();
}

AttributeAnswer AtspiAccessibilityService::copyAttributeValue(const ElementHandle& element,
                                                              AccessibilityAttribute attribute) {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  const auto* atspiElement = dynamic_cast<const AtspiElement*>(element.get());
  if (atspiElement == nullptr) return answer(Failure{Status::kIllegalArgument});
  if (!connect()) return answer(Failure{Status::kAPIDisabled});

  switch (atspiElement->kind) {
    case AtspiElement::Kind::kSystemWide:
      if (attribute != AccessibilityAttribute::kFocusedElement) {
        return answer(Failure{Status::kAttributeUnsupported});
      }
      return systemWideFocus();
    case AtspiElement::Kind::kApplication: {
      Fallible<AccessiblePtr> root = applicationOfProcess(atspiElement->processIdentifier);
      if (!root.ok()) return answer(root.failure());
      return objectAttribute(root->get(), attribute);
    }
    case AtspiElement::Kind::kObject:
      return objectAttribute(atspiElement->accessible.get(), attribute);
  }
  return answer(Failure{Status::kIllegalArgument});
}

SettableAnswer AtspiAccessibilityService::isAttributeSettable(const ElementHandle& element,
                                                              AccessibilityAttribute attribute) {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  const auto* atspiElement = dynamic_cast<const AtspiElement*>(element.get());
  if (atspiElement == nullptr) return SettableAnswer{Status::kIllegalArgument, false};
  if (!connect()) return SettableAnswer{Status::kAPIDisabled, false};

  switch (atspiElement->kind) {
    case AtspiElement::Kind::kSystemWide:
      return SettableAnswer{Status::kSuccess, false};
    case AtspiElement::Kind::kApplication: {
      Fallible<AccessiblePtr> root = applicationOfProcess(atspiElement->processIdentifier);
      if (!root.ok()) return SettableAnswer{root.status(), false};
      return settableOf(root->get(), attribute);
    }
    case AtspiElement::Kind::kObject:
      return settableOf(atspiElement->accessible.get(), attribute);
  }
  return SettableAnswer{Status::kIllegalArgument, false};
}

// The focus of the application whose window X11 has active; failing that,
// of any application with an active window.
AttributeAnswer AtspiAccessibilityService::systemWideFocus() {
  Fallible<std::vector<RegisteredApplication>> applications = registeredApplications();
  if (!applications.ok()) return answer(applications.failure());
  if (const std::optional<std::int32_t> frontmost = windows_.activeWindowProcess()) {
    std::stable_partition(applications->begin(), applications->end(),
                          [&](const RegisteredApplication& application) {
                            return application.processIdentifier == *frontmost;
                          });
  }
  for (RegisteredApplication& application : *applications) {
    Fallible<AccessiblePtr> window = activeWindowOf(application.root.get());
    if (window.status() == Status::kInvalidElement) continue;
    if (!window.ok()) return answer(window.failure());
    if (!*window) continue;
    return elementAnswer(focusedElementIn(window->get()), wrapObject);
  }
  return answer(Failure{Status::kNoValue});
}

}  // namespace glimra

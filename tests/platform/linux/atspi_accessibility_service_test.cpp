#include "platform/linux/atspi_accessibility_service.h"

#include <atspi/atspi.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "accessibility/focused_element_probe.h"
#include "platform/linux/x11_properties.h"
#include "platform/linux/xcb_handles.h"
#include "support/accessible_test_app.h"
#include "support/eventually.h"
#include "support/private_accessibility_bus.h"
#include "support/private_x_server.h"
#include "support/standard_error_capture.h"
#include "support/subprocess.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;
using Status = AccessibilityStatus;
using Attribute = AccessibilityAttribute;
using testing::AccessibleTestApp;
using testing::EnvironmentChanges;
using testing::eventually;
using testing::PrivateAccessibilityBus;
using testing::PrivateXServer;
using testing::StandardErrorCapture;

// ---- Role names ----------------------------------------------------------------

TEST(AtspiRoleNamesTest, MapsRolesAndStatesOntoTheNamesTheCoreCompares) {
  struct Case {
    AtspiRole atspiRole;
    atspi::RoleStates states;
    std::optional<std::string> role;
    std::optional<std::string> subrole;
  };
  const atspi::RoleStates editable{.editable = true};
  const atspi::RoleStates editableSingleLine{.editable = true, .singleLine = true};
  const atspi::RoleStates readOnly{};
  const std::vector<Case> cases = {
      {ATSPI_ROLE_ENTRY, editable, "AXTextField", std::nullopt},
      {ATSPI_ROLE_PASSWORD_TEXT, editable, "AXTextField", "AXSecureTextField"},
      {ATSPI_ROLE_TEXT, editableSingleLine, "AXTextField", std::nullopt},
      {ATSPI_ROLE_TEXT, editable, "AXTextArea", std::nullopt},
      {ATSPI_ROLE_EDITBAR, editableSingleLine, "AXTextField", std::nullopt},
      {ATSPI_ROLE_TEXT, readOnly, "AXStaticText", std::nullopt},
      {ATSPI_ROLE_ENTRY, readOnly, "AXStaticText", std::nullopt},
      {ATSPI_ROLE_PASSWORD_TEXT, readOnly, "AXStaticText", std::nullopt},
      {ATSPI_ROLE_COMBO_BOX, editable, "AXComboBox", std::nullopt},
      {ATSPI_ROLE_COMBO_BOX, readOnly, "AXPopUpButton", std::nullopt},
      {ATSPI_ROLE_DOCUMENT_WEB, readOnly, "AXWebArea", std::nullopt},
      {ATSPI_ROLE_DOCUMENT_FRAME, readOnly, "AXWebArea", std::nullopt},
      {ATSPI_ROLE_HTML_CONTAINER, readOnly, "AXWebArea", std::nullopt},
      {ATSPI_ROLE_PANEL, readOnly, "AXGroup", std::nullopt},
      {ATSPI_ROLE_SECTION, editable, "AXGroup", std::nullopt},
      {ATSPI_ROLE_FILLER, readOnly, "AXGroup", std::nullopt},
      {ATSPI_ROLE_GROUPING, readOnly, "AXGroup", std::nullopt},
      {ATSPI_ROLE_FORM, readOnly, "AXGroup", std::nullopt},
      {ATSPI_ROLE_SCROLL_PANE, readOnly, "AXScrollArea", std::nullopt},
      {ATSPI_ROLE_VIEWPORT, readOnly, "AXScrollArea", std::nullopt},
      {ATSPI_ROLE_FRAME, readOnly, "AXWindow", std::nullopt},
      {ATSPI_ROLE_DIALOG, readOnly, "AXWindow", std::nullopt},
      {ATSPI_ROLE_WINDOW, readOnly, "AXWindow", std::nullopt},
      {ATSPI_ROLE_ALERT, readOnly, "AXWindow", std::nullopt},
      {ATSPI_ROLE_APPLICATION, readOnly, "AXApplication", std::nullopt},
      {ATSPI_ROLE_PUSH_BUTTON, readOnly, "AXButton", std::nullopt},
      {ATSPI_ROLE_CHECK_BOX, readOnly, "AXCheckBox", std::nullopt},
      {ATSPI_ROLE_RADIO_BUTTON, readOnly, "AXRadioButton", std::nullopt},
      {ATSPI_ROLE_LABEL, readOnly, "AXStaticText", std::nullopt},
      {ATSPI_ROLE_LINK, readOnly, "AXLink", std::nullopt},
      {ATSPI_ROLE_MENU_ITEM, readOnly, "AXMenuItem", std::nullopt},
      {ATSPI_ROLE_SPIN_BUTTON, editable, "AXIncrementor", std::nullopt},
      // The rest: "AX" and the AT-SPI name in CamelCase.
      {ATSPI_ROLE_TABLE_COLUMN_HEADER, readOnly, "AXTableColumnHeader", std::nullopt},
      {ATSPI_ROLE_TERMINAL, readOnly, "AXTerminal", std::nullopt},
      {ATSPI_ROLE_PARAGRAPH, editable, "AXParagraph", std::nullopt},
      {ATSPI_ROLE_INVALID, readOnly, std::nullopt, std::nullopt},
      {ATSPI_ROLE_UNKNOWN, readOnly, std::nullopt, std::nullopt},
      {ATSPI_ROLE_EXTENDED, readOnly, std::nullopt, std::nullopt},
      {ATSPI_ROLE_LAST_DEFINED, readOnly, std::nullopt, std::nullopt},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(std::to_string(test.atspiRole) + (test.states.editable ? " editable" : "") +
                 (test.states.singleLine ? " single-line" : ""));
    const atspi::AXRoles roles = atspi::axRolesFor(test.atspiRole, test.states);
    EXPECT_EQ(roles.role, test.role);
    EXPECT_EQ(roles.subrole, test.subrole);
  }
}

// ---- The live desktop ------------------------------------------------------------

// Applies environment changes to this process and takes them back.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const EnvironmentChanges& changes) {
    for (const auto& [name, value] : changes) {
      const char* previous = std::getenv(name.c_str());
      previous_[name] = previous ? std::optional<std::string>(previous) : std::nullopt;
      set(name, value);
    }
  }
  ~ScopedEnvironment() {
    for (const auto& [name, value] : previous_) set(name, value);
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  static void set(const std::string& name, const std::optional<std::string>& value) {
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
  }
  std::map<std::string, std::optional<std::string>> previous_;
};

// One X display with a window manager and one accessibility bus, made on
// first use and kept until the process ends: libatspi connects once per
// process, so every test of the process (--gtest_repeat included) must find
// the same bus. The process's environment names them meanwhile.
struct SharedDesktop {
  std::unique_ptr<PrivateXServer> server = PrivateXServer::start({.withWindowManager = true});
  std::unique_ptr<PrivateAccessibilityBus> bus =
      PrivateAccessibilityBus::start({.display = server->display()});
  ScopedEnvironment environment{bus->environment()};
};

SharedDesktop& sharedDesktop() {
  static SharedDesktop desktop;
  return desktop;
}

// Each test starts the applications it reads.
class AtspiAccessibilityServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = sharedDesktop().server.get();
    bus_ = sharedDesktop().bus.get();
  }

  std::unique_ptr<AccessibleTestApp> startApp(const AccessibleTestApp::Options& options) {
    auto app = AccessibleTestApp::start(bus_->environment(), options);
    // The registry lists the application a moment after it has shown its window.
    const ElementHandle element = service_.applicationElement(app->pid());
    EXPECT_TRUE(eventually(
        [&] {
          return service_.copyAttributeValue(element, Attribute::kRole).status !=
                 Status::kInvalidElement;
        },
        10s))
        << "the application never appeared on the accessibility bus";
    return app;
  }

  AttributeAnswer ask(const ElementHandle& element, Attribute attribute) {
    return service_.copyAttributeValue(element, attribute);
  }

  std::optional<std::string> stringOf(const ElementHandle& element, Attribute attribute) {
    AttributeAnswer answer = ask(element, attribute);
    if (answer.status != Status::kSuccess) return std::nullopt;
    const auto* text = std::get_if<std::string>(&answer.value);
    return text ? std::optional(*text) : std::nullopt;
  }

  ElementHandle elementOf(const ElementHandle& element, Attribute attribute) {
    AttributeAnswer answer = ask(element, attribute);
    EXPECT_EQ(answer.status, Status::kSuccess);
    const auto* found = std::get_if<ElementHandle>(&answer.value);
    return found ? *found : nullptr;
  }

  ElementHandle focusOf(pid_t pid) {
    return elementOf(service_.applicationElement(pid), Attribute::kFocusedElement);
  }

  static PrivateXServer* server_;
  static PrivateAccessibilityBus* bus_;
  AtspiAccessibilityService service_;
};

PrivateXServer* AtspiAccessibilityServiceTest::server_ = nullptr;
PrivateAccessibilityBus* AtspiAccessibilityServiceTest::bus_ = nullptr;

// Sets the root window's AT_SPI_BUS property, as launchers with X11 support
// do, and removes it again.
class RootWindowBusProperty {
 public:
  RootWindowBusProperty(const std::string& display, const std::string& address)
      : connection_(xcb_connect(display.c_str(), &screenNumber_)) {
    root_ = xcb::screenOfDisplay(connection_.get(), screenNumber_)->root;
    atom_ = xcb::internAtom(connection_.get(), "AT_SPI_BUS");
    xcb_change_property(connection_.get(), XCB_PROP_MODE_REPLACE, root_, atom_, XCB_ATOM_STRING, 8,
                        static_cast<std::uint32_t>(address.size()), address.data());
    xcb::Reply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(
        connection_.get(), xcb_get_input_focus(connection_.get()), nullptr));
  }
  ~RootWindowBusProperty() {
    xcb_delete_property(connection_.get(), root_, atom_);
    xcb::Reply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(
        connection_.get(), xcb_get_input_focus(connection_.get()), nullptr));
  }

 private:
  int screenNumber_ = 0;
  xcb::Connection connection_;
  xcb_window_t root_ = XCB_WINDOW_NONE;
  xcb_atom_t atom_ = XCB_ATOM_NONE;
};

TEST_F(AtspiAccessibilityServiceTest, IsTrustedWhereverTheEnabledBusIsFound) {
  const std::string emptyRuntime = (bus_->runtimeDirectory() / "home").string();
  struct Case {
    const char* label;
    EnvironmentChanges environment;
    bool rootWindowProperty;
  };
  const std::vector<Case> cases = {
      {"through the session bus", {}, false},
      {"named in the environment, no session bus",
       {{"AT_SPI_BUS_ADDRESS", bus_->accessibilityBusAddress()},
        {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
        {"XDG_RUNTIME_DIR", emptyRuntime}},
       false},
      {"named in the environment, asked on the session bus",
       {{"AT_SPI_BUS_ADDRESS", bus_->accessibilityBusAddress()}},
       false},
      {"on the root window, no session bus",
       {{"DBUS_SESSION_BUS_ADDRESS", std::nullopt}, {"XDG_RUNTIME_DIR", emptyRuntime}},
       true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.label);
    const ScopedEnvironment environment(test.environment);
    std::optional<RootWindowBusProperty> property;
    if (test.rootWindowProperty)
      property.emplace(server_->display(), bus_->accessibilityBusAddress());
    EXPECT_TRUE(AtspiAccessibilityService().isProcessTrusted());
  }
}

TEST_F(AtspiAccessibilityServiceTest, IsNotTrustedWithoutABusOrWithAccessibilityDisabled) {
  // A launcher publishes its bus on the display's root window, so the
  // disabled bus and the dead one get displays of their own.
  const auto disabledDisplay = PrivateXServer::start();
  const auto disabled = PrivateAccessibilityBus::start(
      {.display = disabledDisplay->display(), .accessibilityEnabled = false});
  const auto deadDisplay = PrivateXServer::start();
  const std::string deadBus = "unix:path=" + (bus_->runtimeDirectory() / "nobody").string();
  const RootWindowBusProperty deadProperty(deadDisplay->display(), deadBus);
  const std::string emptyRuntime = (bus_->runtimeDirectory() / "home").string();
  const EnvironmentChanges noSessionBus = {{"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
                                           {"XDG_RUNTIME_DIR", emptyRuntime}};
  const auto with = [](EnvironmentChanges changes, const EnvironmentChanges& more) {
    for (const auto& [name, value] : more) changes[name] = value;
    return changes;
  };
  struct Case {
    const char* label;
    EnvironmentChanges environment;
  };
  const std::vector<Case> cases = {
      {"accessibility disabled", disabled->environment()},
      {"accessibility disabled, bus named in the environment",
       with(disabled->environment(),
            {{"AT_SPI_BUS_ADDRESS", disabled->accessibilityBusAddress()}})},
      {"no bus at all", with(noSessionBus, {{"DISPLAY", std::nullopt}})},
      {"a bus named in the environment that does not answer",
       with(noSessionBus, {{"AT_SPI_BUS_ADDRESS", deadBus}})},
      {"a bus on the root window that does not answer",
       with(noSessionBus, {{"DISPLAY", deadDisplay->display()}})},
      {"a session bus that does not answer",
       {{"DBUS_SESSION_BUS_ADDRESS", deadBus}, {"DISPLAY", std::nullopt}}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.label);
    const ScopedEnvironment environment(test.environment);
    StandardErrorCapture standardError;
    EXPECT_FALSE(AtspiAccessibilityService().isProcessTrusted());
    EXPECT_EQ(standardError.text(), "");
  }
}

TEST_F(AtspiAccessibilityServiceTest, AnswersAPIDisabledUntilTheBusIsUsable) {
  if (atspi_is_initialized()) {
    GTEST_SKIP() << "an earlier test of this process connected libatspi; ctest runs each test "
                    "in a process of its own";
  }
  const ScopedEnvironment environment(
      {{"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
       {"XDG_RUNTIME_DIR", (bus_->runtimeDirectory() / "home").string()},
       {"DISPLAY", std::nullopt}});
  AtspiAccessibilityService service;
  StandardErrorCapture standardError;
  EXPECT_EQ(
      service.copyAttributeValue(service.systemWideElement(), Attribute::kFocusedElement).status,
      Status::kAPIDisabled);
  EXPECT_EQ(
      service.isAttributeSettable(service.applicationElement(::getpid()), Attribute::kValue).status,
      Status::kAPIDisabled);
  EXPECT_FALSE(atspi_is_initialized()) << "libatspi must not start without a bus";
  EXPECT_EQ(standardError.text(), "");
}

TEST_F(AtspiAccessibilityServiceTest, DescribesTheFocusedElementOfEachKind) {
  const auto app = startApp({.focus = "entry"});
  ASSERT_TRUE(service_.isProcessTrusted());
  struct Case {
    const char* widget;
    std::optional<std::string> role;
    std::optional<std::string> subrole;
    bool settable;
    bool editable;  // as the core's probe decides
  };
  const std::vector<Case> cases = {
      {"entry", "AXTextField", std::nullopt, true, true},
      {"password", "AXTextField", "AXSecureTextField", true, true},
      {"textview", "AXTextArea", std::nullopt, true, true},
      {"readonly", "AXStaticText", std::nullopt, false, false},
      {"button", "AXButton", std::nullopt, false, false},
  };
  // The focus moves while this process's main loop never runs: every answer
  // comes from the application, none from what libatspi cached.
  for (const Case& test : cases) {
    SCOPED_TRACE(test.widget);
    app->focus(test.widget);
    const ElementHandle focused = focusOf(app->pid());
    ASSERT_NE(focused, nullptr);
    EXPECT_EQ(stringOf(focused, Attribute::kRole), test.role);
    const AttributeAnswer subrole = ask(focused, Attribute::kSubrole);
    if (test.subrole) {
      EXPECT_EQ(stringOf(focused, Attribute::kSubrole), test.subrole);
    } else {
      EXPECT_EQ(subrole.status, Status::kNoValue);
    }
    const SettableAnswer settable = service_.isAttributeSettable(focused, Attribute::kValue);
    EXPECT_EQ(settable.status, Status::kSuccess);
    EXPECT_EQ(settable.settable, test.settable);

    const std::optional<FocusedElementProbe> probe = probeFocusedElement(service_, app->pid());
    ASSERT_TRUE(probe.has_value());
    EXPECT_EQ(probe->editable, test.editable);
    EXPECT_EQ(probe->role, test.role);
    EXPECT_EQ(probe->subrole, test.subrole);
  }
}

TEST_F(AtspiAccessibilityServiceTest, ReadsTheTextAndSelectionOfTheFocusedEntry) {
  const auto app = startApp({.focus = "entry"});
  const ElementHandle entry = focusOf(app->pid());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(stringOf(entry, Attribute::kValue), "hello");
  const AttributeAnswer range = ask(entry, Attribute::kSelectedTextRange);
  EXPECT_EQ(range.status, Status::kSuccess);
  EXPECT_TRUE(std::holds_alternative<OtherAccessibilityValue>(range.value));

  app->focus("button");
  const ElementHandle button = focusOf(app->pid());
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(ask(button, Attribute::kSelectedTextRange).status, Status::kAttributeUnsupported);
  EXPECT_EQ(ask(button, Attribute::kFocusedWindow).status, Status::kAttributeUnsupported);
}

TEST_F(AtspiAccessibilityServiceTest, ListsTheFocusedWindowAndItsChildrenInOrder) {
  const auto app = startApp({.focus = "button"});
  const ElementHandle window =
      elementOf(service_.applicationElement(app->pid()), Attribute::kFocusedWindow);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(stringOf(window, Attribute::kRole), "AXWindow");
  EXPECT_EQ(stringOf(service_.applicationElement(app->pid()), Attribute::kRole), "AXApplication");

  AttributeAnswer children = ask(window, Attribute::kChildren);
  ASSERT_EQ(children.status, Status::kSuccess);
  const auto* box = std::get_if<std::vector<ElementHandle>>(&children.value);
  ASSERT_TRUE(box != nullptr);
  ASSERT_EQ(box->size(), 1u);
  EXPECT_EQ(stringOf(box->front(), Attribute::kRole), "AXGroup");

  AttributeAnswer widgets = ask(box->front(), Attribute::kChildren);
  ASSERT_EQ(widgets.status, Status::kSuccess);
  std::vector<std::optional<std::string>> roles;
  for (const ElementHandle& widget : std::get<std::vector<ElementHandle>>(widgets.value)) {
    roles.push_back(stringOf(widget, Attribute::kRole));
  }
  const std::vector<std::optional<std::string>> expected = {
      "AXStaticText", "AXTextField", "AXTextField",  "AXScrollArea",
      "AXScrollArea", "AXButton",    "AXPopUpButton"};
  EXPECT_EQ(roles, expected);
}

TEST_F(AtspiAccessibilityServiceTest, TheSystemWideElementFindsTheSameFocus) {
  const auto other = startApp({.focus = "button", .title = "Behind"});
  const auto app = startApp({.focus = "textview", .title = "In front"});
  const ElementHandle focused = elementOf(service_.systemWideElement(), Attribute::kFocusedElement);
  ASSERT_NE(focused, nullptr);
  EXPECT_EQ(stringOf(focused, Attribute::kRole), "AXTextArea");
  EXPECT_EQ(stringOf(focused, Attribute::kValue), "first line\nsecond line");

  const FocusedElementLookup lookup = lookupFocusedElement(service_, std::nullopt);
  ASSERT_TRUE(std::holds_alternative<FocusFound>(lookup));
  EXPECT_EQ(stringOf(std::get<FocusFound>(lookup).element, Attribute::kRole), "AXTextArea");
  EXPECT_EQ(ask(service_.systemWideElement(), Attribute::kRole).status,
            Status::kAttributeUnsupported);
}

TEST_F(AtspiAccessibilityServiceTest, NamesRunningApplicationsByWindowOrBus) {
  const auto app = startApp({.focus = "entry"});
  const std::optional<RunningApplication> owner = service_.runningApplication(app->pid());
  ASSERT_TRUE(owner.has_value());
  EXPECT_EQ(owner->processIdentifier, app->pid());
  EXPECT_NE(owner->handle, 0u) << "named by its window";
  EXPECT_TRUE(owner->localizedName.has_value());
  EXPECT_EQ(service_.frontmostApplication().value().processIdentifier, app->pid());

  const auto hidden = AccessibleTestApp::start(bus_->environment(), {.layout = "hidden"});
  std::optional<RunningApplication> registered;
  EXPECT_TRUE(eventually(
      [&] {
        registered = service_.runningApplication(hidden->pid());
        return registered.has_value();
      },
      10s));
  ASSERT_TRUE(registered.has_value());
  EXPECT_EQ(registered->processIdentifier, hidden->pid());
  EXPECT_EQ(registered->handle, 0u) << "it has no window";
  EXPECT_EQ(registered->localizedName, "accessible_test_app.py");

  EXPECT_FALSE(service_.runningApplication(server_->serverPid()).has_value());
}

TEST_F(AtspiAccessibilityServiceTest, AProcessNotOnTheBusAnswersAnInvalidElement) {
  const auto app = startApp({.focus = "entry"});
  const ElementHandle element = service_.applicationElement(server_->serverPid());
  for (const Attribute attribute :
       {Attribute::kFocusedElement, Attribute::kFocusedWindow, Attribute::kRole}) {
    EXPECT_EQ(ask(element, attribute).status, Status::kInvalidElement);
  }
  EXPECT_EQ(service_.isAttributeSettable(element, Attribute::kValue).status,
            Status::kInvalidElement);
  // The core then asks the system-wide element, which finds the app's focus.
  const FocusedElementLookup lookup = lookupFocusedElement(service_, server_->serverPid());
  ASSERT_TRUE(std::holds_alternative<FocusFound>(lookup));
}

TEST_F(AtspiAccessibilityServiceTest, AStoppedApplicationAnswersCannotComplete) {
  const auto app = startApp({.focus = "entry"});
  const ElementHandle entry = focusOf(app->pid());
  ASSERT_NE(entry, nullptr);

  ASSERT_EQ(::kill(app->pid(), SIGSTOP), 0);
  StandardErrorCapture standardError;
  EXPECT_EQ(ask(entry, Attribute::kRole).status, Status::kCannotComplete);
  EXPECT_EQ(ask(service_.applicationElement(app->pid()), Attribute::kFocusedElement).status,
            Status::kCannotComplete);
  EXPECT_EQ(service_.isAttributeSettable(entry, Attribute::kValue).status, Status::kCannotComplete);
  const FocusedElementLookup lookup = lookupFocusedElement(service_, app->pid());
  ASSERT_TRUE(std::holds_alternative<FocusLookupFailed>(lookup));
  EXPECT_EQ(std::get<FocusLookupFailed>(lookup).reason, "system_ax_error_-25204");
  EXPECT_EQ(standardError.text(), "");

  ASSERT_EQ(::kill(app->pid(), SIGCONT), 0);
  EXPECT_EQ(stringOf(entry, Attribute::kRole), "AXTextField");
}

TEST_F(AtspiAccessibilityServiceTest, ElementsOfAnApplicationThatIsGoneAreInvalid) {
  auto app = startApp({.focus = "button"});
  const pid_t pid = app->pid();
  const ElementHandle button = focusOf(pid);
  ASSERT_NE(button, nullptr);
  app->focus("entry");
  app->destroyWidget("button");
  EXPECT_EQ(ask(button, Attribute::kRole).status, Status::kInvalidElement);
  EXPECT_EQ(stringOf(focusOf(pid), Attribute::kRole), "AXTextField");

  const ElementHandle entry = focusOf(pid);
  app.reset();
  for (const Attribute attribute : {Attribute::kRole, Attribute::kChildren}) {
    EXPECT_EQ(ask(entry, attribute).status, Status::kInvalidElement);
  }
  EXPECT_EQ(ask(service_.applicationElement(pid), Attribute::kFocusedElement).status,
            Status::kInvalidElement);
}

TEST_F(AtspiAccessibilityServiceTest, AWindowWithNothingFocusedIsWalkedWithinBounds) {
  const auto app = startApp({.layout = "many", .labels = 500});
  EXPECT_EQ(ask(service_.applicationElement(app->pid()), Attribute::kFocusedElement).status,
            Status::kNoValue);
  const std::optional<FocusedElementProbe> probe = probeFocusedElement(service_, app->pid());
  ASSERT_TRUE(probe.has_value());
  EXPECT_FALSE(probe->editable);
  EXPECT_EQ(probe->reason, "app_no_focused_element_tree_400_nodes_text_false");
  EXPECT_FALSE(probe->unknown);
}

}  // namespace
}  // namespace glimra

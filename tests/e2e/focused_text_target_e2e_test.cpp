// `--focused-text-target` end to end: the real binary on a private X server
// with openbox, a private D-Bus session with the accessibility bus, and a
// GTK application whose focus the test moves.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "e2e/helper_process.h"
#include "support/accessible_test_app.h"
#include "support/private_accessibility_bus.h"
#include "support/private_x_server.h"
#include "support/test_window.h"

namespace glimra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using testing::AccessibleTestApp;
using testing::EnvironmentChanges;
using testing::PrivateAccessibilityBus;
using testing::PrivateXServer;
using testing::RunningHelper;
using testing::TestWindow;

constexpr const char* kNotesID = "org.example.Notes";
constexpr const char* kMailID = "org.example.Mail";

enum class Accessibility { kEnabled, kDisabled, kAbsent };

// A desktop: X server, window manager, the accessibility bus (enabled,
// disabled, or none at all), and desktop entries that name the test
// applications.
class FocusedTextTargetTest : public ::testing::Test {
 protected:
  void startDesktop(Accessibility accessibility) {
    server_ = PrivateXServer::start({.withWindowManager = true});
    if (accessibility != Accessibility::kAbsent) {
      bus_ = PrivateAccessibilityBus::start(
          {.display = server_->display(),
           .accessibilityEnabled = accessibility == Accessibility::kEnabled});
    }
    char pattern[] = "/tmp/glimra-focus-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    data_ = pattern;
    fs::create_directories(data_ / "applications");
    writeDesktopEntry(kNotesID, "Notes");
    writeDesktopEntry(kMailID, "Mail");
  }

  void TearDown() override {
    if (!data_.empty()) fs::remove_all(data_);
  }

  void writeDesktopEntry(const std::string& id, const std::string& name) {
    std::ofstream(data_ / "applications" / (id + ".desktop"))
        << "[Desktop Entry]\nType=Application\nName=" << name << "\nExec=true\n";
  }

  std::unique_ptr<AccessibleTestApp> startApp(const std::string& programName,
                                              const std::string& focus) {
    return AccessibleTestApp::start(bus_->environment(),
                                    {.focus = focus, .programName = programName});
  }

  // Without a bus, the session bus is a socket nobody listens on.
  EnvironmentChanges helperEnvironment() const {
    EnvironmentChanges environment =
        bus_ ? bus_->environment()
             : EnvironmentChanges{
                   {"DISPLAY", server_->display()},
                   {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (data_ / "no-bus").string()},
                   {"AT_SPI_BUS_ADDRESS", std::nullopt}};
    environment["XDG_DATA_HOME"] = data_.string();
    environment["XDG_DATA_DIRS"] = (data_ / "none").string();
    return environment;
  }

  // Runs the helper to its end and returns its one event.
  json inspect(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), "--focused-text-target");
    RunningHelper helper(arguments, helperEnvironment());
    const std::optional<json> event = helper.nextEvent(15s);
    EXPECT_TRUE(event) << "no event; stderr: " << helper.standardError();
    EXPECT_FALSE(helper.nextEvent(5s)) << "more than one event";
    EXPECT_EQ(helper.process().wait(), 0);
    EXPECT_EQ(helper.standardError(), "");
    EXPECT_EQ(testing::eventSchemaProblems(helper.output()), "");
    return event.value_or(json());
  }

  std::unique_ptr<PrivateXServer> server_;
  std::unique_ptr<PrivateAccessibilityBus> bus_;
  fs::path data_;
};

TEST_F(FocusedTextTargetTest, ReportsWhetherTheFocusedWidgetTakesText) {
  startDesktop(Accessibility::kEnabled);
  const auto notes = startApp(kNotesID, "entry");
  struct Case {
    const char* widget;
    json expected;
  };
  const Case cases[] = {
      {"entry", json::parse(R"({"type":"focusedTextTarget","trusted":true,"editable":true,
           "role":"AXTextField","appName":"Notes","bundleId":"org.example.Notes"})")},
      {"password", json::parse(R"({"type":"focusedTextTarget","trusted":true,"editable":true,
           "role":"AXTextField","subrole":"AXSecureTextField","appName":"Notes",
           "bundleId":"org.example.Notes"})")},
      {"textview", json::parse(R"({"type":"focusedTextTarget","trusted":true,"editable":true,
           "role":"AXTextArea","appName":"Notes","bundleId":"org.example.Notes"})")},
      {"button", json::parse(R"({"type":"focusedTextTarget","trusted":true,"editable":false,
           "role":"AXButton","appName":"Notes","bundleId":"org.example.Notes",
           "reason":"focus_not_editable"})")},
  };
  for (const Case& c : cases) {
    notes->focus(c.widget);
    EXPECT_EQ(inspect(), c.expected) << c.widget;
  }
}

TEST_F(FocusedTextTargetTest, APidNamesTheApplicationToInspect) {
  startDesktop(Accessibility::kEnabled);
  const auto notes = startApp(kNotesID, "entry");
  const auto mail = startApp(kMailID, "button");  // frontmost, as the last one shown

  const json frontmost = inspect();
  EXPECT_EQ(frontmost["appName"], "Mail");
  EXPECT_EQ(frontmost["reason"], "focus_not_editable");

  // Notes is in the background, where no widget holds the focus: its
  // window is walked instead, and its text fields show.
  const json named = inspect({"--pid", std::to_string(notes->pid())});
  EXPECT_EQ(named["appName"], "Notes");
  EXPECT_EQ(named["bundleId"], kNotesID);
  EXPECT_EQ(named["editable"], false);
  EXPECT_TRUE(std::regex_match(named["reason"].get<std::string>(),
                               std::regex("app_no_focused_element_tree_[0-9]+_nodes_text_true")))
      << named.dump();

  // A process that is no application: the frontmost one is inspected.
  const json fallback = inspect({"--pid", std::to_string(::getpid())});
  EXPECT_EQ(fallback["appName"], "Mail");
}

TEST_F(FocusedTextTargetTest, WithAccessibilityDisabledTheHelperIsNotTrusted) {
  startDesktop(Accessibility::kDisabled);
  const auto notes = startApp(kNotesID, "entry");

  EXPECT_EQ(inspect(), json::parse(R"({"type":"focusedTextTarget","trusted":false,
      "editable":null,"appName":"Notes","bundleId":"org.example.Notes",
      "reason":"accessibility_not_trusted"})"));
}

TEST_F(FocusedTextTargetTest, WithoutAnAccessibilityBusTheHelperIsNotTrusted) {
  startDesktop(Accessibility::kAbsent);
  TestWindow notes(server_->display(), {.title = "Notes", .applicationID = kNotesID});
  notes.show();
  notes.activate();

  EXPECT_EQ(inspect(), json::parse(R"({"type":"focusedTextTarget","trusted":false,
      "editable":null,"appName":"Notes","bundleId":"org.example.Notes",
      "reason":"accessibility_not_trusted"})"));
}

}  // namespace
}  // namespace glimra

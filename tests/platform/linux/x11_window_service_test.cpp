#include "platform/linux/x11_window_service.h"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/xcb_handles.h"
#include "support/eventually.h"
#include "support/private_x_server.h"
#include "support/scoped_display.h"
#include "support/standard_error_capture.h"
#include "support/subprocess.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::PrivateXServer;
using testing::ScopedDisplay;
using testing::StandardErrorCapture;

// What the test sets on a window before mapping it; empty fields are left unset.
struct WindowSetup {
  std::optional<std::uint32_t> pid = static_cast<std::uint32_t>(::getpid());
  std::optional<std::string> netName{};
  std::optional<std::string> latin1Name{};   // WM_NAME as STRING
  std::optional<std::string> windowClass{};  // "instance\0Class\0"
  std::optional<std::string> gtkApplicationId{};
  std::optional<std::string> kdeDesktopFile{};
  std::vector<std::string> types{};
  std::vector<std::string> states{};
  std::optional<std::uint32_t> opacity{};
  std::optional<std::vector<std::uint32_t>> icon{};
};

// The test's own client of the private server: it creates, maps, raises and
// destroys windows, and reads what the window manager made of them.
class TestClient {
 public:
  explicit TestClient(const std::string& display) {
    connection_.reset(xcb_connect(display.c_str(), &screenNumber_));
    if (xcb_connection_has_error(connection_.get()) != 0) {
      throw std::runtime_error("cannot connect to " + display);
    }
    root_ = xcb::screenOfDisplay(connection_.get(), screenNumber_)->root;
  }

  xcb_connection_t* get() const { return connection_.get(); }
  xcb_window_t root() const { return root_; }

  xcb_atom_t atom(const std::string& name) {
    const xcb::Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        get(), xcb_intern_atom(get(), 0, static_cast<std::uint16_t>(name.size()), name.data()),
        nullptr));
    return reply->atom;
  }

  xcb_window_t create(const WindowSetup& setup, std::uint16_t width = 300,
                      std::uint16_t height = 200) {
    const xcb_window_t window = xcb_generate_id(get());
    const xcb_screen_t* screen = xcb::screenOfDisplay(get(), screenNumber_);
    const std::uint32_t background = screen->white_pixel;
    xcb_create_window(get(), XCB_COPY_FROM_PARENT, window, root_, 50, 60, width, height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL,
                      &background);
    if (setup.pid) setCardinals(window, "_NET_WM_PID", XCB_ATOM_CARDINAL, {*setup.pid});
    if (setup.netName) setText(window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), *setup.netName);
    if (setup.latin1Name) setText(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, *setup.latin1Name);
    if (setup.windowClass) {
      setText(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, *setup.windowClass);
    }
    if (setup.gtkApplicationId) {
      setText(window, atom("_GTK_APPLICATION_ID"), atom("UTF8_STRING"), *setup.gtkApplicationId);
    }
    if (setup.kdeDesktopFile) {
      setText(window, atom("_KDE_NET_WM_DESKTOP_FILE"), atom("UTF8_STRING"), *setup.kdeDesktopFile);
    }
    if (!setup.types.empty()) setAtoms(window, "_NET_WM_WINDOW_TYPE", setup.types);
    if (!setup.states.empty()) setAtoms(window, "_NET_WM_STATE", setup.states);
    if (setup.opacity) {
      setCardinals(window, "_NET_WM_WINDOW_OPACITY", XCB_ATOM_CARDINAL, {*setup.opacity});
    }
    if (setup.icon) setCardinals(window, "_NET_WM_ICON", XCB_ATOM_CARDINAL, *setup.icon);
    xcb_flush(get());
    return window;
  }

  // Maps the window and waits until the window manager lists it and shows
  // its frame.
  void show(xcb_window_t window) {
    xcb_map_window(get(), window);
    xcb_flush(get());
    if (!eventually([&] { return contains(stacking(), window) && isViewable(frameOf(window)); })) {
      throw std::runtime_error("the window manager did not show a mapped window");
    }
  }

  bool isViewable(xcb_window_t window) {
    const xcb::Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(get(), xcb_get_window_attributes(get(), window), nullptr));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  }

  xcb_window_t showNew(const WindowSetup& setup) {
    const xcb_window_t window = create(setup);
    show(window);
    return window;
  }

  // Asks the window manager, as a pager would, to focus and raise the window,
  // and waits until it did.
  void activate(xcb_window_t window) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = atom("_NET_ACTIVE_WINDOW");
    message.data.data32[0] = 2;  // from a pager
    message.data.data32[1] = XCB_CURRENT_TIME;
    sendToRoot(message);
    if (!eventually([&] {
          const std::vector<std::uint32_t> active = cardinals(root_, "_NET_ACTIVE_WINDOW");
          const std::vector<std::uint32_t> order = stacking();
          return active == std::vector<std::uint32_t>{window} && !order.empty() &&
                 order.back() == window;
        })) {
      throw std::runtime_error("the window manager did not activate a window");
    }
  }

  void minimize(xcb_window_t window) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = atom("WM_CHANGE_STATE");
    message.data.data32[0] = kIconicState;
    sendToRoot(message);
    const xcb_atom_t hidden = atom("_NET_WM_STATE_HIDDEN");
    if (!eventually([&] { return contains(cardinals(window, "_NET_WM_STATE"), hidden); })) {
      throw std::runtime_error("the window manager did not minimize a window");
    }
  }

  void destroy(xcb_window_t window) {
    xcb_destroy_window(get(), window);
    sync();
  }

  // The window manager's frame: the child of the root that holds the window.
  xcb_window_t frameOf(xcb_window_t window) {
    while (true) {
      const xcb::Reply<xcb_query_tree_reply_t> tree(
          xcb_query_tree_reply(get(), xcb_query_tree(get(), window), nullptr));
      if (!tree) return XCB_WINDOW_NONE;
      if (tree->parent == root_) return window;
      window = tree->parent;
    }
  }

  // A child of the root is placed in root coordinates already.
  Rect rectangleOfTopLevel(xcb_window_t topLevel) {
    const xcb::Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(get(), xcb_get_geometry(get(), topLevel), nullptr));
    const double border = geometry->border_width;
    return {static_cast<double>(geometry->x), static_cast<double>(geometry->y),
            geometry->width + 2 * border, geometry->height + 2 * border};
  }

  std::vector<std::uint32_t> stacking() { return cardinals(root_, "_NET_CLIENT_LIST_STACKING"); }

  std::vector<std::uint32_t> cardinals(xcb_window_t window, const std::string& property) {
    const xcb::Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        get(), xcb_get_property(get(), 0, window, atom(property), XCB_ATOM_ANY, 0, 1 << 16),
        nullptr));
    if (!reply || reply->format != 32) return {};
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    return {values, values + xcb_get_property_value_length(reply.get()) / 4};
  }

  void setCardinals(xcb_window_t window, const std::string& property, xcb_atom_t type,
                    const std::vector<std::uint32_t>& values) {
    xcb_change_property(get(), XCB_PROP_MODE_REPLACE, window, atom(property), type, 32,
                        static_cast<std::uint32_t>(values.size()), values.data());
    sync();
  }

  void setText(xcb_window_t window, xcb_atom_t property, xcb_atom_t type, const std::string& text) {
    xcb_change_property(get(), XCB_PROP_MODE_REPLACE, window, property, type, 8,
                        static_cast<std::uint32_t>(text.size()), text.data());
  }

  void sync() {
    const xcb::Reply<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(get(), xcb_get_input_focus(get()), nullptr));
  }

 private:
  static constexpr std::uint32_t kIconicState = 3;

  static bool contains(const std::vector<std::uint32_t>& values, std::uint32_t value) {
    return std::find(values.begin(), values.end(), value) != values.end();
  }

  void setAtoms(xcb_window_t window, const std::string& property,
                const std::vector<std::string>& names) {
    std::vector<std::uint32_t> atoms;
    for (const std::string& name : names) atoms.push_back(atom(name));
    setCardinals(window, property, XCB_ATOM_ATOM, atoms);
  }

  void sendToRoot(const xcb_client_message_event_t& message) {
    xcb_send_event(get(), 0, root_,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(get());
  }

  xcb::Connection connection_;
  int screenNumber_ = 0;
  xcb_window_t root_ = XCB_WINDOW_NONE;
};

// GLib reads XDG_DATA_HOME and XDG_DATA_DIRS once per process and GIO
// scans the entries once, so all entries are written before the first
// lookup into one private directory that lasts as long as the process. The
// variables name it only while the suite runs: other suites start openbox,
// which finds its theme through XDG_DATA_DIRS.
class PrivateDesktopEntries {
 public:
  static PrivateDesktopEntries& instance() {
    static PrivateDesktopEntries entries;
    return entries;
  }

  void setEnvironment() {
    remember("XDG_DATA_HOME", (root_ / "home").string());
    remember("XDG_DATA_DIRS", (root_ / "system").string());
  }
  void restoreEnvironment() {
    for (const auto& [name, value] : previous_) {
      value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }
    previous_.clear();
  }

  // Whether GLib took its data directories from here: not so when
  // something in this process asked for them before the suite began.
  bool inEffect() const { return std::filesystem::path(g_get_user_data_dir()) == root_ / "home"; }

 private:
  PrivateDesktopEntries() {
    std::string path = (std::filesystem::temp_directory_path() / "glimra-xdg-XXXXXX").string();
    if (::mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = path;
    write("home", "org.example.GtkApp", "Name=Gtk App\n");
    write("home", "org.example.KdeApp", "Name=Kde App\n");
    write("home", "example-editor", "Name=Example Editor\nStartupWMClass=ExampleEditor\n");
    write("home", "viewer", "Name=Viewer\n");
    write("home", "vendor/tool", "Name=Vendor Tool\n");
    write("home", "org.example.Localized", "Name=Viewer\nName[fr]=Visionneuse\n");
    write("system", "org.example.SystemApp", "Name=System App\n");
    write("system", "org.example.Shadowed", "Name=System Copy\n");
    write("home", "org.example.Shadowed", "Name=User Copy\n");
    write("system", "org.example.Removed", "Name=Removed\n");
    write("home", "org.example.Removed", "Name=Removed\nHidden=true\n");
  }
  ~PrivateDesktopEntries() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  void remember(const std::string& name, const std::string& value) {
    const char* current = std::getenv(name.c_str());
    previous_[name] = current ? std::optional<std::string>(current) : std::nullopt;
    ::setenv(name.c_str(), value.c_str(), 1);
  }

  // `relativePath` below `dataDirectory`/applications, without ".desktop".
  void write(const std::string& dataDirectory, const std::string& relativePath,
             const std::string& keys) {
    const std::filesystem::path path =
        root_ / dataDirectory / "applications" / (relativePath + ".desktop");
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << "[Desktop Entry]\nType=Application\nExec=/bin/true\n" << keys;
  }

  std::filesystem::path root_;
  std::map<std::string, std::optional<std::string>> previous_;
};

class X11WindowServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // openbox finds its theme through XDG_DATA_DIRS, so it starts first.
    server_ = PrivateXServer::start({.withWindowManager = true}).release();
    PrivateDesktopEntries::instance().setEnvironment();
  }
  static void TearDownTestSuite() {
    PrivateDesktopEntries::instance().restoreEnvironment();
    delete server_;
  }

  X11WindowServiceTest() : display_(server_->display().c_str()), client_(server_->display()) {}

  // The records of `windows` in the list, in its order.
  std::vector<WindowRecord> recordsOf(const std::vector<xcb_window_t>& windows) {
    const std::optional<std::vector<WindowRecord>> all = service_.onScreenWindows();
    if (!all) throw std::runtime_error("no window list");
    std::vector<WindowRecord> records;
    for (const WindowRecord& record : *all) {
      if (record.number &&
          std::find(windows.begin(), windows.end(), *record.number) != windows.end()) {
        records.push_back(record);
      }
    }
    return records;
  }

  std::optional<WindowRecord> recordOf(xcb_window_t window) {
    std::vector<WindowRecord> records = recordsOf({window});
    if (records.empty()) return std::nullopt;
    return records.front();
  }

  static PrivateXServer* server_;
  ScopedDisplay display_;
  TestClient client_;
  X11WindowService service_;
};

PrivateXServer* X11WindowServiceTest::server_ = nullptr;

TEST_F(X11WindowServiceTest, FrontmostApplicationIsTheProcessOfTheActiveWindow) {
  const xcb_window_t ours = client_.showNew({});
  client_.activate(ours);
  std::optional<RunningApplication> application = service_.frontmostApplication();
  ASSERT_TRUE(application.has_value());
  EXPECT_EQ(application->processIdentifier, ::getpid());
  EXPECT_EQ(application->handle, ours);
  EXPECT_FALSE(application->isTerminated);

  const testing::UniqueFd nothing(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  testing::ChildProcess child = testing::ChildProcess::spawn(
      "true", {.standardOutput = nothing.get(), .standardError = nothing.get()});
  const pid_t endedPid = child.pid();
  child.wait();
  const xcb_window_t orphan = client_.showNew({.pid = static_cast<std::uint32_t>(endedPid)});
  client_.activate(orphan);
  application = service_.frontmostApplication();
  ASSERT_TRUE(application.has_value());
  EXPECT_EQ(application->processIdentifier, endedPid);
  EXPECT_TRUE(application->isTerminated);

  // Without _NET_WM_PID, the server names the process that made the window.
  const xcb_window_t anonymous = client_.showNew({.pid = std::nullopt});
  client_.activate(anonymous);
  application = service_.frontmostApplication();
  ASSERT_TRUE(application.has_value());
  EXPECT_EQ(application->processIdentifier, ::getpid());
  EXPECT_EQ(application->handle, anonymous);
}

TEST_F(X11WindowServiceTest, ListsWindowsFrontToBackAsTheyAreRaised) {
  const xcb_window_t first = client_.showNew({});
  const xcb_window_t second = client_.showNew({});
  const xcb_window_t third = client_.showNew({});
  client_.activate(third);
  client_.activate(second);
  client_.activate(first);
  std::vector<std::uint32_t> numbers;
  for (const WindowRecord& record : recordsOf({first, second, third})) {
    numbers.push_back(record.number.value());
  }
  EXPECT_EQ(numbers, (std::vector<std::uint32_t>{first, second, third}));

  client_.activate(third);
  numbers.clear();
  for (const WindowRecord& record : recordsOf({first, second, third})) {
    numbers.push_back(record.number.value());
  }
  EXPECT_EQ(numbers, (std::vector<std::uint32_t>{third, first, second}));
}

TEST_F(X11WindowServiceTest, DescribesAManagedWindowByItsFrame) {
  const xcb_window_t window = client_.showNew({.netName = "Report", .opacity = 0x80000000u});
  const std::optional<WindowRecord> record = recordOf(window);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->ownerPID, ::getpid());
  EXPECT_EQ(record->layer, 0);
  EXPECT_EQ(record->isOnscreen, true);
  EXPECT_FALSE(record->sharingState.has_value());
  ASSERT_TRUE(record->alpha.has_value());
  EXPECT_NEAR(*record->alpha, 0.5, 1e-6);

  const xcb_window_t frame = client_.frameOf(window);
  ASSERT_NE(frame, window) << "openbox reparents every managed window";
  ASSERT_TRUE(record->bounds.has_value());
  const Rect frameRectangle = client_.rectangleOfTopLevel(frame);
  EXPECT_EQ(*record->bounds, frameRectangle);
  // The frame's decorations surround the 300 x 200 client.
  EXPECT_GT(record->bounds->height, 200);

  const xcb_window_t opaque = client_.showNew({});
  EXPECT_FALSE(recordOf(opaque)->alpha.has_value());
  // Compositors read the opacity from the frame; a window manager may set it there alone.
  client_.setCardinals(client_.frameOf(opaque), "_NET_WM_WINDOW_OPACITY", XCB_ATOM_CARDINAL,
                       {0x40000000u});
  ASSERT_TRUE(recordOf(opaque)->alpha.has_value());
  EXPECT_NEAR(*recordOf(opaque)->alpha, 0.25, 1e-6);
}

TEST_F(X11WindowServiceTest, AMinimizedWindowIsNotOnScreen) {
  const xcb_window_t window = client_.showNew({});
  client_.minimize(window);
  const std::optional<WindowRecord> record = recordOf(window);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->isOnscreen, false);
}

TEST_F(X11WindowServiceTest, PutsOnlyNormalWindowsOnLayerZero) {
  struct Case {
    std::vector<std::string> types;
    std::vector<std::string> states;
    bool normal;
  };
  const std::vector<Case> cases = {
      {{}, {}, true},
      {{"_NET_WM_WINDOW_TYPE_NORMAL"}, {}, true},
      {{"_NET_WM_WINDOW_TYPE_DIALOG"}, {}, true},
      {{"_NET_WM_WINDOW_TYPE_UTILITY"}, {}, true},
      {{"_NET_WM_WINDOW_TYPE_DOCK"}, {}, false},
      {{"_NET_WM_WINDOW_TYPE_DESKTOP"}, {}, false},
      {{"_NET_WM_WINDOW_TYPE_NOTIFICATION"}, {}, false},
      {{"_KDE_NET_WM_WINDOW_TYPE_OVERRIDE", "_NET_WM_WINDOW_TYPE_DOCK"}, {}, false},
      {{}, {"_NET_WM_STATE_ABOVE"}, false},
      {{}, {"_NET_WM_STATE_BELOW"}, false},
  };
  for (const Case& test : cases) {
    const std::string name = test.types.empty() ? "untyped" : test.types.back();
    SCOPED_TRACE(name + (test.states.empty() ? "" : " " + test.states.front()));
    const xcb_window_t window = client_.showNew({.types = test.types, .states = test.states});
    const std::optional<WindowRecord> record = recordOf(window);
    ASSERT_TRUE(record.has_value());
    ASSERT_TRUE(record->layer.has_value());
    EXPECT_EQ(*record->layer == 0, test.normal) << "layer " << *record->layer;
    client_.destroy(window);
  }
}

TEST_F(X11WindowServiceTest, TakesTheTitleFromTheNetNameElseTheLegacyName) {
  struct Case {
    const char* label;
    WindowSetup setup;
    std::optional<std::string> title;
  };
  const std::vector<Case> cases = {
      {"both", {.netName = "Résumé ✓", .latin1Name = "Resume"}, "Résumé ✓"},
      {"legacy Latin-1", {.latin1Name = "Caf\xe9"}, "Café"},
      {"invalid UTF-8", {.netName = "a\xffz"}, "a\uFFFDz"},
      {"empty", {.netName = ""}, ""},
      {"none", {}, std::nullopt},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.label);
    const std::optional<WindowRecord> record = recordOf(client_.showNew(test.setup));
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->name, test.title);
  }
}

TEST_F(X11WindowServiceTest, NamesTheApplicationByItsDesktopEntry) {
  if (!PrivateDesktopEntries::instance().inEffect()) {
    GTEST_SKIP() << "GLib read its data directories before this suite; run it in a process "
                    "of its own, as ctest does";
  }
  struct Case {
    const char* label;
    WindowSetup setup;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> name;
  };
  const std::vector<Case> cases = {
      {"GTK application id",
       {.windowClass = std::string("gtkapp\0Gtkapp\0", 14),
        .gtkApplicationId = "org.example.GtkApp"},
       "org.example.GtkApp",
       "Gtk App"},
      {"KDE desktop file",
       {.kdeDesktopFile = "org.example.KdeApp"},
       "org.example.KdeApp",
       "Kde App"},
      {"StartupWMClass",
       {.windowClass = std::string("editor\0ExampleEditor\0", 21)},
       "example-editor",
       "Example Editor"},
      {"desktop id as instance",
       {.windowClass = std::string("VIEWER\0Pictures\0", 16)},
       "viewer",
       "Viewer"},
      {"unknown application id, known class",
       {.windowClass = std::string("editor\0ExampleEditor\0", 21),
        .gtkApplicationId = "org.example.Missing"},
       "example-editor",
       "Example Editor"},
      {"entry of XDG_DATA_DIRS",
       {.gtkApplicationId = "org.example.SystemApp"},
       "org.example.SystemApp",
       "System App"},
      {"XDG_DATA_HOME first",
       {.gtkApplicationId = "org.example.Shadowed"},
       "org.example.Shadowed",
       "User Copy"},
      {"hidden entry",
       {.windowClass = std::string("removed\0Removed\0", 16),
        .gtkApplicationId = "org.example.Removed"},
       std::nullopt,
       "Removed"},
      {"entry in a subdirectory",
       {.gtkApplicationId = "vendor-tool"},
       "vendor-tool",
       "Vendor Tool"},
      {"no entry", {.windowClass = std::string("tool\0Tool\0", 10)}, std::nullopt, "Tool"},
      {"no class", {}, std::nullopt, std::nullopt},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.label);
    const xcb_window_t window = client_.showNew(test.setup);
    client_.activate(window);
    const std::optional<RunningApplication> application = service_.frontmostApplication();
    ASSERT_TRUE(application.has_value());
    EXPECT_EQ(application->bundleIdentifier, test.bundleIdentifier);
    EXPECT_EQ(application->localizedName, test.name);
  }
}

TEST_F(X11WindowServiceTest, NamesTheApplicationInTheUsersLanguage) {
  if (!PrivateDesktopEntries::instance().inEffect()) {
    GTEST_SKIP() << "GLib read its data directories before this suite";
  }
  const char* previous = std::getenv("LANGUAGE");
  const std::optional<std::string> saved =
      previous ? std::optional<std::string>(previous) : std::nullopt;
  ::setenv("LANGUAGE", "fr", 1);
  client_.activate(client_.showNew({.gtkApplicationId = "org.example.Localized"}));
  const std::optional<RunningApplication> application = service_.frontmostApplication();
  saved ? ::setenv("LANGUAGE", saved->c_str(), 1) : ::unsetenv("LANGUAGE");
  ASSERT_TRUE(application.has_value());
  EXPECT_EQ(application->localizedName, "Visionneuse");
}

TEST_F(X11WindowServiceTest, NamesTheApplicationOfAProcessByItsFrontmostListedWindow) {
  if (!PrivateDesktopEntries::instance().inEffect()) {
    GTEST_SKIP() << "GLib read its data directories before this suite";
  }
  // Windows name their process themselves, so these ids need not be running.
  constexpr std::uint32_t kOwner = 0x7ffffff1;
  constexpr std::uint32_t kUnlisted = 0x7ffffff2;
  const xcb_window_t back =
      client_.showNew({.pid = kOwner, .gtkApplicationId = "org.example.KdeApp"});
  const xcb_window_t front =
      client_.showNew({.pid = kOwner, .gtkApplicationId = "org.example.GtkApp"});
  client_.activate(front);
  client_.create({.pid = kUnlisted, .gtkApplicationId = "org.example.SystemApp"});

  const std::optional<RunningApplication> owner = service_.runningApplication(kOwner);
  ASSERT_TRUE(owner.has_value());
  EXPECT_EQ(owner->processIdentifier, static_cast<std::int32_t>(kOwner));
  EXPECT_EQ(owner->handle, front);
  EXPECT_EQ(owner->bundleIdentifier, "org.example.GtkApp");
  EXPECT_EQ(owner->localizedName, "Gtk App");
  EXPECT_TRUE(owner->isTerminated) << "no such process runs";

  client_.activate(back);
  EXPECT_EQ(service_.runningApplication(kOwner).value().handle, back);
  EXPECT_EQ(service_.activeWindowProcess(), static_cast<std::int32_t>(kOwner));
  EXPECT_FALSE(service_.runningApplication(kUnlisted).has_value()) << "its window is not mapped";
  EXPECT_FALSE(service_.runningApplication(0).has_value());

  client_.activate(client_.showNew({}));
  EXPECT_EQ(service_.activeWindowProcess(), ::getpid());
  EXPECT_EQ(service_.runningApplication(::getpid()).value().processIdentifier, ::getpid());
}

// A _NET_WM_ICON of `width` x `height` pixels of `argb`, after `before`.
std::vector<std::uint32_t> iconImage(std::uint32_t width, std::uint32_t height, std::uint32_t argb,
                                     std::vector<std::uint32_t> before = {}) {
  before.push_back(width);
  before.push_back(height);
  before.insert(before.end(), std::size_t{width} * height, argb);
  return before;
}

std::vector<std::uint32_t> followedBy(std::vector<std::uint32_t> values,
                                      const std::vector<std::uint32_t>& more) {
  values.insert(values.end(), more.begin(), more.end());
  return values;
}

TEST_F(X11WindowServiceTest, TheIconIsTheFrontmostApplicationsOwn) {
  const xcb_window_t window = client_.showNew({.icon = iconImage(64, 64, 0xff2040ff)});
  client_.activate(window);
  const std::optional<RunningApplication> application = service_.frontmostApplication();
  ASSERT_TRUE(application.has_value());
  const std::optional<Image> icon = service_.applicationIcon(*application);
  ASSERT_TRUE(icon.has_value());
  EXPECT_EQ(std::pair(icon->width, icon->height), std::pair(64, 64));
  EXPECT_EQ(icon->at(10, 20), 0xff2040ffu);
}

// Without a window manager, which would give a window without an icon one
// of its own, and which the test plays itself where the service needs one.
class X11WindowServiceBareServerTest : public ::testing::Test {
 protected:
  X11WindowServiceBareServerTest()
      : server_(PrivateXServer::start()),
        display_(server_->display().c_str()),
        client_(server_->display()) {}

  std::optional<Image> iconOf(xcb_window_t window) {
    RunningApplication application;
    application.handle = window;
    return service_.applicationIcon(application);
  }

  std::unique_ptr<PrivateXServer> server_;
  ScopedDisplay display_;
  TestClient client_;
  X11WindowService service_;
};

TEST_F(X11WindowServiceBareServerTest, ChoosesTheIconSizeAndPremultipliesIt) {
  struct Case {
    const char* label;
    std::optional<std::vector<std::uint32_t>> icon;
    std::optional<std::pair<int, int>> size;
  };
  const std::vector<Case> cases = {
      {"smallest of at least 64",
       iconImage(64, 64, 0x80ff4020,
                 iconImage(128, 128, 0xff000000, iconImage(16, 16, 0xff000000))),
       std::pair{64, 64}},
      {"else the largest", iconImage(16, 16, 0xff000000, iconImage(48, 32, 0x80ff4020)),
       std::pair{48, 32}},
      {"64 wide is not enough when 40 high",
       iconImage(96, 96, 0x80ff4020, iconImage(64, 40, 0xff000000)), std::pair{96, 96}},
      {"empty images skipped", iconImage(2, 3, 0x80ff4020, {0, 0, 0, 7}), std::pair{2, 3}},
      {"overrunning sizes end the list",
       followedBy(iconImage(4, 4, 0x80ff4020), {0xffffffffu, 0xffffffffu, 1}), std::pair{4, 4}},
      {"huge size only", std::vector<std::uint32_t>{100000, 100000, 1, 2, 3}, std::nullopt},
      {"one number", std::vector<std::uint32_t>{64}, std::nullopt},
      {"no icon", std::nullopt, std::nullopt},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.label);
    const std::optional<Image> icon = iconOf(client_.create({.icon = test.icon}));
    ASSERT_EQ(icon.has_value(), test.size.has_value());
    if (!icon) continue;
    EXPECT_EQ(std::pair(icon->width, icon->height), *test.size);
    EXPECT_EQ(icon->alpha, Image::Alpha::premultiplied);
    ASSERT_EQ(icon->pixels.size(), std::size_t(icon->width) * icon->height);
    // 0x80ff4020 with its colour scaled by 128/255.
    EXPECT_EQ(icon->at(icon->width - 1, icon->height - 1), 0x80802010u);
  }
}

TEST_F(X11WindowServiceBareServerTest, WindowsThatAreGoneDropOutQuietly) {
  EXPECT_FALSE(service_.onScreenWindows().has_value()) << "no window manager, no window list";

  const xcb_window_t kept = client_.create({.netName = "Kept"});
  xcb_map_window(client_.get(), kept);
  const xcb_window_t gone = client_.create({.netName = "Gone", .icon = iconImage(2, 2, ~0u)});
  client_.destroy(gone);
  client_.setCardinals(client_.root(), "_NET_CLIENT_LIST_STACKING", XCB_ATOM_WINDOW, {gone, kept});
  client_.setCardinals(client_.root(), "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, {gone});

  StandardErrorCapture standardError;
  const std::optional<std::vector<WindowRecord>> windows = service_.onScreenWindows();
  const std::optional<RunningApplication> application = service_.frontmostApplication();
  const std::optional<Image> icon = iconOf(gone);
  EXPECT_EQ(standardError.text(), "");

  ASSERT_TRUE(windows.has_value());
  ASSERT_EQ(windows->size(), 1u);
  EXPECT_EQ(windows->front().number, kept);
  EXPECT_EQ(windows->front().name, "Kept");
  EXPECT_EQ(windows->front().isOnscreen, true);
  // An unmanaged window is its own frame.
  EXPECT_EQ(windows->front().bounds, (Rect{50, 60, 300, 200}));
  EXPECT_FALSE(application.has_value());
  EXPECT_FALSE(icon.has_value());

  client_.setCardinals(client_.root(), "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, {kept});
  EXPECT_EQ(service_.frontmostApplication().value().handle, kept);
}

TEST(X11WindowServiceWithoutDisplayTest, AnswersNothing) {
  for (const char* unusable : {static_cast<const char*>(nullptr), "", ":4095"}) {
    SCOPED_TRACE(unusable ? unusable : "unset");
    const ScopedDisplay display(unusable);
    X11WindowService service;
    EXPECT_FALSE(service.frontmostApplication().has_value());
    EXPECT_FALSE(service.onScreenWindows().has_value());
    EXPECT_FALSE(service.activeWindowProcess().has_value());
    EXPECT_FALSE(service.runningApplication(::getpid()).has_value());
    RunningApplication application;
    application.handle = 1;
    EXPECT_FALSE(service.applicationIcon(application).has_value());
  }
}

}  // namespace
}  // namespace glimra

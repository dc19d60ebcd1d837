#define G_SETTINGS_ENABLE_BACKEND
#include "platform/linux/x11_capture_feedback_service.h"

#include <fcntl.h>
#include <gio/gsettingsbackend.h>
#include <gtest/gtest.h>
#include <sys/uio.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/shape.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/x11_properties.h"
#include "platform/linux/xcb_handles.h"
#include "support/eventually.h"
#include "support/private_x_server.h"
#include "support/scoped_display.h"
#include "support/subprocess.h"
#include "support/test_window.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::eventually;
using testing::PrivateXServer;
using testing::ScopedDisplay;
using testing::UniqueFd;

constexpr int kRootWidth = 1280;
constexpr int kRootHeight = 800;

// Fails the test when anything reaches standard error while it lives.
class QuietStandardError {
 public:
  QuietStandardError() { ::testing::internal::CaptureStderr(); }
  ~QuietStandardError() { EXPECT_EQ(::testing::internal::GetCapturedStderr(), ""); }
};

// A private server 1280 x 800 and a connection of the test's own to look at
// it; DISPLAY names the server while the fixture lives.
class X11CaptureFeedbackServiceTest : public ::testing::Test {
 protected:
  X11CaptureFeedbackServiceTest()
      : server_(PrivateXServer::start({.width = kRootWidth, .height = kRootHeight})),
        display_(server_->display().c_str()),
        connection_(xcb::connectToDisplay(&screenNumber_)) {
    if (!connection_) throw std::runtime_error("cannot connect to " + server_->display());
    root_ = xcb::screenOfDisplay(connection_.get(), screenNumber_)->root;
  }

  void startCompositingManager() { compositor_.emplace(server_->display()); }

  std::set<xcb_window_t> topLevelWindows() {
    const xcb::Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection_.get(), xcb_query_tree(connection_.get(), root_), nullptr));
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    return {children, children + xcb_query_tree_children_length(tree.get())};
  }

  // The top-level window above all others.
  xcb_window_t topMostWindow() {
    const xcb::Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection_.get(), xcb_query_tree(connection_.get(), root_), nullptr));
    const int count = xcb_query_tree_children_length(tree.get());
    if (count == 0) return XCB_WINDOW_NONE;
    return xcb_query_tree_children(tree.get())[count - 1];
  }

  // The one top-level window that is not in `before`, or none.
  xcb_window_t newTopLevelWindow(const std::set<xcb_window_t>& before) {
    xcb_window_t found = XCB_WINDOW_NONE;
    for (const xcb_window_t window : topLevelWindows()) {
      if (before.count(window) != 0) continue;
      if (found != XCB_WINDOW_NONE) return XCB_WINDOW_NONE;
      found = window;
    }
    return found;
  }

  xcb::Reply<xcb_get_window_attributes_reply_t> attributes(xcb_window_t window) {
    xcb_generic_error_t* error = nullptr;
    xcb::Reply<xcb_get_window_attributes_reply_t> reply(xcb_get_window_attributes_reply(
        connection_.get(), xcb_get_window_attributes(connection_.get(), window), &error));
    const xcb::Error released(error);
    return reply;
  }

  bool hasMapState(xcb_window_t window, std::uint8_t state) {
    const auto reply = attributes(window);
    return reply && reply->map_state == state;
  }

  std::vector<std::uint32_t> cardinals(xcb_window_t window, const char* property, xcb_atom_t type) {
    return xcb::readCardinals(connection_.get(), window,
                              xcb::internAtom(connection_.get(), property), type)
        .value_or(std::vector<std::uint32_t>{});
  }

  // The ARGB value of one pixel of the window's own contents.
  std::optional<std::uint32_t> pixel(xcb_window_t window, int x, int y) {
    const xcb::Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
        connection_.get(),
        xcb_get_image(connection_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, window,
                      static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 1, 1, ~0u),
        nullptr));
    if (!image || xcb_get_image_data_length(image.get()) < 4) return std::nullopt;
    std::uint32_t value;
    std::memcpy(&value, xcb_get_image_data(image.get()), 4);  // the server's byte order is ours
    return value;
  }

  // Adds a RandR monitor that lasts while the test's connection does. Sent
  // by hand: libxcb-randr's generated SetMonitor request sometimes closed
  // the connection with a wrong request length here.
  xcb_atom_t addMonitor(const char* name, std::int16_t x, std::int16_t y, std::uint16_t width,
                        std::uint16_t height) {
    xcb_randr_monitor_info_t monitor{};
    monitor.name = xcb::internAtom(connection_.get(), name);
    monitor.x = x;
    monitor.y = y;
    monitor.width = width;
    monitor.height = height;
    struct {
      std::uint8_t majorOpcode = 0;  // filled in by xcb
      std::uint8_t minorOpcode = 0;
      std::uint16_t length = 0;
      xcb_window_t window;
    } header;
    header.window = root_;
    static const xcb_protocol_request_t request = {2, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    iovec parts[4];  // xcb uses the two before the request's own
    parts[2] = {&header, sizeof header};
    parts[3] = {&monitor, sizeof monitor};
    const xcb_void_cookie_t cookie = {
        xcb_send_request(connection_.get(), XCB_REQUEST_CHECKED, parts + 2, &request)};
    EXPECT_EQ(xcb::Error(xcb_request_check(connection_.get(), cookie)), nullptr) << name;
    return monitor.name;
  }

  std::unique_ptr<PrivateXServer> server_;
  ScopedDisplay display_;
  int screenNumber_ = 0;
  xcb::Connection connection_;
  xcb_window_t root_ = XCB_WINDOW_NONE;
  std::optional<testing::RunningCompositor> compositor_;
};

TEST_F(X11CaptureFeedbackServiceTest, ScreensAreTheRandRMonitorsFlippedIntoScreenSpace) {
  const xcb_atom_t left = addMonitor("GLIMRA-LEFT", 0, 0, 640, 500);
  const xcb_atom_t right = addMonitor("GLIMRA-RIGHT", 640, 100, 640, 700);
  const QuietStandardError quiet;
  X11CaptureFeedbackService service;

  std::map<std::uint32_t, Rect> frames;
  for (const Screen& screen : service.screens()) {
    ASSERT_TRUE(screen.displayID.has_value());
    frames[*screen.displayID] = screen.frame;
  }
  ASSERT_EQ(frames.size(), 3u);  // with Xvfb's own monitor over the whole root
  EXPECT_EQ(frames[left], (Rect{0, 300, 640, 500}));
  EXPECT_EQ(frames[right], (Rect{640, 0, 640, 700}));
  frames.erase(left);
  frames.erase(right);
  EXPECT_EQ(frames.begin()->second, (Rect{0, 0, kRootWidth, kRootHeight}));
  EXPECT_EQ(service.displayBounds(frames.begin()->first), (Rect{0, 0, kRootWidth, kRootHeight}));

  EXPECT_EQ(service.displayBounds(left), (Rect{0, 0, 640, 500}));
  EXPECT_EQ(service.displayBounds(right), (Rect{640, 100, 640, 700}));
  EXPECT_EQ(service.displayBounds(0), Rect{});
  EXPECT_EQ(service.displayBounds(0xfffffff0u), Rect{});
}

TEST_F(X11CaptureFeedbackServiceTest, NoPanelWithoutACompositingManager) {
  const QuietStandardError quiet;
  X11CaptureFeedbackService service;
  const std::set<xcb_window_t> before = topLevelWindows();
  EXPECT_EQ(service.makeFlashPanel({100, 100, 300, 200}), nullptr);
  EXPECT_EQ(topLevelWindows(), before);
}

TEST_F(X11CaptureFeedbackServiceTest, APanelIsAnUnmanagedClickThroughWhiteARGBWindow) {
  startCompositingManager();
  const QuietStandardError quiet;
  X11CaptureFeedbackService service;
  const std::set<xcb_window_t> before = topLevelWindows();

  // Root rows 249.75 to 650.25 and columns 100.5 to 400.7, in whole pixels.
  std::unique_ptr<FlashPanel> panel = service.makeFlashPanel({100.5, 149.75, 300.2, 400.5});
  ASSERT_NE(panel, nullptr);
  const xcb_window_t window = newTopLevelWindow(before);
  ASSERT_NE(window, XCB_WINDOW_NONE);

  const xcb::Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(
      connection_.get(), xcb_get_geometry(connection_.get(), window), nullptr));
  ASSERT_TRUE(geometry);
  EXPECT_EQ(geometry->depth, 32);
  EXPECT_EQ(geometry->x, 100);
  EXPECT_EQ(geometry->y, 249);
  EXPECT_EQ(geometry->width, 301);
  EXPECT_EQ(geometry->height, 402);
  EXPECT_EQ(geometry->border_width, 0);

  const auto initial = attributes(window);
  ASSERT_TRUE(initial);
  EXPECT_TRUE(initial->override_redirect);
  EXPECT_EQ(initial->map_state, XCB_MAP_STATE_UNMAPPED);

  const xcb::Reply<xcb_shape_get_rectangles_reply_t> inputShape(xcb_shape_get_rectangles_reply(
      connection_.get(), xcb_shape_get_rectangles(connection_.get(), window, XCB_SHAPE_SK_INPUT),
      nullptr));
  ASSERT_TRUE(inputShape);
  EXPECT_EQ(inputShape->rectangles_len, 0u);

  EXPECT_EQ(cardinals(window, "_NET_WM_WINDOW_OPACITY", XCB_ATOM_CARDINAL),
            std::vector<std::uint32_t>{0});
  EXPECT_EQ(cardinals(window, "_NET_WM_WINDOW_TYPE", XCB_ATOM_ATOM),
            std::vector<std::uint32_t>{
                xcb::internAtom(connection_.get(), "_NET_WM_WINDOW_TYPE_NOTIFICATION")});
  EXPECT_EQ(
      cardinals(window, "_NET_WM_STATE", XCB_ATOM_ATOM),
      (std::vector<std::uint32_t>{xcb::internAtom(connection_.get(), "_NET_WM_STATE_ABOVE"),
                                  xcb::internAtom(connection_.get(), "_NET_WM_STATE_SKIP_TASKBAR"),
                                  xcb::internAtom(connection_.get(), "_NET_WM_STATE_SKIP_PAGER")}));

  panel->orderFront();
  EXPECT_TRUE(eventually([&] { return hasMapState(window, XCB_MAP_STATE_VIEWABLE); }));
  // Opaque white inside, the rounded-off corners transparent, their edge in
  // between.
  EXPECT_TRUE(eventually([&] { return pixel(window, 0, 0) == 0u; }));
  EXPECT_EQ(pixel(window, 300, 401), 0u);
  EXPECT_EQ(pixel(window, 150, 200), 0xffffffffu);
  EXPECT_EQ(pixel(window, 150, 0), 0xffffffffu);
  EXPECT_EQ(pixel(window, 0, 200), 0xffffffffu);
  const std::uint32_t edge = pixel(window, 3, 2).value_or(0);
  EXPECT_GT(edge >> 24, 0u);
  EXPECT_LT(edge >> 24, 0xffu);
  EXPECT_EQ(edge, (edge >> 24) * 0x01010101u) << "premultiplied white";
  EXPECT_EQ(pixel(window, 300 - 3, 401 - 2), edge);  // the opposite corner, mirrored

  for (const double alpha : {0.34, 1.0, 0.0}) {
    panel->setAlpha(alpha);
    const auto expected = static_cast<std::uint32_t>(std::llround(alpha * 0xffffffff));
    EXPECT_TRUE(eventually([&] {
      return cardinals(window, "_NET_WM_WINDOW_OPACITY", XCB_ATOM_CARDINAL) ==
             std::vector<std::uint32_t>{expected};
    })) << alpha;
  }

  panel->orderOut();
  EXPECT_TRUE(eventually([&] { return hasMapState(window, XCB_MAP_STATE_UNMAPPED); }));
  panel->orderFront();
  EXPECT_TRUE(eventually([&] { return hasMapState(window, XCB_MAP_STATE_VIEWABLE); }));
  panel.reset();
  EXPECT_TRUE(eventually([&] { return attributes(window) == nullptr; }));
}

TEST_F(X11CaptureFeedbackServiceTest, ANewPanelGoesAboveOtherWindows) {
  startCompositingManager();
  const QuietStandardError quiet;
  X11CaptureFeedbackService service;
  const std::set<xcb_window_t> before = topLevelWindows();
  std::unique_ptr<FlashPanel> panel = service.makeFlashPanel({0, 0, 200, 200});
  ASSERT_NE(panel, nullptr);
  const xcb_window_t window = newTopLevelWindow(before);

  // A window of another client, mapped and raised after the panel was made.
  const xcb_window_t other = xcb_generate_id(connection_.get());
  xcb_create_window(connection_.get(), XCB_COPY_FROM_PARENT, other, root_, 0, 0, 300, 300, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
  // Checked, so the server has it before the panel is raised.
  ASSERT_EQ(xcb::Error(xcb_request_check(connection_.get(),
                                         xcb_map_window_checked(connection_.get(), other))),
            nullptr);
  ASSERT_EQ(topMostWindow(), other);

  panel->orderFront();
  EXPECT_TRUE(eventually([&] { return topMostWindow() == window; }));
}

TEST(X11CaptureFeedbackServiceWithoutDisplayTest, HasNoScreensAndNoPanels) {
  const QuietStandardError quiet;
  for (const char* unusable : {static_cast<const char*>(nullptr), ":4095"}) {
    const ScopedDisplay display(unusable);
    X11CaptureFeedbackService service;
    EXPECT_TRUE(service.screens().empty());
    EXPECT_EQ(service.displayBounds(0), Rect{});
    EXPECT_EQ(service.makeFlashPanel({0, 0, 100, 100}), nullptr);
  }
}

// A directory of compiled settings schemas, removed with the object.
class CompiledSchemas {
 public:
  explicit CompiledSchemas(const std::string& schemaXml) {
    std::string path = (std::filesystem::temp_directory_path() / "glimra-schemas-XXXXXX").string();
    if (::mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory_ = path;
    std::ofstream(directory_ / "glimra-test.gschema.xml") << schemaXml;
    const testing::ProcessResult compiled =
        testing::runProcess("glib-compile-schemas", {.arguments = {directory_.string()}});
    if (compiled.exitStatus != 0) {
      throw std::runtime_error("glib-compile-schemas failed: " + compiled.standardError);
    }
    GError* error = nullptr;
    source_ =
        g_settings_schema_source_new_from_directory(directory_.c_str(), nullptr, FALSE, &error);
    if (source_ == nullptr) {
      const std::string message = error->message;
      g_error_free(error);
      throw std::runtime_error("cannot load the compiled schemas: " + message);
    }
  }
  ~CompiledSchemas() {
    g_settings_schema_source_unref(source_);
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  CompiledSchemas(const CompiledSchemas&) = delete;
  CompiledSchemas& operator=(const CompiledSchemas&) = delete;

  GSettingsSchemaSource* source() const { return source_; }

 private:
  std::filesystem::path directory_;
  GSettingsSchemaSource* source_ = nullptr;
};

std::string schemaList(const std::string& id, const std::string& keys) {
  return "<schemalist><schema id=\"" + id + "\" path=\"/" + id + "/\">" + keys +
         "</schema></schemalist>";
}

const std::string kAnimationsKey =
    "<key name=\"enable-animations\" type=\"b\"><default>true</default></key>";

// The desktop's settings, as a desktop session keeps them, in memory.
class ReduceMotionTest : public ::testing::Test {
 protected:
  ReduceMotionTest() : backend_(g_memory_settings_backend_new()) {}
  ~ReduceMotionTest() override { g_object_unref(backend_); }

  // Sets enable-animations as the user would, through GSettings.
  void setAnimations(const CompiledSchemas& schemas, bool enabled) {
    GSettingsSchema* schema =
        g_settings_schema_source_lookup(schemas.source(), "org.gnome.desktop.interface", FALSE);
    ASSERT_NE(schema, nullptr);
    GSettings* settings = g_settings_new_full(schema, backend_, nullptr);
    EXPECT_TRUE(g_settings_set_boolean(settings, "enable-animations", enabled));
    g_object_unref(settings);
    g_settings_schema_unref(schema);
  }

  GSettingsBackend* backend_;
};

TEST_F(ReduceMotionTest, FollowsEnableAnimationsWhileTheServiceLives) {
  const CompiledSchemas schemas(schemaList("org.gnome.desktop.interface", kAnimationsKey));
  const QuietStandardError quiet;
  X11CaptureFeedbackService service({.schemas = schemas.source(), .backend = backend_});
  EXPECT_FALSE(service.reduceMotion());  // animations are on by default
  setAnimations(schemas, false);
  EXPECT_TRUE(service.reduceMotion());
  setAnimations(schemas, true);
  EXPECT_FALSE(service.reduceMotion());
}

TEST_F(ReduceMotionTest, MotionIsNotReducedWithoutTheSetting) {
  const std::map<std::string, std::string> cases = {
      {"another schema only", schemaList("org.example.other", kAnimationsKey)},
      {"the schema without the key",
       schemaList("org.gnome.desktop.interface",
                  "<key name=\"gtk-theme\" type=\"s\"><default>'Adwaita'</default></key>")},
      {"the key as a string",
       schemaList("org.gnome.desktop.interface",
                  "<key name=\"enable-animations\" type=\"s\"><default>'no'</default></key>")},
  };
  for (const auto& [name, schemaXml] : cases) {
    SCOPED_TRACE(name);
    const CompiledSchemas schemas(schemaXml);
    const QuietStandardError quiet;
    X11CaptureFeedbackService service({.schemas = schemas.source(), .backend = backend_});
    EXPECT_FALSE(service.reduceMotion());
  }
}

}  // namespace
}  // namespace glimra

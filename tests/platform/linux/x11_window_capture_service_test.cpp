#include "platform/linux/x11_window_capture_service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/linux/x11_properties.h"
#include "platform/linux/xcb_handles.h"
#include "runtime/thread_serial_queue.h"
#include "support/private_x_server.h"
#include "support/test_window.h"
#include "support/process_probes.h"
#include "support/scoped_display.h"
#include "support/subprocess.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::PrivateXServer;
using testing::ScopedDisplay;
using testing::UniqueFd;

// Only to turn a hang into a failure; nothing waits this long when it passes.
constexpr auto kHangGuard = 10s;

constexpr std::uint32_t kClientColour = 0x3366cc;
constexpr std::uint32_t kMarkColour = 0xcc3333;
constexpr std::uint32_t kCoverColour = 0x33cc33;
constexpr int kClientWidth = 300;
constexpr int kClientHeight = 200;
// The mark in the client's top-left corner, which shows the orientation.
constexpr int kMarkWidth = 40;
constexpr int kMarkHeight = 30;

bool pollUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Standard error, sent to an in-memory file while the test runs, so that
// anything written to it shows as a failure.
class StandardErrorProbe {
 public:
  StandardErrorProbe() : saved_(dup(STDERR_FILENO)), file_(memfd_create("stderr", MFD_CLOEXEC)) {
    dup2(file_.get(), STDERR_FILENO);
  }
  StandardErrorProbe(const StandardErrorProbe&) = delete;
  StandardErrorProbe& operator=(const StandardErrorProbe&) = delete;
  ~StandardErrorProbe() { dup2(saved_.get(), STDERR_FILENO); }

  std::string written() const {
    std::string text;
    char buffer[4096];
    ssize_t count;
    while ((count = pread(file_.get(), buffer, sizeof buffer, static_cast<off_t>(text.size()))) >
           0) {
      text.append(buffer, static_cast<std::size_t>(count));
    }
    return text;
  }

 private:
  UniqueFd saved_;
  UniqueFd file_;
};

// What one stream did: its start error, its sample or why it stopped.
struct StreamOutcome {
  std::optional<std::string> startError;
  std::optional<StreamSample> sample;
  std::optional<std::string> stopDescription;
};

// The shared memory segments this process has mapped for frames.
int mappedFrameSegments() {
  std::ifstream maps("/proc/self/maps");
  int count = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.find("glimra-window-frame") != std::string::npos) ++count;
  }
  return count;
}

// A private Xvfb with openbox and a test client painted in one colour with
// a mark in its top-left corner; the test's own connection makes windows.
class X11WindowCaptureServiceTest : public ::testing::Test {
 protected:
  X11WindowCaptureServiceTest()
      : server_(PrivateXServer::start({.withWindowManager = true, .width = 1024, .height = 768})),
        display_(server_->display().c_str()),
        connection_(xcb::connectToDisplay(&screenNumber_)) {
    screen_ = xcb::screenOfDisplay(connection_.get(), screenNumber_);
    awaitSettledWindowManager();
  }

  void TearDown() override { EXPECT_EQ(standardError_.written(), ""); }

  xcb_connection_t* connection() { return connection_.get(); }
  xcb_window_t root() const { return screen_->root; }

  xcb_window_t createWindow(xcb_window_t parent, int x, int y, int width, int height,
                            std::uint32_t colour, bool overrideRedirect = false) {
    const xcb_window_t window = xcb_generate_id(connection());
    const std::uint32_t values[] = {colour, overrideRedirect ? 1u : 0u};
    const xcb::Error error(xcb_request_check(
        connection(),
        xcb_create_window_checked(
            connection(), XCB_COPY_FROM_PARENT, window, parent, static_cast<std::int16_t>(x),
            static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
            static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
            XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values)));
    EXPECT_EQ(error, nullptr);
    return window;
  }

  // The test client: the window manager has framed it and it is viewable.
  xcb_window_t createClient() {
    const xcb_window_t client =
        createWindow(root(), 100, 100, kClientWidth, kClientHeight, kClientColour);
    const xcb_window_t mark = createWindow(client, 0, 0, kMarkWidth, kMarkHeight, kMarkColour);
    xcb_map_window(connection(), mark);
    mapManaged(client);
    return client;
  }

  // Maps a client and waits until the window manager has framed it and the
  // frame has its final size. The map request is repeated now and then, as
  // one that reaches openbox while it still sets itself up is lost.
  void mapManaged(xcb_window_t client) {
    int polls = 0;
    EXPECT_TRUE(pollUntil([&] {
      if (polls++ % 20 == 0) {
        xcb_map_window(connection(), client);
        xcb_flush(connection());
      }
      return isListed(client) && isViewable(client) && frameFitsClient(client);
    })) << "the window manager did not take the window";
  }

  // openbox announces itself before it has finished setting up, and the
  // windows mapped meanwhile may be lost or framed wrongly. Once it has
  // framed a window of ours, it handles map requests as they come.
  void awaitSettledWindowManager() {
    const xcb_window_t probe = createWindow(root(), 0, 0, 50, 50, 0);
    mapManaged(probe);
    xcb_destroy_window(connection(), probe);
    xcb_flush(connection());
  }

  // Whether the frame is the client with the decorations the window
  // manager announces around it.
  bool frameFitsClient(xcb_window_t client) {
    const auto extents =
        xcb::readCardinals(connection(), client,
                           xcb::internAtom(connection(), "_NET_FRAME_EXTENTS"), XCB_ATOM_CARDINAL);
    const xcb::Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection(), xcb_get_geometry(connection(), client), nullptr));
    if (!extents || extents->size() != 4 || !geometry) return false;
    const Rect frame = outerBounds(frameOf(client));
    const auto& [left, right, top, bottom] =
        std::tie((*extents)[0], (*extents)[1], (*extents)[2], (*extents)[3]);
    return frame.width == geometry->width + left + right &&
           frame.height == geometry->height + top + bottom;
  }

  bool isListed(xcb_window_t client) {
    const auto clients = xcb::readCardinals(
        connection(), root(), xcb::internAtom(connection(), "_NET_CLIENT_LIST_STACKING"),
        XCB_ATOM_WINDOW);
    return clients && std::find(clients->begin(), clients->end(), client) != clients->end();
  }

  bool isViewable(xcb_window_t window) {
    const xcb::Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
        connection(), xcb_get_window_attributes(connection(), window), nullptr));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  }

  // The window manager's frame: the ancestor that is a child of the root.
  xcb_window_t frameOf(xcb_window_t window) {
    while (true) {
      const xcb::Reply<xcb_query_tree_reply_t> tree(
          xcb_query_tree_reply(connection(), xcb_query_tree(connection(), window), nullptr));
      if (!tree) return XCB_WINDOW_NONE;
      if (tree->parent == tree->root) return window;
      window = tree->parent;
    }
  }

  // Asks the window manager to move the client's frame so that its outer
  // corner is at (x, y) and waits until it is there. Then paints the client
  // again, as a client does when exposed: contents that were beyond the
  // screen may be lost on the way.
  void moveFrame(xcb_window_t client, int x, int y) {
    xcb_client_message_event_t move{};
    move.response_type = XCB_CLIENT_MESSAGE;
    move.format = 32;
    move.window = client;
    move.type = xcb::internAtom(connection(), "_NET_MOVERESIZE_WINDOW");
    // Static gravity would name the client's corner; north-west names the frame's.
    move.data.data32[0] = XCB_GRAVITY_NORTH_WEST | 1 << 8 | 1 << 9 | 2 << 12;
    move.data.data32[1] = static_cast<std::uint32_t>(x);
    move.data.data32[2] = static_cast<std::uint32_t>(y);
    xcb_send_event(connection(), 0, root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&move));
    xcb_flush(connection());
    ASSERT_TRUE(pollUntil([&] {
      const Rect bounds = outerBounds(frameOf(client));
      return bounds.x == x && bounds.y == y;
    })) << "the window manager did not move the window";

    const xcb::Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection(), xcb_query_tree(connection(), client), nullptr));
    ASSERT_TRUE(tree);
    std::vector<xcb_window_t> painted(
        xcb_query_tree_children(tree.get()),
        xcb_query_tree_children(tree.get()) + xcb_query_tree_children_length(tree.get()));
    painted.push_back(client);
    for (const xcb_window_t window : painted) {
      const xcb::Error clearError(xcb_request_check(
          connection(), xcb_clear_area_checked(connection(), 0, window, 0, 0, 0, 0)));
      EXPECT_EQ(clearError, nullptr);
    }
  }

  // A child of the root has its outer corner at the geometry's x and y.
  Rect outerBounds(xcb_window_t childOfRoot) {
    const xcb::Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection(), xcb_get_geometry(connection(), childOfRoot), nullptr));
    if (!geometry) return {};
    const int border = geometry->border_width;
    return {static_cast<double>(geometry->x), static_cast<double>(geometry->y),
            static_cast<double>(geometry->width + 2 * border),
            static_cast<double>(geometry->height + 2 * border)};
  }

  // Where the client's pixels start in an image of its frame.
  std::pair<int, int> clientOffsetInFrame(xcb_window_t client) {
    const xcb_window_t frame = frameOf(client);
    const xcb::Reply<xcb_translate_coordinates_reply_t> offset(xcb_translate_coordinates_reply(
        connection(), xcb_translate_coordinates(connection(), client, frame, 0, 0), nullptr));
    const xcb::Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection(), xcb_get_geometry(connection(), frame), nullptr));
    if (!offset || !geometry) return {-1, -1};
    return {offset->dst_x + geometry->border_width, offset->dst_y + geometry->border_width};
  }

  std::vector<ShareableWindow> shareableWindows() {
    std::mutex mutex;
    std::condition_variable answered;
    std::optional<std::vector<ShareableWindow>> windows;
    std::optional<std::string> error;
    bool done = false;
    const std::thread::id caller = std::this_thread::get_id();
    bool calledBack = false;
    service_.requestShareableWindows([&](auto list, auto description) {
      const std::lock_guard lock(mutex);
      EXPECT_NE(std::this_thread::get_id(), caller);
      EXPECT_FALSE(calledBack);
      calledBack = true;
      windows = std::move(list);
      error = std::move(description);
      done = true;
      answered.notify_all();
    });
    std::unique_lock lock(mutex);
    EXPECT_TRUE(answered.wait_for(lock, kHangGuard, [&] { return done; }));
    EXPECT_EQ(error, std::nullopt);
    return windows.value_or(std::vector<ShareableWindow>{});
  }

  std::optional<ShareableWindow> listed(xcb_window_t client) {
    for (const ShareableWindow& window : shareableWindows()) {
      if (window.windowID == client) return window;
    }
    return std::nullopt;
  }

  // Runs one stream of `window` to its sample or its stop. `beforeStart`
  // runs once the output is in place.
  StreamOutcome runStream(const ShareableWindow& window, StreamConfiguration configuration,
                          const std::function<void()>& beforeStart = {}) {
    struct Shared {
      std::mutex mutex;
      std::condition_variable changed;
      StreamOutcome outcome;
      bool ended = false;
    };
    auto shared = std::make_shared<Shared>();
    auto end = [shared](const std::function<void(StreamOutcome&)>& record) {
      const std::lock_guard lock(shared->mutex);
      record(shared->outcome);
      shared->ended = true;
      shared->changed.notify_all();
    };

    auto queue = std::make_shared<ThreadSerialQueue>("test-output");
    const std::shared_ptr<WindowStream> stream =
        service_.makeStream(window, configuration, [end](std::string description) {
          end([&](StreamOutcome& outcome) { outcome.stopDescription = description; });
        });
    EXPECT_EQ(stream->addOutput(queue,
                                // The queue outlives its tasks: it is destroyed below, which
                                // waits for the running one.
                                [end, queue = queue.get()](StreamSample sample) {
                                  EXPECT_TRUE(queue->isCurrent());
                                  end([&](StreamOutcome& outcome) { outcome.sample = sample; });
                                }),
              std::nullopt);
    if (beforeStart) beforeStart();
    stream->start([end](std::optional<std::string> error) {
      if (error) end([&](StreamOutcome& outcome) { outcome.startError = error; });
    });

    std::unique_lock lock(shared->mutex);
    EXPECT_TRUE(shared->changed.wait_for(lock, kHangGuard, [&] { return shared->ended; }));
    StreamOutcome outcome = shared->outcome;
    lock.unlock();
    stream->stop();
    stream->stop();
    return outcome;
  }

  void startCompositingManager() { compositor_.emplace(server_->display()); }

  // Adds a RandR monitor spanning the screen's height. The request is built
  // here, since libxcb's xcb_randr_set_monitor sends a broken length.
  void setMonitor(const char* name, int x, int width) {
    struct SetMonitorRequest {
      std::uint8_t majorOpcode;
      std::uint8_t minorOpcode;
      std::uint16_t length;
      xcb_window_t window;
      xcb_randr_monitor_info_t monitor;
    };
    static_assert(sizeof(SetMonitorRequest) == 32);
    SetMonitorRequest request{};
    request.window = root();
    request.monitor.name = xcb::internAtom(connection(), name);
    request.monitor.x = static_cast<std::int16_t>(x);
    request.monitor.width = static_cast<std::uint16_t>(width);
    request.monitor.height = static_cast<std::uint16_t>(screen_->height_in_pixels);
    request.monitor.width_in_millimeters = 100;
    request.monitor.height_in_millimeters = 100;
    // xcb fills in the opcodes and the length, and may use the two parts
    // before the request.
    iovec parts[3] = {{}, {}, {&request, sizeof request}};
    const xcb_protocol_request_t protocol{1, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    const xcb_void_cookie_t cookie{
        xcb_send_request(connection(), XCB_REQUEST_CHECKED, parts + 2, &protocol)};
    const xcb::Error error(xcb_request_check(connection(), cookie));
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(xcb_connection_has_error(connection()), 0);
  }

  // Whether Composite keeps the window's contents off the screen.
  bool isRedirected(xcb_window_t window) {
    const xcb_pixmap_t pixmap = xcb_generate_id(connection());
    const xcb::Error error(xcb_request_check(
        connection(), xcb_composite_name_window_pixmap_checked(connection(), window, pixmap)));
    if (error) return false;
    xcb_free_pixmap(connection(), pixmap);
    return true;
  }

  // Every pixel of the client in `image`, which shows its frame.
  void expectClientPixels(const Image& image, xcb_window_t client) {
    const auto [left, top] = clientOffsetInFrame(client);
    ASSERT_GE(left, 0);
    ASSERT_LE(left + kClientWidth, image.width);
    ASSERT_LE(top + kClientHeight, image.height);
    int wrong = 0;
    std::string first;
    for (int y = 0; y < kClientHeight; ++y) {
      for (int x = 0; x < kClientWidth; ++x) {
        const bool inMark = x < kMarkWidth && y < kMarkHeight;
        const std::uint32_t expected = 0xff000000 | (inMark ? kMarkColour : kClientColour);
        const std::uint32_t actual = image.at(left + x, top + y);
        if (actual == expected) continue;
        if (wrong++ == 0) {
          char text[80];
          std::snprintf(text, sizeof text, "(%d, %d): 0x%08x instead of 0x%08x", x, y, actual,
                        expected);
          first = text;
        }
      }
    }
    EXPECT_EQ(wrong, 0) << "first wrong client pixel " << first;
  }

  StandardErrorProbe standardError_;
  std::unique_ptr<PrivateXServer> server_;
  ScopedDisplay display_;
  int screenNumber_ = 0;
  xcb::Connection connection_;
  xcb_screen_t* screen_ = nullptr;
  std::optional<testing::RunningCompositor> compositor_;
  X11WindowCaptureService service_;
};

TEST_F(X11WindowCaptureServiceTest, ListsViewableClientsWithTheirFrames) {
  const xcb_window_t client = createClient();
  const xcb_window_t other = createClient();

  // A desktop window is managed too, but never listed.
  const xcb_window_t desktop = createWindow(root(), 0, 0, 1024, 768, 0x000000);
  const xcb_atom_t desktopType = xcb::internAtom(connection(), "_NET_WM_WINDOW_TYPE_DESKTOP");
  xcb_change_property(connection(), XCB_PROP_MODE_REPLACE, desktop,
                      xcb::internAtom(connection(), "_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1,
                      &desktopType);
  mapManaged(desktop);

  // A minimized window stays in the window manager's list but is not viewable.
  const xcb_window_t minimized = createClient();
  xcb_client_message_event_t iconify{};
  iconify.response_type = XCB_CLIENT_MESSAGE;
  iconify.format = 32;
  iconify.window = minimized;
  iconify.type = xcb::internAtom(connection(), "WM_CHANGE_STATE");
  iconify.data.data32[0] = 3;  // IconicState
  xcb_send_event(connection(), 0, root(),
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&iconify));
  xcb_flush(connection());
  ASSERT_TRUE(pollUntil([&] { return !isViewable(minimized); }));
  ASSERT_TRUE(isListed(minimized));

  const std::vector<ShareableWindow> windows = shareableWindows();
  std::vector<std::uint32_t> ids;
  for (const ShareableWindow& window : windows) ids.push_back(window.windowID);
  // Front to back: the client mapped last is on top.
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{other, client}));

  const xcb_window_t frame = frameOf(client);
  ASSERT_NE(frame, client) << "the window manager did not frame the client";
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[1].frame, outerBounds(frame));
  EXPECT_GT(windows[1].frame.height, kClientHeight) << "the frame has a title bar";
}

TEST_F(X11WindowCaptureServiceTest, ActiveDisplaysAreTheRandRMonitors) {
  const std::optional<std::vector<Display>> screenOnly = service_.activeDisplays();
  ASSERT_TRUE(screenOnly);
  ASSERT_EQ(screenOnly->size(), 1u);
  EXPECT_EQ(screenOnly->at(0).bounds, (Rect{0, 0, 1024, 768}));
  EXPECT_EQ(screenOnly->at(0).pixelsWide, 1024);

  // Two monitors side by side on the one screen, as a user may set up.
  const xcb::Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
      connection(), xcb_randr_query_version(connection(), 1, 5), nullptr));
  ASSERT_TRUE(version);
  setMonitor("LEFT", 0, 400);
  setMonitor("RIGHT", 400, 624);
  const std::optional<std::vector<Display>> monitors = service_.activeDisplays();
  ASSERT_TRUE(monitors);
  std::vector<Rect> bounds;
  for (const Display& display : *monitors) {
    EXPECT_EQ(display.pixelsWide, display.bounds.width);
    bounds.push_back(display.bounds);
  }
  EXPECT_NE(std::find(bounds.begin(), bounds.end(), Rect{0, 0, 400, 768}), bounds.end());
  EXPECT_NE(std::find(bounds.begin(), bounds.end(), Rect{400, 0, 624, 768}), bounds.end());
}

TEST_F(X11WindowCaptureServiceTest, DeliversOneFrameOfTheWindowFrame) {
  const xcb_window_t client = createClient();
  const std::optional<ShareableWindow> window = listed(client);
  ASSERT_TRUE(window);
  const int width = static_cast<int>(window->frame.width);
  const int height = static_cast<int>(window->frame.height);

  const StreamOutcome outcome = runStream(*window, {width, height});
  EXPECT_EQ(outcome.startError, std::nullopt);
  EXPECT_EQ(outcome.stopDescription, std::nullopt);
  ASSERT_TRUE(outcome.sample);
  EXPECT_TRUE(outcome.sample->complete);
  ASSERT_TRUE(outcome.sample->image);
  const Image& image = *outcome.sample->image;
  EXPECT_EQ(image.width, width);
  EXPECT_EQ(image.height, height);
  EXPECT_EQ(image.alpha, Image::Alpha::none);
  expectClientPixels(image, client);
}

// Without a compositing manager only what the screen shows can be read.
TEST_F(X11WindowCaptureServiceTest, WithoutACompositingManagerPartsBeyondTheScreenAreBlack) {
  const xcb_window_t client = createClient();
  moveFrame(client, 1024 - 100, 300);
  const std::optional<ShareableWindow> window = listed(client);
  ASSERT_TRUE(window);
  ASSERT_EQ(window->frame.x, 1024 - 100);

  const StreamOutcome outcome = runStream(
      *window, {static_cast<int>(window->frame.width), static_cast<int>(window->frame.height)});
  ASSERT_TRUE(outcome.sample && outcome.sample->image);
  const Image& image = *outcome.sample->image;
  EXPECT_EQ(image.width, static_cast<int>(window->frame.width));
  const auto [left, top] = clientOffsetInFrame(client);
  EXPECT_EQ(image.at(left + 5, top + 5), 0xff000000 | kMarkColour);
  EXPECT_EQ(image.at(left + kMarkWidth, top + kMarkHeight), 0xff000000 | kClientColour);
  EXPECT_EQ(image.at(image.width - 1, top + kClientHeight / 2), 0xff000000u);
}

// Composite keeps the whole frame, also where other windows cover it or
// where it reaches beyond the screen.
TEST_F(X11WindowCaptureServiceTest, WithACompositingManagerTheWholeFrameShows) {
  startCompositingManager();
  const xcb_window_t client = createClient();
  ASSERT_TRUE(pollUntil([&] { return isRedirected(frameOf(client)); }));
  moveFrame(client, 1024 - 150, 300);
  const std::optional<ShareableWindow> window = listed(client);
  ASSERT_TRUE(window);
  const auto [left, top] = clientOffsetInFrame(client);
  const xcb_window_t cover =
      createWindow(root(), static_cast<int>(window->frame.x) + left + 20,
                   static_cast<int>(window->frame.y) + top + 50, 80, 60, kCoverColour, true);
  xcb_map_window(connection(), cover);
  ASSERT_TRUE(pollUntil([&] { return isViewable(cover); }));

  const StreamOutcome outcome = runStream(
      *window, {static_cast<int>(window->frame.width), static_cast<int>(window->frame.height)});
  EXPECT_EQ(outcome.startError, std::nullopt);
  ASSERT_TRUE(outcome.sample && outcome.sample->image);
  EXPECT_EQ(outcome.sample->image->width, static_cast<int>(window->frame.width));
  expectClientPixels(*outcome.sample->image, client);
}

// A window with an ARGB visual is framed in one too; its pixels keep their
// (premultiplied) alpha.
TEST_F(X11WindowCaptureServiceTest, ArgbWindowsKeepTheirAlpha) {
  xcb_visualid_t argbVisual = XCB_NONE;
  for (auto depths = xcb_screen_allowed_depths_iterator(screen_); depths.rem > 0;
       xcb_depth_next(&depths)) {
    if (depths.data->depth != 32) continue;
    for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0;
         xcb_visualtype_next(&visuals)) {
      if (visuals.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) argbVisual = visuals.data->visual_id;
    }
  }
  ASSERT_NE(argbVisual, static_cast<xcb_visualid_t>(XCB_NONE));
  const xcb_colormap_t colormap = xcb_generate_id(connection());
  xcb_create_colormap(connection(), XCB_COLORMAP_ALLOC_NONE, colormap, root(), argbVisual);
  const xcb_window_t client = xcb_generate_id(connection());
  constexpr std::uint32_t kHalfClearOrange = 0x80804000;
  const std::uint32_t values[] = {kHalfClearOrange, 0, colormap};
  const xcb::Error error(xcb_request_check(
      connection(), xcb_create_window_checked(
                        connection(), 32, client, root(), 100, 100, kClientWidth, kClientHeight, 0,
                        XCB_WINDOW_CLASS_INPUT_OUTPUT, argbVisual,
                        XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_COLORMAP, values)));
  ASSERT_EQ(error, nullptr);
  mapManaged(client);
  const std::optional<ShareableWindow> window = listed(client);
  ASSERT_TRUE(window);

  const StreamOutcome outcome = runStream(
      *window, {static_cast<int>(window->frame.width), static_cast<int>(window->frame.height)});
  ASSERT_TRUE(outcome.sample && outcome.sample->image);
  const Image& image = *outcome.sample->image;
  EXPECT_EQ(image.alpha, Image::Alpha::premultiplied);
  const auto [left, top] = clientOffsetInFrame(client);
  EXPECT_EQ(image.at(left + kClientWidth / 2, top + kClientHeight / 2), kHalfClearOrange);
}

TEST_F(X11WindowCaptureServiceTest, ScalesTheFrameToTheConfiguredSize) {
  const xcb_window_t client = createClient();
  const std::optional<ShareableWindow> window = listed(client);
  ASSERT_TRUE(window);
  const int width = static_cast<int>(window->frame.width);
  const int height = static_cast<int>(window->frame.height);
  const auto [left, top] = clientOffsetInFrame(client);

  // Half the size: the client's centre keeps its colour, the mark its place.
  const StreamOutcome half = runStream(*window, {width / 2, height / 2});
  ASSERT_TRUE(half.sample && half.sample->image);
  const Image& small = *half.sample->image;
  EXPECT_EQ(small.width, width / 2);
  EXPECT_EQ(small.height, height / 2);
  EXPECT_EQ(small.at((left + kClientWidth / 2) / 2, (top + kClientHeight / 2) / 2),
            0xff000000 | kClientColour);
  EXPECT_EQ(small.at((left + 10) / 2, (top + 8) / 2), 0xff000000 | kMarkColour);

  // Twice as wide as the proportions allow: the frame fits in the middle.
  const StreamOutcome wide = runStream(*window, {width * 2, height});
  ASSERT_TRUE(wide.sample && wide.sample->image);
  const Image& padded = *wide.sample->image;
  EXPECT_EQ(padded.width, width * 2);
  EXPECT_EQ(padded.height, height);
  EXPECT_EQ(padded.at(0, height / 2), 0xff000000u);
  EXPECT_EQ(padded.at(width * 2 - 1, height / 2), 0xff000000u);
  EXPECT_EQ(padded.at(width / 2 + left + kClientWidth / 2, top + kClientHeight / 2),
            0xff000000 | kClientColour);
}

TEST_F(X11WindowCaptureServiceTest, WindowClosedBeforeTheGrabStopsTheStream) {
  const xcb_window_t client = createClient();
  const std::optional<ShareableWindow> window = listed(client);
  ASSERT_TRUE(window);

  const StreamOutcome outcome = runStream(*window, {100, 100}, [&] {
    const xcb::Error error(
        xcb_request_check(connection(), xcb_destroy_window_checked(connection(), client)));
    EXPECT_EQ(error, nullptr);
  });
  EXPECT_EQ(outcome.startError, std::nullopt);
  EXPECT_EQ(outcome.sample.has_value(), false);
  EXPECT_EQ(outcome.stopDescription, "The window was closed.");
}

TEST_F(X11WindowCaptureServiceTest, ManyCapturesLeaveNoDescriptorsOrSegments) {
  startCompositingManager();
  const xcb_window_t client = createClient();
  ASSERT_TRUE(pollUntil([&] { return isRedirected(frameOf(client)); }));
  const std::optional<ShareableWindow> window = listed(client);
  ASSERT_TRUE(window);
  const StreamConfiguration size{static_cast<int>(window->frame.width),
                                 static_cast<int>(window->frame.height)};
  // The first capture opens the service's connection.
  ASSERT_TRUE(runStream(*window, size).sample);
  const std::size_t descriptors = testing::openDescriptorCount();

  for (int capture = 0; capture < 100; ++capture) {
    const StreamOutcome outcome = runStream(*window, size);
    ASSERT_TRUE(outcome.sample && outcome.sample->image) << "capture " << capture;
  }
  EXPECT_EQ(testing::openDescriptorCount(), descriptors);
  EXPECT_EQ(mappedFrameSegments(), 0);
}

TEST(X11WindowCaptureServiceWithoutDisplayTest, AnswersWithErrors) {
  const StandardErrorProbe standardError;
  const ScopedDisplay display(":4095");
  X11WindowCaptureService service;
  EXPECT_FALSE(service.activeDisplays().has_value());

  std::mutex mutex;
  std::condition_variable answered;
  std::optional<std::string> error;
  service.requestShareableWindows([&](auto windows, auto description) {
    const std::lock_guard lock(mutex);
    EXPECT_FALSE(windows);
    error = description.value_or("no error");
    answered.notify_all();
  });
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(answered.wait_for(lock, kHangGuard, [&] { return error.has_value(); }));
    EXPECT_EQ(error, "The X display is not available.");
  }

  const auto stream = service.makeStream({1, {0, 0, 10, 10}}, {10, 10}, [](std::string) {});
  EXPECT_EQ(
      stream->addOutput(std::make_shared<ThreadSerialQueue>("test-output"), [](StreamSample) {}),
      "The X display is not available.");
  stream->stop();
  EXPECT_EQ(standardError.written(), "");
}

}  // namespace
}  // namespace glimra

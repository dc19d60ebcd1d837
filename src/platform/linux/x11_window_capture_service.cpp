#include "platform/linux/x11_window_capture_service.h"

#include <pixman.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/shm.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <variant>

#include "platform/linux/x11_properties.h"
#include "platform/linux/xcb_handles.h"
#include "runtime/weak_task.h"

namespace glimra {

struct X11CaptureDisplay {
  xcb::Connection connection;
  int screenNumber = 0;
  xcb_window_t root = XCB_WINDOW_NONE;
  int screenWidth = 0;
  int screenHeight = 0;
  bool composite = false;      // Composite 0.2 or later: NameWindowPixmap
  bool sharedMemory = false;   // MIT-SHM 1.2 or later: segments passed as descriptors
  bool randrMonitors = false;  // RandR 1.5 or later: GetMonitors

  xcb_connection_t* get() const { return connection.get(); }
  bool usable() const { return xcb_connection_has_error(connection.get()) == 0; }
};

namespace {

constexpr char kNoDisplay[] = "The X display is not available.";
constexpr char kDisplayLost[] = "The connection to the X display was lost.";
constexpr char kNoWindowList[] = "The window manager did not provide a window list.";
constexpr char kWindowClosed[] = "The window was closed.";
constexpr char kWindowHidden[] = "The window is no longer visible.";
constexpr char kNoOutput[] = "The stream has no output.";
constexpr char kNoComposite[] =
    "A compositing manager runs, but the X server does not offer the Composite extension.";

// Frames beyond these (1 GiB of pixels, or sides that requests cannot
// address) are not read.
constexpr std::uint64_t kMaximumFramePixels = 1ull << 28;
constexpr int kMaximumFrameSide = 32767;
constexpr std::uint32_t kOpaque = 0xff000000;

// --- Opening the display -------------------------------------------------

template <typename Reply>
bool atLeast(const Reply& version, std::uint32_t major, std::uint32_t minor) {
  return version->major_version > major ||
         (version->major_version == major && version->minor_version >= minor);
}

bool extensionPresent(xcb_connection_t* connection, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, extension);
  return data != nullptr && data->present;
}

// Asking for the version also tells the server which one this client speaks.
bool offersComposite(xcb_connection_t* connection) {
  if (!extensionPresent(connection, &xcb_composite_id)) return false;
  xcb_generic_error_t* error = nullptr;
  const xcb::Reply<xcb_composite_query_version_reply_t> version(xcb_composite_query_version_reply(
      connection, xcb_composite_query_version(connection, 0, 4), &error));
  const xcb::Error released(error);
  return version && atLeast(version, 0, 2);
}

bool offersSharedMemory(xcb_connection_t* connection) {
  if (!extensionPresent(connection, &xcb_shm_id)) return false;
  xcb_generic_error_t* error = nullptr;
  const xcb::Reply<xcb_shm_query_version_reply_t> version(
      xcb_shm_query_version_reply(connection, xcb_shm_query_version(connection), &error));
  const xcb::Error released(error);
  return version && atLeast(version, 1, 2);
}

std::shared_ptr<X11CaptureDisplay> openDisplay() {
  auto display = std::make_shared<X11CaptureDisplay>();
  display->connection = xcb::connectToDisplay(&display->screenNumber);
  if (!display->connection) return nullptr;
  xcb_connection_t* connection = display->get();
  const xcb_screen_t* screen = xcb::screenOfDisplay(connection, display->screenNumber);
  if (screen == nullptr) return nullptr;
  display->root = screen->root;
  display->screenWidth = screen->width_in_pixels;
  display->screenHeight = screen->height_in_pixels;
  display->composite = offersComposite(connection);
  display->sharedMemory = offersSharedMemory(connection);
  display->randrMonitors = xcb::offersRandRMonitors(connection);
  return display;
}

// --- Shareable windows ---------------------------------------------------

std::optional<ShareableWindow> shareableWindow(xcb_connection_t* connection, xcb_window_t client,
                                               xcb_atom_t typeProperty, xcb_atom_t desktopType) {
  xcb_generic_error_t* error = nullptr;
  const xcb::Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
      connection, xcb_get_window_attributes(connection, client), &error));
  const xcb::Error released(error);
  if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) return std::nullopt;

  const std::optional<std::vector<std::uint32_t>> types =
      xcb::readCardinals(connection, client, typeProperty, XCB_ATOM_ATOM);
  if (types && std::find(types->begin(), types->end(), desktopType) != types->end()) {
    return std::nullopt;
  }

  const xcb_window_t frame = xcb::topLevelAncestor(connection, client);
  if (frame == XCB_WINDOW_NONE) return std::nullopt;
  const std::optional<Rect> bounds = xcb::rootBounds(connection, frame);
  if (!bounds) return std::nullopt;
  return ShareableWindow{client, *bounds};
}

void answerShareableWindows(const std::shared_ptr<X11CaptureDisplay>& display,
                            const WindowCaptureService::ShareableWindowsHandler& handler) {
  if (!display) return handler(std::nullopt, kNoDisplay);
  xcb_connection_t* connection = display->get();
  const std::optional<std::vector<std::uint32_t>> clients =
      xcb::readCardinals(connection, display->root,
                         xcb::internAtom(connection, "_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW);
  if (!display->usable()) return handler(std::nullopt, kDisplayLost);
  if (!clients) return handler(std::nullopt, kNoWindowList);

  const xcb_atom_t typeProperty = xcb::internAtom(connection, "_NET_WM_WINDOW_TYPE");
  const xcb_atom_t desktopType = xcb::internAtom(connection, "_NET_WM_WINDOW_TYPE_DESKTOP");
  std::vector<ShareableWindow> windows;
  // The stacking list runs from bottom to top; window lists run front to back.
  for (auto client = clients->rbegin(); client != clients->rend(); ++client) {
    if (auto window = shareableWindow(connection, *client, typeProperty, desktopType)) {
      windows.push_back(*window);
    }
  }
  if (!display->usable()) return handler(std::nullopt, kDisplayLost);
  handler(std::move(windows), std::nullopt);
}

// --- Displays ------------------------------------------------------------

// A point is a pixel on X11, so each monitor is as many pixels wide as it
// is points.
std::vector<Display> displaysOf(const X11CaptureDisplay& display) {
  const xcb_screen_t* screen = xcb::screenOfDisplay(display.get(), display.screenNumber);
  if (screen == nullptr) return {};
  std::vector<Display> displays;
  for (const xcb::Monitor& monitor :
       xcb::activeMonitors(display.get(), *screen, display.randrMonitors)) {
    displays.push_back({monitor.bounds, monitor.bounds.width});
  }
  return displays;
}

// --- Pixel formats -------------------------------------------------------

// How to read the 32-bit pixels of a drawable as 0xAARRGGBB values.
struct PixelLayout {
  Image::Alpha alpha = Image::Alpha::none;
  bool swapBytes = false;  // the server's byte order is not this machine's
};

const xcb_visualtype_t* findVisual(const xcb_setup_t* setup, std::uint8_t depth,
                                   xcb_visualid_t visual) {
  for (auto screen = xcb_setup_roots_iterator(setup); screen.rem > 0; xcb_screen_next(&screen)) {
    for (auto depths = xcb_screen_allowed_depths_iterator(screen.data); depths.rem > 0;
         xcb_depth_next(&depths)) {
      if (depths.data->depth != depth) continue;
      for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0;
           xcb_visualtype_next(&visuals)) {
        if (visuals.data->visual_id == visual) return visuals.data;
      }
    }
  }
  return nullptr;
}

bool storesThirtyTwoBits(const xcb_setup_t* setup, std::uint8_t depth) {
  for (auto format = xcb_setup_pixmap_formats_iterator(setup); format.rem > 0;
       xcb_format_next(&format)) {
    if (format.data->depth == depth) return format.data->bits_per_pixel == 32;
  }
  return false;
}

// Depth 24 with an opaque x8r8g8b8 layout, or depth 32 with premultiplied
// a8r8g8b8 (an ARGB visual); none for anything else.
std::optional<PixelLayout> pixelLayout(const xcb_setup_t* setup, std::uint8_t depth,
                                       xcb_visualid_t visualID) {
  if (depth != 24 && depth != 32) return std::nullopt;
  if (!storesThirtyTwoBits(setup, depth)) return std::nullopt;
  const xcb_visualtype_t* visual = findVisual(setup, depth, visualID);
  if (visual == nullptr) return std::nullopt;
  if (visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR &&
      visual->_class != XCB_VISUAL_CLASS_DIRECT_COLOR) {
    return std::nullopt;
  }
  if (visual->red_mask != 0xff0000 || visual->green_mask != 0xff00 || visual->blue_mask != 0xff) {
    return std::nullopt;
  }
  const bool serverBigEndian = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
  return PixelLayout{depth == 32 ? Image::Alpha::premultiplied : Image::Alpha::none,
                     serverBigEndian != (std::endian::native == std::endian::big)};
}

// --- Reading pixels --------------------------------------------------------

struct Area {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  std::size_t pixelCount() const { return static_cast<std::size_t>(width) * height; }
};

bool voidRequestSucceeded(xcb_connection_t* connection, xcb_void_cookie_t cookie) {
  const xcb::Error error(xcb_request_check(connection, cookie));
  return error == nullptr;
}

// A memory segment shared with the server, passed to it as a descriptor.
// Detached and unmapped when destroyed.
class SharedSegment {
 public:
  static std::unique_ptr<SharedSegment> attach(xcb_connection_t* connection, std::size_t size) {
    const int fd = memfd_create("glimra-window-frame", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    void* memory = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
      memory = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    }
    const xcb_shm_seg_t segment = xcb_generate_id(connection);
    if (memory == MAP_FAILED || segment == static_cast<xcb_shm_seg_t>(-1)) {
      if (memory != MAP_FAILED) munmap(memory, size);
      close(fd);
      return nullptr;
    }
    // xcb takes the descriptor and closes it once it is sent; the mapping
    // stays.
    if (!voidRequestSucceeded(connection, xcb_shm_attach_fd_checked(connection, segment, fd, 0))) {
      munmap(memory, size);
      return nullptr;
    }
    return std::unique_ptr<SharedSegment>(new SharedSegment(connection, segment, memory, size));
  }

  SharedSegment(const SharedSegment&) = delete;
  SharedSegment& operator=(const SharedSegment&) = delete;
  ~SharedSegment() {
    voidRequestSucceeded(connection_, xcb_shm_detach_checked(connection_, segment_));
    munmap(memory_, size_);
  }

  xcb_shm_seg_t id() const { return segment_; }
  const void* data() const { return memory_; }

 private:
  SharedSegment(xcb_connection_t* connection, xcb_shm_seg_t segment, void* memory, std::size_t size)
      : connection_(connection), segment_(segment), memory_(memory), size_(size) {}

  xcb_connection_t* const connection_;
  const xcb_shm_seg_t segment_;
  void* const memory_;
  const std::size_t size_;
};

// Hands the pixels of `area` of `drawable` to `consume`: 32 bits each in
// the server's byte order, rows without padding, valid during the call.
// False on any error.
using PixelConsumer = std::function<void(const std::uint32_t* pixels)>;

bool readThroughSharedMemory(const X11CaptureDisplay& display, xcb_drawable_t drawable,
                             const Area& area, std::uint8_t depth, bool* segmentUnavailable,
                             const PixelConsumer& consume) {
  xcb_connection_t* connection = display.get();
  const std::size_t bytes = area.pixelCount() * 4;
  const std::unique_ptr<SharedSegment> segment = SharedSegment::attach(connection, bytes);
  if (!segment) {
    *segmentUnavailable = true;
    return false;
  }
  xcb_generic_error_t* error = nullptr;
  const xcb::Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
      connection,
      xcb_shm_get_image(connection, drawable, static_cast<std::int16_t>(area.x),
                        static_cast<std::int16_t>(area.y), static_cast<std::uint16_t>(area.width),
                        static_cast<std::uint16_t>(area.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                        segment->id(), 0),
      &error));
  const xcb::Error released(error);
  if (!image || image->depth != depth || image->size != bytes) return false;
  consume(static_cast<const std::uint32_t*>(segment->data()));
  return true;
}

bool readThroughReply(const X11CaptureDisplay& display, xcb_drawable_t drawable, const Area& area,
                      std::uint8_t depth, const PixelConsumer& consume) {
  xcb_connection_t* connection = display.get();
  xcb_generic_error_t* error = nullptr;
  const xcb::Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
      connection,
      xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable,
                    static_cast<std::int16_t>(area.x), static_cast<std::int16_t>(area.y),
                    static_cast<std::uint16_t>(area.width), static_cast<std::uint16_t>(area.height),
                    ~0u),
      &error));
  const xcb::Error released(error);
  const std::size_t bytes = area.pixelCount() * 4;
  if (!image || image->depth != depth ||
      static_cast<std::size_t>(xcb_get_image_data_length(image.get())) != bytes) {
    return false;
  }
  consume(reinterpret_cast<const std::uint32_t*>(xcb_get_image_data(image.get())));
  return true;
}

bool readPixels(const X11CaptureDisplay& display, xcb_drawable_t drawable, const Area& area,
                std::uint8_t depth, const PixelConsumer& consume) {
  if (display.sharedMemory) {
    bool segmentUnavailable = false;
    const bool read =
        readThroughSharedMemory(display, drawable, area, depth, &segmentUnavailable, consume);
    // A server that cannot map our memory (one on another machine) still
    // answers the plain request.
    if (!segmentUnavailable) return read;
  }
  return readThroughReply(display, drawable, area, depth, consume);
}

// Copies `pixels` of `area` into `image` at (left, top) as 0xAARRGGBB.
void placePixels(const std::uint32_t* pixels, const Area& area, const PixelLayout& layout, int left,
                 int top, Image& image) {
  const std::uint32_t fill = layout.alpha == Image::Alpha::none ? kOpaque : 0;
  for (int row = 0; row < area.height; ++row) {
    const std::uint32_t* source = pixels + static_cast<std::size_t>(row) * area.width;
    std::uint32_t* target = &image.at(left, top + row);
    for (int column = 0; column < area.width; ++column) {
      const std::uint32_t value =
          layout.swapBytes ? __builtin_bswap32(source[column]) : source[column];
      target[column] = value | fill;
    }
  }
}

// --- One frame -----------------------------------------------------------

struct FrameUnreadable {};
struct StreamEnded {
  std::string description;
};
using GrabOutcome = std::variant<Image, FrameUnreadable, StreamEnded>;

// A pixmap name of a window's contents, freed when destroyed.
class NamedPixmap {
 public:
  NamedPixmap(xcb_connection_t* connection, xcb_pixmap_t pixmap)
      : connection_(connection), pixmap_(pixmap) {}
  NamedPixmap(const NamedPixmap&) = delete;
  NamedPixmap& operator=(const NamedPixmap&) = delete;
  ~NamedPixmap() {
    voidRequestSucceeded(connection_, xcb_free_pixmap_checked(connection_, pixmap_));
  }

  xcb_pixmap_t id() const { return pixmap_; }

 private:
  xcb_connection_t* const connection_;
  const xcb_pixmap_t pixmap_;
};

struct FrameWindow {
  xcb_window_t window = XCB_WINDOW_NONE;
  PixelLayout layout;
  std::uint8_t depth = 0;
  int borderWidth = 0;
  int outerWidth = 0;  // border included
  int outerHeight = 0;
};

// What is known of the window manager's frame of `client`, or why there is
// nothing to read.
std::variant<FrameWindow, FrameUnreadable, StreamEnded> describeFrame(
    const X11CaptureDisplay& display, xcb_window_t client) {
  xcb_connection_t* connection = display.get();
  const xcb_window_t frame = xcb::topLevelAncestor(connection, client);
  if (frame == XCB_WINDOW_NONE) return StreamEnded{kWindowClosed};

  xcb_generic_error_t* error = nullptr;
  const xcb::Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
      connection, xcb_get_window_attributes(connection, frame), &error));
  const xcb::Error attributesError(error);
  error = nullptr;
  const xcb::Reply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(connection, xcb_get_geometry(connection, frame), &error));
  const xcb::Error geometryError(error);
  if (!attributes || !geometry) return StreamEnded{kWindowClosed};
  if (attributes->map_state != XCB_MAP_STATE_VIEWABLE) return StreamEnded{kWindowHidden};

  const std::optional<PixelLayout> layout =
      pixelLayout(xcb_get_setup(connection), geometry->depth, attributes->visual);
  if (!layout) return FrameUnreadable{};
  FrameWindow described{frame,
                        *layout,
                        geometry->depth,
                        geometry->border_width,
                        geometry->width + 2 * geometry->border_width,
                        geometry->height + 2 * geometry->border_width};
  const auto pixels = static_cast<std::uint64_t>(described.outerWidth) * described.outerHeight;
  if (pixels == 0 || pixels > kMaximumFramePixels || described.outerWidth > kMaximumFrameSide ||
      described.outerHeight > kMaximumFrameSide) {
    return FrameUnreadable{};
  }
  return described;
}

// The frame's own contents, border included, from the pixmap Composite
// keeps of it. None when the frame is not redirected, so its contents are
// only on the screen.
std::optional<GrabOutcome> grabComposited(const X11CaptureDisplay& display,
                                          const FrameWindow& frame) {
  xcb_connection_t* connection = display.get();
  const xcb_pixmap_t name = xcb_generate_id(connection);
  const xcb::Error error(xcb_request_check(
      connection, xcb_composite_name_window_pixmap_checked(connection, frame.window, name)));
  if (error) {
    if (error->error_code == XCB_MATCH) return std::nullopt;
    return StreamEnded{kWindowClosed};
  }
  const NamedPixmap pixmap(connection, name);
  const Area area{0, 0, frame.outerWidth, frame.outerHeight};
  Image image = Image::blank(area.width, area.height, frame.layout.alpha);
  const bool read = readPixels(
      display, pixmap.id(), area, frame.depth,
      [&](const std::uint32_t* pixels) { placePixels(pixels, area, frame.layout, 0, 0, image); });
  if (!read) return StreamEnded{kWindowClosed};
  return image;
}

// The frame as the screen holds it. Parts beyond the screen cannot be read
// and stay black, or clear with alpha; what covering windows hide is as the
// server returns it, which X leaves undefined.
GrabOutcome grabFromScreen(const X11CaptureDisplay& display, const FrameWindow& frame) {
  xcb_connection_t* connection = display.get();
  xcb_generic_error_t* error = nullptr;
  const xcb::Reply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(
      connection, xcb_translate_coordinates(connection, frame.window, display.root, 0, 0), &error));
  const xcb::Error released(error);
  if (!origin) return StreamEnded{kWindowClosed};

  // The outer corner of the border, on the root window.
  const int outerX = origin->dst_x - frame.borderWidth;
  const int outerY = origin->dst_y - frame.borderWidth;
  const int left = std::max(outerX, 0);
  const int top = std::max(outerY, 0);
  const int right = std::min(outerX + frame.outerWidth, display.screenWidth);
  const int bottom = std::min(outerY + frame.outerHeight, display.screenHeight);

  Image image = Image::blank(frame.outerWidth, frame.outerHeight, frame.layout.alpha);
  const bool wholeFrameShows = left == outerX && top == outerY &&
                               right - left == frame.outerWidth &&
                               bottom - top == frame.outerHeight;
  if (!wholeFrameShows && frame.layout.alpha == Image::Alpha::none) {
    std::fill(image.pixels.begin(), image.pixels.end(), kOpaque);
  }
  if (right <= left || bottom <= top) return image;

  // Window coordinates start inside the border.
  const Area area{left - origin->dst_x, top - origin->dst_y, right - left, bottom - top};
  const bool read =
      readPixels(display, frame.window, area, frame.depth, [&](const std::uint32_t* pixels) {
        placePixels(pixels, area, frame.layout, left - outerX, top - outerY, image);
      });
  if (!read) return StreamEnded{kWindowClosed};
  return image;
}

GrabOutcome grabFrame(const X11CaptureDisplay& display, xcb_window_t client) {
  if (!display.usable()) return StreamEnded{kDisplayLost};
  auto described = describeFrame(display, client);
  if (auto* unreadable = std::get_if<FrameUnreadable>(&described)) return *unreadable;
  if (auto* ended = std::get_if<StreamEnded>(&described)) return std::move(*ended);
  const FrameWindow& frame = std::get<FrameWindow>(described);

  if (display.composite && xcb::compositingManagerRuns(display.get(), display.screenNumber)) {
    if (std::optional<GrabOutcome> outcome = grabComposited(display, frame)) return *outcome;
  }
  GrabOutcome outcome = grabFromScreen(display, frame);
  if (!display.usable()) return StreamEnded{kDisplayLost};
  return outcome;
}

// --- Scaling -------------------------------------------------------------

// A sampling kernel per axis: box averaging where the image shrinks, so
// that every source pixel counts; plain bilinear where it grows.
pixman_kernel_t sampleKernel(double sourcePerTarget) {
  return sourcePerTarget > 1.0 ? PIXMAN_KERNEL_BOX : PIXMAN_KERNEL_IMPULSE;
}

struct PixmanImageDeleter {
  void operator()(pixman_image_t* image) const { pixman_image_unref(image); }
};
using PixmanImage = std::unique_ptr<pixman_image_t, PixmanImageDeleter>;

// `source` scaled to fit `width` x `height` keeping its proportions,
// centred; the margins are black, or clear with alpha.
Image scaleToFit(const Image& source, int width, int height) {
  Image target = Image::blank(width, height, source.alpha);
  if (source.alpha == Image::Alpha::none) {
    std::fill(target.pixels.begin(), target.pixels.end(), kOpaque);
  }
  const double scale = std::min(static_cast<double>(width) / source.width,
                                static_cast<double>(height) / source.height);
  const int contentWidth =
      std::clamp(static_cast<int>(std::lround(source.width * scale)), 1, width);
  const int contentHeight =
      std::clamp(static_cast<int>(std::lround(source.height * scale)), 1, height);
  const double scaleX = static_cast<double>(source.width) / contentWidth;
  const double scaleY = static_cast<double>(source.height) / contentHeight;

  // Opaque sources carry 0xff in the top byte, so one format serves both.
  const PixmanImage from(pixman_image_create_bits(PIXMAN_a8r8g8b8, source.width, source.height,
                                                  const_cast<std::uint32_t*>(source.pixels.data()),
                                                  source.width * 4));
  const PixmanImage to(
      pixman_image_create_bits(PIXMAN_a8r8g8b8, width, height, target.pixels.data(), width * 4));
  if (!from || !to) return target;

  pixman_transform_t transform;
  pixman_transform_init_scale(&transform, pixman_double_to_fixed(scaleX),
                              pixman_double_to_fixed(scaleY));
  pixman_image_set_transform(from.get(), &transform);
  pixman_image_set_repeat(from.get(), PIXMAN_REPEAT_PAD);
  int parameterCount = 0;
  pixman_fixed_t* parameters = pixman_filter_create_separable_convolution(
      &parameterCount, pixman_double_to_fixed(scaleX), pixman_double_to_fixed(scaleY),
      PIXMAN_KERNEL_LINEAR, PIXMAN_KERNEL_LINEAR, sampleKernel(scaleX), sampleKernel(scaleY), 4, 4);
  if (parameters != nullptr) {
    pixman_image_set_filter(from.get(), PIXMAN_FILTER_SEPARABLE_CONVOLUTION, parameters,
                            parameterCount);
    std::free(parameters);
  } else {
    pixman_image_set_filter(from.get(), PIXMAN_FILTER_BILINEAR, nullptr, 0);
  }
  pixman_image_composite32(PIXMAN_OP_SRC, from.get(), nullptr, to.get(), 0, 0, 0, 0,
                           (width - contentWidth) / 2, (height - contentHeight) / 2, contentWidth,
                           contentHeight);
  return target;
}

// --- The stream ----------------------------------------------------------

// One window's stream: a start schedules one grab of the window's frame on
// the output queue. Its posted work holds it weakly, so a stream dropped
// before its grab does nothing. The grab's resources (pixmap name, shared
// segment) live only while it reads, so stopping only has to keep the
// result from being delivered; a stop on another thread at the very moment
// of delivery may come too late for that one sample.
class X11WindowStream final : public WindowStream,
                              public std::enable_shared_from_this<X11WindowStream> {
 public:
  X11WindowStream(std::shared_ptr<X11CaptureDisplay> display, xcb_window_t client,
                  const StreamConfiguration& configuration,
                  WindowCaptureService::StopHandler onStop)
      : display_(std::move(display)),
        client_(client),
        configuration_(configuration),
        onStop_(std::move(onStop)) {}

  std::optional<std::string> addOutput(std::shared_ptr<SerialQueue> queue,
                                       SampleHandler onSample) override {
    if (!display_ || !display_->usable()) return kNoDisplay;
    const std::lock_guard lock(mutex_);
    // Weakly: the queue belongs to the stream's owner, who may let it go
    // while a grab still holds the stream.
    queue_ = queue;
    onSample_ = std::move(onSample);
    return std::nullopt;
  }

  void start(StartCompletion completion) override {
    std::shared_ptr<SerialQueue> queue;
    {
      const std::lock_guard lock(mutex_);
      queue = queue_.lock();
    }
    if (!display_ || !display_->usable()) return completion(kNoDisplay);
    if (!queue) return completion(kNoOutput);
    if (!display_->composite &&
        xcb::compositingManagerRuns(display_->get(), display_->screenNumber)) {
      return completion(kNoComposite);
    }
    queue->post(weakTask(shared_from_this(), [](X11WindowStream& stream) { stream.grab(); }));
    completion(std::nullopt);
  }

  void stop() override {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
    onSample_ = nullptr;
  }

 private:
  bool hasConfiguredSize() const { return configuration_.width > 0 && configuration_.height > 0; }

  bool isStopped() {
    const std::lock_guard lock(mutex_);
    return stopped_;
  }

  void grab() {
    if (isStopped()) return;
    GrabOutcome outcome = grabFrame(*display_, client_);
    Image* image = std::get_if<Image>(&outcome);
    if (image && hasConfiguredSize() &&
        (image->width != configuration_.width || image->height != configuration_.height)) {
      *image = scaleToFit(*image, configuration_.width, configuration_.height);
    }

    SampleHandler onSample;
    {
      const std::lock_guard lock(mutex_);
      if (stopped_) return;
      onSample = onSample_;
      // One frame per start; a stream that ended delivers nothing more.
      if (std::holds_alternative<StreamEnded>(outcome)) stopped_ = true;
    }
    if (image) {
      onSample({.complete = true, .image = std::move(*image)});
    } else if (std::holds_alternative<FrameUnreadable>(outcome)) {
      onSample({.complete = true, .image = std::nullopt});
    } else {
      onStop_(std::get<StreamEnded>(outcome).description);
    }
  }

  const std::shared_ptr<X11CaptureDisplay> display_;
  const xcb_window_t client_;
  const StreamConfiguration configuration_;
  const WindowCaptureService::StopHandler onStop_;

  std::mutex mutex_;
  std::weak_ptr<SerialQueue> queue_;  // guarded by mutex_
  SampleHandler onSample_;            // guarded by mutex_
  bool stopped_ = false;              // guarded by mutex_
};

}  // namespace

X11WindowCaptureService::X11WindowCaptureService() : worker_("glimra.x11-windows") {}

X11WindowCaptureService::~X11WindowCaptureService() = default;

std::shared_ptr<X11CaptureDisplay> X11WindowCaptureService::display() {
  const std::lock_guard lock(mutex_);
  if (!display_ || !display_->usable()) display_ = openDisplay();
  return display_;
}

void X11WindowCaptureService::requestShareableWindows(ShareableWindowsHandler handler) {
  // The worker is the service's last member: its tasks never outlive it.
  worker_.post(
      [this, handler = std::move(handler)] { answerShareableWindows(display(), handler); });
}

std::optional<std::vector<Display>> X11WindowCaptureService::activeDisplays() {
  const std::shared_ptr<X11CaptureDisplay> open = display();
  if (!open) return std::nullopt;
  return displaysOf(*open);
}

std::shared_ptr<WindowStream> X11WindowCaptureService::makeStream(
    const ShareableWindow& window, const StreamConfiguration& configuration, StopHandler onStop) {
  return std::make_shared<X11WindowStream>(display(), window.windowID, configuration,
                                           std::move(onStop));
}

}  // namespace glimra

#include "platform/linux/x11_capture_feedback_service.h"

#include <xcb/randr.h>
#include <xcb/shape.h>

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>

#include "platform/linux/x11_properties.h"
#include "platform/linux/xcb_handles.h"

namespace glimra {
namespace {

constexpr char kInterfaceSchema[] = "org.gnome.desktop.interface";
constexpr char kAnimationsKey[] = "enable-animations";

constexpr int kCornerRadius = 10;
// Premultiplied ARGB: every channel of white at some alpha equals that
// alpha, so a pixel's bytes read the same in either byte order.
constexpr std::uint32_t kOpaqueWhite = 0xffffffff;

struct SchemaDeleter {
  void operator()(GSettingsSchema* schema) const { g_settings_schema_unref(schema); }
};
struct SchemaKeyDeleter {
  void operator()(GSettingsSchemaKey* key) const { g_settings_schema_key_unref(key); }
};

// Only a boolean can be read with g_settings_get_boolean without a critical
// warning on standard error.
bool hasBooleanKey(GSettingsSchema* schema, const char* name) {
  if (!g_settings_schema_has_key(schema, name)) return false;
  const std::unique_ptr<GSettingsSchemaKey, SchemaKeyDeleter> key(
      g_settings_schema_get_key(schema, name));
  return g_variant_type_equal(g_settings_schema_key_get_value_type(key.get()),
                              G_VARIANT_TYPE_BOOLEAN);
}

// Sent as a checked request whose error, should one come, is dropped as it
// arrives: nothing waits in the event queue, which this connection never
// reads.
void discardError(xcb_connection_t* connection, xcb_void_cookie_t cookie) {
  xcb_discard_reply(connection, cookie.sequence);
}

// True when the request succeeded; waits for the server's answer.
bool succeeded(xcb_connection_t* connection, xcb_void_cookie_t cookie) {
  return xcb::Error(xcb_request_check(connection, cookie)) == nullptr;
}

// Input shapes came with SHAPE 1.1.
bool hasInputShapes(xcb_connection_t* connection) {
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_shape_id);
  if (extension == nullptr || !extension->present) return false;
  xcb_generic_error_t* error = nullptr;
  const xcb::Reply<xcb_shape_query_version_reply_t> version(
      xcb_shape_query_version_reply(connection, xcb_shape_query_version(connection), &error));
  const xcb::Error released(error);
  return version && (version->major_version > 1 ||
                     (version->major_version == 1 && version->minor_version >= 1));
}

// The screen's 32-bit TrueColor visual with alpha in the top byte.
std::optional<xcb_visualid_t> argbVisual(xcb_screen_t* screen) {
  for (xcb_depth_iterator_t depths = xcb_screen_allowed_depths_iterator(screen); depths.rem > 0;
       xcb_depth_next(&depths)) {
    if (depths.data->depth != 32) continue;
    for (xcb_visualtype_iterator_t visuals = xcb_depth_visuals_iterator(depths.data);
         visuals.rem > 0; xcb_visualtype_next(&visuals)) {
      const xcb_visualtype_t& visual = *visuals.data;
      if (visual._class == XCB_VISUAL_CLASS_TRUE_COLOR && visual.red_mask == 0xff0000 &&
          visual.green_mask == 0xff00 && visual.blue_mask == 0xff) {
        return visual.visual_id;
      }
    }
  }
  return std::nullopt;
}

struct PixelRect {
  std::int16_t x;
  std::int16_t y;
  std::uint16_t width;
  std::uint16_t height;
};

// The whole pixels covering `frame` (screen space: y up from the root's
// bottom edge) in root coordinates, within what X11 can address; none for
// a frame that is not finite or covers no pixel.
std::optional<PixelRect> coveringPixels(const Rect& frame, double rootHeight) {
  const double left = std::floor(frame.x);
  const double right = std::ceil(frame.maxX());
  const double top = std::floor(rootHeight - frame.maxY());
  const double bottom = std::ceil(rootHeight - frame.y);
  if (!std::isfinite(left) || !std::isfinite(right) || !std::isfinite(top) ||
      !std::isfinite(bottom) || right <= left || bottom <= top) {
    return std::nullopt;
  }
  constexpr double kMinCoordinate = -32768;
  constexpr double kMaxCoordinate = 32767;
  return PixelRect{static_cast<std::int16_t>(std::clamp(left, kMinCoordinate, kMaxCoordinate)),
                   static_cast<std::int16_t>(std::clamp(top, kMinCoordinate, kMaxCoordinate)),
                   static_cast<std::uint16_t>(std::min(right - left, kMaxCoordinate)),
                   static_cast<std::uint16_t>(std::min(bottom - top, kMaxCoordinate))};
}

// How much of each pixel of a top-left corner of `radius` lies inside the
// rounding (0..255), row by row, from 4 x 4 samples a pixel.
std::vector<std::uint8_t> cornerCoverage(int radius) {
  constexpr int kSamples = 4;
  std::vector<std::uint8_t> coverage;
  coverage.reserve(static_cast<std::size_t>(radius * radius));
  for (int row = 0; row < radius; ++row) {
    for (int column = 0; column < radius; ++column) {
      int inside = 0;
      for (int sampleRow = 0; sampleRow < kSamples; ++sampleRow) {
        for (int sampleColumn = 0; sampleColumn < kSamples; ++sampleColumn) {
          const double dx = radius - (column + (sampleColumn + 0.5) / kSamples);
          const double dy = radius - (row + (sampleRow + 0.5) / kSamples);
          if (dx * dx + dy * dy <= radius * radius) ++inside;
        }
      }
      coverage.push_back(
          static_cast<std::uint8_t>(std::lround(255.0 * inside / (kSamples * kSamples))));
    }
  }
  return coverage;
}

struct PanelAtoms {
  xcb_atom_t opacity = XCB_ATOM_NONE;
  xcb_atom_t windowType = XCB_ATOM_NONE;
  xcb_atom_t notificationType = XCB_ATOM_NONE;
  xcb_atom_t state = XCB_ATOM_NONE;
  xcb_atom_t stateAbove = XCB_ATOM_NONE;
  xcb_atom_t skipTaskbar = XCB_ATOM_NONE;
  xcb_atom_t skipPager = XCB_ATOM_NONE;
  xcb_atom_t comptonShadow = XCB_ATOM_NONE;
};

// All in one round trip; an atom the server did not answer is
// XCB_ATOM_NONE, and setting a property named by it fails quietly.
PanelAtoms internPanelAtoms(xcb_connection_t* connection) {
  PanelAtoms atoms;
  const std::pair<xcb_atom_t*, std::string_view> names[] = {
      {&atoms.opacity, "_NET_WM_WINDOW_OPACITY"},
      {&atoms.windowType, "_NET_WM_WINDOW_TYPE"},
      {&atoms.notificationType, "_NET_WM_WINDOW_TYPE_NOTIFICATION"},
      {&atoms.state, "_NET_WM_STATE"},
      {&atoms.stateAbove, "_NET_WM_STATE_ABOVE"},
      {&atoms.skipTaskbar, "_NET_WM_STATE_SKIP_TASKBAR"},
      {&atoms.skipPager, "_NET_WM_STATE_SKIP_PAGER"},
      {&atoms.comptonShadow, "_COMPTON_SHADOW"},
  };
  std::vector<xcb_intern_atom_cookie_t> cookies;
  for (const auto& [atom, name] : names) {
    cookies.push_back(
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.data()));
  }
  for (std::size_t index = 0; index < cookies.size(); ++index) {
    xcb_generic_error_t* error = nullptr;
    const xcb::Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(connection, cookies[index], &error));
    const xcb::Error released(error);
    if (reply) *names[index].first = reply->atom;
  }
  return atoms;
}

void setCardinals(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property,
                  xcb_atom_t type, const std::vector<std::uint32_t>& values) {
  discardError(connection, xcb_change_property_checked(
                               connection, XCB_PROP_MODE_REPLACE, window, property, type, 32,
                               static_cast<std::uint32_t>(values.size()), values.data()));
}

// The flash as an X11 window: override-redirect, so no window manager
// frames, moves or focuses it; raised above every other window when it is
// ordered front; ARGB with its own colormap; an empty input shape, so
// clicks reach the window below; white with rounded corners; faded by the
// compositing manager through _NET_WM_WINDOW_OPACITY.
//
// X11 has no way to keep a window out of other programs' screen captures,
// so they may see the flash. The helper's own capture never does: it reads
// the target window's own contents through Composite, not the screen.
class X11FlashPanel final : public FlashPanel {
 public:
  X11FlashPanel(std::shared_ptr<xcb_connection_t> connection, const PixelRect& bounds,
                xcb_atom_t opacity)
      : connection_(std::move(connection)),
        window_(xcb_generate_id(connection_.get())),
        colormap_(xcb_generate_id(connection_.get())),
        graphics_(xcb_generate_id(connection_.get())),
        bounds_(bounds),
        opacity_(opacity) {}

  ~X11FlashPanel() override {
    xcb_connection_t* connection = connection_.get();
    discardError(connection, xcb_free_gc_checked(connection, graphics_));
    discardError(connection, xcb_destroy_window_checked(connection, window_));
    discardError(connection, xcb_free_colormap_checked(connection, colormap_));
    xcb_flush(connection);
  }

  // Creates the window, transparent and not mapped; false when the server
  // refused it.
  bool create(const xcb_screen_t& screen, xcb_visualid_t visual, const PanelAtoms& atoms) {
    xcb_connection_t* connection = connection_.get();
    const xcb_void_cookie_t colormapMade = xcb_create_colormap_checked(
        connection, XCB_COLORMAP_ALLOC_NONE, colormap_, screen.root, visual);
    // A visual other than the parent's needs its own border pixel and colormap.
    const std::uint32_t values[] = {kOpaqueWhite, 0, 1, colormap_};
    const xcb_void_cookie_t windowMade = xcb_create_window_checked(
        connection, 32, window_, screen.root, bounds_.x, bounds_.y, bounds_.width, bounds_.height,
        0, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual,
        XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_COLORMAP,
        values);
    const xcb_void_cookie_t graphicsMade =
        xcb_create_gc_checked(connection, graphics_, window_, 0, nullptr);
    discardError(connection, xcb_shape_rectangles_checked(
                                 connection, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT,
                                 XCB_CLIP_ORDERING_UNSORTED, window_, 0, 0, 0, nullptr));

    setCardinals(connection, window_, opacity_, XCB_ATOM_CARDINAL, {0});
    // For window managers and compositors that look at unmanaged windows
    // too; picom and compton draw no shadow when _COMPTON_SHADOW is 0.
    setCardinals(connection, window_, atoms.windowType, XCB_ATOM_ATOM, {atoms.notificationType});
    setCardinals(connection, window_, atoms.state, XCB_ATOM_ATOM,
                 {atoms.stateAbove, atoms.skipTaskbar, atoms.skipPager});
    setCardinals(connection, window_, atoms.comptonShadow, XCB_ATOM_CARDINAL, {0});

    // Each checked, so that no answer is left waiting.
    const bool colormapOK = succeeded(connection, colormapMade);
    const bool windowOK = succeeded(connection, windowMade);
    const bool graphicsOK = succeeded(connection, graphicsMade);
    return colormapOK && windowOK && graphicsOK;
  }

  void orderFront() override {
    xcb_connection_t* connection = connection_.get();
    discardError(connection, xcb_map_window_checked(connection, window_));
    const std::uint32_t stackMode = XCB_STACK_MODE_ABOVE;
    discardError(connection, xcb_configure_window_checked(
                                 connection, window_, XCB_CONFIG_WINDOW_STACK_MODE, &stackMode));
    drawCorners();
    xcb_flush(connection);
  }

  void setAlpha(double alpha) override {
    const double clamped = alpha > 0 ? std::min(alpha, 1.0) : 0.0;  // NaN counts as 0
    const auto opacity = static_cast<std::uint32_t>(std::llround(clamped * 0xffffffff));
    setCardinals(connection_.get(), window_, opacity_, XCB_ATOM_CARDINAL, {opacity});
    xcb_flush(connection_.get());
  }

  void orderOut() override {
    discardError(connection_.get(), xcb_unmap_window_checked(connection_.get(), window_));
    xcb_flush(connection_.get());
  }

 private:
  // The background paints the window white when it is mapped; the corners
  // are then cut out. Under a compositing manager the window keeps its
  // contents off screen, so they stay drawn.
  void drawCorners() {
    const int radius = std::min({kCornerRadius, bounds_.width / 2, bounds_.height / 2});
    if (radius <= 0) return;
    const std::vector<std::uint8_t> coverage = cornerCoverage(radius);
    std::vector<std::uint8_t> pixels(coverage.size() * 4);
    for (const bool right : {false, true}) {
      for (const bool bottom : {false, true}) {
        for (int row = 0; row < radius; ++row) {
          for (int column = 0; column < radius; ++column) {
            const std::uint8_t alpha =
                coverage[static_cast<std::size_t>((bottom ? radius - 1 - row : row) * radius +
                                                  (right ? radius - 1 - column : column))];
            std::fill_n(pixels.begin() + (row * radius + column) * 4, 4, alpha);
          }
        }
        discardError(connection_.get(),
                     xcb_put_image_checked(
                         connection_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, window_, graphics_,
                         static_cast<std::uint16_t>(radius), static_cast<std::uint16_t>(radius),
                         static_cast<std::int16_t>(right ? bounds_.width - radius : 0),
                         static_cast<std::int16_t>(bottom ? bounds_.height - radius : 0), 0, 32,
                         static_cast<std::uint32_t>(pixels.size()), pixels.data()));
      }
    }
  }

  const std::shared_ptr<xcb_connection_t> connection_;
  const xcb_window_t window_;
  const xcb_colormap_t colormap_;
  const xcb_gcontext_t graphics_;
  const PixelRect bounds_;
  const xcb_atom_t opacity_;
};

}  // namespace

X11CaptureFeedbackService::X11CaptureFeedbackService(DesktopSettingsSource settingsSource)
    : schemas_(settingsSource.schemas ? g_settings_schema_source_ref(settingsSource.schemas)
                                      : nullptr),
      settingsBackend_(settingsSource.backend
                           ? static_cast<GSettingsBackend*>(g_object_ref(settingsSource.backend))
                           : nullptr) {}

X11CaptureFeedbackService::~X11CaptureFeedbackService() = default;

bool X11CaptureFeedbackService::reduceMotion() {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  GSettings* settings = interfaceSettings();
  return settings != nullptr && !g_settings_get_boolean(settings, kAnimationsKey);
}

GSettings* X11CaptureFeedbackService::interfaceSettings() {
  if (lookedUpInterfaceSettings_) return interfaceSettings_.get();
  lookedUpInterfaceSettings_ = true;

  GSettingsSchemaSource* source =
      schemas_ ? schemas_.get() : g_settings_schema_source_get_default();
  if (source == nullptr) return nullptr;  // no schemas installed at all
  const std::unique_ptr<GSettingsSchema, SchemaDeleter> schema(
      g_settings_schema_source_lookup(source, kInterfaceSchema, TRUE));
  // A schema without a path would need one from us; the real one has it.
  if (!schema || g_settings_schema_get_path(schema.get()) == nullptr ||
      !hasBooleanKey(schema.get(), kAnimationsKey)) {
    return nullptr;
  }
  interfaceSettings_.reset(g_settings_new_full(schema.get(), settingsBackend_.get(), nullptr));
  return interfaceSettings_.get();
}

xcb_connection_t* X11CaptureFeedbackService::connection() {
  if (!triedToConnect_) {
    triedToConnect_ = true;
    if (xcb::Connection opened = xcb::connectToDisplay(&screenNumber_)) {
      hasMonitors_ = xcb::offersRandRMonitors(opened.get());
      hasInputShapes_ = hasInputShapes(opened.get());
      connection_ = std::move(opened);
    }
  }
  // A connection that broke since it was opened shows nothing.
  if (!connection_ || xcb_connection_has_error(connection_.get()) != 0) return nullptr;
  return connection_.get();
}

xcb_screen_t* X11CaptureFeedbackService::screen() {
  xcb_connection_t* display = connection();
  return display ? xcb::screenOfDisplay(display, screenNumber_) : nullptr;
}

std::vector<xcb::Monitor> X11CaptureFeedbackService::monitors() {
  xcb_screen_t* rootScreen = screen();
  if (rootScreen == nullptr) return {};
  return xcb::activeMonitors(connection_.get(), *rootScreen, hasMonitors_);
}

std::vector<Screen> X11CaptureFeedbackService::screens() {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  const std::vector<xcb::Monitor> found = monitors();
  if (found.empty()) return {};
  const double rootHeight = screen()->height_in_pixels;
  std::vector<Screen> result;
  for (const xcb::Monitor& monitor : found) {
    const Rect& bounds = monitor.bounds;
    result.push_back(
        {monitor.name, Rect{bounds.x, rootHeight - bounds.maxY(), bounds.width, bounds.height}});
  }
  return result;
}

Rect X11CaptureFeedbackService::displayBounds(std::uint32_t displayID) {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  for (const xcb::Monitor& monitor : monitors()) {
    if (monitor.name == displayID) return monitor.bounds;
  }
  return Rect{};
}

std::unique_ptr<FlashPanel> X11CaptureFeedbackService::makeFlashPanel(const Rect& frame) {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  xcb_screen_t* rootScreen = screen();
  if (rootScreen == nullptr || !hasInputShapes_) return nullptr;
  xcb_connection_t* display = connection_.get();
  // Without a compositing manager an ARGB window shows no transparency and
  // the opacity property fades nothing.
  if (!xcb::compositingManagerRuns(display, screenNumber_)) return nullptr;
  const std::optional<xcb_visualid_t> visual = argbVisual(rootScreen);
  if (!visual) return nullptr;
  const std::optional<PixelRect> bounds = coveringPixels(frame, rootScreen->height_in_pixels);
  if (!bounds) return nullptr;

  const PanelAtoms atoms = internPanelAtoms(display);
  auto panel = std::make_unique<X11FlashPanel>(connection_, *bounds, atoms.opacity);
  if (!panel->create(*rootScreen, *visual, atoms)) return nullptr;
  return panel;
}

}  // namespace glimra

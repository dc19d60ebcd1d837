#pragma once

#include <gio/gio.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/capture_feedback_service.h"
#include "platform/linux/glib_handles.h"
#include "platform/linux/x11_properties.h"
#include "runtime/sequence_checker.h"

namespace glimra {

// Where the desktop's settings are read. Null means GLib's default: the
// default schema source (installed schemas and GSETTINGS_SCHEMA_DIR) and
// the default settings backend (dconf on a GNOME-like desktop). Tests name
// their own, since GLib sets up its defaults once per process.
struct DesktopSettingsSource {
  GSettingsSchemaSource* schemas = nullptr;
  GSettingsBackend* backend = nullptr;
};

// The capture flash on an X11 desktop. Main thread only.
//
// - Reduce motion: the GNOME setting org.gnome.desktop.interface
//   enable-animations is false. Without that schema or key, motion is not
//   reduced. The schema is looked up before GSettings is asked, because
//   GSettings ends the process for a schema that is not installed.
// - Screens: the active RandR 1.5 monitors of the default screen, each
//   named by its name atom, which stays the same while the monitor exists
//   and is never 0. Without RandR 1.5 the root window is the one screen,
//   display 0. Screen space is the root flipped vertically (y up from the
//   root's bottom edge); display bounds are root coordinates (y down).
// - Flash panels: override-redirect ARGB windows with an empty input
//   shape, shown only while a compositing manager runs, which fades them
//   through _NET_WM_WINDOW_OPACITY.
//
// Connects to the display named by DISPLAY on first use and keeps the
// connection; panels share it, so they may outlive the service. With no
// display there are no screens and no panels.
class X11CaptureFeedbackService final : public CaptureFeedbackService {
 public:
  X11CaptureFeedbackService() : X11CaptureFeedbackService(DesktopSettingsSource{}) {}
  // Holds a reference to each source it is given.
  explicit X11CaptureFeedbackService(DesktopSettingsSource settingsSource);
  ~X11CaptureFeedbackService() override;

  bool reduceMotion() override;
  std::vector<Screen> screens() override;
  Rect displayBounds(std::uint32_t displayID) override;
  std::unique_ptr<FlashPanel> makeFlashPanel(const Rect& frame) override;

 private:
  struct SchemaSourceDeleter {
    void operator()(GSettingsSchemaSource* source) const { g_settings_schema_source_unref(source); }
  };

  // The open display, or null when there is none.
  xcb_connection_t* connection();
  xcb_screen_t* screen();
  std::vector<xcb::Monitor> monitors();
  // The settings holding enable-animations, or null without the schema.
  GSettings* interfaceSettings();

  std::unique_ptr<GSettingsSchemaSource, SchemaSourceDeleter> schemas_;
  glib::Object<GSettingsBackend> settingsBackend_;
  glib::Object<GSettings> interfaceSettings_;
  bool lookedUpInterfaceSettings_ = false;

  std::shared_ptr<xcb_connection_t> connection_;
  int screenNumber_ = 0;
  bool triedToConnect_ = false;
  bool hasMonitors_ = false;     // the server speaks RandR 1.5
  bool hasInputShapes_ = false;  // SHAPE 1.1, for panels that let clicks through
  SequenceChecker sequence_;
};

}  // namespace glimra

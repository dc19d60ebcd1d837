#include "platform/linux/x11_window_service.h"

#include <glib.h>
#include <signal.h>
#include <xcb/res.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "platform/linux/glib_handles.h"
#include "platform/linux/x11_properties.h"
#include "protocol/utf8.h"

namespace glimra {
namespace x11 {

struct WindowAtoms {
  xcb_atom_t utf8String, compoundText;
  xcb_atom_t activeWindow, clientListStacking, pid, name, icon, opacity;
  xcb_atom_t gtkApplicationId, kdeDesktopFile;
  xcb_atom_t windowType, typeNormal, typeDialog, typeUtility, typeToolbar, typeMenu, typeSplash,
      typeDock, typeDesktop, typeNotification, typeDropdownMenu, typePopupMenu, typeTooltip,
      typeCombo, typeDnd;
  xcb_atom_t state, stateAbove, stateBelow, stateHidden;
};

}  // namespace x11

namespace {

using x11::WindowAtoms;

// Where a window sits in the window manager's stacking; only 0 is an
// ordinary application window. Lower layers are drawn below higher ones.
constexpr std::int64_t kDesktopLayer = -1000;    // the desktop background
constexpr std::int64_t kBelowLayer = -1;         // kept below others (_NET_WM_STATE_BELOW)
constexpr std::int64_t kNormalLayer = 0;         // normal windows, dialogs, palettes
constexpr std::int64_t kAboveLayer = 3;          // kept above others (_NET_WM_STATE_ABOVE)
constexpr std::int64_t kSplashLayer = 5;         // shown while an application starts
constexpr std::int64_t kDockLayer = 20;          // panels and docks
constexpr std::int64_t kNotificationLayer = 25;  // notification bubbles
constexpr std::int64_t kPopupLayer = 101;        // menus, tooltips and drag icons

// Titles and identifiers longer than this are cut; icons larger than this
// are ignored (a 1024 x 1024 icon takes 4 MiB).
constexpr std::uint32_t kMaxTextBytes = 1u << 16;
constexpr std::uint32_t kMaxIconBytes = 16u << 20;
constexpr std::uint32_t kPreferredIconSide = 64;

std::unique_ptr<const WindowAtoms> internAtoms(xcb_connection_t* connection) {
  static constexpr std::pair<xcb_atom_t WindowAtoms::*, const char*> kNames[] = {
      {&WindowAtoms::utf8String, "UTF8_STRING"},
      {&WindowAtoms::compoundText, "COMPOUND_TEXT"},
      {&WindowAtoms::activeWindow, "_NET_ACTIVE_WINDOW"},
      {&WindowAtoms::clientListStacking, "_NET_CLIENT_LIST_STACKING"},
      {&WindowAtoms::pid, "_NET_WM_PID"},
      {&WindowAtoms::name, "_NET_WM_NAME"},
      {&WindowAtoms::icon, "_NET_WM_ICON"},
      {&WindowAtoms::opacity, "_NET_WM_WINDOW_OPACITY"},
      {&WindowAtoms::gtkApplicationId, "_GTK_APPLICATION_ID"},
      {&WindowAtoms::kdeDesktopFile, "_KDE_NET_WM_DESKTOP_FILE"},
      {&WindowAtoms::windowType, "_NET_WM_WINDOW_TYPE"},
      {&WindowAtoms::typeNormal, "_NET_WM_WINDOW_TYPE_NORMAL"},
      {&WindowAtoms::typeDialog, "_NET_WM_WINDOW_TYPE_DIALOG"},
      {&WindowAtoms::typeUtility, "_NET_WM_WINDOW_TYPE_UTILITY"},
      {&WindowAtoms::typeToolbar, "_NET_WM_WINDOW_TYPE_TOOLBAR"},
      {&WindowAtoms::typeMenu, "_NET_WM_WINDOW_TYPE_MENU"},
      {&WindowAtoms::typeSplash, "_NET_WM_WINDOW_TYPE_SPLASH"},
      {&WindowAtoms::typeDock, "_NET_WM_WINDOW_TYPE_DOCK"},
      {&WindowAtoms::typeDesktop, "_NET_WM_WINDOW_TYPE_DESKTOP"},
      {&WindowAtoms::typeNotification, "_NET_WM_WINDOW_TYPE_NOTIFICATION"},
      {&WindowAtoms::typeDropdownMenu, "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU"},
      {&WindowAtoms::typePopupMenu, "_NET_WM_WINDOW_TYPE_POPUP_MENU"},
      {&WindowAtoms::typeTooltip, "_NET_WM_WINDOW_TYPE_TOOLTIP"},
      {&WindowAtoms::typeCombo, "_NET_WM_WINDOW_TYPE_COMBO"},
      {&WindowAtoms::typeDnd, "_NET_WM_WINDOW_TYPE_DND"},
      {&WindowAtoms::state, "_NET_WM_STATE"},
      {&WindowAtoms::stateAbove, "_NET_WM_STATE_ABOVE"},
      {&WindowAtoms::stateBelow, "_NET_WM_STATE_BELOW"},
      {&WindowAtoms::stateHidden, "_NET_WM_STATE_HIDDEN"},
  };
  // All requests first, then all replies: one round trip instead of one per name.
  std::vector<xcb_intern_atom_cookie_t> cookies;
  for (const auto& [member, name] : kNames) {
    cookies.push_back(
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name));
  }
  auto atoms = std::make_unique<WindowAtoms>();
  for (std::size_t index = 0; index < cookies.size(); ++index) {
    xcb_generic_error_t* error = nullptr;
    const xcb::Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(connection, cookies[index], &error));
    const xcb::Error released(error);
    (*atoms).*kNames[index].first = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  }
  return atoms;
}

// ---- Reading properties -------------------------------------------------

std::optional<std::uint32_t> readCardinal(xcb_connection_t* connection, xcb_window_t window,
                                          xcb_atom_t property, xcb_atom_t type) {
  const std::optional<std::vector<std::uint32_t>> values =
      xcb::readCardinals(connection, window, property, type, 4);
  if (!values || values->empty()) return std::nullopt;
  return values->front();
}

bool contains(const std::vector<std::uint32_t>& atoms, xcb_atom_t atom) {
  return atom != XCB_ATOM_NONE && std::find(atoms.begin(), atoms.end(), atom) != atoms.end();
}

std::string latin1ToUTF8(std::string_view text) {
  std::string converted;
  converted.reserve(text.size());
  for (const char byte : text) {
    const auto code = static_cast<unsigned char>(byte);
    if (code < 0x80) {
      converted += byte;
    } else {
      converted += static_cast<char>(0xC0 | (code >> 6));
      converted += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return converted;
}

// A text property as valid UTF-8, cut at the first NUL: UTF8_STRING as it
// is, STRING as ICCCM defines it (Latin-1), and COMPOUND_TEXT when it holds
// no escape sequence, which makes it Latin-1 too. Other encodings are absent.
std::optional<std::string> readText(xcb_connection_t* connection, xcb_window_t window,
                                    xcb_atom_t property, const WindowAtoms& atoms) {
  const std::optional<xcb::PropertyValue> value =
      xcb::readProperty(connection, window, property, XCB_ATOM_ANY, kMaxTextBytes);
  if (!value || value->format != 8) return std::nullopt;
  std::string_view bytes(reinterpret_cast<const char*>(value->bytes.data()), value->bytes.size());
  bytes = bytes.substr(0, bytes.find('\0'));
  if (value->type == atoms.utf8String) return makeValidUTF8(bytes);
  if (value->type == XCB_ATOM_STRING) return latin1ToUTF8(bytes);
  if (value->type == atoms.compoundText && bytes.find('\x1b') == std::string_view::npos) {
    return latin1ToUTF8(bytes);
  }
  return std::nullopt;
}

// _NET_WM_NAME, else the ICCCM WM_NAME; an empty name stays empty.
std::optional<std::string> readTitle(xcb_connection_t* connection, xcb_window_t window,
                                     const WindowAtoms& atoms) {
  std::optional<std::string> title = readText(connection, window, atoms.name, atoms);
  if (title) return title;
  return readText(connection, window, XCB_ATOM_WM_NAME, atoms);
}

std::optional<std::int32_t> validProcess(std::optional<std::uint32_t> pid) {
  if (!pid || *pid == 0 || *pid > static_cast<std::uint32_t>(INT32_MAX)) return std::nullopt;
  return static_cast<std::int32_t>(*pid);
}

bool windowExists(xcb_connection_t* connection, xcb_window_t window) {
  xcb_generic_error_t* error = nullptr;
  const xcb::Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
      connection, xcb_get_window_attributes(connection, window), &error));
  const xcb::Error released(error);
  return attributes != nullptr;
}

// The process of the local client that made `window`, as the server knows
// it from the connection (X-Resource 1.2); none for remote clients or
// without the extension. The server answers by the client part of the id,
// so a window that is gone is asked about first.
std::optional<std::int32_t> serverKnownProcessOf(xcb_connection_t* connection,
                                                 xcb_window_t window) {
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_res_id);
  if (extension == nullptr || !extension->present) return std::nullopt;
  if (!windowExists(connection, window)) return std::nullopt;
  const xcb_res_client_id_spec_t spec{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
  xcb_generic_error_t* error = nullptr;
  const xcb::Reply<xcb_res_query_client_ids_reply_t> reply(xcb_res_query_client_ids_reply(
      connection, xcb_res_query_client_ids(connection, 1, &spec), &error));
  const xcb::Error released(error);
  if (!reply) return std::nullopt;
  for (auto ids = xcb_res_query_client_ids_ids_iterator(reply.get()); ids.rem > 0;
       xcb_res_client_id_value_next(&ids)) {
    if ((ids.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 &&
        xcb_res_client_id_value_value_length(ids.data) >= 1) {
      return validProcess(*xcb_res_client_id_value_value(ids.data));
    }
  }
  return std::nullopt;
}

// The window's process: the one it names in _NET_WM_PID, else the one the
// server saw create it, for programs that do not set the property.
std::optional<std::int32_t> processOf(xcb_connection_t* connection, xcb_window_t window,
                                      const WindowAtoms& atoms) {
  if (std::optional<std::int32_t> pid =
          validProcess(readCardinal(connection, window, atoms.pid, XCB_ATOM_CARDINAL))) {
    return pid;
  }
  return serverKnownProcessOf(connection, window);
}

// WM_CLASS: the instance name, then the class name, each ended by a NUL.
struct WindowClass {
  std::string instance;
  std::string className;
};

WindowClass readWindowClass(xcb_connection_t* connection, xcb_window_t window) {
  const std::optional<xcb::PropertyValue> value =
      xcb::readProperty(connection, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 4096);
  if (!value || value->format != 8) return {};
  const std::string_view bytes(reinterpret_cast<const char*>(value->bytes.data()),
                               value->bytes.size());
  const std::size_t end = bytes.find('\0');
  if (end == std::string_view::npos) return {latin1ToUTF8(bytes), {}};
  const std::string_view rest = bytes.substr(end + 1);
  return {latin1ToUTF8(bytes.substr(0, end)), latin1ToUTF8(rest.substr(0, rest.find('\0')))};
}

// ---- Desktop entries ----------------------------------------------------
//
// Entries are found in the data directories as GLib names them (so
// XDG_DATA_HOME and XDG_DATA_DIRS apply) and read with GKeyFile. GIO's
// GDesktopAppInfo would keep every entry cached and watched by file
// monitors on GLib's worker thread; reading the few files a capture needs,
// as they are now, starts no thread.

constexpr char kEntryGroup[] = "Desktop Entry";

struct DesktopEntry {
  std::string id;  // the desktop id without ".desktop"
  std::string name;
};

constexpr std::string_view kDesktopSuffix = ".desktop";

std::string withoutDesktopSuffix(std::string_view id) {
  if (id.size() > kDesktopSuffix.size() && id.ends_with(kDesktopSuffix)) {
    id.remove_suffix(kDesktopSuffix.size());
  }
  return std::string(id);
}

// A desktop file and its id without ".desktop": its path below an
// "applications" directory, with '/' written as '-'.
struct DesktopFile {
  std::string id;
  std::filesystem::path path;
};

// Adds the desktop files below `applications` whose ids are not in `seen`.
void collectDesktopFiles(const std::filesystem::path& applications, std::vector<DesktopFile>& files,
                         std::unordered_set<std::string>& seen) {
  std::vector<DesktopFile> found;
  std::error_code walkError;
  for (auto entry = std::filesystem::recursive_directory_iterator(
           applications, std::filesystem::directory_options::skip_permission_denied, walkError);
       !walkError && entry != std::filesystem::recursive_directory_iterator();
       entry.increment(walkError)) {
    const std::string relative = entry->path().lexically_relative(applications).string();
    std::error_code typeError;
    if (!relative.ends_with(kDesktopSuffix) || !entry->is_regular_file(typeError)) continue;
    std::string id = withoutDesktopSuffix(relative);
    std::replace(id.begin(), id.end(), '/', '-');
    found.push_back({std::move(id), entry->path()});
  }
  std::sort(found.begin(), found.end(),
            [](const DesktopFile& a, const DesktopFile& b) { return a.id < b.id; });
  for (DesktopFile& file : found) {
    if (seen.insert(file.id).second) files.push_back(std::move(file));
  }
}

// Every desktop file of XDG_DATA_HOME, then of XDG_DATA_DIRS in order; an
// id found earlier hides the same id further on.
std::vector<DesktopFile> desktopFiles() {
  std::vector<DesktopFile> files;
  std::unordered_set<std::string> seen;
  collectDesktopFiles(std::filesystem::path(g_get_user_data_dir()) / "applications", files, seen);
  for (const gchar* const* directory = g_get_system_data_dirs(); *directory != nullptr;
       ++directory) {
    collectDesktopFiles(std::filesystem::path(*directory) / "applications", files, seen);
  }
  return files;
}

std::optional<std::string> fileContents(const std::filesystem::path& path) {
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return std::nullopt;
  const glib::Text owned(contents);
  return std::string(contents, length);
}

glib::KeyFile parseEntry(const std::string& contents) {
  glib::KeyFile file(g_key_file_new());
  if (!g_key_file_load_from_data(file.get(), contents.data(), contents.size(), G_KEY_FILE_NONE,
                                 nullptr) ||
      !g_key_file_has_group(file.get(), kEntryGroup)) {
    return nullptr;
  }
  return file;
}

// The entry with its Name in the user's language, unless it cannot be read,
// has no name or is hidden (which deletes it).
std::optional<DesktopEntry> readEntry(const std::filesystem::path& path, std::string_view id) {
  const std::optional<std::string> contents = fileContents(path);
  const glib::KeyFile file = contents ? parseEntry(*contents) : nullptr;
  if (!file || g_key_file_get_boolean(file.get(), kEntryGroup, "Hidden", nullptr)) {
    return std::nullopt;
  }
  const glib::Text name(
      g_key_file_get_locale_string(file.get(), kEntryGroup, "Name", nullptr, nullptr));
  if (!name) return std::nullopt;
  return DesktopEntry{makeValidUTF8(id), makeValidUTF8(name.get())};
}

bool startupClassIs(const std::filesystem::path& path, const std::string& className) {
  const std::optional<std::string> contents = fileContents(path);
  // Most entries do not mention the class at all and need not be parsed.
  if (!contents || contents->find(className) == std::string::npos) return false;
  const glib::KeyFile file = parseEntry(*contents);
  if (!file) return false;
  const glib::Text startupClass(
      g_key_file_get_string(file.get(), kEntryGroup, "StartupWMClass", nullptr));
  return startupClass && className == startupClass.get();
}

std::optional<DesktopEntry> entryWithId(const std::vector<DesktopFile>& files,
                                        std::string_view id) {
  const std::string bareId = withoutDesktopSuffix(id);
  for (const DesktopFile& file : files) {
    if (file.id == bareId) return readEntry(file.path, file.id);
  }
  return std::nullopt;
}

// KDE names the entry by its desktop id or, now and then, by its path.
std::optional<DesktopEntry> entryOfKdeDesktopFile(const std::vector<DesktopFile>& files,
                                                  const std::string& value) {
  if (value.empty() || value.front() != '/') return entryWithId(files, value);
  const std::filesystem::path path(value);
  return readEntry(path, withoutDesktopSuffix(path.filename().string()));
}

// The entry whose StartupWMClass is the window's class; failing that, the
// first whose desktop id is its class or instance, ignoring case.
std::optional<DesktopEntry> entryOfWindowClass(const std::vector<DesktopFile>& files,
                                               const WindowClass& windowClass) {
  if (!windowClass.className.empty()) {
    for (const DesktopFile& file : files) {
      if (!startupClassIs(file.path, windowClass.className)) continue;
      if (std::optional<DesktopEntry> entry = readEntry(file.path, file.id)) return entry;
    }
  }
  for (const DesktopFile& file : files) {
    for (const std::string* name : {&windowClass.className, &windowClass.instance}) {
      if (name->empty() || g_ascii_strcasecmp(file.id.c_str(), name->c_str()) != 0) continue;
      if (std::optional<DesktopEntry> entry = readEntry(file.path, file.id)) return entry;
    }
  }
  return std::nullopt;
}

std::optional<DesktopEntry> desktopEntryOf(xcb_connection_t* connection, xcb_window_t window,
                                           const WindowClass& windowClass,
                                           const WindowAtoms& atoms) {
  const std::vector<DesktopFile> files = desktopFiles();
  if (const std::optional<std::string> id =
          readText(connection, window, atoms.gtkApplicationId, atoms)) {
    if (std::optional<DesktopEntry> entry = entryWithId(files, *id)) return entry;
  }
  if (const std::optional<std::string> file =
          readText(connection, window, atoms.kdeDesktopFile, atoms)) {
    if (std::optional<DesktopEntry> entry = entryOfKdeDesktopFile(files, *file)) return entry;
  }
  return entryOfWindowClass(files, windowClass);
}

// The application of process `pid`, named by the desktop entry of `window`,
// its window; without an entry, by the window's class.
RunningApplication describeApplication(xcb_connection_t* connection, xcb_window_t window,
                                       std::int32_t pid, const WindowAtoms& atoms) {
  RunningApplication application;
  application.processIdentifier = pid;
  application.isTerminated = ::kill(pid, 0) != 0 && errno == ESRCH;
  application.handle = window;
  const WindowClass windowClass = readWindowClass(connection, window);
  if (std::optional<DesktopEntry> entry = desktopEntryOf(connection, window, windowClass, atoms)) {
    application.bundleIdentifier = std::move(entry->id);
    application.localizedName = std::move(entry->name);
  } else if (!windowClass.className.empty()) {
    application.localizedName = windowClass.className;
  }
  return application;
}

// ---- The window list ----------------------------------------------------

// The first window type the list names that is known decides; a window
// without one is a normal window. Of normal windows, those the user asked
// to keep above or below the others are on a layer of their own.
std::int64_t layerOf(const std::vector<std::uint32_t>& types,
                     const std::vector<std::uint32_t>& states, const WindowAtoms& atoms) {
  for (const xcb_atom_t type : types) {
    if (type == XCB_ATOM_NONE) continue;
    if (type == atoms.typeDesktop) return kDesktopLayer;
    if (type == atoms.typeDock) return kDockLayer;
    if (type == atoms.typeNotification) return kNotificationLayer;
    if (type == atoms.typeSplash) return kSplashLayer;
    if (type == atoms.typeDropdownMenu || type == atoms.typePopupMenu ||
        type == atoms.typeTooltip || type == atoms.typeCombo || type == atoms.typeDnd) {
      return kPopupLayer;
    }
    if (type == atoms.typeNormal || type == atoms.typeDialog || type == atoms.typeUtility ||
        type == atoms.typeToolbar || type == atoms.typeMenu) {
      break;
    }
  }
  if (contains(states, atoms.stateAbove)) return kAboveLayer;
  if (contains(states, atoms.stateBelow)) return kBelowLayer;
  return kNormalLayer;
}

// Compositors read the opacity from the frame, where window managers copy
// it from the client; either may be the one that holds it.
std::optional<double> opacityOf(xcb_connection_t* connection, xcb_window_t client,
                                xcb_window_t frame, const WindowAtoms& atoms) {
  std::optional<std::uint32_t> opacity =
      readCardinal(connection, client, atoms.opacity, XCB_ATOM_CARDINAL);
  if (!opacity && frame != client) {
    opacity = readCardinal(connection, frame, atoms.opacity, XCB_ATOM_CARDINAL);
  }
  if (!opacity) return std::nullopt;
  return static_cast<double>(*opacity) / 0xffffffffu;
}

std::optional<std::uint8_t> mapStateOf(xcb_connection_t* connection, xcb_window_t window) {
  xcb_generic_error_t* error = nullptr;
  const xcb::Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
      connection, xcb_get_window_attributes(connection, window), &error));
  const xcb::Error released(error);
  if (!attributes) return std::nullopt;
  return attributes->map_state;
}

// The client window as the window list reports it, or none when it is gone.
// The frame is asked last, so a window destroyed while it is read drops out.
std::optional<WindowRecord> describeClient(xcb_connection_t* connection, xcb_window_t client,
                                           const WindowAtoms& atoms) {
  WindowRecord window;
  window.number = client;
  window.ownerPID = processOf(connection, client, atoms);
  const std::vector<std::uint32_t> types =
      xcb::readCardinals(connection, client, atoms.windowType, XCB_ATOM_ATOM, 4096)
          .value_or(std::vector<std::uint32_t>{});
  const std::vector<std::uint32_t> states =
      xcb::readCardinals(connection, client, atoms.state, XCB_ATOM_ATOM, 4096)
          .value_or(std::vector<std::uint32_t>{});
  window.layer = layerOf(types, states, atoms);
  window.name = readTitle(connection, client, atoms);

  const xcb_window_t frame = xcb::topLevelAncestor(connection, client);
  if (frame == XCB_WINDOW_NONE) return std::nullopt;
  window.alpha = opacityOf(connection, client, frame, atoms);
  const std::optional<std::uint8_t> mapState = mapStateOf(connection, frame);
  if (!mapState) return std::nullopt;
  window.isOnscreen = *mapState == XCB_MAP_STATE_VIEWABLE && !contains(states, atoms.stateHidden);
  window.bounds = xcb::rootBounds(connection, frame);
  if (!window.bounds) return std::nullopt;
  return window;
}

// ---- Icons --------------------------------------------------------------

struct IconEntry {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::size_t offset = 0;  // of the first pixel
};

// The images a _NET_WM_ICON holds, in order. Reading stops at the first
// one that claims more pixels than follow it, since nothing after that can
// be trusted; images without pixels are skipped.
std::vector<IconEntry> iconEntries(const std::vector<std::uint32_t>& data) {
  std::vector<IconEntry> entries;
  std::size_t index = 0;
  while (data.size() - index >= 2) {
    const std::uint32_t width = data[index];
    const std::uint32_t height = data[index + 1];
    index += 2;
    const std::uint64_t pixels = std::uint64_t{width} * height;
    if (pixels > data.size() - index) break;
    if (pixels > 0) entries.push_back({width, height, index});
    index += static_cast<std::size_t>(pixels);
  }
  return entries;
}

// The smallest image of at least 64 x 64, else the largest.
std::optional<IconEntry> bestIcon(const std::vector<IconEntry>& entries) {
  const auto area = [](const IconEntry& entry) {
    return std::uint64_t{entry.width} * entry.height;
  };
  std::optional<IconEntry> smallestLargeEnough;
  std::optional<IconEntry> largest;
  for (const IconEntry& entry : entries) {
    if (entry.width >= kPreferredIconSide && entry.height >= kPreferredIconSide &&
        (!smallestLargeEnough || area(entry) < area(*smallestLargeEnough))) {
      smallestLargeEnough = entry;
    }
    if (!largest || area(entry) > area(*largest)) largest = entry;
  }
  return smallestLargeEnough ? smallestLargeEnough : largest;
}

std::uint32_t premultiplied(std::uint32_t argb) {
  const std::uint32_t alpha = argb >> 24;
  const auto scale = [alpha](std::uint32_t channel) { return (channel * alpha + 127) / 255; };
  return (alpha << 24) | (scale((argb >> 16) & 0xff) << 16) | (scale((argb >> 8) & 0xff) << 8) |
         scale(argb & 0xff);
}

Image iconImage(const std::vector<std::uint32_t>& data, const IconEntry& entry) {
  // iconEntries bounds width * height by the data's length, so both fit an int.
  Image image = Image::blank(static_cast<int>(entry.width), static_cast<int>(entry.height),
                             Image::Alpha::premultiplied);
  std::transform(data.begin() + static_cast<std::ptrdiff_t>(entry.offset),
                 data.begin() + static_cast<std::ptrdiff_t>(entry.offset + image.pixels.size()),
                 image.pixels.begin(), premultiplied);
  return image;
}

}  // namespace

X11WindowService::X11WindowService() = default;
X11WindowService::~X11WindowService() = default;

xcb_connection_t* X11WindowService::connection() {
  if (!triedToConnect_) {
    triedToConnect_ = true;
    int screenNumber = 0;
    xcb::Connection opened = xcb::connectToDisplay(&screenNumber);
    const xcb_screen_t* screen =
        opened ? xcb::screenOfDisplay(opened.get(), screenNumber) : nullptr;
    if (screen != nullptr) {
      root_ = screen->root;
      atoms_ = internAtoms(opened.get());
      connection_ = std::move(opened);
    }
  }
  // A connection that broke since it was opened answers nothing.
  if (!connection_ || xcb_connection_has_error(connection_.get()) != 0) return nullptr;
  return connection_.get();
}

std::optional<RunningApplication> X11WindowService::frontmostApplication() {
  xcb_connection_t* display = connection();
  if (display == nullptr) return std::nullopt;
  const std::optional<std::uint32_t> active =
      readCardinal(display, root_, atoms_->activeWindow, XCB_ATOM_WINDOW);
  if (!active || *active == XCB_WINDOW_NONE) return std::nullopt;
  const std::optional<std::int32_t> pid = processOf(display, *active, *atoms_);
  if (!pid) return std::nullopt;
  return describeApplication(display, *active, *pid, *atoms_);
}

std::optional<std::int32_t> X11WindowService::activeWindowProcess() {
  xcb_connection_t* display = connection();
  if (display == nullptr) return std::nullopt;
  const std::optional<std::uint32_t> active =
      readCardinal(display, root_, atoms_->activeWindow, XCB_ATOM_WINDOW);
  if (!active || *active == XCB_WINDOW_NONE) return std::nullopt;
  return processOf(display, *active, *atoms_);
}

std::optional<RunningApplication> X11WindowService::runningApplication(
    std::int32_t processIdentifier) {
  xcb_connection_t* display = connection();
  if (display == nullptr || processIdentifier <= 0) return std::nullopt;
  const std::optional<std::vector<std::uint32_t>> bottomToTop =
      xcb::readCardinals(display, root_, atoms_->clientListStacking, XCB_ATOM_WINDOW);
  if (!bottomToTop) return std::nullopt;
  for (auto client = bottomToTop->rbegin(); client != bottomToTop->rend(); ++client) {
    if (processOf(display, *client, *atoms_) == processIdentifier) {
      return describeApplication(display, *client, processIdentifier, *atoms_);
    }
  }
  return std::nullopt;
}

std::optional<std::vector<WindowRecord>> X11WindowService::onScreenWindows() {
  xcb_connection_t* display = connection();
  if (display == nullptr) return std::nullopt;
  const std::optional<std::vector<std::uint32_t>> bottomToTop =
      xcb::readCardinals(display, root_, atoms_->clientListStacking, XCB_ATOM_WINDOW);
  if (!bottomToTop) return std::nullopt;

  std::vector<WindowRecord> frontToBack;
  frontToBack.reserve(bottomToTop->size());
  for (auto client = bottomToTop->rbegin(); client != bottomToTop->rend(); ++client) {
    if (std::optional<WindowRecord> window = describeClient(display, *client, *atoms_)) {
      frontToBack.push_back(std::move(*window));
    }
  }
  return frontToBack;
}

std::optional<Image> X11WindowService::applicationIcon(const RunningApplication& application) {
  xcb_connection_t* display = connection();
  if (display == nullptr || application.handle == XCB_WINDOW_NONE ||
      application.handle > std::numeric_limits<xcb_window_t>::max()) {
    return std::nullopt;
  }
  const std::optional<std::vector<std::uint32_t>> data =
      xcb::readCardinals(display, static_cast<xcb_window_t>(application.handle), atoms_->icon,
                         XCB_ATOM_CARDINAL, kMaxIconBytes);
  if (!data) return std::nullopt;
  const std::optional<IconEntry> best = bestIcon(iconEntries(*data));
  if (!best) return std::nullopt;
  return iconImage(*data, *best);
}

}  // namespace glimra

#include "platform/linux/x11_properties.h"

#include <xcb/randr.h>

#include <cstring>

#include "platform/linux/xcb_handles.h"

namespace glimra::xcb {

xcb_atom_t internAtom(xcb_connection_t* connection, std::string_view name) {
  xcb_generic_error_t* error = nullptr;
  const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      connection,
      xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.data()),
      &error));
  const Error released(error);
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::optional<PropertyValue> readProperty(xcb_connection_t* connection, xcb_window_t window,
                                          xcb_atom_t property, xcb_atom_t type,
                                          std::uint32_t maxBytes) {
  if (property == XCB_ATOM_NONE) return std::nullopt;
  xcb_generic_error_t* error = nullptr;
  const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      connection, xcb_get_property(connection, 0, window, property, type, 0, maxBytes / 4),
      &error));
  const Error released(error);
  if (!reply || reply->type == XCB_ATOM_NONE) return std::nullopt;
  if (type != XCB_ATOM_ANY && reply->type != type) return std::nullopt;

  const int length = xcb_get_property_value_length(reply.get());
  const auto* value = static_cast<const std::uint8_t*>(xcb_get_property_value(reply.get()));
  return PropertyValue{reply->type, reply->format,
                       std::vector<std::uint8_t>(value, value + length)};
}

std::optional<std::vector<std::uint32_t>> readCardinals(xcb_connection_t* connection,
                                                        xcb_window_t window, xcb_atom_t property,
                                                        xcb_atom_t type, std::uint32_t maxBytes) {
  std::optional<PropertyValue> value = readProperty(connection, window, property, type, maxBytes);
  if (!value || value->format != 32) return std::nullopt;
  std::vector<std::uint32_t> numbers(value->bytes.size() / 4);
  // An empty property has no storage, and memcpy must not see a null pointer.
  if (!numbers.empty()) std::memcpy(numbers.data(), value->bytes.data(), numbers.size() * 4);
  return numbers;
}

std::optional<std::string> readText(xcb_connection_t* connection, xcb_window_t window,
                                    xcb_atom_t property) {
  std::optional<PropertyValue> value =
      readProperty(connection, window, property, XCB_ATOM_ANY, 1u << 16);
  if (!value || value->format != 8) return std::nullopt;
  const xcb_atom_t utf8String = internAtom(connection, "UTF8_STRING");
  if (value->type != utf8String && value->type != XCB_ATOM_STRING) return std::nullopt;
  return std::string(value->bytes.begin(), value->bytes.end());
}

xcb_window_t topLevelAncestor(xcb_connection_t* connection, xcb_window_t window) {
  while (true) {
    xcb_generic_error_t* error = nullptr;
    const Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection, xcb_query_tree(connection, window), &error));
    const Error released(error);
    if (!tree) return XCB_WINDOW_NONE;
    if (tree->parent == tree->root || tree->parent == XCB_WINDOW_NONE) return window;
    window = tree->parent;
  }
}

std::optional<Rect> rootBounds(xcb_connection_t* connection, xcb_window_t window) {
  xcb_generic_error_t* error = nullptr;
  const Reply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), &error));
  const Error geometryError(error);
  if (!geometry) return std::nullopt;

  // Translating the origin of the window's parent gives the position of
  // the border's outer corner, which is where the geometry's x and y are.
  error = nullptr;
  const Reply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(
      connection, xcb_translate_coordinates(connection, window, geometry->root, 0, 0), &error));
  const Error originError(error);
  if (!origin) return std::nullopt;

  const double border = geometry->border_width;
  return Rect{static_cast<double>(origin->dst_x) - border,
              static_cast<double>(origin->dst_y) - border, geometry->width + 2 * border,
              geometry->height + 2 * border};
}

bool offersRandRMonitors(xcb_connection_t* connection) {
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_randr_id);
  if (extension == nullptr || !extension->present) return false;
  xcb_generic_error_t* error = nullptr;
  const Reply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(connection, xcb_randr_query_version(connection, 1, 5), &error));
  const Error released(error);
  return version && (version->major_version > 1 ||
                     (version->major_version == 1 && version->minor_version >= 5));
}

std::vector<Monitor> activeMonitors(xcb_connection_t* connection, const xcb_screen_t& screen,
                                    bool monitorsOffered) {
  std::vector<Monitor> monitors;
  if (monitorsOffered) {
    xcb_generic_error_t* error = nullptr;
    const Reply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
        connection, xcb_randr_get_monitors(connection, screen.root, 1), &error));
    const Error released(error);
    for (auto monitor = reply ? xcb_randr_get_monitors_monitors_iterator(reply.get())
                              : xcb_randr_monitor_info_iterator_t{};
         monitor.rem > 0; xcb_randr_monitor_info_next(&monitor)) {
      const xcb_randr_monitor_info_t& info = *monitor.data;
      if (info.width == 0 || info.height == 0) continue;
      monitors.push_back(
          {info.name, Rect{static_cast<double>(info.x), static_cast<double>(info.y),
                           static_cast<double>(info.width), static_cast<double>(info.height)}});
    }
  }
  if (monitors.empty()) {
    monitors.push_back({XCB_ATOM_NONE, Rect{0, 0, static_cast<double>(screen.width_in_pixels),
                                            static_cast<double>(screen.height_in_pixels)}});
  }
  return monitors;
}

bool compositingManagerRuns(xcb_connection_t* connection, int screenNumber) {
  const xcb_atom_t selection =
      internAtom(connection, "_NET_WM_CM_S" + std::to_string(screenNumber));
  if (selection == XCB_ATOM_NONE) return false;
  xcb_generic_error_t* error = nullptr;
  const Reply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
      connection, xcb_get_selection_owner(connection, selection), &error));
  const Error released(error);
  return owner && owner->owner != XCB_WINDOW_NONE;
}

}  // namespace glimra::xcb

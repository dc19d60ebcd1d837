#include "platform/linux/gio_application_registry.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <algorithm>
#include <memory>

#include "platform/linux/glib_handles.h"
#include "protocol/utf8.h"

namespace glimra {
namespace {

struct UriUnref {
  void operator()(GUri* uri) const { g_uri_unref(uri); }
};

// A list of application infos that owns its elements.
struct AppInfoListFree {
  void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using AppInfoList = std::unique_ptr<GList, AppInfoListFree>;

constexpr char kEntryGroup[] = "Desktop Entry";

RegistryElement elementOf(GAppInfo* info) {
  // Every handler GIO reads from the data directories is a desktop entry
  // with a file; anything else has no location.
  if (!G_IS_DESKTOP_APP_INFO(info)) return RegistryElement{};
  const char* filename = g_desktop_app_info_get_filename(G_DESKTOP_APP_INFO(info));
  if (filename == nullptr) return RegistryElement{};
  return RegistryElement{std::string(filename)};
}

// The handlers of `contentType`: GIO's default first, then the rest of its
// list without the default again.
std::vector<RegistryElement> handlersOf(const char* contentType) {
  std::vector<RegistryElement> elements;
  const glib::Object<GAppInfo> preferred(g_app_info_get_default_for_type(contentType, FALSE));
  if (preferred) elements.push_back(elementOf(preferred.get()));
  const AppInfoList all(g_app_info_get_all_for_type(contentType));
  for (GList* item = all.get(); item != nullptr; item = item->next) {
    GAppInfo* info = G_APP_INFO(item->data);
    if (preferred && g_app_info_equal(info, preferred.get())) continue;
    elements.push_back(elementOf(info));
  }
  return elements;
}

std::string canonicalFilename(const char* path) {
  const glib::Text canonical(g_canonicalize_filename(path, nullptr));
  return canonical.get();
}

// The desktop id of `path` (standardized, ending in ".desktop") if it lies
// below `dataDirectory`/applications.
std::optional<std::string> desktopIdBelow(const std::string& path, const char* dataDirectory) {
  const glib::Text applications(g_build_filename(dataDirectory, "applications", nullptr));
  const std::string directory = canonicalFilename(applications.get()) + "/";
  if (!path.starts_with(directory)) return std::nullopt;
  std::string id = path.substr(directory.size());
  id.resize(id.size() - GioApplicationRegistry::kDesktopEntrySuffix.size());
  if (id.empty()) return std::nullopt;
  std::replace(id.begin(), id.end(), '/', '-');
  return id;
}

std::optional<std::string> optionalLocaleString(GKeyFile* file, const char* key) {
  // A value that is not valid UTF-8 counts as no value.
  glib::Text value(g_key_file_get_locale_string(file, kEntryGroup, key, nullptr, nullptr));
  if (!value) return std::nullopt;
  return std::string(value.get());
}

}  // namespace

std::optional<std::vector<RegistryElement>> GioApplicationRegistry::applicationsForFile(
    const std::filesystem::path& file) {
  const glib::Object<GFile> location(g_file_new_for_path(file.c_str()));
  const glib::Object<GFileInfo> info(g_file_query_info(location.get(),
                                                       G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE,
                                                       G_FILE_QUERY_INFO_NONE, nullptr, nullptr));
  if (!info) return std::nullopt;
  const char* contentType = g_file_info_get_content_type(info.get());
  if (contentType == nullptr) return std::nullopt;
  return handlersOf(contentType);
}

std::optional<std::vector<RegistryElement>> GioApplicationRegistry::viewersOfWebAddress(
    std::string_view webAddress) {
  const std::string address(webAddress);
  const std::unique_ptr<GUri, UriUnref> uri(
      g_uri_parse(address.c_str(), G_URI_FLAGS_NONE, nullptr));
  if (!uri || g_uri_get_scheme(uri.get()) == nullptr) return std::nullopt;
  // Schemes are case-insensitive; handler types name them in lower case.
  const glib::Text scheme(g_ascii_strdown(g_uri_get_scheme(uri.get()), -1));
  const std::string contentType = std::string("x-scheme-handler/") + scheme.get();
  return handlersOf(contentType.c_str());
}

std::string GioApplicationRegistry::standardizedPath(std::string_view applicationLocation) {
  return makeValidUTF8(canonicalFilename(std::string(applicationLocation).c_str()));
}

std::optional<ApplicationDescription> GioApplicationRegistry::openApplication(
    std::string_view applicationLocation) {
  const std::string path(applicationLocation);
  glib::KeyFile file(g_key_file_new());
  if (!g_key_file_load_from_file(file.get(), path.c_str(), G_KEY_FILE_NONE, nullptr) ||
      !g_key_file_has_group(file.get(), kEntryGroup)) {
    return std::nullopt;
  }
  ApplicationDescription description;
  description.displayName = optionalLocaleString(file.get(), "X-GNOME-FullName");
  description.name = optionalLocaleString(file.get(), "Name");
  description.identifier = desktopIdOfEntryFile(path);
  return description;
}

std::optional<std::string> desktopIdOfEntryFile(std::string_view path) {
  const std::string canonical = canonicalFilename(std::string(path).c_str());
  if (!canonical.ends_with(GioApplicationRegistry::kDesktopEntrySuffix)) return std::nullopt;
  std::optional<std::string> id = desktopIdBelow(canonical, g_get_user_data_dir());
  for (const gchar* const* directory = g_get_system_data_dirs(); !id && *directory != nullptr;
       ++directory) {
    id = desktopIdBelow(canonical, *directory);
  }
  if (!id) return std::nullopt;
  return makeValidUTF8(*id);
}

}  // namespace glimra

#include "support/private_xdg_data.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace glimra::testing {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, std::string_view contents) {
  fs::create_directories(path.parent_path());
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << contents;
  if (!file.flush()) throw std::runtime_error("cannot write " + path.string());
}

// The installed shared MIME database: "mime" below one of the system's data
// directories, as this process names them.
fs::path sharedMimeDatabase() {
  const char* configured = std::getenv("XDG_DATA_DIRS");
  std::istringstream directories(configured && *configured ? configured
                                                           : "/usr/local/share:/usr/share");
  for (std::string directory; std::getline(directories, directory, ':');) {
    if (directory.empty()) continue;
    const fs::path mime = fs::path(directory) / "mime";
    std::error_code error;
    if (fs::exists(mime / "mime.cache", error)) return mime;
  }
  throw std::runtime_error("no shared MIME database (install shared-mime-info)");
}

}  // namespace

PrivateXdgData::PrivateXdgData() {
  std::string path = (fs::temp_directory_path() / "glimra-xdg-XXXXXX").string();
  if (::mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = path;
  for (const char* directory : {"home-dir", "data/applications", "system/applications", "config",
                                "config-dirs", "documents", "mime-database"}) {
    fs::create_directories(root_ / directory);
  }
  fs::create_directory_symlink(sharedMimeDatabase(), root_ / "mime-database" / "mime");
}

PrivateXdgData::~PrivateXdgData() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

fs::path PrivateXdgData::dataDirectory(DataDirectory directory) const {
  return root_ / (directory == DataDirectory::kUser ? "data" : "system");
}

fs::path PrivateXdgData::writeDesktopEntry(std::string_view relativePath, std::string_view keys,
                                           DataDirectory directory) const {
  const fs::path path =
      dataDirectory(directory) / "applications" / (std::string(relativePath) + ".desktop");
  writeFile(path, "[Desktop Entry]\nType=Application\nExec=/bin/true %U\n" + std::string(keys));
  return path;
}

void PrivateXdgData::writeMimeApps(std::string_view contents) const {
  writeFile(root_ / "config" / "mimeapps.list", contents);
}

void PrivateXdgData::writeMimeInfoCache(std::string_view contents, DataDirectory directory) const {
  writeFile(dataDirectory(directory) / "applications" / "mimeinfo.cache", contents);
}

fs::path PrivateXdgData::writeDocument(std::string_view name, std::string_view contents) const {
  const fs::path path = root_ / "documents" / name;
  writeFile(path, contents);
  return path;
}

EnvironmentChanges PrivateXdgData::environment() const {
  return {{"HOME", (root_ / "home-dir").string()},
          {"XDG_DATA_HOME", (root_ / "data").string()},
          {"XDG_DATA_DIRS", (root_ / "system").string() + ":" + (root_ / "mime-database").string()},
          {"XDG_CONFIG_HOME", (root_ / "config").string()},
          {"XDG_CONFIG_DIRS", (root_ / "config-dirs").string()},
          {"XDG_CURRENT_DESKTOP", std::nullopt}};
}

}  // namespace glimra::testing

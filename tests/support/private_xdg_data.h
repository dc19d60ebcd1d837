#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "support/subprocess.h"

namespace glimra::testing {

// A private set of freedesktop.org directories for GIO, in a temporary
// directory removed with the object: a user data directory ("home"), one
// system data directory ("system"), a user configuration directory and a
// home directory, plus the shared MIME database linked in from the system.
// environment() names only these, so neither the developer's own desktop
// entries nor their associations reach a process that uses it. Used from
// the test's main thread only.
class PrivateXdgData {
 public:
  enum class DataDirectory { kUser, kSystem };

  // Throws std::runtime_error when no shared MIME database is installed
  // (package shared-mime-info).
  PrivateXdgData();
  ~PrivateXdgData();
  PrivateXdgData(const PrivateXdgData&) = delete;
  PrivateXdgData& operator=(const PrivateXdgData&) = delete;

  const std::filesystem::path& root() const { return root_; }

  // Writes <directory>/applications/<relativePath>.desktop: an application
  // entry running /bin/true (so GIO accepts it) with the given extra lines
  // (such as "Name=Editor\n"). Returns its path.
  std::filesystem::path writeDesktopEntry(std::string_view relativePath, std::string_view keys,
                                          DataDirectory directory = DataDirectory::kUser) const;

  // Writes the user's mimeapps.list in the configuration directory.
  void writeMimeApps(std::string_view contents) const;

  // Writes applications/mimeinfo.cache of a data directory, the index of
  // MimeType keys that update-desktop-database makes.
  void writeMimeInfoCache(std::string_view contents,
                          DataDirectory directory = DataDirectory::kSystem) const;

  // Writes a document below root()/documents and returns its path.
  std::filesystem::path writeDocument(std::string_view name, std::string_view contents) const;

  // HOME, XDG_DATA_HOME, XDG_DATA_DIRS (the system directory, then the
  // MIME database), XDG_CONFIG_HOME and XDG_CONFIG_DIRS set to the private
  // directories; XDG_CURRENT_DESKTOP removed, so no desktop-specific list
  // applies.
  EnvironmentChanges environment() const;

 private:
  std::filesystem::path dataDirectory(DataDirectory directory) const;

  std::filesystem::path root_;
};

}  // namespace glimra::testing

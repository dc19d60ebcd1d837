#pragma once

#include "platform/application_registry.h"

namespace glimra {

// The application registry of a freedesktop.org desktop, through GIO.
// Main thread only.
//
// - An application is its desktop entry: its location is the entry's file,
//   the path suffix ".desktop", the identifier the desktop id without
//   ".desktop" (the file's path below an "applications" directory of
//   XDG_DATA_HOME or XDG_DATA_DIRS, '/' written as '-').
// - A file's applications are the handlers of its content type (read as
//   GIO reads it, sniffing the contents where the name is not enough): the
//   default one first, then the others in the order GIO lists all of them
//   (g_app_info_get_all_for_type). A file that does not exist has no
//   content type and no answer; one that cannot be read has the type its
//   name suggests.
// - The viewers of a web address are the handlers of
//   x-scheme-handler/<scheme>.
// - Opening an application reads its desktop entry with GKeyFile: the
//   display name is its localized X-GNOME-FullName (what GIO shows before
//   Name), the name its localized Name.
//
// GIO loads the list of entries once per process and keeps it up to date
// with file monitors on GLib's worker thread, which its first lookup starts.
class GioApplicationRegistry final : public ApplicationRegistry {
 public:
  static constexpr std::string_view kDesktopEntrySuffix = ".desktop";

  std::string_view applicationPathSuffix() const override { return kDesktopEntrySuffix; }
  std::optional<std::vector<RegistryElement>> applicationsForFile(
      const std::filesystem::path& file) override;
  std::optional<std::vector<RegistryElement>> viewersOfWebAddress(
      std::string_view webAddress) override;
  std::string standardizedPath(std::string_view applicationLocation) override;
  std::optional<ApplicationDescription> openApplication(
      std::string_view applicationLocation) override;
};

// The desktop id of the entry at `path` without ".desktop", or none when
// the file is not a ".desktop" file below an "applications" directory of
// the data directories GLib names.
std::optional<std::string> desktopIdOfEntryFile(std::string_view path);

}  // namespace glimra

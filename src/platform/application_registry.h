#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace glimra {

// One element of an answer of the application registry. Almost always the
// location of an application, as the registry wrote it: an absolute path,
// not necessarily standardized. The registry may answer other things too
// (an entry that is not a file); such an element has no location and the
// core skips it.
struct RegistryElement {
  std::optional<std::string> applicationLocation;

  friend bool operator==(const RegistryElement&, const RegistryElement&) = default;
};

// What an application that could be opened says about itself. A value is
// absent when the application does not have it as a string; an empty string
// is a value. Strings are valid UTF-8.
struct ApplicationDescription {
  std::optional<std::string> displayName;  // in the user's language where translated
  std::optional<std::string> name;         // in the user's language where translated
  std::optional<std::string> identifier;   // reverse-DNS or desktop id

  friend bool operator==(const ApplicationDescription&, const ApplicationDescription&) = default;
};

// The system's register of installed applications and of the documents and
// addresses they handle, as the open-with listing asks it. Main thread
// only. No call throws: what cannot be answered is absent.
class ApplicationRegistry {
 public:
  virtual ~ApplicationRegistry() = default;

  // What the path of every application ends with, exactly (case-sensitive):
  // the bundle suffix of the platform (".app", or ".desktop" where the
  // application is its desktop entry).
  virtual std::string_view applicationPathSuffix() const = 0;

  // The applications registered to open `file` in any role, in the
  // platform's order (the preferred one first), or none when the registry
  // has no answer. A file that does not exist or cannot be read is not an
  // error: the answer is whatever the registry says about it.
  virtual std::optional<std::vector<RegistryElement>> applicationsForFile(
      const std::filesystem::path& file) = 0;

  // The applications registered to view `webAddress`, or none when it is
  // not a well-formed address or the registry has no answer.
  virtual std::optional<std::vector<RegistryElement>> viewersOfWebAddress(
      std::string_view webAddress) = 0;

  // The absolute, standardized form of an application location, as a valid
  // UTF-8 string: no "." or empty components, ".." resolved textually, no
  // trailing separator.
  virtual std::string standardizedPath(std::string_view applicationLocation) = 0;

  // Opens the application at `applicationLocation` (as the registry returned
  // it) and reads its names and identifier; none when it cannot be opened.
  virtual std::optional<ApplicationDescription> openApplication(
      std::string_view applicationLocation) = 0;
};

}  // namespace glimra

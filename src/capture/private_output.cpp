#include "capture/private_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "protocol/failure_catalog.h"

namespace glimra {
namespace {

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;

std::string describeErrno(int error, const std::filesystem::path& path) {
  return std::string(std::strerror(error)) + " (" + path.string() + ")";
}

// Creates `directory` and its missing parents with mode 0700 (before the
// umask), leaving existing ones as they are.
std::optional<std::string> createDirectories(const std::filesystem::path& directory) {
  std::filesystem::path partial;
  for (const std::filesystem::path& component : directory) {
    partial /= component;
    if (::mkdir(partial.c_str(), kDirectoryMode) == 0 || errno == EEXIST) continue;
    return describeErrno(errno, partial);
  }
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0) return describeErrno(errno, directory);
  if (!S_ISDIR(status.st_mode)) return describeErrno(ENOTDIR, directory);
  return std::nullopt;
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

// Makes a rename durable. The file is complete under its name either way,
// so a failure here is no failure of the write.
void syncDirectory(const std::filesystem::path& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Writes the bytes into a new private file beside `target` and renames it
// over `target`. The temporary file never outlives a failure.
std::optional<std::string> writeAtomically(std::span<const std::uint8_t> bytes,
                                           const std::filesystem::path& target) {
  std::string temporary = target.string() + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return describeErrno(errno, target.parent_path());

  int error = 0;
  if (!writeAll(fd, bytes) || ::fchmod(fd, kFileMode) != 0 || ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error == 0) {
    syncDirectory(target.parent_path());
    return std::nullopt;
  }
  ::unlink(temporary.c_str());
  return describeErrno(error, target);
}

}  // namespace

std::optional<GlimraFailure> preparePrivateOutputDirectory(const std::filesystem::path& directory) {
  if (std::optional<std::string> problem = createDirectories(directory)) {
    return failures::outputDirectoryUnavailable(*problem);
  }
  if (::chmod(directory.c_str(), kDirectoryMode) != 0) {
    return failures::outputDirectoryUnavailable(describeErrno(errno, directory));
  }
  return std::nullopt;
}

Result<WrittenFile> writePrivatePNG(std::span<const std::uint8_t> bytes, std::string_view captureID,
                                    const std::filesystem::path& directory) {
  const std::string name = "glimra-" + std::string(captureID) + ".png";
  const std::filesystem::path target = directory / name;
  if (std::optional<std::string> problem = writeAtomically(bytes, target)) {
    return failures::outputWriteFailed(*problem);
  }
  return WrittenFile{target.string(), name};
}

}  // namespace glimra

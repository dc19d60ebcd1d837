#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/glimra_failure.h"

namespace glimra {

// Creates the capture directory with any missing parents, mode 0700, and
// narrows an existing one to 0700. The failure is
// "output_directory_unavailable".
std::optional<GlimraFailure> preparePrivateOutputDirectory(const std::filesystem::path& directory);

// A capture file on disk.
struct WrittenFile {
  std::string path;  // the directory joined with the name
  std::string name;  // "glimra-" + id + ".png"
};

// Writes `bytes` to "glimra-<captureID>.png" in `directory`, mode 0600,
// atomically: readers see either no file or the whole file under the name,
// and after a failure nothing is left under either name. The failure is
// "output_write_failed".
Result<WrittenFile> writePrivatePNG(std::span<const std::uint8_t> bytes, std::string_view captureID,
                                    const std::filesystem::path& directory);

}  // namespace glimra

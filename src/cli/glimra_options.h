#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "protocol/glimra_failure.h"

namespace glimra {

// The modes of the helper; each run serves exactly one. Paths are absolute
// and standardized (no "." components, no redundant separators, ".." removed
// where that still names the same file).
namespace modes {
struct CheckPermissions {
  friend bool operator==(const CheckPermissions&, const CheckPermissions&) = default;
};
struct RequestPermissions {
  friend bool operator==(const RequestPermissions&, const RequestPermissions&) = default;
};
struct ListOpenWith {
  std::filesystem::path fileURL;
  friend bool operator==(const ListOpenWith&, const ListOpenWith&) = default;
};
struct Watch {
  std::filesystem::path outputDirectory;
  std::string excludedBundleIdentifier;
  friend bool operator==(const Watch&, const Watch&) = default;
};
struct FocusedTextTarget {
  std::optional<std::int32_t> pid;
  friend bool operator==(const FocusedTextTarget&, const FocusedTextTarget&) = default;
};
struct VoiceChords {
  friend bool operator==(const VoiceChords&, const VoiceChords&) = default;
};
}  // namespace modes

using GlimraMode =
    std::variant<modes::CheckPermissions, modes::RequestPermissions, modes::ListOpenWith,
                 modes::Watch, modes::FocusedTextTarget, modes::VoiceChords>;

// The helper's whole configuration: its command line.
struct GlimraOptions {
  GlimraMode mode;

  // Parses the arguments (without the program path). Every failure is an
  // "invalid_arguments" GlimraFailure naming the first problem met. A
  // relative path is resolved against the current directory; failing to
  // read that directory throws std::filesystem::filesystem_error.
  static Result<GlimraOptions> parse(std::span<const std::string> arguments);
};

// Parses a process id: an optional "+" or "-", then one or more ASCII
// digits, within the signed 32-bit range.
std::optional<std::int32_t> parseProcessIdentifier(std::string_view text);

// Makes `path` absolute against the current directory and standardizes it.
// A ".." after a symbolic link is kept, since removing it would name a
// different file.
std::filesystem::path standardizedFilePath(const std::string& path);

}  // namespace glimra

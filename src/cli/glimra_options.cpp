#include "cli/glimra_options.h"

#include <sys/stat.h>

#include <limits>

#include "protocol/failure_catalog.h"

namespace glimra {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kModeFlags[] = {
    "--check-permissions", "--request-permissions", "--list-open-with", "--watch",
    "--voice-chords",      "--focused-text-target",
};

bool isModeFlag(std::string_view argument) {
  for (const std::string_view flag : kModeFlags) {
    if (argument == flag) return true;
  }
  return false;
}

// What the scan has seen so far.
struct ScanState {
  std::optional<std::string> modeFlag;
  std::optional<std::string> outputDirectory;
  std::optional<std::string> excludedBundleIdentifier;
  std::optional<std::string> path;
  std::optional<std::int32_t> pid;

  bool hasWatchArguments() const { return outputDirectory || excludedBundleIdentifier; }
};

GlimraFailure invalid(std::string_view message) { return failures::invalidArguments(message); }

// Scans the arguments once, first to last; the first failure ends the scan.
std::optional<GlimraFailure> scan(std::span<const std::string> arguments, ScanState& state) {
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    const bool isLast = index + 1 == arguments.size();

    if (isModeFlag(argument)) {
      if (state.modeFlag) return invalid("Choose exactly one helper mode.");
      state.modeFlag = argument;
    } else if (argument == "--output-dir") {
      if (isLast) return invalid("--output-dir requires a path.");
      state.outputDirectory = arguments[++index];
    } else if (argument == "--excluded-bundle-id") {
      if (isLast) return invalid("--excluded-bundle-id requires a bundle identifier.");
      state.excludedBundleIdentifier = arguments[++index];
    } else if (argument == "--pid") {
      if (isLast) return invalid("--pid requires a process id.");
      state.pid = parseProcessIdentifier(arguments[++index]);
      if (!state.pid) return invalid("--pid requires a process id.");
    } else if (argument == "--path") {
      // A repeated --path is reported even when it has no value.
      if (state.path) return invalid("--path may only be provided once.");
      if (isLast) return invalid("--path requires a file path.");
      state.path = arguments[++index];
    } else {
      return invalid("Unknown argument: " + argument);
    }
  }
  return std::nullopt;
}

bool isMissingOrEmpty(const std::optional<std::string>& value) { return !value || value->empty(); }

// Turns the scanned flags into one mode, with each mode's checks in order.
Result<GlimraOptions> decideMode(const ScanState& state) {
  const std::string_view flag = state.modeFlag ? std::string_view(*state.modeFlag) : "";
  if (flag.empty()) {
    return invalid("Expected --check-permissions, --request-permissions, or --watch.");
  }
  if (flag == "--check-permissions") {
    if (state.hasWatchArguments())
      return invalid("Permission checks do not accept watch arguments.");
    return GlimraOptions{modes::CheckPermissions{}};
  }
  if (flag == "--request-permissions") {
    if (state.hasWatchArguments()) {
      return invalid("Permission requests do not accept watch arguments.");
    }
    return GlimraOptions{modes::RequestPermissions{}};
  }
  if (flag == "--list-open-with") {
    if (state.hasWatchArguments() || isMissingOrEmpty(state.path)) {
      return invalid("--list-open-with requires exactly one --path.");
    }
    return GlimraOptions{modes::ListOpenWith{standardizedFilePath(*state.path)}};
  }
  if (flag == "--watch") {
    if (isMissingOrEmpty(state.outputDirectory)) return invalid("--watch requires --output-dir.");
    if (isMissingOrEmpty(state.excludedBundleIdentifier)) {
      return invalid("--watch requires --excluded-bundle-id.");
    }
    return GlimraOptions{modes::Watch{standardizedFilePath(*state.outputDirectory),
                                      *state.excludedBundleIdentifier}};
  }
  if (flag == "--voice-chords") {
    if (state.path || state.hasWatchArguments()) {
      return invalid("--voice-chords does not accept other arguments.");
    }
    return GlimraOptions{modes::VoiceChords{}};
  }
  // The last mode flag: --focused-text-target.
  if (state.path || state.hasWatchArguments()) {
    return invalid("--focused-text-target only accepts an optional --pid.");
  }
  return GlimraOptions{modes::FocusedTextTarget{state.pid}};
}

bool isSymbolicLink(const fs::path& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

}  // namespace

Result<GlimraOptions> GlimraOptions::parse(std::span<const std::string> arguments) {
  ScanState state;
  if (std::optional<GlimraFailure> failure = scan(arguments, state)) return *failure;
  return decideMode(state);
}

std::optional<std::int32_t> parseProcessIdentifier(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;

  // The magnitude may reach 2^31 for the most negative value.
  const std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + negative;
  std::int64_t magnitude = 0;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') return std::nullopt;
    magnitude = magnitude * 10 + (digit - '0');
    if (magnitude > limit) return std::nullopt;
  }
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

fs::path standardizedFilePath(const std::string& path) {
  const fs::path absolute =
      fs::path(path).is_absolute() ? fs::path(path) : fs::current_path() / path;
  fs::path result = "/";
  for (const fs::path& component : absolute.relative_path()) {
    if (component.empty() || component == ".") continue;
    if (component != "..") {
      result /= component;
      continue;
    }
    // "/.." is "/"; after a symbolic link (or a ".." kept for one) the
    // parent of the link's target is meant, so the ".." stays.
    if (result == "/") continue;
    if (result.filename() == ".." || isSymbolicLink(result)) {
      result /= component;
    } else {
      result = result.parent_path();
    }
  }
  return result;
}

}  // namespace glimra

#include "protocol/ndjson_emitter.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace glimra {
namespace {

// Writes all of `bytes`, resuming after partial writes, EINTR and, on a
// non-blocking descriptor, EAGAIN. Gives up on any other error (EPIPE once
// the parent has closed its end): there is nobody left to tell.
void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd writable{fd, POLLOUT, 0};
      if (::poll(&writable, 1, -1) >= 0 || errno == EINTR) continue;
    }
    return;
  }
}

void addIfNonEmpty(Event& event, const char* key, const std::optional<std::string>& value) {
  if (value && !value->empty()) event[key] = *value;
}

}  // namespace

std::optional<std::string> encodeEventLine(const Event& event) {
  if (!event.is_object()) return std::nullopt;
  std::string text;
  try {
    // The strict handler throws on a string that is not valid UTF-8.
    text = event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }

  // Outside strings JSON has no "/", and in UTF-8 the byte 0x2F is always
  // the character itself, so every such byte is a slash inside a string.
  std::string line;
  line.reserve(text.size() + 16);
  for (const char byte : text) {
    if (byte == '/') line += '\\';
    line += byte;
  }
  line += '\n';
  return line;
}

NDJSONEmitter::NDJSONEmitter(int outputFd, int diagnosticFd)
    : outputFd_(outputFd), diagnosticFd_(diagnosticFd) {}

void NDJSONEmitter::emit(const Event& event) {
  // Encoding happens outside the lock; only the write is inside it.
  const std::optional<std::string> line = encodeEventLine(event);
  if (!line) {
    writeDiagnostic(kEncodingDiagnostic);
    return;
  }
  writeLine(outputFd_, *line);
}

void NDJSONEmitter::emitError(const GlimraFailure& failure, std::string_view capturedAt,
                              const std::optional<std::string>& id) {
  Event event{{"type", "error"},
              {"code", failure.code},
              {"message", failure.message},
              {"capturedAt", capturedAt}};
  if (id) event["id"] = *id;
  emit(event);
}

void NDJSONEmitter::emitPermissions(bool inputMonitoring, bool screenRecording) {
  const auto state = [](bool granted) { return granted ? "granted" : "denied"; };
  emit({{"type", "permissions"},
        {"inputMonitoring", state(inputMonitoring)},
        {"screenRecording", state(screenRecording)}});
}

void NDJSONEmitter::emitTriggered(std::string_view id, std::string_view capturedAt) {
  emit({{"type", "triggered"}, {"id", id}, {"capturedAt", capturedAt}});
}

void NDJSONEmitter::emitFocusedTextTarget(const FocusedTextTargetReport& report) {
  Event event{{"type", "focusedTextTarget"}, {"trusted", report.trusted}};
  event["editable"] = report.editable ? Event(*report.editable) : Event(nullptr);
  addIfNonEmpty(event, "role", report.role);
  addIfNonEmpty(event, "subrole", report.subrole);
  addIfNonEmpty(event, "appName", report.appName);
  addIfNonEmpty(event, "bundleId", report.bundleIdentifier);
  addIfNonEmpty(event, "reason", report.reason);
  emit(event);
}

void NDJSONEmitter::writeDiagnostic(std::string_view message) {
  std::string line(kDiagnosticPrefix);
  line += message;
  line += '\n';
  writeLine(diagnosticFd_, line);
}

void NDJSONEmitter::writeLine(int fd, std::string_view line) {
  std::lock_guard guard(lock_);
  writeAll(fd, line);
}

}  // namespace glimra

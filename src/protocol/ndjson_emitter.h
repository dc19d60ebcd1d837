#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "protocol/focused_text_target_report.h"
#include "protocol/glimra_failure.h"

namespace glimra {

// One event: a JSON object with a "type" key. Values are strings, booleans,
// null, arrays of strings and arrays of objects of strings. Keys keep the
// order in which they were added, which makes the lines easy to read; the
// protocol itself leaves key order free.
using Event = nlohmann::ordered_json;

// Encodes one event as one NDJSON line: compact JSON, every "/" written as
// "\/", ending in exactly one line feed. Empty when the event cannot be
// encoded (a string that is not valid UTF-8, or a value that is not an object).
std::optional<std::string> encodeEventLine(const Event& event);

// The one writer of standard output (the event stream) and standard error
// (its one diagnostic line). One instance exists per process, created first
// by the entry and never destroyed; every thread may call it.
//
// Each line is written whole with write(2) under one lock, retrying partial
// writes and EINTR, so lines from different threads never share or split.
// Nothing is buffered in the process. A failing write (the parent closed the
// pipe) is dropped quietly: the process ignores SIGPIPE and the parent
// monitor ends listening modes once the parent is gone.
class NDJSONEmitter {
 public:
  static constexpr std::string_view kDiagnosticPrefix = "[nimbal-glimra-helper] ";
  static constexpr std::string_view kEncodingDiagnostic = "Could not encode helper protocol event.";

  // Writes to the given descriptors, which it never closes.
  explicit NDJSONEmitter(int outputFd = 1, int diagnosticFd = 2);
  NDJSONEmitter(const NDJSONEmitter&) = delete;
  NDJSONEmitter& operator=(const NDJSONEmitter&) = delete;

  // Writes the event as one line, or the diagnostic line when it cannot be
  // encoded (the event is then dropped). Never fails towards the caller.
  void emit(const Event& event);

  // `id` is added only when present: errors of a capture attempt carry it.
  void emitError(const GlimraFailure& failure, std::string_view capturedAt,
                 const std::optional<std::string>& id = std::nullopt);
  void emitPermissions(bool inputMonitoring, bool screenRecording);
  void emitTriggered(std::string_view id, std::string_view capturedAt);
  void emitFocusedTextTarget(const FocusedTextTargetReport& report);

 private:
  void writeDiagnostic(std::string_view message);
  void writeLine(int fd, std::string_view line);

  std::mutex lock_;
  const int outputFd_;
  const int diagnosticFd_;
};

}  // namespace glimra

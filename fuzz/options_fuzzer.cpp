// Feeds arbitrary argument lists through the command-line parser and the
// event writer. Every outcome must be a well-formed mode or an
// "invalid_arguments" failure, and every failure must come out as exactly
// one JSON line that reads back to the same message.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/glimra_options.h"
#include "protocol/ndjson_emitter.h"
#include "protocol/timestamp.h"
#include "protocol/utf8.h"

namespace {

using namespace glimra;

void check(bool condition) {
  if (!condition) std::abort();
}

// The input is the argument list, its arguments separated by NUL bytes.
std::vector<std::string> splitArguments(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments;
  std::string current;
  for (size_t index = 0; index < size; ++index) {
    if (data[index] == 0) {
      arguments.push_back(std::move(current));
      current.clear();
    } else {
      current += static_cast<char>(data[index]);
    }
  }
  if (size > 0) arguments.push_back(std::move(current));
  return arguments;
}

void checkMode(const GlimraMode& mode) {
  if (const auto* watch = std::get_if<modes::Watch>(&mode)) {
    check(watch->outputDirectory.is_absolute());
    check(!watch->excludedBundleIdentifier.empty());
  } else if (const auto* open = std::get_if<modes::ListOpenWith>(&mode)) {
    check(open->fileURL.is_absolute());
  }
}

// Encodes the event and checks the line: one object, one line feed at the
// end and none before, no bare slash, and the same value once parsed.
void checkRoundTrip(const Event& event) {
  const std::optional<std::string> line = encodeEventLine(event);
  check(line.has_value());
  check(line->back() == '\n' && line->find('\n') == line->size() - 1);
  for (size_t index = 0; index < line->size(); ++index) {
    if ((*line)[index] == '/') check(index > 0 && (*line)[index - 1] == '\\');
  }
  check(Event::parse(*line) == event);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static NDJSONEmitter& emitter = *new NDJSONEmitter(::open("/dev/null", O_WRONLY | O_CLOEXEC),
                                                     ::open("/dev/null", O_WRONLY | O_CLOEXEC));
  const std::vector<std::string> arguments = splitArguments(data, size);

  const Result<GlimraOptions> result = GlimraOptions::parse(arguments);
  if (result.ok()) {
    checkMode(result.value().mode);
  } else {
    check(result.failure().code == "invalid_arguments");
    check(isValidUTF8(result.failure().message));
    const Event error{{"type", "error"},
                      {"code", result.failure().code},
                      {"message", result.failure().message},
                      {"capturedAt", currentTimestamp()}};
    checkRoundTrip(error);
    emitter.emitError(result.failure(), currentTimestamp());
  }

  // Raw bytes can be encoded exactly when they are UTF-8; repaired, always.
  const std::string raw(reinterpret_cast<const char*>(data), size);
  check(encodeEventLine(Event{{"type", "ready"}, {"raw", raw}}).has_value() == isValidUTF8(raw));
  checkRoundTrip(Event{{"type", "ready"}, {"raw", makeValidUTF8(raw)}});
  emitter.emit(Event{{"type", "ready"}, {"raw", raw}});
  return 0;
}

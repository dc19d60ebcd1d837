#pragma once

#include <exception>
#include <functional>
#include <span>
#include <string>

#include "platform/platform.h"
#include "protocol/ndjson_emitter.h"

namespace glimra {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // an unexpected error: "helper_failed"
inline constexpr int kExitUsage = 64;   // a GlimraFailure reached the entry

using PlatformFactory = std::function<Platform()>;

// Runs the helper on its arguments (without the program path): parses them,
// builds the platform, runs the one chosen mode and returns the process's
// exit status. Every failure that reaches here becomes one `error` event.
// Runs on the main thread.
int runHelper(std::span<const std::string> arguments, NDJSONEmitter& emitter,
              const PlatformFactory& makePlatform);

// Reports a failure that reached the entry as an `error` event without an
// id and returns the exit status: kExitUsage for a GlimraError, else
// kExitFailure with code "helper_failed".
int reportFailure(std::exception_ptr failure, NDJSONEmitter& emitter);

}  // namespace glimra

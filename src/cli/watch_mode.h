#pragma once

#include "cli/glimra_options.h"
#include "platform/platform.h"
#include "protocol/ndjson_emitter.h"

namespace glimra {

// `--watch`: prepares the private capture directory, then captures the
// frontmost window on every Option chord until the parent process goes
// away. Throws a GlimraError ("output_directory_unavailable") before
// anything listens when the directory cannot be prepared; otherwise runs
// the main loop and does not return while it runs.
void runWatchMode(const modes::Watch& mode, NDJSONEmitter& emitter, Platform& platform);

}  // namespace glimra

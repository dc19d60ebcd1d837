#pragma once

#include "platform/platform.h"
#include "protocol/ndjson_emitter.h"

namespace glimra {

// Runs `--voice-chords`: starts the parent monitor, then the voice chord
// listener, and hands the main thread to the main loop. Returns only if the
// loop ever returns; the process normally ends when the parent does.
void runVoiceChordsMode(NDJSONEmitter& emitter, Platform& platform);

}  // namespace glimra

#pragma once

#include "listeners/key_listener.h"
#include "platform/platform.h"
#include "protocol/ndjson_emitter.h"

namespace glimra {

// The common run of the listening modes: starts the parent monitor, then a
// key listener with `profile`, and hands the main thread to the main loop.
// Returns only if the loop ever returns; the process normally ends when its
// parent does. The parent monitor goes first, so a helper whose parent is
// already gone (or is init) ends before it installs a tap or says `ready`.
void runListeningMode(KeyListenerProfile profile, NDJSONEmitter& emitter, Platform& platform);

}  // namespace glimra

#pragma once

#include "cli/glimra_options.h"
#include "openwith/open_with_applications.h"
#include "platform/application_registry.h"
#include "protocol/ndjson_emitter.h"

namespace glimra {

// Runs `--list-open-with`: asks once which applications can open the file
// and writes them as one openWithApplications event, its "applications"
// possibly empty. Returns when the event is written; the entry then exits
// with status 0. Main thread.
void runListOpenWithMode(const modes::ListOpenWith& mode, NDJSONEmitter& emitter,
                         ApplicationRegistry& registry);

// The openWithApplications event around `applications`, every value a
// string ("isWebBrowser" is "true" or "false").
Event openWithApplicationsEvent(const std::vector<OpenWithApplication>& applications);

}  // namespace glimra

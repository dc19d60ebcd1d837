#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "cli/helper_entry.h"
#include "platform/platform.h"
#include "protocol/ndjson_emitter.h"

int main(int argc, char** argv) {
  // The one writer of both streams, created first so that even a
  // command-line failure becomes an event; never destroyed.
  auto& emitter = *new glimra::NDJSONEmitter();

  // Once the parent has closed the pipe, writes fail quietly instead of
  // killing the process.
  std::signal(SIGPIPE, SIG_IGN);

  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const int status = glimra::runHelper(arguments, emitter, glimra::makePlatform);

  // Everything is written by now; _exit skips static destructors, which
  // could otherwise race worker threads of the listening modes.
  _exit(status);
}

#include <malloc.h>
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

  // A capture's frame and PNG buffers are megabytes each and live for one
  // capture. Allocated with mmap, they go back to the system when freed, so
  // a listening helper returns to its small size between captures; glibc
  // would otherwise raise this threshold after the first free and keep them.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);

  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const int status = glimra::runHelper(arguments, emitter, glimra::makePlatform);

  // Everything is written by now; _exit skips static destructors, which
  // could otherwise race worker threads of the listening modes.
  _exit(status);
}

// Measures how long a listening helper outlives its parent: the time from
// the parent's end (reaped) to the helper's own exit, over several runs.
// Usage: parent_exit_delay [runs]   (needs DISPLAY, or runs without one)
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "e2e/helper_process.h"

using Clock = std::chrono::steady_clock;

namespace {

// Blocks until the first line of the helper's output (`ready` or the
// permission error): from then on it is listening and watching its parent.
void awaitFirstLine(int fd) {
  for (char byte = 0; byte != '\n';) {
    if (::read(fd, &byte, 1) != 1) return;
  }
}

double measureOnce() {
  glimra::testing::HelperUnderIntermediateParent helper({.arguments = {"--voice-chords"}});
  awaitFirstLine(helper.outputFd());
  helper.endParent();
  const Clock::time_point parentGone = Clock::now();
  int status = 0;
  ::waitpid(helper.helperPid(), &status, 0);  // ours: this process is a subreaper
  const Clock::time_point helperGone = Clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("unexpected status %d\n", status);
  return std::chrono::duration<double, std::milli>(helperGone - parentGone).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::vector<double> delays;
  for (int run = 0; run < runs; ++run) {
    delays.push_back(measureOnce());
    std::printf("run %2d: helper exited %7.2f ms after its parent\n", run + 1, delays.back());
  }
  std::sort(delays.begin(), delays.end());
  std::printf("exit delay over %d runs: min %.2f ms, median %.2f ms, max %.2f ms\n", runs,
              delays.front(), delays[delays.size() / 2], delays.back());
}

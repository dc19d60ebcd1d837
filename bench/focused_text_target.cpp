// Measures whole `--focused-text-target` runs, from spawn to exit, on a
// private desktop with the accessibility bus: once with the focus in a text
// field (one probe), once in a window of several hundred labels where
// nothing has the focus (three probes, each walking the window, with the
// two 0.12 s pauses between them). Prints the event of the first run of
// each, then the median and minimum.
// Usage: focused_text_target [runs] [labels]
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/helper_process.h"
#include "support/accessible_test_app.h"
#include "support/private_accessibility_bus.h"
#include "support/private_x_server.h"
#include "support/subprocess.h"

using Clock = std::chrono::steady_clock;
using namespace glimra::testing;

namespace {

// Milliseconds from spawn to exit of one run, or a negative value when the
// run failed; `event` receives what it printed.
double timeRun(const EnvironmentChanges& environment, std::string& event) {
  Pipe output = makePipe();
  const UniqueFd nothing(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  const Clock::time_point start = Clock::now();
  ChildProcess child =
      ChildProcess::spawn(GLIMRA_HELPER_BINARY, {.arguments = {"--focused-text-target"},
                                                 .environment = environment,
                                                 .standardOutput = output.writeEnd.get(),
                                                 .standardError = nothing.get()});
  output.writeEnd.reset();
  const int status = child.wait();
  const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  event.clear();
  readUntilEnd(output.readEnd.get(), event, std::chrono::seconds(5));
  if (status != 0 || event.find("\"focusedTextTarget\"") == std::string::npos) {
    std::printf("the helper failed with status %d: %s\n", status, event.c_str());
    return -1;
  }
  return elapsed;
}

bool measure(const char* name, const EnvironmentChanges& environment, int runs) {
  std::vector<double> times;
  std::string event;
  for (int run = 0; run < runs; ++run) {
    const double time = timeRun(environment, event);
    if (time < 0) return false;
    if (run == 0) std::printf("%s: %s", name, event.c_str());
    times.push_back(time);
  }
  std::sort(times.begin(), times.end());
  std::printf("%s over %d runs: median %7.2f ms, min %7.2f ms\n", name, runs,
              times[times.size() / 2], times.front());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const int labels = argc > 2 ? std::max(1, std::atoi(argv[2])) : 500;

  const auto server = PrivateXServer::start({.withWindowManager = true});
  const auto bus = PrivateAccessibilityBus::start({.display = server->display()});
  const EnvironmentChanges& environment = bus->environment();

  const auto form = AccessibleTestApp::start(environment, {.layout = "form", .focus = "entry"});
  if (!measure("focused entry", environment, runs)) return 1;

  // Shown last, so frontmost from here on.
  const auto many = AccessibleTestApp::start(environment, {.layout = "many", .labels = labels});
  const std::string name = std::to_string(labels) + " labels, no focus";
  if (!measure(name.c_str(), environment, runs)) return 1;
}

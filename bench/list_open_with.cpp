// Measures a whole `--list-open-with` run, from spawn to exit, against
// `gio mime` for the same content type in the same environment: a private
// tree of desktop entries (two editors, a browser, and filler entries, as a
// desktop has many) with its associations. Prints every run, then the
// median and minimum of each.
// Usage: list_open_with [runs] [filler entries]
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/helper_process.h"
#include "support/private_xdg_data.h"
#include "support/subprocess.h"

using Clock = std::chrono::steady_clock;
using glimra::testing::PrivateXdgData;

namespace {

// Milliseconds from spawn to exit of one run, or a negative value when the
// run failed. The output (one short line) waits in the pipe until the exit
// has been seen, so the time is that of a blocking waitpid, not of a poll.
double timeRun(const std::string& program, std::vector<std::string> arguments,
               const PrivateXdgData& data, const std::string& expected) {
  using namespace glimra::testing;
  Pipe output = makePipe();
  const UniqueFd nothing(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  const Clock::time_point start = Clock::now();
  ChildProcess child = ChildProcess::spawn(program, {.arguments = std::move(arguments),
                                                     .environment = data.environment(),
                                                     .standardOutput = output.writeEnd.get(),
                                                     .standardError = nothing.get()});
  output.writeEnd.reset();
  const int status = child.wait();
  const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  std::string text;
  readUntilEnd(output.readEnd.get(), text, std::chrono::seconds(5));
  if (status != 0 || text.find(expected) == std::string::npos) {
    std::printf("%s failed with status %d: %s\n", program.c_str(), status, text.c_str());
    return -1;
  }
  return elapsed;
}

void summarize(const char* name, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  std::printf("%-22s over %zu runs: median %7.2f ms, min %7.2f ms\n", name, times.size(),
              times[times.size() / 2], times.front());
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const int fillers = argc > 2 ? std::max(0, std::atoi(argv[2])) : 200;

  PrivateXdgData data;
  data.writeDesktopEntry("org.example.Editor", "Name=Editor\n");
  data.writeDesktopEntry("org.example.Notes", "Name=Notes\n");
  data.writeDesktopEntry("org.example.Browser", "Name=Browser\n");
  std::string cache = "[MIME Cache]\n";
  for (int number = 0; number < fillers; ++number) {
    const std::string id = "org.example.Filler" + std::to_string(number);
    data.writeDesktopEntry(id, "Name=Filler\nMimeType=image/png;\n",
                           PrivateXdgData::DataDirectory::kSystem);
    cache += "image/png=" + id + ".desktop;\n";
  }
  data.writeMimeInfoCache(cache);
  data.writeMimeApps(
      "[Default Applications]\ntext/plain=org.example.Notes.desktop\n"
      "[Added Associations]\n"
      "text/plain=org.example.Editor.desktop;org.example.Notes.desktop;"
      "org.example.Browser.desktop;\n"
      "x-scheme-handler/https=org.example.Browser.desktop;\n");
  const std::string notes = data.writeDocument("notes.txt", "Agenda\n").string();
  std::printf("%d desktop entries, %d runs each\n", fillers + 3, runs);

  std::vector<double> helperTimes;
  std::vector<double> gioTimes;
  for (int run = 0; run < runs; ++run) {
    const double helper = timeRun(GLIMRA_HELPER_BINARY, {"--list-open-with", "--path", notes}, data,
                                  "org.example.Browser");
    const double gio = timeRun("gio", {"mime", "text/plain"}, data, "org.example.Browser");
    if (helper < 0 || gio < 0) return 1;
    helperTimes.push_back(helper);
    gioTimes.push_back(gio);
    std::printf("run %2d: helper %7.2f ms, gio mime %7.2f ms\n", run + 1, helper, gio);
  }
  summarize("--list-open-with", helperTimes);
  summarize("gio mime text/plain", gioTimes);
}

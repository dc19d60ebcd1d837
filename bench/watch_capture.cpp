// Chord to file for a 1600 x 1000 window, next to `import -window` of the
// same window in the same run, and the helper's memory and descriptors over
// many captures. Starts its own X server with openbox; no compositing
// manager runs, so no flash delays `captured`.
// Usage: watch_capture [captures]   (default 200)
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/helper_process.h"
#include "support/fake_input.h"
#include "support/private_x_server.h"
#include "support/test_window.h"

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using namespace glimra::testing;
using namespace std::chrono_literals;

namespace {

// A document-like window: text lines of small dark marks on white, a tool
// bar and a coloured side panel.
std::uint32_t paintDocument(int x, int y) {
  if (y < 48) return 0xe8e8ec;
  if (x < 240) return (y / 28) % 2 == 0 ? 0x2b3a55 : 0x31425f;
  const int line = (y - 48) % 22;
  if (line < 5 || line > 16) return 0xffffff;
  const unsigned glyph = static_cast<unsigned>((x - 240) / 9 + (y - 48) / 22 * 7919);
  const bool space = (glyph * 2654435761u >> 28) < 3;
  const int column = (x - 240) % 9;
  if (space || column > 6) return 0xffffff;
  return ((glyph * 40503u + static_cast<unsigned>(line * 3 + column)) >> 3) % 3 == 0 ? 0x202020
                                                                                     : 0xffffff;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

long statusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

long openDescriptors(pid_t pid) {
  long count = 0;
  for ([[maybe_unused]] const auto& entry :
       fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    ++count;
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  const int captures = argc > 1 ? std::atoi(argv[1]) : 200;
  const auto server =
      PrivateXServer::start({.withWindowManager = true, .width = 1920, .height = 1200});
  TestWindow window(server->display(), {.x = 40,
                                        .y = 40,
                                        .width = 1600,
                                        .height = 1000,
                                        .paint = paintDocument,
                                        .title = "Report.txt"});
  window.show();
  window.activate();
  const TestWindow::Bounds frame = window.frameBounds();

  const fs::path directory =
      fs::temp_directory_path() / ("glimra-bench-" + std::to_string(::getpid()));
  RunningHelper helper(
      {"--watch", "--output-dir", directory.string(), "--excluded-bundle-id", "none"},
      {{"DISPLAY", server->display()}});
  if (!helper.nextEvent(10s)) return 1;
  FakeInput input(server->display());
  const pid_t pid = helper.process().pid();
  std::printf("window %dx%d (frame), helper pid %d\n", frame.width, frame.height, pid);
  std::printf("before the first capture: RSS %ld kB, descriptors %ld\n", statusField(pid, "VmRSS"),
              openDescriptors(pid));

  std::vector<double> chordToFile;
  for (int capture = 1; capture <= captures; ++capture) {
    input.press(XK_Alt_L);
    const Clock::time_point start = Clock::now();
    input.press(XK_Alt_R);
    input.release(XK_Alt_R);
    input.release(XK_Alt_L);
    const auto triggered = helper.nextEvent(10s);
    const auto captured = helper.nextEvent(10s);
    const Clock::time_point end = Clock::now();
    if (!captured || (*captured)["type"] != "captured") {
      std::printf("capture %d failed: %s\n", capture, captured ? captured->dump().c_str() : "none");
      return 1;
    }
    chordToFile.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    fs::remove(captured->value("path", ""));
    if (capture == 1 || capture == 10 || capture % 50 == 0) {
      std::printf("after %3d captures: RSS %ld kB (peak %ld kB), descriptors %ld\n", capture,
                  statusField(pid, "VmRSS"), statusField(pid, "VmHWM"), openDescriptors(pid));
    }
  }

  std::vector<double> importTimes;
  char windowID[32];
  std::snprintf(windowID, sizeof windowID, "0x%x", window.id());
  for (int run = 0; run < 20; ++run) {
    const Clock::time_point start = Clock::now();
    const ProcessResult result = runProcess(
        "import",
        {.arguments = {"-window", windowID, "-frame", (directory / "import.png").string()},
         .environment = {{"DISPLAY", server->display()}}});
    const Clock::time_point end = Clock::now();
    if (result.exitStatus != 0) {
      std::printf("import failed: %s\n", result.standardError.c_str());
      return 1;
    }
    importTimes.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  const double ours = median(chordToFile);
  const double theirs = median(importTimes);
  std::printf("chord to file: median %.1f ms, min %.1f ms over %d captures\n", ours,
              *std::min_element(chordToFile.begin(), chordToFile.end()), captures);
  std::printf("import -window -frame: median %.1f ms, min %.1f ms over 20 runs (%ld bytes)\n",
              theirs, *std::min_element(importTimes.begin(), importTimes.end()),
              static_cast<long>(fs::file_size(directory / "import.png")));
  std::printf("speed-up: %.1fx\n", theirs / ours);
  fs::remove_all(directory);
}

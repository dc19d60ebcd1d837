// `--watch` end to end: the real binary on a private X server with openbox,
// real client windows, and real Option chords through XTest.
#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "e2e/helper_process.h"
#include "support/fake_input.h"
#include "support/png_decoder.h"
#include "support/private_x_server.h"
#include "support/test_window.h"

namespace glimra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using testing::PrivateXServer;
using testing::RunningHelper;
using testing::TestWindow;

constexpr std::uint32_t kPainterColor = 0x2266cc;
constexpr testing::DecodedPNG::Pixel kPainterPixel = {0x22, 0x66, 0xcc, 0xff};
constexpr const char* kHostID = "org.example.Host";
const std::regex kCaptureID("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

std::vector<std::string> namesIn(const fs::path& directory) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

void writeDesktopEntry(const fs::path& applications, const std::string& id,
                       const std::string& name) {
  std::ofstream(applications / (id + ".desktop"))
      << "[Desktop Entry]\nType=Application\nName=" << name << "\nExec=true\n";
}

// A private desktop: X server, window manager, desktop entries, and a
// private directory for the captures. The helper runs as the superuser's
// "nobody" when the tests run as root, so that file permissions bind it.
class WatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = PrivateXServer::start({.withWindowManager = true, .width = 1280, .height = 800});
    input_.emplace(server_->display());

    char pattern[] = "/tmp/glimra-watch-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    ::chmod(root_.c_str(), 0755);
    fs::create_directories(root_ / "data" / "applications");
    writeDesktopEntry(root_ / "data" / "applications", "org.example.Painter", "Painter");
    writeDesktopEntry(root_ / "data" / "applications", kHostID, "Host");
    outputDirectory_ = root_ / "captures" / "private";
  }

  void TearDown() override {
    if (helper_) {
      EXPECT_EQ(helper_->standardError(), "");
      EXPECT_EQ(testing::eventSchemaProblems(helper_->output()), "");
    }
    helper_.reset();
    fs::remove_all(root_);
  }

  std::vector<std::string> launcher() const {
    if (::geteuid() != 0) return {};
    return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }

  // Starts the helper and waits for `ready`.
  void startHelper() {
    if (::geteuid() == 0) {
      fs::create_directories(root_ / "captures");
      ASSERT_EQ(::chown((root_ / "captures").c_str(), 65534, 65534), 0);
    }
    helper_.emplace(std::vector<std::string>{"--watch", "--output-dir", outputDirectory_.string(),
                                             "--excluded-bundle-id", kHostID},
                    testing::EnvironmentChanges{{"DISPLAY", server_->display()},
                                                {"XDG_DATA_HOME", (root_ / "data").string()},
                                                {"XDG_DATA_DIRS", (root_ / "none").string()}},
                    launcher());
    const std::optional<json> first = helper_->nextEvent(10s);
    ASSERT_TRUE(first);
    ASSERT_EQ(*first, json::parse(R"({"type":"ready"})"));
  }

  std::unique_ptr<TestWindow> showWindow(TestWindow::Options options) {
    auto window = std::make_unique<TestWindow>(server_->display(), options);
    window->show();
    window->activate();
    return window;
  }

  std::unique_ptr<TestWindow> showPainter(int width = 420, int height = 260) {
    return showWindow({.x = 200,
                       .y = 150,
                       .width = width,
                       .height = height,
                       .paint = [](int, int) { return kPainterColor; },
                       .title = "Canvas — sketch",
                       .applicationID = "org.example.Painter"});
  }

  void chord() {
    input_->press(XK_Alt_L);
    input_->press(XK_Alt_R);
    input_->release(XK_Alt_R);
    input_->release(XK_Alt_L);
  }

  json nextEvent() {
    std::optional<json> event = helper_->nextEvent(15s);
    EXPECT_TRUE(event) << "no event; stderr: " << helper_->standardError();
    return event.value_or(json());
  }

  // Checks a `captured` event against its `triggered` and returns the file.
  fs::path expectCaptured(const json& triggered, const json& captured) {
    EXPECT_EQ(triggered["type"], "triggered");
    EXPECT_EQ(captured["type"], "captured") << captured.dump();
    EXPECT_EQ(captured["id"], triggered["id"]);
    EXPECT_EQ(captured["capturedAt"], triggered["capturedAt"]);
    const std::string id = triggered["id"];
    EXPECT_TRUE(std::regex_match(id, kCaptureID)) << id;
    EXPECT_EQ(captured["name"], "glimra-" + id + ".png");
    EXPECT_EQ(captured["path"], (outputDirectory_ / ("glimra-" + id + ".png")).string());
    return captured.value("path", "");
  }

  std::unique_ptr<PrivateXServer> server_;
  std::optional<testing::FakeInput> input_;
  fs::path root_;
  fs::path outputDirectory_;
  std::optional<RunningHelper> helper_;
};

TEST_F(WatchTest, AChordCapturesTheFrontmostWindowIntoAPrivateFile) {
  startHelper();
  EXPECT_EQ(modeOf(outputDirectory_), 0700u);
  const std::unique_ptr<TestWindow> painter = showPainter();

  chord();
  const json triggered = nextEvent();
  const json captured = nextEvent();
  const fs::path file = expectCaptured(triggered, captured);
  EXPECT_EQ(captured["sourceAppName"], "Painter");
  EXPECT_EQ(captured["sourceBundleIdentifier"], "org.example.Painter");
  EXPECT_EQ(captured["sourceWindowTitle"], "Canvas — sketch");
  EXPECT_TRUE(captured.value("sourceAppIconDataUrl", "").starts_with("data:image/png;base64,"));

  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(namesIn(outputDirectory_), std::vector<std::string>{file.filename().string()});
  const std::optional<testing::DecodedPNG> png = testing::decodePNGFile(file);
  ASSERT_TRUE(png);
  const TestWindow::Bounds frame = painter->frameBounds();
  EXPECT_EQ(png->width, frame.width);
  EXPECT_EQ(png->height, frame.height);
  EXPECT_EQ(png->channels, 3) << "an opaque window is stored as RGB";
  // The middle of the frame is the middle of the client's own contents.
  EXPECT_EQ(png->pixel(png->width / 2, png->height / 2), kPainterPixel);
}

TEST_F(WatchTest, TheHostApplicationIsNeverCaptured) {
  startHelper();
  const std::unique_ptr<TestWindow> host =
      showWindow({.title = "Host", .applicationID = kHostID, .windowClass = "host"});

  chord();
  const json triggered = nextEvent();
  EXPECT_EQ(triggered["type"], "triggered");
  const json error = nextEvent();
  EXPECT_EQ(error["type"], "error");
  EXPECT_EQ(error["code"], "excluded_frontmost_application");
  EXPECT_EQ(error["id"], triggered["id"]);
  EXPECT_EQ(error["capturedAt"], triggered["capturedAt"]);
  EXPECT_TRUE(namesIn(outputDirectory_).empty());
}

TEST_F(WatchTest, AChordDuringACaptureIsRefused) {
  const testing::RunningCompositor compositor(server_->display());  // a flash keeps it busy
  startHelper();
  const std::unique_ptr<TestWindow> painter = showPainter();

  chord();
  chord();
  std::vector<json> events = {nextEvent(), nextEvent(), nextEvent()};
  const auto refused = std::find_if(events.begin(), events.end(),
                                    [](const json& event) { return event["type"] == "error"; });
  ASSERT_NE(refused, events.end());
  EXPECT_EQ((*refused)["code"], "capture_in_progress");
  const json refusal = *refused;
  events.erase(refused);
  const fs::path file = expectCaptured(events[0], events[1]);
  EXPECT_NE(refusal["id"], events[0]["id"]);
  EXPECT_EQ(namesIn(outputDirectory_), std::vector<std::string>{file.filename().string()});
}

TEST_F(WatchTest, AnUnwritableDirectoryFailsOneCaptureAndLeavesNothing) {
  startHelper();
  const std::unique_ptr<TestWindow> painter = showPainter();
  ASSERT_EQ(::chmod(outputDirectory_.c_str(), 0500), 0);

  chord();
  const json triggered = nextEvent();
  const json error = nextEvent();
  EXPECT_EQ(error["type"], "error");
  EXPECT_EQ(error["code"], "output_write_failed");
  EXPECT_EQ(error["id"], triggered["id"]);
  EXPECT_TRUE(error.value("message", "").starts_with("Could not write the captured PNG: "));
  EXPECT_TRUE(namesIn(outputDirectory_).empty());

  ASSERT_EQ(::chmod(outputDirectory_.c_str(), 0700), 0);
  chord();
  const json again = nextEvent();
  expectCaptured(again, nextEvent());
}

TEST_F(WatchTest, WithACompositorTheFlashComesAndGoesAndCoveringWindowsDoNotShow) {
  const testing::RunningCompositor compositor(server_->display());
  startHelper();
  const std::unique_ptr<TestWindow> painter = showPainter();
  const TestWindow::Bounds frame = painter->frameBounds();
  // Another program's window over the middle of the painter's.
  TestWindow cover(server_->display(), {.x = frame.x + frame.width / 4,
                                        .y = frame.y + frame.height / 4,
                                        .width = frame.width / 2,
                                        .height = frame.height / 2,
                                        .paint = [](int, int) { return 0x33cc33u; },
                                        .overrideRedirect = true});
  cover.show();

  testing::WindowEvents events(server_->display());
  chord();
  const json triggered = nextEvent();
  const json captured = nextEvent();
  const fs::path file = expectCaptured(triggered, captured);

  // The flash: an override-redirect window over the frame, mapped and then
  // unmapped before `captured` was written.
  const std::optional<testing::WindowEvents::Flash> flash = events.flashOver(frame.x, frame.y);
  ASSERT_TRUE(flash) << "no flash window was mapped";
  EXPECT_EQ(flash->width, frame.width);
  EXPECT_EQ(flash->height, frame.height);
  EXPECT_TRUE(flash->unmapped);

  const std::optional<testing::DecodedPNG> png = testing::decodePNGFile(file);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->pixel(png->width / 2, png->height / 2), kPainterPixel)
      << "the covering window shows in the capture";
}

TEST_F(WatchTest, AnOutputDirectoryThatIsAFileEndsTheStartUp) {
  fs::create_directories(outputDirectory_.parent_path());
  std::ofstream(outputDirectory_) << "not a directory";
  const testing::ProcessResult run = testing::runProcess(
      GLIMRA_HELPER_BINARY, {.arguments = {"--watch", "--output-dir", outputDirectory_.string(),
                                           "--excluded-bundle-id", kHostID},
                             .environment = {{"DISPLAY", server_->display()}}});
  EXPECT_EQ(run.exitStatus, 64);
  const std::vector<std::string> lines = testing::splitLines(run.standardOutput);
  ASSERT_EQ(lines.size(), 1u) << run.standardOutput;
  const json error = json::parse(lines[0]);
  EXPECT_EQ(error["code"], "output_directory_unavailable");
  EXPECT_FALSE(error.contains("id"));
  EXPECT_EQ(run.standardError, "");
}

}  // namespace
}  // namespace glimra

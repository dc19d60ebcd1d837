#include "capture/glimra_capture_coordinator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <filesystem>
#include <sstream>

#include "fakes/fake_capture_feedback_service.h"
#include "fakes/fake_permission_service.h"
#include "fakes/fake_window_capture_service.h"
#include "fakes/fake_window_service.h"
#include "fakes/virtual_runtime.h"
#include "support/png_decoder.h"

namespace glimra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using namespace testing;

constexpr std::int32_t kPainterPID = 42;
constexpr std::uint32_t kWindowNumber = 7;
constexpr Duration kFlash = 205ms;

Image solidImage(int width, int height, std::uint32_t color) {
  Image image = Image::blank(width, height, Image::Alpha::none);
  std::fill(image.pixels.begin(), image.pixels.end(), color);
  return image;
}

// A pipe standing in for one of the helper's streams. Everything runs on
// the test's thread, so what the emitter wrote is in the pipe, and the test
// reads it without blocking, as often as it likes.
class StreamPipe {
 public:
  StreamPipe() {
    if (::pipe2(ends_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
  }
  ~StreamPipe() {
    ::close(ends_[0]);
    ::close(ends_[1]);
  }
  int writeEnd() const { return ends_[1]; }

  const std::string& text() {
    char buffer[65536];
    for (ssize_t count; (count = ::read(ends_[0], buffer, sizeof buffer)) > 0;) {
      text_.append(buffer, static_cast<std::size_t>(count));
    }
    return text_;
  }

 private:
  int ends_[2];
  std::string text_;
};

// A desktop with one capturable window of a "Painter" application, on one
// display at one pixel per point, and a coordinator watching it.
class Desktop {
 public:
  Desktop() {
    char pattern[] = "/tmp/glimra-coordinator-XXXXXX";
    EXPECT_NE(::mkdtemp(pattern), nullptr);
    directory_ = pattern;

    permissions_->capturePreflight = true;
    windows_->frontmostApplication = RunningApplication{
        .processIdentifier = kPainterPID,
        .bundleIdentifier = "org.example.Painter",
        .localizedName = "Painter",
    };
    windows_->onScreenWindows =
        std::vector<WindowRecord>{capturableWindow(kPainterPID, kWindowNumber, "Sketch")};
    capture_->windows = std::vector<ShareableWindow>{{kWindowNumber, Rect{10, 20, 800, 600}}};
    capture_->displays = std::vector<Display>{{Rect{0, 0, 1920, 1080}, 1920}};
    feedback_->screens = {Screen{1, Rect{0, 0, 1920, 1080}}};
    feedback_->displayBounds = {{1, Rect{0, 0, 1920, 1080}}};

    coordinator_ = GlimraCaptureCoordinator::create(
        emitter_, directory_, "org.example.Host",
        {runtime_, permissionService_, windowService_, captureService_, feedbackService_});
  }

  ~Desktop() {
    EXPECT_EQ(diagnostics_.text(), "");
    fs::remove_all(directory_);
  }

  // A chord, handled as far as it goes without a frame.
  void chord() {
    coordinator_->handleGesture();
    runtime_.runUntilIdle();
  }

  // Delivers a frame to the newest stream.
  void deliverFrame(Image image) {
    ASSERT_FALSE(capture_->streams.empty());
    capture_->streams.back()->deliverFrame(std::move(image));
    runtime_.runUntilIdle();
  }

  std::vector<json> events() {
    std::vector<json> parsed;
    std::istringstream lines(output_.text());
    for (std::string line; std::getline(lines, line);) parsed.push_back(json::parse(line));
    return parsed;
  }
  void makeCoordinator() {
    coordinator_ = GlimraCaptureCoordinator::create(
        emitter_, directory_, "org.example.Host",
        {runtime_, permissionService_, windowService_, captureService_, feedbackService_});
  }

  std::vector<std::string> types() {
    std::vector<std::string> names;
    for (const json& event : events()) names.push_back(event["type"]);
    return names;
  }

  std::vector<std::string> filesInDirectory() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  VirtualRuntime runtime_;
  std::shared_ptr<PermissionScript> permissions_ = std::make_shared<PermissionScript>();
  std::shared_ptr<WindowScript> windows_ = std::make_shared<WindowScript>();
  std::shared_ptr<WindowCaptureScript> capture_ = std::make_shared<WindowCaptureScript>();
  std::shared_ptr<CaptureFeedbackScript> feedback_ = std::make_shared<CaptureFeedbackScript>();
  FakePermissionService permissionService_{permissions_};
  FakeWindowService windowService_{windows_};
  FakeWindowCaptureService captureService_{capture_};
  FakeCaptureFeedbackService feedbackService_{feedback_};
  StreamPipe output_;
  StreamPipe diagnostics_;
  NDJSONEmitter emitter_{output_.writeEnd(), diagnostics_.writeEnd()};
  fs::path directory_;
  std::shared_ptr<GlimraCaptureCoordinator> coordinator_;
};

class CoordinatorTest : public ::testing::Test, public Desktop {};

TEST_F(CoordinatorTest, ACaptureIsReportedOnceTheFlashIsOver) {
  chord();
  ASSERT_EQ(types(), std::vector<std::string>{"triggered"});
  ASSERT_EQ(capture_->streams.size(), 1u);
  EXPECT_EQ(capture_->streams[0]->configuration.width, 800);
  EXPECT_EQ(capture_->streams[0]->configuration.height, 600);

  deliverFrame(solidImage(800, 600, 0x336699));
  ASSERT_EQ(feedback_->panels.size(), 1u);
  EXPECT_EQ(feedback_->panels[0].frame, (Rect{10, 460, 800, 600}));
  EXPECT_EQ(types(), std::vector<std::string>{"triggered"}) << "reported during the flash";

  runtime_.advanceBy(kFlash - 1ms);
  EXPECT_EQ(types(), std::vector<std::string>{"triggered"});
  runtime_.advanceBy(1ms);
  const std::vector<json> all = events();
  ASSERT_EQ(all.size(), 2u);
  const json& triggered = all[0];
  const json& captured = all[1];
  const std::string id = triggered["id"];
  const std::string name = "glimra-" + id + ".png";
  EXPECT_EQ(captured, json({{"type", "captured"},
                            {"id", id},
                            {"capturedAt", triggered["capturedAt"]},
                            {"path", (directory_ / name).string()},
                            {"name", name},
                            {"sourceAppName", "Painter"},
                            {"sourceBundleIdentifier", "org.example.Painter"},
                            {"sourceWindowTitle", "Sketch"}}));

  const std::optional<DecodedPNG> png = decodePNGFile(directory_ / name);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width, 800);
  EXPECT_EQ(png->height, 600);
  EXPECT_EQ(capture_->streams[0]->stopCalls, 1);
}

TEST_F(CoordinatorTest, ChordsDuringACaptureAreRefusedUntilItsEventIsOut) {
  chord();
  chord();  // waiting for the frame
  deliverFrame(solidImage(800, 600, 0x336699));
  chord();  // during the flash
  runtime_.advanceBy(kFlash);
  chord();  // after `captured`: a new capture

  const std::vector<json> all = events();
  ASSERT_EQ(types(),
            (std::vector<std::string>{"triggered", "error", "error", "captured", "triggered"}));
  const json& first = all[0];
  for (const json& refusal : {all[1], all[2]}) {
    EXPECT_EQ(refusal["code"], "capture_in_progress");
    EXPECT_EQ(refusal["message"], "A previous Glimra capture is still in progress.");
    EXPECT_NE(refusal["id"], first["id"]);
  }
  EXPECT_NE(all[1]["id"], all[2]["id"]);
  EXPECT_EQ(all[3]["id"], first["id"]);
  EXPECT_NE(all[4]["id"], first["id"]);
  EXPECT_EQ(capture_->streams.size(), 2u);
}

// Every failure is one `error` after `triggered`, with the attempt's id and
// time, and the next chord starts afresh.
TEST(CoordinatorFailureTest, EachFailureEndsItsCaptureOnly) {
  struct FailureCase {
    const char* name;
    std::function<void(Desktop&)> arrange;
    std::function<void(Desktop&)> drive;
    const char* code;
  };
  const auto none = [](Desktop&) {};
  const FailureCase cases[] = {
      {"no frontmost application", [](Desktop& t) { t.windows_->frontmostApplication.reset(); },
       none, "no_frontmost_application"},
      {"host application frontmost",
       [](Desktop& t) { t.windows_->frontmostApplication->bundleIdentifier = "org.example.Host"; },
       none, "excluded_frontmost_application"},
      {"no screen recording", [](Desktop& t) { t.permissions_->capturePreflight = false; }, none,
       "screen-recording-required"},
      {"no frame in time", none, [](Desktop& t) { t.runtime_.advanceBy(6s); }, "capture_timed_out"},
      {"window closed", [](Desktop& t) { t.capture_->windows->clear(); }, none,
       "window_unavailable"},
      {"frame that cannot be encoded", none,
       [](Desktop& t) {
         Image broken = solidImage(800, 600, 0);
         broken.pixels.resize(10);
         t.deliverFrame(std::move(broken));
       },
       "png_encoding_failed"},
      {"directory gone", none,
       [](Desktop& t) {
         fs::remove_all(t.directory_);
         t.deliverFrame(solidImage(800, 600, 0x336699));
         fs::create_directory(t.directory_);
       },
       "output_write_failed"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    Desktop desktop;
    c.arrange(desktop);
    desktop.chord();
    c.drive(desktop);
    desktop.runtime_.advanceBy(1s);

    const std::vector<json> all = desktop.events();
    ASSERT_EQ(desktop.types(), (std::vector<std::string>{"triggered", "error"}));
    EXPECT_EQ(all[1]["code"], c.code);
    EXPECT_EQ(all[1]["id"], all[0]["id"]);
    EXPECT_EQ(all[1]["capturedAt"], all[0]["capturedAt"]);
    EXPECT_TRUE(desktop.filesInDirectory().empty());
    EXPECT_TRUE(desktop.feedback_->panels.empty());

    // The coordinator is idle again: the next chord starts a capture.
    desktop.chord();
    ASSERT_GT(desktop.types().size(), 2u);
    EXPECT_EQ(desktop.types()[2], "triggered");
  }
}

TEST_F(CoordinatorTest, WithoutAFlashTheCaptureIsReportedAtOnce) {
  feedback_->reduceMotion = true;
  chord();
  deliverFrame(solidImage(800, 600, 0x336699));
  EXPECT_EQ(types(), (std::vector<std::string>{"triggered", "captured"}));
  EXPECT_TRUE(feedback_->panels.empty());
}

TEST_F(CoordinatorTest, EmptySourceFieldsAreLeftOut) {
  windows_->frontmostApplication->bundleIdentifier.reset();
  windows_->frontmostApplication->localizedName = "";
  windows_->onScreenWindows = std::vector<WindowRecord>{capturableWindow(kPainterPID, 7, "")};
  feedback_->reduceMotion = true;
  chord();
  deliverFrame(solidImage(800, 600, 0x336699));

  const json captured = events().back();
  EXPECT_EQ(captured["type"], "captured");
  for (const char* key :
       {"sourceAppName", "sourceBundleIdentifier", "sourceAppIconDataUrl", "sourceWindowTitle"}) {
    EXPECT_FALSE(captured.contains(key)) << key;
  }
}

}  // namespace
}  // namespace glimra

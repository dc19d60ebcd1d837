#include "capture/one_frame_window_capture.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_window_capture_service.h"
#include "fakes/virtual_runtime.h"
#include "platform/linux/glib_runtime.h"
#include "protocol/failure_catalog.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;
using testing::FakeStreamRecord;
using testing::FakeWindowCaptureService;
using testing::VirtualRuntime;
using testing::WindowCaptureScript;

constexpr std::uint32_t kWindowID = 42;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

Image solidImage(int width, int height, std::uint32_t colour) {
  Image image = Image::blank(width, height, Image::Alpha::none);
  std::fill(image.pixels.begin(), image.pixels.end(), colour);
  return image;
}

bool sameImage(const Image& a, const Image& b) {
  return a.width == b.width && a.height == b.height && a.alpha == b.alpha && a.pixels == b.pixels;
}

// A capture of window 42 on the fakes and the virtual clock. The window
// is listed by default; every result the completion gets is kept.
class OneFrameWindowCaptureTest : public ::testing::Test {
 protected:
  OneFrameWindowCaptureTest() : service_(script_) {
    selected_.windowID = kWindowID;
    selected_.bounds = {100, 100, 400, 300};
    script_->windows = std::vector<ShareableWindow>{{kWindowID, {100, 100, 400, 300}}};
  }

  void startCapture() {
    capture_ = OneFrameWindowCapture::create(
        selected_, service_, runtime_,
        [this](Result<Image> result) { results_.push_back(std::move(result)); });
    capture_->start();
    runtime_.runUntilIdle();
  }

  FakeStreamRecord& onlyStream() {
    EXPECT_EQ(script_->streams.size(), 1u);
    return *script_->streams.at(0);
  }

  // The one result, which must be a failure with `expected`.
  void expectOneFailure(const GlimraFailure& expected) {
    ASSERT_EQ(results_.size(), 1u);
    ASSERT_FALSE(results_[0].ok());
    EXPECT_EQ(results_[0].failure(), expected);
  }

  std::shared_ptr<WindowCaptureScript> script_ = std::make_shared<WindowCaptureScript>();
  FakeWindowCaptureService service_;
  VirtualRuntime runtime_;
  SelectedWindow selected_;
  std::vector<Result<Image>> results_;
  std::shared_ptr<OneFrameWindowCapture> capture_;
};

TEST_F(OneFrameWindowCaptureTest, FirstCompleteFrameEndsTheCapture) {
  startCapture();
  FakeStreamRecord& stream = onlyStream();
  EXPECT_EQ(stream.window.windowID, kWindowID);
  EXPECT_EQ(stream.addOutputCalls, 1);
  EXPECT_EQ(stream.startCalls, 1);
  EXPECT_EQ(stream.stopCalls, 0);

  stream.deliver({.complete = false, .image = std::nullopt});
  stream.deliver({.complete = false, .image = solidImage(2, 2, 0xff000000)});
  runtime_.runUntilIdle();
  EXPECT_TRUE(results_.empty());

  const Image frame = solidImage(800, 600, 0xff336699);
  stream.deliverFrame(frame);
  stream.deliverFrame(solidImage(800, 600, 0xffffffff));
  runtime_.runUntilIdle();
  ASSERT_EQ(results_.size(), 1u);
  ASSERT_TRUE(results_[0].ok());
  EXPECT_TRUE(sameImage(results_[0].value(), frame));
  EXPECT_EQ(stream.stopCalls, 1);

  runtime_.advanceBy(10s);
  EXPECT_EQ(results_.size(), 1u);
}

TEST_F(OneFrameWindowCaptureTest, CompleteSampleWithoutAnImageFailsConversion) {
  startCapture();
  onlyStream().deliver({.complete = true, .image = std::nullopt});
  runtime_.runUntilIdle();
  expectOneFailure(failures::frameConversionFailed());
  EXPECT_EQ(onlyStream().stopCalls, 1);
}

TEST_F(OneFrameWindowCaptureTest, TimeLimitWithoutAFrameEndsOnceAndDropsALaterFrame) {
  startCapture();
  runtime_.advanceBy(OneFrameWindowCapture::kTimeLimit - 1ms);
  EXPECT_TRUE(results_.empty());
  runtime_.advanceBy(1ms);
  expectOneFailure(failures::captureTimedOut());
  EXPECT_EQ(onlyStream().stopCalls, 1);

  onlyStream().deliverFrame(solidImage(800, 600, 0xff000000));
  onlyStream().stopWithError("The window was closed.");
  runtime_.advanceBy(1min);
  EXPECT_EQ(results_.size(), 1u);
  EXPECT_EQ(onlyStream().stopCalls, 1);
}

TEST_F(OneFrameWindowCaptureTest, ShareableWindowsAfterTheTimeLimitMakeNoStream) {
  script_->answerAtOnce = false;
  startCapture();
  runtime_.advanceBy(OneFrameWindowCapture::kTimeLimit);
  expectOneFailure(failures::captureTimedOut());

  script_->answerShareableWindows();
  runtime_.advanceBy(1min);
  EXPECT_TRUE(script_->streams.empty());
  EXPECT_EQ(results_.size(), 1u);
}

TEST_F(OneFrameWindowCaptureTest, SelectionFailures) {
  struct Case {
    const char* name;
    std::optional<std::vector<ShareableWindow>> windows;
    std::optional<std::string> error;
    GlimraFailure expected;
  };
  const std::vector<Case> cases = {
      {"other windows only",
       std::vector<ShareableWindow>{{7, {0, 0, 100, 100}}, {43, {0, 0, 100, 100}}}, std::nullopt,
       failures::windowUnavailable()},
      {"empty list", std::vector<ShareableWindow>{}, std::nullopt, failures::windowUnavailable()},
      {"neither list nor error", std::nullopt, std::nullopt, failures::windowUnavailable()},
      {"an error", std::nullopt, "The display server went away.",
       failures::shareableContentUnavailable("The display server went away.")},
      {"an error beside a list", std::vector<ShareableWindow>{{kWindowID, {0, 0, 100, 100}}},
       "partial answer", failures::shareableContentUnavailable("partial answer")},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    script_ = std::make_shared<WindowCaptureScript>();
    script_->windows = test.windows;
    script_->windowsError = test.error;
    FakeWindowCaptureService service(script_);
    std::vector<Result<Image>> results;
    auto capture = OneFrameWindowCapture::create(
        selected_, service, runtime_,
        [&results](Result<Image> result) { results.push_back(std::move(result)); });
    capture->start();
    runtime_.advanceBy(1min);

    EXPECT_TRUE(script_->streams.empty());
    ASSERT_EQ(results.size(), 1u);
    ASSERT_FALSE(results[0].ok());
    EXPECT_EQ(results[0].failure(), test.expected);
    EXPECT_EQ(script_->shareableWindowRequests, 1);
  }
}

TEST_F(OneFrameWindowCaptureTest, TheFirstListedMatchIsStreamed) {
  script_->windows = std::vector<ShareableWindow>{
      {7, {0, 0, 10, 10}}, {kWindowID, {0, 0, 200, 100}}, {kWindowID, {0, 0, 300, 300}}};
  startCapture();
  EXPECT_EQ(onlyStream().window.frame, (Rect{0, 0, 200, 100}));
  EXPECT_EQ(onlyStream().configuration.width, 400);
  EXPECT_EQ(onlyStream().configuration.height, 200);
}

// The display holding most of the selection's bounds sets pixels per point;
// the shareable frame sets the size in points.
TEST_F(OneFrameWindowCaptureTest, ScaleComesFromTheDisplayWithTheLargestOverlap) {
  struct Case {
    const char* name;
    std::optional<std::vector<Display>> displays;
    double expectedScale;
  };
  // The selection spans x 90..130, y 0..10: 100 square points lie left of
  // x = 100 and 300 right of it.
  const Rect left{0, 0, 100, 100};
  const Rect right{100, 0, 100, 100};
  const std::vector<Case> cases = {
      {"no display", std::vector<Display>{}, 2.0},
      {"list unreadable", std::nullopt, 2.0},
      {"1.0 on 100 against 2.0 on 300", std::vector<Display>{{left, 100}, {right, 200}}, 2.0},
      {"2.0 on 100 against 1.0 on 300", std::vector<Display>{{left, 200}, {right, 100}}, 1.0},
      {"larger overlap listed first", std::vector<Display>{{right, 300}, {left, 100}}, 3.0},
      {"equal overlaps: the first wins",
       std::vector<Display>{{{0, 0, 110, 100}, 110}, {{110, 0, 100, 100}, 300}}, 1.0},
      {"below one pixel per point", std::vector<Display>{{{0, 0, 1000, 1000}, 500}}, 1.0},
      {"no overlap", std::vector<Display>{{{1000, 0, 100, 100}, 100}}, 2.0},
      {"touching edge only", std::vector<Display>{{{130, 0, 100, 100}, 100}}, 2.0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    script_ = std::make_shared<WindowCaptureScript>();
    script_->displays = test.displays;
    script_->windows = std::vector<ShareableWindow>{{kWindowID, {5000, 5000, 50, 20}}};
    FakeWindowCaptureService service(script_);
    SelectedWindow selected = selected_;
    selected.bounds = {90, 0, 40, 10};
    auto capture = OneFrameWindowCapture::create(selected, service, runtime_, [](auto) {});
    capture->start();
    runtime_.runUntilIdle();

    ASSERT_EQ(script_->streams.size(), 1u);
    EXPECT_EQ(script_->streams[0]->configuration.width, static_cast<int>(50 * test.expectedScale));
    EXPECT_EQ(script_->streams[0]->configuration.height, static_cast<int>(20 * test.expectedScale));
  }
}

TEST_F(OneFrameWindowCaptureTest, OutputSizeRules) {
  struct Case {
    double width;
    double height;
    std::optional<StreamConfiguration> expected;  // none: invalid dimensions
  };
  const std::vector<Case> cases = {
      {1, 100, std::nullopt},
      {100, 1, std::nullopt},
      {0, 0, std::nullopt},
      {-50, 100, std::nullopt},
      {1.5, 100, StreamConfiguration{2, 100}},
      {100.25, 2, StreamConfiguration{101, 2}},
      {10000, 5000, StreamConfiguration{8192, 4096}},
      {8192, 300, StreamConfiguration{8192, 300}},
      {16384, 1000, StreamConfiguration{8192, 500}},
      {1000, 16384, StreamConfiguration{500, 8192}},
      {100000, 2, StreamConfiguration{8192, 1}},
      {kNaN, 100, std::nullopt},
      {100, kNaN, std::nullopt},
      {kInfinity, 100, std::nullopt},
      {1e300, 1e300, StreamConfiguration{8192, 8192}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(std::to_string(test.width) + " x " + std::to_string(test.height));
    script_ = std::make_shared<WindowCaptureScript>();
    // One point is one pixel here.
    script_->displays = std::vector<Display>{{{0, 0, 10000, 10000}, 10000}};
    script_->windows = std::vector<ShareableWindow>{{kWindowID, {0, 0, test.width, test.height}}};
    FakeWindowCaptureService service(script_);
    std::vector<Result<Image>> results;
    auto capture = OneFrameWindowCapture::create(
        selected_, service, runtime_,
        [&results](Result<Image> result) { results.push_back(std::move(result)); });
    capture->start();
    runtime_.runUntilIdle();

    if (test.expected) {
      ASSERT_EQ(script_->streams.size(), 1u);
      EXPECT_EQ(script_->streams[0]->configuration.width, test.expected->width);
      EXPECT_EQ(script_->streams[0]->configuration.height, test.expected->height);
      EXPECT_TRUE(results.empty());
    } else {
      EXPECT_TRUE(script_->streams.empty());
      ASSERT_EQ(results.size(), 1u);
      ASSERT_FALSE(results[0].ok());
      EXPECT_EQ(results[0].failure(), failures::invalidWindowDimensions());
    }
  }
}

TEST_F(OneFrameWindowCaptureTest, StreamStoppingBeforeAFrameEndsTheCapture) {
  startCapture();
  onlyStream().stopWithError("The window was closed.");
  runtime_.runUntilIdle();
  expectOneFailure(failures::captureStopped("The window was closed."));
  EXPECT_EQ(onlyStream().stopCalls, 1);
}

TEST_F(OneFrameWindowCaptureTest, StreamStoppingAfterTheFrameChangesNothing) {
  startCapture();
  onlyStream().deliverFrame(solidImage(800, 600, 0xff000000));
  runtime_.runUntilIdle();
  onlyStream().stopWithError("The window was closed.");
  runtime_.runUntilIdle();
  ASSERT_EQ(results_.size(), 1u);
  EXPECT_TRUE(results_[0].ok());
}

TEST_F(OneFrameWindowCaptureTest, OutputThatCannotBeAddedStopsTheStreamUnstarted) {
  script_->addOutputError = "no output for you";
  startCapture();
  expectOneFailure(failures::captureSetupFailed("no output for you"));
  EXPECT_EQ(onlyStream().startCalls, 0);
  EXPECT_EQ(onlyStream().stopCalls, 1);
}

TEST_F(OneFrameWindowCaptureTest, StartErrorEndsTheCapture) {
  script_->startError = "Composite is missing.";
  startCapture();
  expectOneFailure(failures::captureStartFailed("Composite is missing."));
  EXPECT_EQ(onlyStream().stopCalls, 1);
  runtime_.advanceBy(1min);
  EXPECT_EQ(results_.size(), 1u);
}

TEST_F(OneFrameWindowCaptureTest, DroppedCaptureNeverCompletes) {
  startCapture();
  FakeStreamRecord& stream = onlyStream();
  capture_.reset();
  EXPECT_EQ(stream.stopCalls, 1);
  EXPECT_TRUE(stream.released);

  stream.deliverFrame(solidImage(800, 600, 0xff000000));
  stream.stopWithError("The window was closed.");
  runtime_.advanceBy(1min);
  EXPECT_TRUE(results_.empty());
}

TEST_F(OneFrameWindowCaptureTest, CaptureDroppedBeforeTheWindowListMakesNoStream) {
  script_->answerAtOnce = false;
  startCapture();
  capture_.reset();
  script_->answerShareableWindows();
  runtime_.advanceBy(1min);
  EXPECT_TRUE(script_->streams.empty());
  EXPECT_TRUE(results_.empty());
}

// The owner commonly lets go of the capture from its completion, which runs
// on the capture's own queue; a real queue cannot be destroyed there.
TEST(OneFrameWindowCaptureOnThreadsTest, OwnerMayDropTheCaptureFromItsCompletion) {
  GLibRuntime runtime;
  MainLoop& loop = runtime.mainLoop();
  auto script = std::make_shared<WindowCaptureScript>();
  script->windows = std::vector<ShareableWindow>{{kWindowID, {0, 0, 100, 50}}};
  script->samplesOnStart = {{.complete = true, .image = solidImage(200, 100, 0xff102030)}};
  FakeWindowCaptureService service(script);

  SelectedWindow selected;
  selected.windowID = kWindowID;
  selected.bounds = {0, 0, 100, 50};
  std::shared_ptr<OneFrameWindowCapture> capture;
  std::optional<bool> succeeded;
  capture = OneFrameWindowCapture::create(selected, service, runtime, [&](Result<Image> result) {
    succeeded = result.ok();
    capture.reset();
    loop.post([&loop] { loop.quit(); });
  });
  bool hung = false;
  const auto hangGuard = loop.startRepeatingTimer(30s, [&] {
    hung = true;
    loop.quit();
  });
  capture->start();
  loop.run();
  ASSERT_FALSE(hung);
  EXPECT_EQ(succeeded, true);

  // The main loop releases the queue once the completion's task is over.
  const std::weak_ptr<SerialQueue> queue = script->streams.at(0)->queue;
  while (!queue.expired() && !hung) g_main_context_iteration(nullptr, TRUE);
  EXPECT_TRUE(queue.expired());
  EXPECT_EQ(script->streams[0]->stopCalls, 1);
}

}  // namespace
}  // namespace glimra

#include "capture/capture_feedback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "fakes/fake_capture_feedback_service.h"
#include "fakes/virtual_runtime.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;
using testing::CaptureFeedbackScript;
using testing::FakeCaptureFeedbackService;
using testing::FlashPanelCall;
using testing::FlashPanelRecord;
using testing::VirtualRuntime;

constexpr Rect kMainDisplay{0, 0, 1440, 900};
constexpr Rect kWindow{100, 50, 800, 600};
constexpr Duration kFlashDuration = 205ms;
constexpr double kPeak = GlimraCaptureFeedback::kPeakAlpha;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// How much of a fade's time has passed at its `frame`th frame (the start is
// frame 0).
double timeFraction(std::size_t frame, Duration fadeDuration) {
  return std::chrono::duration<double>(GlimraCaptureFeedback::kFrameInterval * frame) /
         std::chrono::duration<double>(fadeDuration);
}

// A feedback on a fake desktop with one 1440 x 900 display, on the virtual
// clock; completions are recorded with the time they ran.
class CaptureFeedbackTest : public ::testing::Test {
 protected:
  CaptureFeedbackTest() {
    script_->screens = {{1, kMainDisplay}};
    script_->displayBounds = {{1, kMainDisplay}};
  }

  Task recordCompletion(std::vector<Duration>& times) {
    return [this, &times] { times.push_back(runtime_.now()); };
  }
  Task recordCompletion() { return recordCompletion(completions_); }

  const FlashPanelRecord& panel(std::size_t index) const { return script_->panels.at(index); }

  std::shared_ptr<CaptureFeedbackScript> script_ = std::make_shared<CaptureFeedbackScript>();
  FakeCaptureFeedbackService service_{script_};
  VirtualRuntime runtime_;
  std::shared_ptr<GlimraCaptureFeedback> feedback_ =
      GlimraCaptureFeedback::create(service_, runtime_.mainLoop());
  std::vector<Duration> completions_;
};

TEST_F(CaptureFeedbackTest, ReducedMotionCompletesBeforePlayReturnsWithoutAPanel) {
  script_->reduceMotion = true;
  feedback_->play(kWindow, recordCompletion());
  EXPECT_EQ(completions_, std::vector<Duration>{0ns});
  runtime_.advanceBy(1s);
  EXPECT_EQ(completions_.size(), 1u);
  EXPECT_TRUE(script_->panels.empty());
}

struct NoFlashCase {
  std::string name;
  std::vector<Screen> screens;
  std::map<std::uint32_t, Rect> displayBounds;
  Rect window;
};

TEST_F(CaptureFeedbackTest, NoScreenShowingTheWindowMeansNoPanelAndACompletionAtOnce) {
  const std::vector<NoFlashCase> cases = {
      {"window beside the display", {{1, kMainDisplay}}, {{1, kMainDisplay}}, {1500, 0, 200, 200}},
      {"window touching the display's edge",
       {{1, kMainDisplay}},
       {{1, kMainDisplay}},
       {1440, 100, 200, 200}},
      {"empty window", {{1, kMainDisplay}}, {{1, kMainDisplay}}, {100, 100, 0, 300}},
      {"negative window width", {{1, kMainDisplay}}, {{1, kMainDisplay}}, {500, 100, -200, 300}},
      {"NaN display width", {{1, kMainDisplay}}, {{1, {0, 0, kNaN, 900}}}, kWindow},
      {"the only screen has no display id",
       {{std::nullopt, kMainDisplay}},
       {{1, kMainDisplay}},
       kWindow},
      {"unknown display", {{7, kMainDisplay}}, {{1, kMainDisplay}}, kWindow},
      {"no screens", {}, {{1, kMainDisplay}}, kWindow},
  };
  for (const NoFlashCase& noFlash : cases) {
    SCOPED_TRACE(noFlash.name);
    script_->screens = noFlash.screens;
    script_->displayBounds = noFlash.displayBounds;
    std::vector<Duration> completions;
    feedback_->play(noFlash.window, recordCompletion(completions));
    EXPECT_EQ(completions.size(), 1u);
    EXPECT_TRUE(script_->panels.empty());
  }
  runtime_.advanceBy(1s);
  EXPECT_TRUE(script_->panels.empty());
}

struct PlacementCase {
  std::string name;
  std::vector<Screen> screens;
  std::map<std::uint32_t, Rect> displayBounds;
  Rect window;
  Rect expectedFrame;
};

TEST_F(CaptureFeedbackTest, PlacesThePanelOverTheWindowOnTheScreenShowingMostOfIt) {
  // Display 2 to the right of the main one, with two pixels per point.
  const Rect secondDisplay{1440, 0, 1440, 900};
  const Screen mainScreen{1, kMainDisplay};
  const Screen secondScreen{2, {1440, 0, 720, 450}};
  const std::map<std::uint32_t, Rect> bothDisplays = {{1, kMainDisplay}, {2, secondDisplay}};
  const std::vector<PlacementCase> cases = {
      {"y flips into screen space",
       {mainScreen},
       {{1, kMainDisplay}},
       kWindow,
       {100, 250, 800, 600}},
      {"the screen frame's origin and scale apply",
       {{1, {-720, 100, 720, 450}}},
       {{1, {1000, 200, 1440, 900}}},
       {1100, 250, 400, 200},
       {-670, 425, 200, 100}},
      {"a screen without display id is skipped",
       {{std::nullopt, {0, 0, 10, 10}}, mainScreen},
       {{1, kMainDisplay}},
       kWindow,
       {100, 250, 800, 600}},
      {"most of the window on the second display",
       {mainScreen, secondScreen},
       bothDisplays,
       {1000, 100, 1000, 500},
       {1220, 150, 500, 250}},
      {"most of the window on the main display",
       {mainScreen, secondScreen},
       bothDisplays,
       {900, 100, 1000, 500},
       {900, 300, 1000, 500}},
      {"equal parts: the earlier screen",
       {mainScreen, secondScreen},
       bothDisplays,
       {940, 100, 1000, 500},
       {940, 300, 1000, 500}},
      {"equal parts, other order: the earlier screen",
       {secondScreen, mainScreen},
       bothDisplays,
       {940, 100, 1000, 500},
       {1190, 150, 500, 250}},
  };
  for (const PlacementCase& placement : cases) {
    SCOPED_TRACE(placement.name);
    script_->screens = placement.screens;
    script_->displayBounds = placement.displayBounds;
    script_->panels.clear();
    feedback_->play(placement.window, [] {});
    ASSERT_EQ(script_->panels.size(), 1u);
    EXPECT_EQ(panel(0).frame, placement.expectedFrame);
    runtime_.advanceBy(kFlashDuration);
  }
}

TEST_F(CaptureFeedbackTest, FadesInThenOutAlongEasedCurvesAndCompletesAtTheEnd) {
  feedback_->play(kWindow, recordCompletion());
  ASSERT_EQ(script_->panels.size(), 1u);
  EXPECT_TRUE(panel(0).onScreen);
  EXPECT_EQ(panel(0).calls.front(), FlashPanelCall{FlashPanelCall::Kind::kOrderFront});

  // Each fade sets its start value, then a frame about every 1/60 s.
  runtime_.advanceBy(GlimraCaptureFeedback::kFadeInDuration - 1ns);
  const std::vector<double> fadeIn = panel(0).alphas();
  ASSERT_GE(fadeIn.size(), 3u);
  EXPECT_EQ(fadeIn.front(), 0.0);
  EXPECT_TRUE(std::is_sorted(fadeIn.begin(), fadeIn.end()));
  EXPECT_LT(fadeIn.back(), kPeak);
  // Ease-out: every frame lies above the straight line.
  for (std::size_t frame = 1; frame < fadeIn.size(); ++frame) {
    EXPECT_GT(fadeIn[frame], kPeak * timeFraction(frame, GlimraCaptureFeedback::kFadeInDuration));
  }
  runtime_.advanceBy(1ns);
  ASSERT_GT(panel(0).alphas().size(), fadeIn.size());
  EXPECT_EQ(panel(0).alphas()[fadeIn.size()], kPeak);

  runtime_.advanceBy(kFlashDuration - GlimraCaptureFeedback::kFadeInDuration - 1ns);
  EXPECT_TRUE(completions_.empty());
  EXPECT_TRUE(panel(0).onScreen);
  runtime_.advanceBy(1ns);
  EXPECT_EQ(completions_, std::vector<Duration>{kFlashDuration});

  const std::vector<double> alphas = panel(0).alphas();
  const std::vector<double> fadeOut(alphas.begin() + static_cast<std::ptrdiff_t>(fadeIn.size()) + 1,
                                    alphas.end());
  ASSERT_GE(fadeOut.size(), 10u);
  EXPECT_EQ(fadeOut.front(), kPeak);
  EXPECT_EQ(fadeOut.back(), 0.0);
  EXPECT_TRUE(std::is_sorted(fadeOut.rbegin(), fadeOut.rend()));
  // Ease-in: slow to start, so every frame between the ends lies above the line.
  for (std::size_t frame = 1; frame + 1 < fadeOut.size(); ++frame) {
    EXPECT_GT(fadeOut[frame],
              kPeak * (1 - timeFraction(frame, GlimraCaptureFeedback::kFadeOutDuration)));
  }

  EXPECT_EQ(panel(0).calls.back(), FlashPanelCall{FlashPanelCall::Kind::kOrderOut});
  EXPECT_FALSE(panel(0).onScreen);
  EXPECT_TRUE(panel(0).destroyed);  // the feedback let go of it
  runtime_.advanceBy(1s);
  EXPECT_EQ(completions_.size(), 1u);
}

TEST_F(CaptureFeedbackTest, ANewerFlashReplacesTheOlderOneAtOnceAndBothComplete) {
  struct Case {
    std::string name;
    Duration secondPlayAt;
    Duration firstCompletesAt;  // fade-in's end when replaced then, else the flash's end
  };
  const std::vector<Case> cases = {
      {"during the fade-in", 10ms, GlimraCaptureFeedback::kFadeInDuration},
      // The older flash ends during the newer one's fade-in, which must go on.
      {"during the fade-out", 190ms, kFlashDuration},
  };
  for (const Case& replacement : cases) {
    SCOPED_TRACE(replacement.name);
    VirtualRuntime runtime;
    auto script = std::make_shared<CaptureFeedbackScript>(*script_);
    FakeCaptureFeedbackService service(script);
    const auto feedback = GlimraCaptureFeedback::create(service, runtime.mainLoop());
    std::vector<Duration> first;
    std::vector<Duration> second;

    feedback->play(kWindow, [&] { first.push_back(runtime.now()); });
    runtime.advanceBy(replacement.secondPlayAt);
    feedback->play({200, 100, 300, 300}, [&] { second.push_back(runtime.now()); });
    ASSERT_EQ(script->panels.size(), 2u);
    EXPECT_EQ(script->panels[0].calls.back(), FlashPanelCall{FlashPanelCall::Kind::kOrderOut});
    EXPECT_FALSE(script->panels[0].onScreen);
    EXPECT_TRUE(script->panels[1].onScreen);

    runtime.advanceBy(replacement.firstCompletesAt - replacement.secondPlayAt);
    EXPECT_EQ(first, std::vector<Duration>{replacement.firstCompletesAt});
    EXPECT_TRUE(script->panels[0].destroyed);
    EXPECT_TRUE(second.empty());
    EXPECT_TRUE(script->panels[1].onScreen);  // the older flash's end leaves it alone

    runtime.advanceBy(1s);
    EXPECT_EQ(first.size(), 1u);
    EXPECT_EQ(second, std::vector<Duration>{replacement.secondPlayAt + kFlashDuration});
    EXPECT_FALSE(script->panels[1].onScreen);
    EXPECT_TRUE(script->panels[1].destroyed);
  }
}

TEST_F(CaptureFeedbackTest, NoPanelFromTheServiceMeansACompletionAtOnce) {
  script_->canMakePanels = false;
  feedback_->play(kWindow, recordCompletion());
  EXPECT_EQ(completions_, std::vector<Duration>{0ns});
  runtime_.advanceBy(1s);
  EXPECT_EQ(completions_.size(), 1u);
}

TEST_F(CaptureFeedbackTest, AFlashOutlivesItsFeedbackAndCompletesOnce) {
  struct Case {
    std::string name;
    Duration destroyedAt;
    Duration completesAt;
  };
  const std::vector<Case> cases = {
      // The panel went with the feedback, so the flash ends with its fade-in.
      {"during the fade-in", 10ms, GlimraCaptureFeedback::kFadeInDuration},
      {"during the fade-out", 100ms, kFlashDuration},
  };
  for (const Case& destruction : cases) {
    SCOPED_TRACE(destruction.name);
    VirtualRuntime runtime;
    auto script = std::make_shared<CaptureFeedbackScript>(*script_);
    FakeCaptureFeedbackService service(script);
    auto feedback = GlimraCaptureFeedback::create(service, runtime.mainLoop());
    std::vector<Duration> completions;
    feedback->play(kWindow, [&] { completions.push_back(runtime.now()); });
    runtime.advanceBy(destruction.destroyedAt);
    feedback.reset();
    runtime.advanceBy(1s);
    EXPECT_EQ(completions, std::vector<Duration>{destruction.completesAt});
    EXPECT_FALSE(script->panels.at(0).onScreen);
    EXPECT_TRUE(script->panels.at(0).destroyed);
  }
}

}  // namespace
}  // namespace glimra

#include "capture/capture_feedback.h"

#include <algorithm>
#include <utility>

#include "runtime/weak_task.h"

namespace glimra {
namespace {

// A CSS / Core Animation timing curve: the cubic Bézier from (0, 0) to
// (1, 1) with control points (x1, y1) and (x2, y2), all within 0..1.
struct TimingCurve {
  double x1;
  double y1;
  double x2;
  double y2;

  // How far the value has come (0..1) when `progress` (0..1) of the time
  // has passed.
  double valueAt(double progress) const {
    if (progress <= 0) return 0;
    if (progress >= 1) return 1;
    // x grows with the curve's parameter, so bisection finds the parameter
    // of `progress`. A fixed number of steps keeps the value monotonic.
    double low = 0;
    double high = 1;
    for (int step = 0; step < 40; ++step) {
      const double middle = (low + high) / 2;
      (coordinate(x1, x2, middle) < progress ? low : high) = middle;
    }
    return coordinate(y1, y2, (low + high) / 2);
  }

  static double coordinate(double first, double second, double parameter) {
    const double rest = 1 - parameter;
    return 3 * rest * rest * parameter * first + 3 * rest * parameter * parameter * second +
           parameter * parameter * parameter;
  }
};

constexpr TimingCurve kEaseOut{0, 0, 0.58, 1};
constexpr TimingCurve kEaseIn{0.42, 0, 1, 1};

struct Fade {
  Duration duration;
  TimingCurve curve;
  double fromAlpha;
  double toAlpha;
};

// One fade of a panel's alpha on the main loop: the start value at once, a
// frame about every 1/60 s along the curve, and exactly the target value
// when the fade's time is up. The task due then owns the animation and the
// frame timer holds it weakly, so a loop that drops its tasks leaves
// nothing behind. The animation lets go of the panel before `onEnd` runs.
class AlphaAnimation {
 public:
  static void start(MainLoop& mainLoop, std::shared_ptr<FlashPanel> panel, const Fade& fade,
                    Task onEnd) {
    auto animation = std::make_shared<AlphaAnimation>(std::move(panel), fade);
    animation->panel_->setAlpha(fade.fromAlpha);
    animation->frameTimer_ = mainLoop.startRepeatingTimer(
        GlimraCaptureFeedback::kFrameInterval,
        weakTask(animation, [](AlphaAnimation& running) { running.showNextFrame(); }));
    mainLoop.postDelayed(fade.duration, [animation, onEnd = std::move(onEnd)] {
      animation->end();
      onEnd();
    });
  }

  AlphaAnimation(std::shared_ptr<FlashPanel> panel, const Fade& fade)
      : panel_(std::move(panel)), fade_(fade) {}

 private:
  void showNextFrame() {
    ++frames_;
    const double progress = std::min(
        1.0, static_cast<double>((frames_ * GlimraCaptureFeedback::kFrameInterval).count()) /
                 static_cast<double>(fade_.duration.count()));
    const double value = fade_.curve.valueAt(progress);
    panel_->setAlpha(fade_.fromAlpha + (fade_.toAlpha - fade_.fromAlpha) * value);
  }

  void end() {
    frameTimer_.reset();
    panel_->setAlpha(fade_.toAlpha);
    panel_.reset();
  }

  std::shared_ptr<FlashPanel> panel_;
  const Fade fade_;
  std::unique_ptr<LoopSource> frameTimer_;
  int frames_ = 0;
};

// Negative and NaN lengths count as none.
double positiveLength(double length) { return length > 0 ? length : 0; }

}  // namespace

std::shared_ptr<GlimraCaptureFeedback> GlimraCaptureFeedback::create(
    CaptureFeedbackService& service, MainLoop& mainLoop) {
  return std::shared_ptr<GlimraCaptureFeedback>(new GlimraCaptureFeedback(service, mainLoop));
}

GlimraCaptureFeedback::GlimraCaptureFeedback(CaptureFeedbackService& service, MainLoop& mainLoop)
    : service_(service), mainLoop_(mainLoop) {}

void GlimraCaptureFeedback::play(const Rect& windowBounds, Task completion) {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  if (service_.reduceMotion()) {
    completion();
    return;
  }
  const std::optional<Rect> frame = panelFrame(windowBounds);
  if (!frame) {
    completion();
    return;
  }

  if (flashPanel_) flashPanel_->orderOut();
  std::unique_ptr<FlashPanel> madePanel = service_.makeFlashPanel(*frame);
  if (!madePanel) {
    completion();
    return;
  }
  flashPanel_ = std::move(madePanel);
  flashPanel_->orderFront();

  AlphaAnimation::start(
      mainLoop_, flashPanel_, {kFadeInDuration, kEaseOut, 0, kPeakAlpha},
      [&mainLoop = mainLoop_, panel = std::weak_ptr<FlashPanel>(flashPanel_),
       feedback = weak_from_this(), completion = std::move(completion)]() mutable {
        // Gone when a newer flash replaced it: this flash ends here.
        std::shared_ptr<FlashPanel> stillShown = panel.lock();
        if (!stillShown) {
          completion();
          return;
        }
        fadeOut(mainLoop, std::move(stillShown), std::move(feedback), std::move(completion));
      });
}

std::optional<Rect> GlimraCaptureFeedback::panelFrame(const Rect& windowBounds) {
  struct Candidate {
    Rect screenFrame;
    Rect displayBounds;
    double area;
  };
  std::optional<Candidate> best;
  for (const Screen& screen : service_.screens()) {
    if (!screen.displayID) continue;
    const Rect display = service_.displayBounds(*screen.displayID);
    const Rect overlap = intersection(display, windowBounds);
    const double area = positiveLength(overlap.width) * positiveLength(overlap.height);
    // On equal parts the earlier screen keeps the flash.
    if (!best || area > best->area) best = Candidate{screen.frame, display, area};
  }
  // Written as negations so that NaN counts as nothing.
  if (!best || !(best->area > 0) || !(best->displayBounds.width > 0) ||
      !(best->displayBounds.height > 0)) {
    return std::nullopt;
  }

  // Display space has y down from the display's top; screen space has y up,
  // so the window's bottom edge gives the panel's origin.
  const Rect& screen = best->screenFrame;
  const Rect& display = best->displayBounds;
  const double xScale = screen.width / display.width;
  const double yScale = screen.height / display.height;
  return Rect{screen.x + xScale * (windowBounds.x - display.x),
              screen.maxY() - yScale * (windowBounds.maxY() - display.y),
              xScale * windowBounds.width, yScale * windowBounds.height};
}

void GlimraCaptureFeedback::fadeOut(MainLoop& mainLoop, std::shared_ptr<FlashPanel> panel,
                                    std::weak_ptr<GlimraCaptureFeedback> feedback,
                                    Task completion) {
  AlphaAnimation::start(
      mainLoop, panel, {kFadeOutDuration, kEaseIn, kPeakAlpha, 0},
      [panel, feedback = std::move(feedback), completion = std::move(completion)] {
        finish(*panel, feedback, completion);
      });
}

void GlimraCaptureFeedback::finish(FlashPanel& panel,
                                   const std::weak_ptr<GlimraCaptureFeedback>& feedback,
                                   const Task& completion) {
  panel.orderOut();
  if (const std::shared_ptr<GlimraCaptureFeedback> owner = feedback.lock()) {
    GLIMRA_CHECK_SEQUENCE(owner->sequence_);
    if (owner->flashPanel_.get() == &panel) owner->flashPanel_.reset();
  }
  completion();
}

}  // namespace glimra

#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "platform/capture_feedback_service.h"
#include "platform/geometry.h"
#include "runtime/main_loop.h"
#include "runtime/sequence_checker.h"
#include "runtime/task.h"

namespace glimra {

// The brief white flash over a captured window: a panel fading in to 0.34
// in 0.035 s (ease-out) and out in 0.17 s (ease-in). Main thread only.
//
// The panel on screen is shared: the running fade holds it strongly, the
// feedback holds it as `flashPanel_` until a newer flash replaces it, and
// the end of the fade-in holds it only weakly. So a flash whose panel was
// replaced during its fade-in ends there, without fading out a panel that
// is gone.
class GlimraCaptureFeedback : public std::enable_shared_from_this<GlimraCaptureFeedback> {
 public:
  static constexpr double kPeakAlpha = 0.34;
  static constexpr Duration kFadeInDuration = std::chrono::milliseconds(35);
  static constexpr Duration kFadeOutDuration = std::chrono::milliseconds(170);
  // About 60 frames a second; each fade's last frame comes exactly at its end.
  static constexpr Duration kFrameInterval = std::chrono::nanoseconds(1'000'000'000 / 60);

  // The service must outlive the feedback and the flashes it started.
  static std::shared_ptr<GlimraCaptureFeedback> create(CaptureFeedbackService& service,
                                                       MainLoop& mainLoop);

  // Flashes over `windowBounds` (global display space) and calls
  // `completion` exactly once on the main thread: before returning when no
  // flash is shown, else when the flash has faded out. A newer flash
  // replaces an older one at once; the older one's completion still runs,
  // when its fade-in would have ended. A flash outlives the feedback: one
  // still fading in then ends with its fade-in (its panel went with the
  // feedback), one fading out ends as usual; both complete.
  void play(const Rect& windowBounds, Task completion);

 private:
  GlimraCaptureFeedback(CaptureFeedbackService& service, MainLoop& mainLoop);

  // Where the panel goes in screen space, on the screen that shows the
  // largest part of the window; none when no screen shows any of it.
  std::optional<Rect> panelFrame(const Rect& windowBounds);

  static void fadeOut(MainLoop& mainLoop, std::shared_ptr<FlashPanel> panel,
                      std::weak_ptr<GlimraCaptureFeedback> feedback, Task completion);
  static void finish(FlashPanel& panel, const std::weak_ptr<GlimraCaptureFeedback>& feedback,
                     const Task& completion);

  CaptureFeedbackService& service_;
  MainLoop& mainLoop_;
  // The panel on screen, or none.
  std::shared_ptr<FlashPanel> flashPanel_;
  SequenceChecker sequence_;
};

}  // namespace glimra

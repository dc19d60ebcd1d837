#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "capture/capture_feedback.h"
#include "capture/one_frame_window_capture.h"
#include "capture/private_output.h"
#include "capture/selected_window.h"
#include "platform/capture_feedback_service.h"
#include "platform/image.h"
#include "platform/permission_service.h"
#include "platform/window_capture_service.h"
#include "platform/window_service.h"
#include "protocol/glimra_failure.h"
#include "protocol/ndjson_emitter.h"
#include "runtime/runtime.h"

namespace glimra {

// The platform services one capture uses. All outlive the coordinator.
struct CaptureServices {
  Runtime& runtime;
  PermissionService& permissions;
  WindowService& windows;
  WindowCaptureService& windowCapture;
  CaptureFeedbackService& captureFeedback;
};

// Turns one Option chord into one capture: `triggered`, then a PNG file in
// the private directory and `captured` after the flash, or one `error`.
// One capture at a time; a chord during a capture gets a lone
// "capture_in_progress" error.
//
// The work runs on the coordinator's serial capture queue, which may wait
// for the main loop (window selection) but is never waited for by it.
class GlimraCaptureCoordinator : public std::enable_shared_from_this<GlimraCaptureCoordinator> {
 public:
  // Call on the main thread: the flash it creates belongs to the main loop.
  static std::shared_ptr<GlimraCaptureCoordinator> create(NDJSONEmitter& emitter,
                                                          std::filesystem::path outputDirectory,
                                                          std::string excludedBundleIdentifier,
                                                          CaptureServices services);

  // One chord. Returns at once; the capture runs on the capture queue.
  void handleGesture();

 private:
  // What travels with one capture from step to step.
  struct Attempt {
    std::string id;
    std::string capturedAt;
    SelectedWindow window;
  };

  GlimraCaptureCoordinator(NDJSONEmitter& emitter, std::filesystem::path outputDirectory,
                           std::string excludedBundleIdentifier, CaptureServices services);

  void beginCapture();
  Result<SelectedWindow> selectWindowOnMainLoop();
  void completeCapture(Result<Image> frame, Attempt attempt);
  void showFeedback(WrittenFile file, Attempt attempt);
  void reportCaptured(const WrittenFile& file, const Attempt& attempt);
  void endWithFailure(const GlimraFailure& failure, const Attempt& attempt);

  NDJSONEmitter& emitter_;
  const std::filesystem::path outputDirectory_;
  const std::string excludedBundleIdentifier_;
  const CaptureServices services_;
  const std::shared_ptr<GlimraCaptureFeedback> captureFeedback_;
  const std::shared_ptr<SerialQueue> queue_;
  // The capture in flight; touched only on queue_.
  std::shared_ptr<OneFrameWindowCapture> activeCapture_;
};

// The `captured` event of a finished capture; source fields that are
// absent or empty are left out.
Event capturedEvent(const std::string& id, const std::string& capturedAt, const std::string& path,
                    const std::string& name, const SelectedWindow& window);

}  // namespace glimra

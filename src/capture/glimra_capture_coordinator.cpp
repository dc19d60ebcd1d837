#include "capture/glimra_capture_coordinator.h"

#include <uuid/uuid.h>

#include <exception>
#include <utility>

#include "capture/png_attachment_limit.h"
#include "capture/private_output.h"
#include "capture/window_selection.h"
#include "protocol/failure_catalog.h"
#include "protocol/timestamp.h"
#include "runtime/weak_task.h"

namespace glimra {
namespace {

std::string newCaptureID() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_lower(uuid, text);
  return text;
}

void addIfNotEmpty(Event& event, const char* key, const std::optional<std::string>& value) {
  if (value && !value->empty()) event[key] = *value;
}

// Encodes and writes the frame, whose pixels are gone when this returns.
// Failures that are not GlimraFailures (out
// of memory, for one) are reported as processing failures.
Result<WrittenFile> encodeAndWrite(Image frame, const std::string& id,
                                   const std::filesystem::path& directory) {
  try {
    Result<std::vector<std::uint8_t>> png = encodePNGUnderAttachmentLimit(frame);
    if (!png.ok()) return png.failure();
    return writePrivatePNG(png.value(), id, directory);
  } catch (const std::exception& exception) {
    return failures::captureProcessingFailed(exception.what());
  }
}

}  // namespace

Event capturedEvent(const std::string& id, const std::string& capturedAt, const std::string& path,
                    const std::string& name, const SelectedWindow& window) {
  Event event = {
      {"type", "captured"}, {"id", id}, {"capturedAt", capturedAt}, {"path", path}, {"name", name}};
  addIfNotEmpty(event, "sourceAppName", window.sourceAppName);
  addIfNotEmpty(event, "sourceBundleIdentifier", window.sourceBundleIdentifier);
  addIfNotEmpty(event, "sourceAppIconDataUrl", window.sourceAppIconDataURL);
  addIfNotEmpty(event, "sourceWindowTitle", window.sourceWindowTitle);
  return event;
}

std::shared_ptr<GlimraCaptureCoordinator> GlimraCaptureCoordinator::create(
    NDJSONEmitter& emitter, std::filesystem::path outputDirectory,
    std::string excludedBundleIdentifier, CaptureServices services) {
  return std::shared_ptr<GlimraCaptureCoordinator>(new GlimraCaptureCoordinator(
      emitter, std::move(outputDirectory), std::move(excludedBundleIdentifier), services));
}

GlimraCaptureCoordinator::GlimraCaptureCoordinator(NDJSONEmitter& emitter,
                                                   std::filesystem::path outputDirectory,
                                                   std::string excludedBundleIdentifier,
                                                   CaptureServices services)
    : emitter_(emitter),
      outputDirectory_(std::move(outputDirectory)),
      excludedBundleIdentifier_(std::move(excludedBundleIdentifier)),
      services_(services),
      captureFeedback_(
          GlimraCaptureFeedback::create(services.captureFeedback, services.runtime.mainLoop())),
      queue_(services.runtime.makeSerialQueue("glimra.capture")) {}

void GlimraCaptureCoordinator::handleGesture() {
  queue_->post(
      weakTask(shared_from_this(), [](GlimraCaptureCoordinator& self) { self.beginCapture(); }));
}

void GlimraCaptureCoordinator::beginCapture() {
  Attempt attempt{newCaptureID(), currentTimestamp(), {}};
  Result<SelectedWindow> selection = selectWindowOnMainLoop();

  if (activeCapture_) {
    emitter_.emitError(failures::captureInProgress(), attempt.capturedAt, attempt.id);
    return;
  }
  emitter_.emitTriggered(attempt.id, attempt.capturedAt);
  if (!selection.ok()) {
    emitter_.emitError(selection.failure(), attempt.capturedAt, attempt.id);
    return;
  }
  if (!services_.permissions.preflightScreenCaptureAccess()) {
    emitter_.emitError(failures::screenRecordingRequired(), attempt.capturedAt, attempt.id);
    return;
  }

  attempt.window = std::move(selection.value());
  const SelectedWindow window = attempt.window;
  activeCapture_ = OneFrameWindowCapture::create(
      window, services_.windowCapture, services_.runtime,
      [weakSelf = weak_from_this(), attempt = std::move(attempt)](Result<Image> frame) mutable {
        const std::shared_ptr<GlimraCaptureCoordinator> self = weakSelf.lock();
        if (!self) return;
        self->queue_->post(weakTask(self, [frame = std::move(frame), attempt = std::move(attempt)](
                                              GlimraCaptureCoordinator& self) mutable {
          self.completeCapture(std::move(frame), std::move(attempt));
        }));
      });
  activeCapture_->start();
}

// Window selection reads the desktop, which belongs to the main loop. The
// queue waits for it; the main loop never waits for the queue.
Result<SelectedWindow> GlimraCaptureCoordinator::selectWindowOnMainLoop() {
  std::optional<Result<SelectedWindow>> selection;
  services_.runtime.mainLoop().runAndWait([this, &selection] {
    selection = selectFrontmostWindow(services_.windows, excludedBundleIdentifier_);
  });
  return std::move(*selection);
}

void GlimraCaptureCoordinator::completeCapture(Result<Image> frame, Attempt attempt) {
  if (!frame.ok()) return endWithFailure(frame.failure(), attempt);
  Result<WrittenFile> file = encodeAndWrite(std::move(frame.value()), attempt.id, outputDirectory_);
  if (!file.ok()) return endWithFailure(file.failure(), attempt);
  showFeedback(std::move(file.value()), std::move(attempt));
}

// The flash belongs to the main loop; `captured` waits until it is over.
void GlimraCaptureCoordinator::showFeedback(WrittenFile file, Attempt attempt) {
  const Rect bounds = attempt.window.bounds;
  auto report = [file = std::move(file), attempt = std::move(attempt)](
                    GlimraCaptureCoordinator& self) { self.reportCaptured(file, attempt); };
  services_.runtime.mainLoop().post(
      weakTask(shared_from_this(), [bounds, report](GlimraCaptureCoordinator& self) {
        self.captureFeedback_->play(bounds, [weakSelf = self.weak_from_this(), report] {
          if (const auto strongSelf = weakSelf.lock()) {
            strongSelf->queue_->post(weakTask(strongSelf, report));
          }
        });
      }));
}

void GlimraCaptureCoordinator::reportCaptured(const WrittenFile& file, const Attempt& attempt) {
  emitter_.emit(
      capturedEvent(attempt.id, attempt.capturedAt, file.path, file.name, attempt.window));
  activeCapture_.reset();
}

void GlimraCaptureCoordinator::endWithFailure(const GlimraFailure& failure,
                                              const Attempt& attempt) {
  emitter_.emitError(failure, attempt.capturedAt, attempt.id);
  activeCapture_.reset();
}

}  // namespace glimra

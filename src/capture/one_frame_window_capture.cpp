#include "capture/one_frame_window_capture.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "protocol/failure_catalog.h"
#include "runtime/weak_task.h"

namespace glimra {
namespace {

// The density assumed when no display tells it: that of a Retina display.
constexpr double kDefaultScale = 2.0;
constexpr double kMinimumScale = 1.0;
constexpr double kMaximumDimension = 8192.0;
constexpr double kMinimumDimension = 2.0;

double overlapArea(const Rect& a, const Rect& b) {
  const Rect overlap = intersection(a, b);
  return std::max(overlap.width, 0.0) * std::max(overlap.height, 0.0);
}

// Pixels per point of the display that holds most of `bounds`; the earlier
// display wins a tie.
double scaleFor(const Rect& bounds, const std::optional<std::vector<Display>>& displays) {
  if (!displays) return kDefaultScale;
  double bestArea = 0;
  double bestScale = kDefaultScale;
  for (const Display& display : *displays) {
    const double area = overlapArea(display.bounds, bounds);
    if (area > bestArea && display.bounds.width > 0) {
      bestArea = area;
      bestScale = display.pixelsWide / display.bounds.width;
    }
  }
  return std::max(bestScale, kMinimumScale);
}

// The size of the frame in pixels, its longer side at most 8192; none when
// the window is too small to capture or its size is not a number.
std::optional<StreamConfiguration> outputSize(double scale, const Rect& frame) {
  double width = std::ceil(scale * frame.width);
  double height = std::ceil(scale * frame.height);
  // Written so that NaN fails too.
  if (!(width >= kMinimumDimension && height >= kMinimumDimension)) return std::nullopt;
  if (!std::isfinite(width) || !std::isfinite(height)) return std::nullopt;

  const double longest = std::max(width, height);
  if (longest > kMaximumDimension) {
    const double factor = kMaximumDimension / longest;
    width = std::max(1.0, std::floor(factor * width));
    height = std::max(1.0, std::floor(factor * height));
  }
  return StreamConfiguration{static_cast<int>(width), static_cast<int>(height)};
}

}  // namespace

std::shared_ptr<OneFrameWindowCapture> OneFrameWindowCapture::create(SelectedWindow selectedWindow,
                                                                     WindowCaptureService& service,
                                                                     Runtime& runtime,
                                                                     Completion completion) {
  return std::shared_ptr<OneFrameWindowCapture>(new OneFrameWindowCapture(
      std::move(selectedWindow), service, runtime, std::move(completion)));
}

OneFrameWindowCapture::OneFrameWindowCapture(SelectedWindow selectedWindow,
                                             WindowCaptureService& service, Runtime& runtime,
                                             Completion completion)
    : selectedWindow_(std::move(selectedWindow)),
      service_(service),
      runtime_(runtime),
      completion_(std::move(completion)),
      outputQueue_(runtime.makeSerialQueue("glimra.stream-output")) {}

OneFrameWindowCapture::~OneFrameWindowCapture() {
  if (stream_) stream_->stop();
  // The last owner may let go inside one of the queue's own tasks, and a
  // queue cannot wait for its own thread: the main loop releases it then.
  if (outputQueue_->isCurrent()) {
    runtime_.mainLoop().post([queue = std::move(outputQueue_)] {});
  }
}

void OneFrameWindowCapture::start() {
  outputQueue_->postDelayed(kTimeLimit, weakTask(shared_from_this(), [](auto& capture) {
                              capture.finish(failures::captureTimedOut());
                            }));

  service_.requestShareableWindows(
      [weakSelf = weak_from_this()](std::optional<std::vector<ShareableWindow>> windows,
                                    std::optional<std::string> error) {
        const std::shared_ptr<OneFrameWindowCapture> self = weakSelf.lock();
        if (!self) return;
        self->outputQueue_->post(
            weakTask(self, [windows = std::move(windows), error = std::move(error)](auto& capture) {
              capture.selectShareableWindow(windows, error);
            }));
      });
}

void OneFrameWindowCapture::selectShareableWindow(
    const std::optional<std::vector<ShareableWindow>>& windows,
    const std::optional<std::string>& error) {
  {
    const std::lock_guard lock(mutex_);
    if (completed_) return;
  }
  if (error) return finish(failures::shareableContentUnavailable(*error));
  if (!windows) return finish(failures::windowUnavailable());
  const auto window =
      std::find_if(windows->begin(), windows->end(), [this](const ShareableWindow& candidate) {
        return candidate.windowID == selectedWindow_.windowID;
      });
  if (window == windows->end()) return finish(failures::windowUnavailable());
  startStream(*window);
}

void OneFrameWindowCapture::startStream(const ShareableWindow& window) {
  const double scale = scaleFor(selectedWindow_.bounds, service_.activeDisplays());
  const std::optional<StreamConfiguration> configuration = outputSize(scale, window.frame);
  if (!configuration) return finish(failures::invalidWindowDimensions());

  std::shared_ptr<WindowStream> stream = service_.makeStream(
      window, *configuration, [weakSelf = weak_from_this()](std::string description) {
        if (const auto self = weakSelf.lock()) {
          self->finish(failures::captureStopped(description));
        }
      });
  {
    const std::lock_guard lock(mutex_);
    // The time limit may have passed while the stream was being made.
    if (completed_) return;
    stream_ = stream;
  }

  const std::optional<std::string> outputError =
      stream->addOutput(outputQueue_, [weakSelf = weak_from_this()](StreamSample sample) {
        if (const auto self = weakSelf.lock()) self->handleSample(std::move(sample));
      });
  if (outputError) return finish(failures::captureSetupFailed(*outputError));

  stream->start([weakSelf = weak_from_this()](std::optional<std::string> error) {
    if (!error) return;
    if (const auto self = weakSelf.lock()) self->finish(failures::captureStartFailed(*error));
  });
}

void OneFrameWindowCapture::handleSample(StreamSample sample) {
  // An incomplete sample says nothing; the next one may be a frame.
  if (!sample.complete) return;
  if (!sample.image) return finish(failures::frameConversionFailed());
  finish(std::move(*sample.image));
}

void OneFrameWindowCapture::finish(Result<Image> result) {
  std::shared_ptr<WindowStream> stream;
  {
    const std::lock_guard lock(mutex_);
    if (completed_) return;
    completed_ = true;
    stream = std::move(stream_);
  }
  if (stream) stream->stop();
  completion_(std::move(result));
}

}  // namespace glimra

#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/selected_window.h"
#include "platform/image.h"
#include "platform/window_capture_service.h"
#include "protocol/glimra_failure.h"
#include "runtime/runtime.h"

namespace glimra {

// One still image of a selected window: the first complete frame of a
// stream of that window, at the pixel density of the display it mostly
// lies on, within 6 seconds. The completion runs exactly once, on a thread
// of the capture's choosing, unless the owner drops the capture first.
class OneFrameWindowCapture : public std::enable_shared_from_this<OneFrameWindowCapture> {
 public:
  using Completion = std::function<void(Result<Image>)>;

  static constexpr Duration kTimeLimit = std::chrono::seconds(6);

  // The service and the runtime must outlive the capture.
  static std::shared_ptr<OneFrameWindowCapture> create(SelectedWindow selectedWindow,
                                                       WindowCaptureService& service,
                                                       Runtime& runtime, Completion completion);

  // Stops the stream, if any; the completion no longer runs.
  ~OneFrameWindowCapture();

  // Begins the capture and returns at once. Called once.
  void start();

 private:
  OneFrameWindowCapture(SelectedWindow selectedWindow, WindowCaptureService& service,
                        Runtime& runtime, Completion completion);

  // The steps on the output queue, in order.
  void selectShareableWindow(const std::optional<std::vector<ShareableWindow>>& windows,
                             const std::optional<std::string>& error);
  void startStream(const ShareableWindow& window);
  void handleSample(StreamSample sample);

  // Ends the capture with `result` unless it has ended already.
  void finish(Result<Image> result);

  const SelectedWindow selectedWindow_;
  WindowCaptureService& service_;
  Runtime& runtime_;
  const Completion completion_;
  // Where the selection, the stream's samples and the time limit run.
  std::shared_ptr<SerialQueue> outputQueue_;

  std::mutex mutex_;
  std::shared_ptr<WindowStream> stream_;  // guarded by mutex_
  bool completed_ = false;                // guarded by mutex_
};

}  // namespace glimra

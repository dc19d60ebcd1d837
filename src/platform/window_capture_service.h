#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry.h"
#include "platform/image.h"
#include "runtime/serial_queue.h"

namespace glimra {

// A window that may be captured, as the capture framework lists it.
struct ShareableWindow {
  std::uint32_t windowID = 0;  // the same number as WindowRecord::number
  Rect frame;                  // in points, global display space
};

// An active display: its bounds in the global display space, in points,
// and its width in pixels.
struct Display {
  Rect bounds;
  double pixelsWide = 0;
};

// What a stream delivers. Fixed for every stream: 32-bit BGRA frames in
// sRGB, scaled to fit the configured size, no cursor, at most 60 frames a
// second, one frame queued at a time.
struct StreamConfiguration {
  int width = 0;  // pixels
  int height = 0;
};

// One sample of a stream. `complete` is true only for a valid, ready,
// complete frame that has pixels; `image` is the frame rendered into an
// Image of the configured size, empty when that rendering failed.
struct StreamSample {
  bool complete = false;
  std::optional<Image> image;
};

// A stream of frames of one window. Its handlers run on platform threads
// except where said; they may outlive their owner, so they hold it weakly.
class WindowStream {
 public:
  using SampleHandler = std::function<void(StreamSample)>;
  // The description of an error, or none.
  using StartCompletion = std::function<void(std::optional<std::string>)>;

  virtual ~WindowStream() = default;

  // Routes the stream's samples to `onSample`, run on `queue`. The
  // description of the error when that cannot be set up.
  virtual std::optional<std::string> addOutput(std::shared_ptr<SerialQueue> queue,
                                               SampleHandler onSample) = 0;

  // Starts capturing; `completion` runs once, on a platform thread.
  virtual void start(StartCompletion completion) = 0;

  // Stops capturing, also before or without a start. What the stop itself
  // reports is of no interest; a second call does nothing.
  virtual void stop() = 0;
};

// Reading window images. Any thread.
class WindowCaptureService {
 public:
  // Either list may be absent; the error's description when the request failed.
  using ShareableWindowsHandler = std::function<void(
      std::optional<std::vector<ShareableWindow>> windows, std::optional<std::string> error)>;
  // Runs when a stream stops by itself, with the description of the error.
  using StopHandler = std::function<void(std::string description)>;

  virtual ~WindowCaptureService() = default;

  // The on-screen windows without desktop elements, handed to `handler`
  // once, on a platform thread.
  virtual void requestShareableWindows(ShareableWindowsHandler handler) = 0;

  // The active displays in the platform's order, or none when the list
  // cannot be read.
  virtual std::optional<std::vector<Display>> activeDisplays() = 0;

  // A stream of the one window, not yet started.
  virtual std::shared_ptr<WindowStream> makeStream(const ShareableWindow& window,
                                                   const StreamConfiguration& configuration,
                                                   StopHandler onStop) = 0;
};

}  // namespace glimra

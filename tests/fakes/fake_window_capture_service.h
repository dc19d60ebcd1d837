#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/window_capture_service.h"

namespace glimra::testing {

// One stream a FakeWindowCaptureService made: what it was made with, what
// was done to it, and the handles through which the test drives it.
struct FakeStreamRecord {
  ShareableWindow window;
  StreamConfiguration configuration;
  WindowCaptureService::StopHandler onStop;

  // Set by addOutput when it succeeds. The queue belongs to the stream's
  // owner: once the owner is gone, nothing more is delivered.
  std::weak_ptr<SerialQueue> queue;
  WindowStream::SampleHandler onSample;

  int addOutputCalls = 0;
  int startCalls = 0;
  int stopCalls = 0;
  bool released = false;  // the stream object was destroyed

  // Posts `sample` to the output queue, as the platform does. Whether the
  // stream was stopped is not checked: the test decides what comes late.
  void deliver(StreamSample sample) {
    if (const std::shared_ptr<SerialQueue> outputQueue = queue.lock()) {
      outputQueue->post([handler = onSample, sample = std::move(sample)] { handler(sample); });
    }
  }
  void deliverFrame(Image image) { deliver({.complete = true, .image = std::move(image)}); }

  // The stream stops by itself, with `description`; on the test's thread.
  void stopWithError(const std::string& description) { onStop(description); }
};

// What a FakeWindowCaptureService answers, and what it was asked. Shared,
// so the test keeps it while the code under test owns the service.
struct WindowCaptureScript {
  // The answer to requestShareableWindows.
  std::optional<std::vector<ShareableWindow>> windows;
  std::optional<std::string> windowsError;
  // Answers at once, on the caller's thread; otherwise the requests wait
  // for answerShareableWindows.
  bool answerAtOnce = true;
  std::vector<WindowCaptureService::ShareableWindowsHandler> waitingRequests;
  int shareableWindowRequests = 0;

  std::optional<std::vector<Display>> displays = std::vector<Display>{};

  // How the next streams behave.
  std::optional<std::string> addOutputError;
  std::optional<std::string> startError;
  // Delivered by a stream that starts without an error, on the thread that
  // starts it, so a test on real threads needs no other thread to drive it.
  std::vector<StreamSample> samplesOnStart;

  std::vector<std::shared_ptr<FakeStreamRecord>> streams;

  // Answers the waiting requests with the script's current windows and
  // error, in order.
  void answerShareableWindows() {
    for (auto& handler : std::exchange(waitingRequests, {})) handler(windows, windowsError);
  }
};

class FakeWindowStream final : public WindowStream {
 public:
  FakeWindowStream(std::shared_ptr<WindowCaptureScript> script,
                   std::shared_ptr<FakeStreamRecord> record)
      : script_(std::move(script)), record_(std::move(record)) {}
  ~FakeWindowStream() override { record_->released = true; }

  std::optional<std::string> addOutput(std::shared_ptr<SerialQueue> queue,
                                       SampleHandler onSample) override {
    ++record_->addOutputCalls;
    if (script_->addOutputError) return script_->addOutputError;
    record_->queue = std::move(queue);
    record_->onSample = std::move(onSample);
    return std::nullopt;
  }

  void start(StartCompletion completion) override {
    ++record_->startCalls;
    completion(script_->startError);
    if (script_->startError) return;
    for (const StreamSample& sample : script_->samplesOnStart) record_->deliver(sample);
  }

  void stop() override { ++record_->stopCalls; }

 private:
  const std::shared_ptr<WindowCaptureScript> script_;
  const std::shared_ptr<FakeStreamRecord> record_;
};

// A WindowCaptureService played from a WindowCaptureScript. Not locked: the
// test and the code under test take turns, as on a VirtualRuntime, where
// everything runs on the test's thread.
class FakeWindowCaptureService final : public WindowCaptureService {
 public:
  explicit FakeWindowCaptureService(std::shared_ptr<WindowCaptureScript> script)
      : script_(std::move(script)) {}

  void requestShareableWindows(ShareableWindowsHandler handler) override {
    ++script_->shareableWindowRequests;
    script_->waitingRequests.push_back(std::move(handler));
    if (script_->answerAtOnce) script_->answerShareableWindows();
  }

  std::optional<std::vector<Display>> activeDisplays() override { return script_->displays; }

  std::shared_ptr<WindowStream> makeStream(const ShareableWindow& window,
                                           const StreamConfiguration& configuration,
                                           StopHandler onStop) override {
    auto record = std::make_shared<FakeStreamRecord>();
    record->window = window;
    record->configuration = configuration;
    record->onStop = std::move(onStop);
    script_->streams.push_back(record);
    return std::make_shared<FakeWindowStream>(script_, std::move(record));
  }

 private:
  const std::shared_ptr<WindowCaptureScript> script_;
};

}  // namespace glimra::testing

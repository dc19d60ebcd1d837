#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/capture_feedback_service.h"

namespace glimra::testing {

// One call a fake flash panel received.
struct FlashPanelCall {
  enum class Kind { kOrderFront, kSetAlpha, kOrderOut };
  Kind kind;
  double alpha = 0;  // for kSetAlpha

  friend bool operator==(const FlashPanelCall&, const FlashPanelCall&) = default;
};

// What became of one panel the fake made.
struct FlashPanelRecord {
  Rect frame;
  std::vector<FlashPanelCall> calls;
  bool onScreen = false;   // ordered front and not ordered out or destroyed since
  bool destroyed = false;  // its owner let it go

  // The alpha values it was given, in order.
  std::vector<double> alphas() const {
    std::vector<double> values;
    for (const FlashPanelCall& call : calls) {
      if (call.kind == FlashPanelCall::Kind::kSetAlpha) values.push_back(call.alpha);
    }
    return values;
  }
};

// What a FakeCaptureFeedbackService answers, and the panels it made.
// Shared, so the test keeps it while the code under test owns the fake.
struct CaptureFeedbackScript {
  bool reduceMotion = false;
  std::vector<Screen> screens;
  std::map<std::uint32_t, Rect> displayBounds;  // unknown ids answer an empty Rect
  bool canMakePanels = true;
  // One record per panel made, in order; the deque keeps references stable.
  std::deque<FlashPanelRecord> panels;
};

class FakeFlashPanel final : public FlashPanel {
 public:
  FakeFlashPanel(std::shared_ptr<CaptureFeedbackScript> script, std::size_t index)
      : script_(std::move(script)), index_(index) {}
  ~FakeFlashPanel() override {
    record().onScreen = false;
    record().destroyed = true;
  }

  void orderFront() override {
    record().calls.push_back({FlashPanelCall::Kind::kOrderFront});
    record().onScreen = true;
  }
  void setAlpha(double alpha) override {
    record().calls.push_back({FlashPanelCall::Kind::kSetAlpha, alpha});
  }
  void orderOut() override {
    record().calls.push_back({FlashPanelCall::Kind::kOrderOut});
    record().onScreen = false;
  }

 private:
  FlashPanelRecord& record() { return script_->panels[index_]; }

  std::shared_ptr<CaptureFeedbackScript> script_;
  std::size_t index_;
};

class FakeCaptureFeedbackService final : public CaptureFeedbackService {
 public:
  explicit FakeCaptureFeedbackService(std::shared_ptr<CaptureFeedbackScript> script)
      : script_(std::move(script)) {}

  bool reduceMotion() override { return script_->reduceMotion; }
  std::vector<Screen> screens() override { return script_->screens; }
  Rect displayBounds(std::uint32_t displayID) override {
    const auto found = script_->displayBounds.find(displayID);
    return found == script_->displayBounds.end() ? Rect{} : found->second;
  }
  std::unique_ptr<FlashPanel> makeFlashPanel(const Rect& frame) override {
    if (!script_->canMakePanels) return nullptr;
    FlashPanelRecord record;
    record.frame = frame;
    script_->panels.push_back(std::move(record));
    return std::make_unique<FakeFlashPanel>(script_, script_->panels.size() - 1);
  }

 private:
  std::shared_ptr<CaptureFeedbackScript> script_;
};

}  // namespace glimra::testing

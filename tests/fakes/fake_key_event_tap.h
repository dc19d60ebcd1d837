#pragma once

#include <memory>

#include "platform/key_event_tap.h"

namespace glimra::testing {

// What FakeKeyEventTapFactory answers and what it has seen. Shared, so the
// test keeps it while the code under test owns the factory and its taps.
struct TapScript {
  bool createSucceeds = true;
  bool attachSucceeds = true;

  int createCalls = 0;
  int attachCalls = 0;
  int enableCalls = 0;
  int tapsAlive = 0;
  KeyEventMask lastMask = 0;
  KeyEventCallback lastCallback;  // of the last tap created

  // Delivers an event as the last created tap would.
  void deliver(const KeyEvent& event) const { lastCallback(event); }
};

class FakeKeyEventTap final : public KeyEventTap {
 public:
  explicit FakeKeyEventTap(std::shared_ptr<TapScript> script) : script_(std::move(script)) {
    ++script_->tapsAlive;
  }
  ~FakeKeyEventTap() override { --script_->tapsAlive; }

  bool attachToMainLoop(MainLoop&) override {
    ++script_->attachCalls;
    return script_->attachSucceeds;
  }
  void enable() override { ++script_->enableCalls; }

 private:
  std::shared_ptr<TapScript> script_;
};

class FakeKeyEventTapFactory final : public KeyEventTapFactory {
 public:
  explicit FakeKeyEventTapFactory(std::shared_ptr<TapScript> script)
      : script_(std::move(script)) {}

  std::unique_ptr<KeyEventTap> createTap(KeyEventMask mask, KeyEventCallback onEvent) override {
    ++script_->createCalls;
    script_->lastMask = mask;
    if (!script_->createSucceeds) return nullptr;
    script_->lastCallback = std::move(onEvent);
    return std::make_unique<FakeKeyEventTap>(script_);
  }

 private:
  std::shared_ptr<TapScript> script_;
};

}  // namespace glimra::testing

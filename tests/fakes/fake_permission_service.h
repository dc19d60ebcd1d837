#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/permission_service.h"

namespace glimra::testing {

// What a FakePermissionService answers, and the calls it has seen in order.
// Shared, so the test keeps it while the code under test owns the fake.
struct PermissionScript {
  bool listenPreflight = false;
  bool capturePreflight = false;
  bool listenRequest = false;
  bool captureRequest = false;
  std::vector<std::string> calls;
};

class FakePermissionService final : public PermissionService {
 public:
  explicit FakePermissionService(std::shared_ptr<PermissionScript> script)
      : script_(std::move(script)) {}

  bool preflightListenEventAccess() override {
    return record("preflightListen", script_->listenPreflight);
  }
  bool preflightScreenCaptureAccess() override {
    return record("preflightCapture", script_->capturePreflight);
  }
  bool requestListenEventAccess() override {
    return record("requestListen", script_->listenRequest);
  }
  bool requestScreenCaptureAccess() override {
    return record("requestCapture", script_->captureRequest);
  }

 private:
  bool record(const char* call, bool answer) {
    script_->calls.emplace_back(call);
    return answer;
  }

  std::shared_ptr<PermissionScript> script_;
};

}  // namespace glimra::testing

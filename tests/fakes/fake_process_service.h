#pragma once

#include <cstdint>
#include <optional>
#include <set>

#include "platform/process_service.h"

namespace glimra::testing {

// A scripted process table for the parent monitor: the test sets the
// parent id and which processes are gone; exits are recorded, not made.
class FakeProcessService final : public ProcessService {
 public:
  std::int32_t parentId = 4242;
  std::set<std::int32_t> goneProcesses;
  // The descriptor openExitNotification hands out, -1 for none; the
  // monitor closes it, so a test gives it a descriptor of its own.
  int exitNotificationFd = -1;

  std::optional<int> exitStatus;
  int exitCalls = 0;
  int probes = 0;

  std::int32_t parentProcessId() override { return parentId; }
  bool processIsGone(std::int32_t pid) override {
    ++probes;
    return goneProcesses.contains(pid);
  }
  int openExitNotification(std::int32_t) override {
    const int fd = exitNotificationFd;
    exitNotificationFd = -1;
    return fd;
  }
  void exitProcess(int status) override {
    ++exitCalls;
    if (!exitStatus) exitStatus = status;
  }
};

}  // namespace glimra::testing

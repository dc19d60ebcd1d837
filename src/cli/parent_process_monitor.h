#pragma once

#include <cstdint>
#include <memory>

#include "platform/process_service.h"
#include "runtime/main_loop.h"
#include "runtime/sequence_checker.h"

namespace glimra {

// Ends a listening helper, quietly and with status 0, once the process that
// started it is gone: when the parent id changes (the helper was handed to
// another process) or the recorded parent no longer exists. Polls every
// half second and, where the system offers a descriptor for the parent's
// exit, also watches it, so the helper ends at once.
//
// Created and started on the main thread before any key listener; lives
// on the main loop until the process ends. Its timer and watch hold it
// weakly.
class ParentProcessMonitor : public std::enable_shared_from_this<ParentProcessMonitor> {
 public:
  static constexpr Duration kPollInterval = std::chrono::milliseconds(500);

  // Records the parent's id now. The services must outlive the monitor.
  static std::shared_ptr<ParentProcessMonitor> create(ProcessService& processes,
                                                      MainLoop& mainLoop);
  ~ParentProcessMonitor();

  // Ends the process at once when the parent is already gone, or was never
  // a real parent (id 1 or less); otherwise starts watching and returns.
  void start();

  std::int32_t originalParentProcessIdentifier() const { return originalParentProcessIdentifier_; }

 private:
  ParentProcessMonitor(ProcessService& processes, MainLoop& mainLoop);

  bool parentIsGone();
  void watchParentExit();
  void endIfParentIsGone();

  ProcessService& processes_;
  MainLoop& mainLoop_;
  const std::int32_t originalParentProcessIdentifier_;
  std::unique_ptr<LoopSource> timer_;
  int exitNotification_ = -1;
  std::unique_ptr<LoopSource> exitWatch_;
  SequenceChecker sequence_;
};

}  // namespace glimra

#pragma once

#include "platform/process_service.h"

namespace glimra {

// Process calls on Linux. The parent's exit is announced through a pidfd,
// which becomes readable when the process ends (Linux 5.3 and later;
// elsewhere the parent monitor's poll alone notices it).
class LinuxProcessService final : public ProcessService {
 public:
  std::int32_t parentProcessId() override;
  bool processIsGone(std::int32_t pid) override;
  int openExitNotification(std::int32_t pid) override;
  void exitProcess(int status) override;
};

}  // namespace glimra

#pragma once

#include <cstdint>

namespace glimra {

// The process calls the parent monitor needs.
class ProcessService {
 public:
  virtual ~ProcessService() = default;

  virtual std::int32_t parentProcessId() = 0;

  // Whether no process with this id exists any more: kill(pid, 0) failed
  // with ESRCH. Any other failure (such as EPERM) means it exists.
  virtual bool processIsGone(std::int32_t pid) = 0;

  // A descriptor that becomes readable when the process ends, or -1 where
  // the system offers none. The caller owns and closes it.
  virtual int openExitNotification(std::int32_t pid) = 0;

  // Ends the process at once with `status`. The fake records the call and
  // returns.
  virtual void exitProcess(int status) = 0;
};

}  // namespace glimra

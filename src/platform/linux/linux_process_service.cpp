#include "platform/linux/linux_process_service.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace glimra {

std::int32_t LinuxProcessService::parentProcessId() { return ::getppid(); }

bool LinuxProcessService::processIsGone(std::int32_t pid) {
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

int LinuxProcessService::openExitNotification(std::int32_t pid) {
#ifdef SYS_pidfd_open
  // A pidfd is close-on-exec from the start.
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  return fd < 0 ? -1 : static_cast<int>(fd);
#else
  (void)pid;
  return -1;
#endif
}

// Immediate: no static destructor may race a worker thread, and every
// event has already been written without buffering.
void LinuxProcessService::exitProcess(int status) { ::_exit(status); }

}  // namespace glimra

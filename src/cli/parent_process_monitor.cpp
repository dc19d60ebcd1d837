#include "cli/parent_process_monitor.h"

#include <unistd.h>

#include "cli/helper_entry.h"
#include "runtime/weak_task.h"

namespace glimra {

std::shared_ptr<ParentProcessMonitor> ParentProcessMonitor::create(ProcessService& processes,
                                                                   MainLoop& mainLoop) {
  return std::shared_ptr<ParentProcessMonitor>(new ParentProcessMonitor(processes, mainLoop));
}

ParentProcessMonitor::ParentProcessMonitor(ProcessService& processes, MainLoop& mainLoop)
    : processes_(processes),
      mainLoop_(mainLoop),
      originalParentProcessIdentifier_(processes.parentProcessId()) {}

ParentProcessMonitor::~ParentProcessMonitor() {
  exitWatch_.reset();
  if (exitNotification_ >= 0) ::close(exitNotification_);
}

void ParentProcessMonitor::start() {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  // Started by, or already handed to, the init process: no parent to serve.
  if (originalParentProcessIdentifier_ <= 1) {
    processes_.exitProcess(kExitSuccess);
    return;
  }
  timer_ = mainLoop_.startRepeatingTimer(
      kPollInterval,
      weakTask(shared_from_this(), [](ParentProcessMonitor& monitor) {
        monitor.endIfParentIsGone();
      }));
  watchParentExit();
  endIfParentIsGone();
}

// The descriptor is opened before the first liveness test: if the parent
// is still ours after it was opened, the descriptor names the parent and
// not a later process that reused its id.
void ParentProcessMonitor::watchParentExit() {
  exitNotification_ = processes_.openExitNotification(originalParentProcessIdentifier_);
  if (exitNotification_ < 0) return;
  exitWatch_ = mainLoop_.watchReadable(
      exitNotification_, weakTask(shared_from_this(), [](ParentProcessMonitor& monitor) {
        monitor.processes_.exitProcess(kExitSuccess);
      }));
}

bool ParentProcessMonitor::parentIsGone() {
  if (processes_.parentProcessId() != originalParentProcessIdentifier_) return true;
  return processes_.processIsGone(originalParentProcessIdentifier_);
}

void ParentProcessMonitor::endIfParentIsGone() {
  if (parentIsGone()) processes_.exitProcess(kExitSuccess);
}

}  // namespace glimra

#include "cli/parent_process_monitor.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include "fakes/fake_process_service.h"
#include "fakes/virtual_runtime.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;
using testing::FakeProcessService;
using testing::VirtualRuntime;

class ParentProcessMonitorTest : public ::testing::Test {
 protected:
  std::shared_ptr<ParentProcessMonitor> makeMonitor() {
    return ParentProcessMonitor::create(processes_, runtime_.mainLoop());
  }

  FakeProcessService processes_;
  VirtualRuntime runtime_;
};

TEST_F(ParentProcessMonitorTest, NoRealParentEndsAtOnceWithoutWatching) {
  for (const std::int32_t parent : {1, 0, -3}) {
    FakeProcessService processes;
    processes.parentId = parent;
    const auto monitor = ParentProcessMonitor::create(processes, runtime_.mainLoop());
    monitor->start();
    EXPECT_EQ(processes.exitStatus, 0) << parent;
    EXPECT_EQ(processes.probes, 0);
    runtime_.advanceBy(5s);
    EXPECT_EQ(processes.exitCalls, 1);
  }
}

TEST_F(ParentProcessMonitorTest, APresentParentKeepsTheHelperRunning) {
  const auto monitor = makeMonitor();
  monitor->start();
  runtime_.advanceBy(1h);
  EXPECT_EQ(processes_.exitCalls, 0);
  EXPECT_EQ(processes_.probes, 1 + 7200);  // at start, then twice a second
}

TEST_F(ParentProcessMonitorTest, AParentThatEndsIsNoticedAtTheNextTick) {
  const auto monitor = makeMonitor();
  monitor->start();
  runtime_.advanceBy(1200ms);
  processes_.goneProcesses.insert(4242);
  runtime_.advanceBy(299ms);
  EXPECT_EQ(processes_.exitCalls, 0);
  runtime_.advanceBy(1ms);
  EXPECT_EQ(processes_.exitStatus, 0);
}

TEST_F(ParentProcessMonitorTest, ANewParentIdMeansTheParentIsGone) {
  const auto monitor = makeMonitor();
  monitor->start();
  processes_.parentId = 1;  // handed over to init, the old id not yet reused
  const int probesBefore = processes_.probes;
  runtime_.advanceBy(500ms);
  EXPECT_EQ(processes_.exitStatus, 0);
  EXPECT_EQ(processes_.probes, probesBefore);  // the id comparison decides first
}

TEST_F(ParentProcessMonitorTest, AParentGoneBeforeStartEndsTheHelperInStart) {
  const auto monitor = makeMonitor();
  processes_.goneProcesses.insert(4242);
  monitor->start();
  EXPECT_EQ(processes_.exitStatus, 0);
}

TEST_F(ParentProcessMonitorTest, TheExitNotificationEndsTheHelperWithoutWaitingForATick) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  processes_.exitNotificationFd = pipeFds[0];  // the monitor closes it
  {
    const auto monitor = makeMonitor();
    monitor->start();
    EXPECT_EQ(runtime_.watchedDescriptorCount(), 1);
    runtime_.advanceBy(100ms);
    EXPECT_EQ(processes_.exitCalls, 0);
    runtime_.signalReadable(pipeFds[0]);
    EXPECT_EQ(processes_.exitStatus, 0);
  }
  EXPECT_EQ(runtime_.watchedDescriptorCount(), 0);
  EXPECT_EQ(::fcntl(pipeFds[0], F_GETFD), -1);
  ::close(pipeFds[1]);
}

}  // namespace
}  // namespace glimra

#include "runtime/thread_serial_queue.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <future>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace glimra {
namespace {

using namespace std::chrono_literals;

// Only to turn a hang into a failure; no test waits this long when it passes.
constexpr auto kHangGuard = 30s;

// Calls `onRelease` when the last copy of the task holding it is destroyed.
class ReleaseSignal {
 public:
  explicit ReleaseSignal(std::function<void()> onRelease) : onRelease_(std::move(onRelease)) {}
  ~ReleaseSignal() { onRelease_(); }

 private:
  std::function<void()> onRelease_;
};

// Waits until the queue has run everything posted before that is due by
// now plus `delay`. Shared state: the task may outlive a failed wait.
::testing::AssertionResult drain(SerialQueue& queue, Duration delay = Duration::zero()) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ran = done->get_future();
  queue.postDelayed(delay, [done] { done->set_value(); });
  if (ran.wait_for(kHangGuard) == std::future_status::ready) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the queue did not run its tasks";
}

TEST(ThreadSerialQueueTest, RunsTasksInPostingOrder) {
  ThreadSerialQueue queue("order");
  std::vector<int> ran;  // touched by the queue's tasks only, until drained
  std::vector<int> expected;
  for (int i = 0; i < 1000; ++i) {
    queue.post([&ran, i] { ran.push_back(i); });
    expected.push_back(i);
  }
  ASSERT_TRUE(drain(queue));
  EXPECT_EQ(ran, expected);
}

TEST(ThreadSerialQueueTest, DelayedTasksRunByDueTimeThenPostingOrderAndNeverEarly) {
  struct Posted {
    const char* name;
    Duration delay;
  };
  // Posting order differs from due order; equal delays keep posting order.
  const std::vector<Posted> posted = {
      {"third", 200ms}, {"first", 0ms}, {"second", 100ms}, {"fourth", 200ms}, {"last", 300ms}};
  ThreadSerialQueue queue("delays");
  std::vector<std::string> ran;
  std::vector<Duration> earliness;  // time it ran minus time it was due: never negative
  for (const Posted& task : posted) {
    const auto due = std::chrono::steady_clock::now() + task.delay;
    queue.postDelayed(task.delay, [&ran, &earliness, task, due] {
      ran.emplace_back(task.name);
      earliness.push_back(std::chrono::steady_clock::now() - due);
    });
  }
  ASSERT_TRUE(drain(queue, 300ms));
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "third", "fourth", "last"}));
  for (const Duration late : earliness) EXPECT_GE(late, Duration::zero());
}

TEST(ThreadSerialQueueTest, APostWakesAQueueWaitingForALaterTask) {
  ThreadSerialQueue queue("wake");
  bool lateRan = false;
  queue.postDelayed(1h, [&lateRan] { lateRan = true; });
  // The worker now sleeps until the hour is up; the post must wake it.
  ASSERT_TRUE(drain(queue));
  EXPECT_FALSE(lateRan);
}

TEST(ThreadSerialQueueTest, TasksFromManyThreadsAllRunInEachThreadsOrder) {
  constexpr int kThreads = 8;
  constexpr int kTasksPerThread = 500;
  ThreadSerialQueue queue("many");
  std::vector<std::vector<int>> ranByThread(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      start.arrive_and_wait();  // all at once, to contend for the queue
      for (int i = 0; i < kTasksPerThread; ++i) {
        queue.post([&ranByThread, t, i] { ranByThread[t].push_back(i); });
      }
    });
  }
  for (std::thread& poster : posters) poster.join();
  ASSERT_TRUE(drain(queue));

  std::vector<int> expected(kTasksPerThread);
  for (int i = 0; i < kTasksPerThread; ++i) expected[i] = i;
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(ranByThread[t], expected) << "thread " << t;
}

TEST(ThreadSerialQueueTest, IsCurrentOnlyInsideItsOwnTasks) {
  ThreadSerialQueue first("first");
  ThreadSerialQueue second("second");
  bool firstInItsTask = false;
  bool secondInFirstsTask = true;
  first.post([&] {
    firstInItsTask = first.isCurrent();
    secondInFirstsTask = second.isCurrent();
  });
  ASSERT_TRUE(drain(first));
  EXPECT_TRUE(firstInItsTask);
  EXPECT_FALSE(secondInFirstsTask);
  EXPECT_FALSE(first.isCurrent());
  EXPECT_FALSE(second.isCurrent());
}

TEST(ThreadSerialQueueTest, NamesItsThreadWithinTheKernelsLimit) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"capture", "capture"},
      {"exactly15-chars", "exactly15-chars"},
      {"glimra-capture-output", "glimra-capture-"},
  };
  for (const auto& [name, expected] : cases) {
    ThreadSerialQueue queue(name);
    std::string threadName;
    queue.post([&threadName] {
      char buffer[16] = {};
      if (pthread_getname_np(pthread_self(), buffer, sizeof buffer) == 0) threadName = buffer;
    });
    ASSERT_TRUE(drain(queue));
    EXPECT_EQ(threadName, expected) << name;
  }
}

TEST(ThreadSerialQueueTest, DestructionWaitsForTheRunningTaskAndDropsEverythingElse) {
  auto owned = std::make_unique<ThreadSerialQueue>("doomed");
  ThreadSerialQueue* const queue = owned.get();
  std::promise<void> started;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> dropped;
  bool finished = false;
  bool waitingRan = false;
  bool delayedRan = false;
  bool postedWhileStoppingRan = false;

  queue->post([&, released] {
    started.set_value();
    released.wait();
    queue->post([&postedWhileStoppingRan] { postedWhileStoppingRan = true; });
    finished = true;
  });
  queue->post([&waitingRan] { waitingRan = true; });
  queue->postDelayed(1h, [&delayedRan, signal = std::make_shared<ReleaseSignal>([&dropped] {
                                         dropped.set_value();
                                       })] { delayedRan = true; });
  ASSERT_EQ(started.get_future().wait_for(kHangGuard), std::future_status::ready);

  std::thread destroyer([&owned] { owned.reset(); });
  // The destructor drops the waiting tasks before it joins, so the running
  // task is still blocked here and anything it posts comes too late.
  const bool droppedInTime = dropped.get_future().wait_for(kHangGuard) == std::future_status::ready;
  release.set_value();
  destroyer.join();
  ASSERT_TRUE(droppedInTime);

  EXPECT_TRUE(finished);
  EXPECT_FALSE(waitingRan);
  EXPECT_FALSE(delayedRan);
  EXPECT_FALSE(postedWhileStoppingRan);
}

}  // namespace
}  // namespace glimra

#include "fakes/virtual_runtime.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "runtime/weak_task.h"

namespace glimra::testing {
namespace {

using namespace std::chrono_literals;

class VirtualRuntimeTest : public ::testing::Test {
 protected:
  // A task that appends `name` to the record when it runs.
  Task record(std::string name) {
    return [this, name = std::move(name)] { ran_.push_back(name); };
  }

  VirtualRuntime runtime_;
  MainLoop& loop_ = runtime_.mainLoop();
  std::vector<std::string> ran_;
};

struct TimerCase {
  const char* name;
  Duration interval;
  Duration advance;
  int expectedFires;
};

void PrintTo(const TimerCase& c, std::ostream* out) { *out << c.name; }

class VirtualRuntimeTimerTest : public VirtualRuntimeTest,
                                public ::testing::WithParamInterface<TimerCase> {};

TEST_P(VirtualRuntimeTimerTest, ARepeatingTimerFiresAtEachMultipleOfItsInterval) {
  const TimerCase& c = GetParam();
  std::vector<Duration> firedAt;
  const auto timer =
      loop_.startRepeatingTimer(c.interval, [&] { firedAt.push_back(runtime_.now()); });
  runtime_.advanceBy(c.advance);

  std::vector<Duration> expected;
  for (int k = 1; k <= c.expectedFires; ++k) expected.push_back(k * c.interval);
  EXPECT_EQ(firedAt, expected);
  EXPECT_EQ(runtime_.now(), c.advance);
}

INSTANTIATE_TEST_SUITE_P(Intervals, VirtualRuntimeTimerTest,
                         ::testing::Values(TimerCase{"FiveSeconds", 5s, 15s, 3},
                                           TimerCase{"HalfASecond", 500ms, 15s, 30},
                                           TimerCase{"NotYetDue", 5s, 4999ms, 0},
                                           TimerCase{"BetweenTicks", 2s, 7s, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VirtualRuntimeTest, ADelayPostedFromATaskCountsFromThatTasksTime) {
  std::vector<Duration> ranAt;
  loop_.postDelayed(2s, [&] {
    ranAt.push_back(runtime_.now());
    loop_.postDelayed(3s, [&] { ranAt.push_back(runtime_.now()); });
  });
  runtime_.advanceBy(10s);
  EXPECT_EQ(ranAt, (std::vector<Duration>{2s, 5s}));
  EXPECT_EQ(runtime_.now(), 10s);
}

TEST_F(VirtualRuntimeTest, AdvanceByRunsTasksByDueTimeUpToAndIncludingItsEnd) {
  loop_.postDelayed(3s, record("3s"));
  loop_.postDelayed(1s, record("1s"));
  loop_.postDelayed(2s, record("2s"));
  loop_.postDelayed(2s, record("2s again"));  // equal due times keep posting order
  loop_.postDelayed(10s, record("10s"));

  runtime_.advanceBy(2s);
  EXPECT_EQ(ran_, (std::vector<std::string>{"1s", "2s", "2s again"}));
  EXPECT_EQ(runtime_.now(), 2s);

  runtime_.advanceBy(1500ms);
  EXPECT_EQ(ran_.back(), "3s");
  EXPECT_EQ(runtime_.now(), 3500ms);
}

TEST_F(VirtualRuntimeTest, RunUntilIdleRunsWhatIsDueNowOnEveryQueueInPostingOrder) {
  const auto first = runtime_.makeSerialQueue("first");
  const auto second = runtime_.makeSerialQueue("second");
  first->post([&] {
    ran_.push_back("a");
    loop_.post(record("d"));
    second->postDelayed(0s, record("e"));
  });
  loop_.post(record("b"));
  second->post(record("c"));
  loop_.postDelayed(1ms, record("later"));

  runtime_.runUntilIdle();
  EXPECT_EQ(ran_, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(runtime_.now(), 0s);

  runtime_.advanceBy(1ms);
  EXPECT_EQ(ran_.back(), "later");
}

TEST_F(VirtualRuntimeTest, AQueueIsCurrentOnlyInsideItsOwnTasks) {
  const auto first = runtime_.makeSerialQueue("first");
  const auto second = runtime_.makeSerialQueue("second");
  std::vector<bool> seen;
  first->post([&] { seen = {first->isCurrent(), second->isCurrent()}; });
  runtime_.runUntilIdle();
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));

  loop_.post([&] { seen = {first->isCurrent(), second->isCurrent()}; });
  runtime_.runUntilIdle();
  EXPECT_EQ(seen, (std::vector<bool>{false, false}));
  EXPECT_FALSE(first->isCurrent());
}

TEST_F(VirtualRuntimeTest, RunAndWaitRunsItsTaskAtOnceAsTheMainLoop) {
  const auto queue = runtime_.makeSerialQueue("waiter");
  queue->post([&] {
    loop_.post(record("posted before"));
    loop_.runAndWait(
        [&] { ran_.push_back(queue->isCurrent() ? "inside, on the queue" : "inside"); });
    ran_.push_back(queue->isCurrent() ? "after, on the queue" : "after");
  });
  runtime_.runUntilIdle();
  EXPECT_EQ(ran_, (std::vector<std::string>{"inside", "after, on the queue", "posted before"}));
}

TEST_F(VirtualRuntimeTest, ADestroyedTimerNeverFiresAgainAndReleasesItsTask) {
  for (const int firesBeforeDestruction : {0, 1, 3}) {
    int fires = 0;
    auto token = std::make_shared<int>(0);
    const std::weak_ptr<int> captured = token;
    std::unique_ptr<LoopSource> timer;
    timer = loop_.startRepeatingTimer(1s, [&, token = std::move(token)] {
      if (++fires == firesBeforeDestruction) timer.reset();  // from its own task
    });
    if (firesBeforeDestruction == 0) timer.reset();
    runtime_.advanceBy(10s);
    EXPECT_EQ(fires, firesBeforeDestruction);
    EXPECT_TRUE(captured.expired()) << firesBeforeDestruction;
  }
}

TEST_F(VirtualRuntimeTest, SignalReadableRunsTheWatchesOfThatDescriptorWhileTheyExist) {
  std::unique_ptr<LoopSource> watchOnThree =
      loop_.watchReadable(3, [&] { ran_.push_back("three"); });
  std::unique_ptr<LoopSource> onceOnFour;
  onceOnFour = loop_.watchReadable(4, [&] {
    ran_.push_back("four");
    onceOnFour.reset();  // from its own callback
  });
  EXPECT_EQ(runtime_.watchedDescriptorCount(), 2);

  runtime_.signalReadable(4);
  runtime_.signalReadable(4);
  runtime_.signalReadable(3);
  runtime_.signalReadable(5);
  EXPECT_EQ(ran_, (std::vector<std::string>{"four", "three"}));
  EXPECT_EQ(runtime_.watchedDescriptorCount(), 1);

  watchOnThree.reset();
  runtime_.signalReadable(3);
  EXPECT_EQ(ran_.size(), 2u);
  EXPECT_EQ(runtime_.watchedDescriptorCount(), 0);
}

TEST_F(VirtualRuntimeTest, RunEndsAtQuit) {
  int fires = 0;
  const auto timer = loop_.startRepeatingTimer(1s, [&] {
    if (++fires == 3) loop_.quit();
  });
  loop_.run();
  EXPECT_EQ(fires, 3);
  EXPECT_EQ(runtime_.now(), 3s);
}

TEST_F(VirtualRuntimeTest, RunEndsWhenNothingIsLeftToRun) {
  loop_.postDelayed(2s, [&] {
    ran_.push_back("2s");
    loop_.postDelayed(5s, record("7s"));
  });
  loop_.run();
  EXPECT_EQ(ran_, (std::vector<std::string>{"2s", "7s"}));
  EXPECT_EQ(runtime_.now(), 7s);
}

TEST_F(VirtualRuntimeTest, AWeakTaskRunsOnlyWhileItsOwnerExists) {
  for (const bool ownerAlive : {true, false}) {
    auto owner = std::make_shared<std::string>("owner");
    bool ran = false;
    loop_.post(weakTask(owner, [&ran](std::string&) { ran = true; }));
    if (!ownerAlive) owner.reset();
    runtime_.runUntilIdle();
    EXPECT_EQ(ran, ownerAlive) << "owner alive: " << ownerAlive;
  }
}

TEST_F(VirtualRuntimeTest, DestroyingAQueueDropsOnlyItsTasks) {
  auto doomed = runtime_.makeSerialQueue("doomed");
  const auto kept = runtime_.makeSerialQueue("kept");
  auto token = std::make_shared<int>(0);
  const std::weak_ptr<int> captured = token;
  doomed->post([&, token = std::move(token)] { ran_.push_back("doomed"); });
  doomed->postDelayed(1s, record("doomed later"));
  kept->post(record("kept"));
  doomed.reset();
  EXPECT_TRUE(captured.expired());
  runtime_.advanceBy(2s);
  EXPECT_EQ(ran_, (std::vector<std::string>{"kept"}));
}

TEST(VirtualRuntimeLifetimeTest, QueuesAndHandlesOutlivingTheRuntimeAreInert) {
  std::shared_ptr<SerialQueue> queue;
  std::unique_ptr<LoopSource> timer;
  std::unique_ptr<LoopSource> watch;
  {
    VirtualRuntime runtime;
    queue = runtime.makeSerialQueue("survivor");
    timer = runtime.mainLoop().startRepeatingTimer(1s, [] {});
    watch = runtime.mainLoop().watchReadable(3, [] {});
    queue->post([] {});
  }
  bool ran = false;
  queue->post([&ran] { ran = true; });
  EXPECT_FALSE(queue->isCurrent());
  EXPECT_FALSE(ran);
  timer.reset();
  watch.reset();
  queue.reset();
}

}  // namespace
}  // namespace glimra::testing

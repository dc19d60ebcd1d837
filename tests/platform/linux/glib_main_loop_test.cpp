#include "platform/linux/glib_main_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/thread_serial_queue.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;

// Only to turn a hang into a failure; no test waits this long when it passes.
constexpr auto kHangGuard = 30s;

class GLibMainLoopTest : public ::testing::Test {
 protected:
  // Runs the loop until a task quits it, failing instead of hanging if none does.
  void runLoop() {
    bool timedOut = false;
    const auto guard = loop_.startRepeatingTimer(kHangGuard, [&] {
      timedOut = true;
      loop_.quit();
    });
    loop_.run();
    EXPECT_FALSE(timedOut) << "nothing quit the loop";
  }

  void quitAfter(Duration delay) {
    loop_.postDelayed(delay, [this] { loop_.quit(); });
  }

  GLibMainLoop loop_;
};

TEST_F(GLibMainLoopTest, PostedTasksRunInPostingOrder) {
  std::vector<int> ran;
  std::vector<int> expected;
  for (int i = 0; i < 1000; ++i) {
    loop_.post([&ran, i] { ran.push_back(i); });
    expected.push_back(i);
  }
  loop_.post([this] { loop_.quit(); });
  runLoop();
  EXPECT_EQ(ran, expected);
}

TEST_F(GLibMainLoopTest, TasksRunOnTheDefaultContext) {
  bool ran = false;
  loop_.post([&ran] { ran = true; });
  // Iterating the default context, as any GLib code may, runs the task.
  for (int i = 0; i < 100 && !ran; ++i) g_main_context_iteration(nullptr, FALSE);
  EXPECT_TRUE(ran);
}

TEST_F(GLibMainLoopTest, DelayedTasksRunByDueTimeThenPostingOrderAndNeverEarly) {
  struct Posted {
    const char* name;
    Duration delay;
  };
  // Posting order differs from due order; equal delays keep posting order.
  const std::vector<Posted> posted = {
      {"third", 200ms}, {"first", 0ms}, {"second", 100ms}, {"fourth", 200ms}, {"last", 300ms}};
  std::vector<std::string> ran;
  std::vector<Duration> earliness;  // time it ran minus time it was due: never negative
  for (const Posted& task : posted) {
    const auto due = std::chrono::steady_clock::now() + task.delay;
    loop_.postDelayed(task.delay, [&ran, &earliness, task, due] {
      ran.emplace_back(task.name);
      earliness.push_back(std::chrono::steady_clock::now() - due);
    });
  }
  quitAfter(300ms);
  runLoop();
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "third", "fourth", "last"}));
  for (const Duration late : earliness) EXPECT_GE(late, Duration::zero());
}

TEST_F(GLibMainLoopTest, TasksFromManyThreadsAllRunInEachThreadsOrder) {
  constexpr int kThreads = 8;
  constexpr int kTasksPerThread = 500;
  std::vector<std::vector<int>> ranByThread(kThreads);
  int ranInAll = 0;
  std::latch start(kThreads);
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      start.arrive_and_wait();  // all at once, while the loop runs
      for (int i = 0; i < kTasksPerThread; ++i) {
        loop_.post([&, t, i] {
          ranByThread[t].push_back(i);
          if (++ranInAll == kThreads * kTasksPerThread) loop_.quit();
        });
      }
    });
  }
  runLoop();
  for (std::thread& poster : posters) poster.join();

  std::vector<int> expected(kTasksPerThread);
  for (int i = 0; i < kTasksPerThread; ++i) expected[i] = i;
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(ranByThread[t], expected) << "thread " << t;
}

TEST_F(GLibMainLoopTest, RunAndWaitFromAQueueReturnsAfterTheTaskRanOnTheMainThread) {
  ThreadSerialQueue queue("waiter");
  int value = 0;
  std::thread::id ranOn;
  int valueSeenByQueue = 0;
  std::thread::id ranOnSeenByQueue;
  queue.post([&] {
    loop_.runAndWait([&] {
      ranOn = std::this_thread::get_id();
      value = 42;
    });
    valueSeenByQueue = value;
    ranOnSeenByQueue = ranOn;
    loop_.post([this] { loop_.quit(); });
  });
  runLoop();
  EXPECT_EQ(valueSeenByQueue, 42);
  EXPECT_EQ(ranOnSeenByQueue, std::this_thread::get_id());
}

TEST_F(GLibMainLoopTest, RunAndWaitReturnsWithoutRunningWhenTheLoopIsDestroyedFirst) {
  auto loop = std::make_unique<GLibMainLoop>();
  GLibMainLoop* const doomed = loop.get();
  ThreadSerialQueue queue("waiter");
  std::promise<void> returned;
  bool ran = false;
  queue.post([&] {
    doomed->runAndWait([&ran] { ran = true; });
    returned.set_value();
  });
  // The default context has something to dispatch once the waiter's task
  // is in the loop; only then may the loop go.
  const auto giveUp = std::chrono::steady_clock::now() + kHangGuard;
  while (!g_main_context_pending(nullptr) && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(1ms);
  }
  loop.reset();
  ASSERT_EQ(returned.get_future().wait_for(kHangGuard), std::future_status::ready);
  EXPECT_FALSE(ran);
}

TEST_F(GLibMainLoopTest, DestroyingTheLoopDropsItsTasksSoTheyNeverRun) {
  auto loop = std::make_unique<GLibMainLoop>();
  bool ran = false;
  auto token = std::make_shared<int>(0);
  const std::weak_ptr<int> captured = token;
  loop->post([&ran, token = std::move(token)] { ran = true; });
  loop->postDelayed(1ms, [&ran] { ran = true; });
  loop.reset();
  EXPECT_TRUE(captured.expired());
  // The default context lives on; nothing of the old loop is left on it.
  bool later = false;
  loop_.postDelayed(20ms, [&later] { later = true; });
  while (!later) g_main_context_iteration(nullptr, TRUE);
  EXPECT_FALSE(ran);
}

TEST_F(GLibMainLoopTest, ATimerRepeatsUntilItsHandleIsDestroyedFromItsOwnTask) {
  int fires = 0;
  auto token = std::make_shared<int>(0);
  const std::weak_ptr<int> captured = token;
  std::unique_ptr<LoopSource> timer;
  timer = loop_.startRepeatingTimer(5ms, [&, token = std::move(token)] {
    if (++fires < 3) return;
    timer.reset();  // the running task stays alive until it returns
    quitAfter(100ms);
  });
  runLoop();
  EXPECT_EQ(fires, 3);
  EXPECT_TRUE(captured.expired());
}

TEST_F(GLibMainLoopTest, ATimerDestroyedBeforeItsFirstTickNeverFires) {
  int fires = 0;
  auto token = std::make_shared<int>(0);
  const std::weak_ptr<int> captured = token;
  auto timer = loop_.startRepeatingTimer(1ms, [&fires, token = std::move(token)] { ++fires; });
  timer.reset();
  EXPECT_TRUE(captured.expired());
  quitAfter(50ms);
  runLoop();
  EXPECT_EQ(fires, 0);
}

class Pipe {
 public:
  Pipe() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
  }
  ~Pipe() {
    closeWriteEnd();
    ::close(fds_[0]);
  }
  int readEnd() const { return fds_[0]; }
  void write(const std::string& bytes) const {
    ASSERT_EQ(::write(fds_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void closeWriteEnd() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }
  // One byte, or empty at end of file or when nothing is there.
  std::string readByte() const {
    char byte = 0;
    return ::read(fds_[0], &byte, 1) == 1 ? std::string(1, byte) : std::string();
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST_F(GLibMainLoopTest, AWatchFiresWhileReadableAndStopsWithItsHandle) {
  Pipe pipe;
  std::string received;
  std::unique_ptr<LoopSource> watch;
  watch = loop_.watchReadable(pipe.readEnd(), [&] {
    // One byte per call: the watch must fire again while bytes are left.
    received += pipe.readByte();
    if (received.size() < 3) return;
    watch.reset();
    pipe.write("z");
    quitAfter(100ms);
  });
  loop_.postDelayed(10ms, [&pipe] { pipe.write("abc"); });
  runLoop();
  EXPECT_EQ(received, "abc");
  EXPECT_EQ(pipe.readByte(), "z");  // left unread: the destroyed watch never fired
}

TEST_F(GLibMainLoopTest, AWatchFiresWhenTheWriterHangsUp) {
  Pipe pipe;
  bool sawEndOfFile = false;
  const auto watch = loop_.watchReadable(pipe.readEnd(), [&] {
    sawEndOfFile = pipe.readByte().empty();
    loop_.quit();
  });
  loop_.post([&pipe] { pipe.closeWriteEnd(); });
  runLoop();
  EXPECT_TRUE(sawEndOfFile);
}

}  // namespace
}  // namespace glimra

#include "fakes/virtual_runtime.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "runtime/sequence_checker.h"

namespace glimra::testing {

class VirtualScheduler {
 public:
  // What a task runs on: the main loop or a queue, by address.
  using Target = const void*;

  struct Key {
    Duration due;
    std::uint64_t sequence;
    auto operator<=>(const Key&) const = default;
  };

  Duration now() const { return now_; }
  Target current() const { return current_; }
  bool isCurrent(Target target) const { return current_ == target; }

  Key scheduleAt(Target target, Duration due, Task task) {
    GLIMRA_CHECK_SEQUENCE(sequence_);
    assert(task);
    const Key key{std::max(due, now_), nextSequence_++};
    tasks_.emplace(key, Pending{target, std::move(task)});
    return key;
  }

  Key scheduleAfter(Target target, Duration delay, Task task) {
    return scheduleAt(target, now_ + std::max(delay, Duration::zero()), std::move(task));
  }

  // Drops the task if it has not run yet.
  void cancel(const Key& key) {
    GLIMRA_CHECK_SEQUENCE(sequence_);
    // The node, and the captures it releases, outlive the erasure: they may
    // cancel or post in turn.
    const auto dropped = tasks_.extract(key);
  }

  void dropTasksOf(Target target) {
    GLIMRA_CHECK_SEQUENCE(sequence_);
    std::vector<Task> dropped;
    for (auto entry = tasks_.begin(); entry != tasks_.end();) {
      if (entry->second.target != target) {
        ++entry;
        continue;
      }
      dropped.push_back(std::move(entry->second.task));
      entry = tasks_.erase(entry);
    }
  }

  // Runs the first task if it is due by `limit`, moving time to its due time.
  bool runNextDueBy(Duration limit) {
    GLIMRA_CHECK_SEQUENCE(sequence_);
    if (tasks_.empty() || tasks_.begin()->first.due > limit) return false;
    const auto node = tasks_.extract(tasks_.begin());
    now_ = std::max(now_, node.key().due);
    runAs(node.mapped().target, node.mapped().task);
    return true;
  }

  void moveTimeTo(Duration time) { now_ = std::max(now_, time); }

  void runAs(Target target, const Task& task) {
    const CurrentTarget scope(current_, target);
    task();
  }

  std::uint64_t addWatch(int fd, Task onReadable) {
    GLIMRA_CHECK_SEQUENCE(sequence_);
    const std::uint64_t id = nextSequence_++;
    watches_.emplace(id, std::make_shared<Watch>(Watch{fd, std::move(onReadable)}));
    return id;
  }

  void removeWatch(std::uint64_t id) {
    GLIMRA_CHECK_SEQUENCE(sequence_);
    const auto dropped = watches_.extract(id);
  }

  int watchCount() const { return static_cast<int>(watches_.size()); }

  void signalReadable(int fd, Target mainLoop) {
    GLIMRA_CHECK_SEQUENCE(sequence_);
    // Copies, so a watch that a callback removes stays alive until it has
    // returned, and the registry may change meanwhile.
    std::vector<std::pair<std::uint64_t, std::shared_ptr<Watch>>> matching;
    for (const auto& [id, watch] : watches_) {
      if (watch->fd == fd) matching.emplace_back(id, watch);
    }
    for (const auto& [id, watch] : matching) {
      if (watches_.contains(id)) runAs(mainLoop, watch->onReadable);
    }
  }

 private:
  struct Pending {
    Target target;
    Task task;
  };

  struct Watch {
    int fd;
    Task onReadable;
  };

  // Marks `target` as running for a scope; restores the outer one, since a
  // task may run another inline (MainLoop::runAndWait).
  class CurrentTarget {
   public:
    CurrentTarget(Target& current, Target target)
        : current_(current), previous_(std::exchange(current, target)) {}
    ~CurrentTarget() { current_ = previous_; }

   private:
    Target& current_;
    const Target previous_;
  };

  Duration now_ = Duration::zero();
  Target current_ = nullptr;
  std::uint64_t nextSequence_ = 0;
  std::map<Key, Pending> tasks_;
  std::map<std::uint64_t, std::shared_ptr<Watch>> watches_;
  SequenceChecker sequence_;
};

namespace {

struct TimerState {
  Task task;
  Duration interval;
  std::optional<VirtualScheduler::Key> scheduled;
  bool stopped = false;
};

// Schedules the next firing of `timer` at `due`, as the main loop.
void scheduleTimer(VirtualScheduler& scheduler, VirtualScheduler::Target mainLoop,
                   const std::shared_ptr<TimerState>& timer, Duration due) {
  timer->scheduled = scheduler.scheduleAt(mainLoop, due, [&scheduler, mainLoop, timer, due] {
    timer->scheduled.reset();
    timer->task();
    // The task may have destroyed the timer's handle.
    if (!timer->stopped) scheduleTimer(scheduler, mainLoop, timer, due + timer->interval);
  });
}

class VirtualTimer final : public LoopSource {
 public:
  VirtualTimer(std::weak_ptr<VirtualScheduler> scheduler, std::shared_ptr<TimerState> timer)
      : scheduler_(std::move(scheduler)), timer_(std::move(timer)) {}

  ~VirtualTimer() override {
    timer_->stopped = true;
    const std::shared_ptr<VirtualScheduler> scheduler = scheduler_.lock();
    if (scheduler && timer_->scheduled) scheduler->cancel(*timer_->scheduled);
  }

 private:
  const std::weak_ptr<VirtualScheduler> scheduler_;
  const std::shared_ptr<TimerState> timer_;
};

class VirtualWatch final : public LoopSource {
 public:
  VirtualWatch(std::weak_ptr<VirtualScheduler> scheduler, std::uint64_t id)
      : scheduler_(std::move(scheduler)), id_(id) {}

  ~VirtualWatch() override {
    if (const std::shared_ptr<VirtualScheduler> scheduler = scheduler_.lock()) {
      scheduler->removeWatch(id_);
    }
  }

 private:
  const std::weak_ptr<VirtualScheduler> scheduler_;
  const std::uint64_t id_;
};

class VirtualMainLoop final : public MainLoop {
 public:
  explicit VirtualMainLoop(const std::shared_ptr<VirtualScheduler>& scheduler)
      : scheduler_(*scheduler), weakScheduler_(scheduler) {}

  // The loop as the scheduler knows it: the address of the MainLoop, which
  // is also what VirtualRuntime::mainLoop hands out.
  VirtualScheduler::Target target() const { return static_cast<const MainLoop*>(this); }

  void post(Task task) override { postDelayed(Duration::zero(), std::move(task)); }

  void postDelayed(Duration delay, Task task) override {
    scheduler_.scheduleAfter(target(), delay, std::move(task));
  }

  std::unique_ptr<LoopSource> startRepeatingTimer(Duration interval, Task task) override {
    assert(interval > Duration::zero());
    auto timer = std::make_shared<TimerState>(TimerState{std::move(task), interval, {}});
    scheduleTimer(scheduler_, target(), timer, scheduler_.now() + interval);
    return std::make_unique<VirtualTimer>(weakScheduler_, std::move(timer));
  }

  std::unique_ptr<LoopSource> watchReadable(int fd, Task onReadable) override {
    return std::make_unique<VirtualWatch>(weakScheduler_,
                                          scheduler_.addWatch(fd, std::move(onReadable)));
  }

  void runAndWait(Task task) override {
    assert(!scheduler_.isCurrent(target()) && "the main loop never waits for itself");
    scheduler_.runAs(target(), task);
  }

  void run() override {
    quitRequested_ = false;
    while (!quitRequested_ && scheduler_.runNextDueBy(Duration::max())) {
    }
  }

  void quit() override { quitRequested_ = true; }

 private:
  VirtualScheduler& scheduler_;
  const std::weak_ptr<VirtualScheduler> weakScheduler_;
  bool quitRequested_ = false;
};

class VirtualSerialQueue final : public SerialQueue {
 public:
  explicit VirtualSerialQueue(std::weak_ptr<VirtualScheduler> scheduler)
      : scheduler_(std::move(scheduler)) {}

  ~VirtualSerialQueue() override {
    assert(!isCurrent() && "a serial queue cannot wait for its own thread");
    if (const std::shared_ptr<VirtualScheduler> scheduler = scheduler_.lock()) {
      scheduler->dropTasksOf(this);
    }
  }

  void post(Task task) override { postDelayed(Duration::zero(), std::move(task)); }

  void postDelayed(Duration delay, Task task) override {
    if (const std::shared_ptr<VirtualScheduler> scheduler = scheduler_.lock()) {
      scheduler->scheduleAfter(this, delay, std::move(task));
    }
  }

  bool isCurrent() const override {
    const std::shared_ptr<VirtualScheduler> scheduler = scheduler_.lock();
    return scheduler && scheduler->isCurrent(this);
  }

 private:
  const std::weak_ptr<VirtualScheduler> scheduler_;
};

}  // namespace

VirtualRuntime::VirtualRuntime()
    : scheduler_(std::make_shared<VirtualScheduler>()),
      mainLoop_(std::make_unique<VirtualMainLoop>(scheduler_)) {}

VirtualRuntime::~VirtualRuntime() = default;

MainLoop& VirtualRuntime::mainLoop() { return *mainLoop_; }

std::shared_ptr<SerialQueue> VirtualRuntime::makeSerialQueue(const std::string&) {
  return std::make_shared<VirtualSerialQueue>(scheduler_);
}

Duration VirtualRuntime::now() const { return scheduler_->now(); }

void VirtualRuntime::runUntilIdle() {
  while (scheduler_->runNextDueBy(scheduler_->now())) {
  }
}

void VirtualRuntime::advanceBy(Duration delta) {
  assert(delta >= Duration::zero());
  const Duration end = scheduler_->now() + delta;
  while (scheduler_->runNextDueBy(end)) {
  }
  scheduler_->moveTimeTo(end);
}

int VirtualRuntime::watchedDescriptorCount() const { return scheduler_->watchCount(); }

void VirtualRuntime::signalReadable(int fd) {
  scheduler_->signalReadable(fd, static_cast<const MainLoop*>(mainLoop_.get()));
}

}  // namespace glimra::testing

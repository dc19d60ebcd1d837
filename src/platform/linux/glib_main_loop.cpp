#include "platform/linux/glib_main_loop.h"

#include <glib-unix.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <climits>
#include <cstdint>
#include <future>
#include <optional>
#include <utility>

namespace glimra {

namespace {

using Clock = DueTaskQueue::Clock;

// The source that serves the posted tasks. Ready while the first task is
// due; otherwise its poll timeout is the wait for that task, rounded up so
// that the context never wakes before it.
struct TaskSource {
  GSource base;  // first: GLib allocates and passes the whole struct as a GSource
  DueTaskQueue* tasks;
};

DueTaskQueue& tasksOf(GSource* source) { return *reinterpret_cast<TaskSource*>(source)->tasks; }

gboolean prepareTaskSource(GSource* source, gint* timeout) {
  const std::optional<Clock::time_point> due = tasksOf(source).firstDue();
  if (!due) {
    *timeout = -1;
    return FALSE;
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now());
  *timeout = static_cast<gint>(std::clamp<std::int64_t>(wait.count(), 0, INT_MAX));
  return *timeout == 0;
}

gboolean checkTaskSource(GSource* source) {
  const std::optional<Clock::time_point> due = tasksOf(source).firstDue();
  return due && *due <= Clock::now();
}

// Runs the tasks due when the dispatch began. Tasks they post wait for the
// next iteration, so other sources are not starved by a task that reposts.
gboolean dispatchTaskSource(GSource* source, GSourceFunc, gpointer) noexcept {
  DueTaskQueue& tasks = tasksOf(source);
  const Clock::time_point start = Clock::now();
  while (std::optional<Task> task = tasks.takeDueBy(start)) (*task)();
  return G_SOURCE_CONTINUE;
}

GSourceFuncs kTaskSourceFuncs = {
    .prepare = prepareTaskSource,
    .check = checkTaskSource,
    .dispatch = dispatchTaskSource,
    .finalize = nullptr,
    .closure_callback = nullptr,
    .closure_marshal = nullptr,
};

gboolean runTimerTask(gpointer task) noexcept {
  (*static_cast<Task*>(task))();
  return G_SOURCE_CONTINUE;
}

gboolean runWatchTask(gint, GIOCondition, gpointer task) noexcept {
  (*static_cast<Task*>(task))();
  return G_SOURCE_CONTINUE;
}

void deleteTask(gpointer task) { delete static_cast<Task*>(task); }

class GLibLoopSource final : public LoopSource {
 public:
  explicit GLibLoopSource(glib::AttachedSource source) : source_(std::move(source)) {}

 private:
  glib::AttachedSource source_;
};

guint millisecondsOf(Duration interval) {
  const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(interval).count();
  return static_cast<guint>(std::clamp<std::int64_t>(milliseconds, 1, G_MAXUINT));
}

}  // namespace

GLibMainLoop::GLibMainLoop()
    : context_(g_main_context_default()),
      loop_(g_main_loop_new(context_, FALSE)),
      tasks_(std::make_unique<DueTaskQueue>()),
      taskSource_(g_source_new(&kTaskSourceFuncs, sizeof(TaskSource))) {
  GLIMRA_CHECK_SEQUENCE(sequence_);  // binds the checker to the main thread
  reinterpret_cast<TaskSource*>(taskSource_.get())->tasks = tasks_.get();
  g_source_set_static_name(taskSource_.get(), "glimra posted tasks");
  g_source_attach(taskSource_.get(), context_);
}

GLibMainLoop::~GLibMainLoop() {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  taskSource_.reset();  // no dispatch from here on
  tasks_->close();
}

void GLibMainLoop::post(Task task) { postDelayed(Duration::zero(), std::move(task)); }

void GLibMainLoop::postDelayed(Duration delay, Task task) {
  assert(task);
  // Read before the push: once the task is visible, the loop may run it
  // and be destroyed while this thread is still here. The context itself
  // is the process's default one and outlives every loop.
  GMainContext* const context = context_;
  // A task refused by a closed queue is dropped when `task` goes out of scope.
  if (tasks_->push(delay, task)) g_main_context_wakeup(context);
}

std::unique_ptr<LoopSource> GLibMainLoop::startRepeatingTimer(Duration interval, Task task) {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  assert(interval > Duration::zero());
  glib::AttachedSource source(g_timeout_source_new(millisecondsOf(interval)));
  g_source_set_callback(source.get(), runTimerTask, new Task(std::move(task)), deleteTask);
  return attachRepeating(std::move(source));
}

std::unique_ptr<LoopSource> GLibMainLoop::watchReadable(int fd, Task onReadable) {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  // Level-triggered: the watch fires on every iteration while data is left.
  glib::AttachedSource source(
      g_unix_fd_source_new(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR)));
  g_source_set_callback(source.get(), G_SOURCE_FUNC(runWatchTask), new Task(std::move(onReadable)),
                        deleteTask);
  return attachRepeating(std::move(source));
}

std::unique_ptr<LoopSource> GLibMainLoop::attachRepeating(glib::AttachedSource source) {
  g_source_attach(source.get(), context_);
  return std::make_unique<GLibLoopSource>(std::move(source));
}

void GLibMainLoop::runAndWait(Task task) {
  // The main loop never waits for a queue, so it cannot wait for itself.
  assert(!g_main_context_is_owner(context_) && !sequence_.calledOnValidSequence());
  // Shared, because std::function must be copyable; owned by the posted
  // task alone, so that if the loop drops the task, the promise breaks and
  // the wait ends.
  auto ran = std::make_shared<std::promise<void>>();
  std::future<void> done = ran->get_future();
  post([&task, ran = std::move(ran)] {
    task();
    ran->set_value();
  });
  done.wait();
}

void GLibMainLoop::run() {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  g_main_loop_run(loop_.get());
}

void GLibMainLoop::quit() {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  g_main_loop_quit(loop_.get());
}

}  // namespace glimra

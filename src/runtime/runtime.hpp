// The library's asynchronous runtime: a current-thread scheduler that the
// calling thread drives, plus a pool of blocking threads.
//
// - `block_on(task)` runs the scheduler on the calling thread until `task`
//   completes; tasks spawned meanwhile (`spawn`) interleave with it at their
//   suspension points. Only one thread drives a runtime at a time.
// - `spawn_blocking(f)` runs a closure detached on a pool thread (at most
//   `max_blocking_threads`, default 512; beyond that closures wait for a free
//   thread). `spawn_blocking_all` starts a group of long-lived closures all
//   at once or refuses the whole group when they would not all get a thread.
// - The "context" of a runtime is a thread-local: set while a thread drives
//   it, for its pool threads, and inside `enter()`. Code that must create
//   pipelines "in the runtime" looks it up with `Runtime::current()`.
//
// Destruction cancels every unfinished task (their frames are destroyed on
// the destroying thread), then waits for the pool threads to finish their
// closures. Closures must be able to end by then (e.g. their input channels
// must already be closed), and the destroying thread must not hold a lock
// those closures need (for Python: the interpreter lock).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "runtime/task.hpp"

namespace kestrune::rt {

using BlockingJob = std::move_only_function<void()>;

struct RuntimeOptions {
  std::size_t max_blocking_threads = 512;
  // How long an idle pool thread waits for new work before it exits.
  std::chrono::milliseconds blocking_keep_alive{10000};
};

class Runtime;

namespace detail {

class SchedulerCore;
class BlockingPool;

std::shared_ptr<SchedulerCore> make_scheduler();
// Registers a spawned root task; `on_cancel` completes its join slot when
// the task is destroyed before finishing.
std::shared_ptr<TaskCore> submit(const std::shared_ptr<SchedulerCore>& sched, Task<void> root,
                                 std::function<void()> on_cancel);
// Runs ready tasks on this thread until `until` has finished.
void drive(SchedulerCore& sched, Runtime* context, const std::shared_ptr<TaskCore>& until);
// Cancels all unfinished tasks; later spawns are cancelled at once.
void shutdown(SchedulerCore& sched);
// The scheduler driven by this thread right now, if any.
std::shared_ptr<SchedulerCore> current_scheduler();

template <class T>
Task<void> run_root(Task<T> task, std::shared_ptr<JoinSlot<T>> slot) {
  try {
    if constexpr (std::is_void_v<T>) {
      co_await task;
      slot->complete({});
    } else {
      slot->complete(co_await task);
    }
  } catch (...) {
    slot->complete(std::unexpected(JoinError::panicked(std::current_exception())));
  }
}

template <class T>
JoinHandle<T> spawn_on(const std::shared_ptr<SchedulerCore>& sched, Task<T> task) {
  auto slot = std::make_shared<JoinSlot<T>>();
  auto core = submit(sched, run_root(std::move(task), slot),
                     [slot] { slot->complete(std::unexpected(JoinError::cancelled())); });
  return JoinHandle<T>(std::move(slot), std::move(core));
}

template <class T>
T take_block_on_result(JoinSlot<T>& slot) {
  JoinResult<T> r = std::move(*slot.result);
  if (!r) {
    if (r.error().exception) std::rethrow_exception(r.error().exception);
    throw std::runtime_error("block_on: the task was cancelled");
  }
  if constexpr (!std::is_void_v<T>) return std::move(*r);
}

}  // namespace detail

class Runtime {
 public:
  // Creates a runtime; the error is a readable reason.
  static std::expected<std::unique_ptr<Runtime>, std::string> create(RuntimeOptions options = {});
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // The runtime whose context this thread is in, or null.
  static Runtime* current();

  // Makes this runtime the current one until the guard is dropped.
  class [[nodiscard]] Context {
   public:
    explicit Context(Runtime* rt);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

   private:
    Runtime* previous_;
  };
  Context enter() { return Context(this); }

  // Drives the scheduler on this thread until `task` completes and returns
  // its value (an exception escaping the task is rethrown here).
  template <class T>
  T block_on(Task<T> task) {
    auto slot = std::make_shared<detail::JoinSlot<T>>();
    auto core = detail::submit(sched_, detail::run_root(std::move(task), slot),
                               [slot] { slot->complete(std::unexpected(JoinError::cancelled())); });
    detail::drive(*sched_, this, core);
    return detail::take_block_on_result(*slot);
  }

  // Queues a task on this runtime's scheduler; it runs while some thread
  // drives the scheduler.
  template <class T>
  JoinHandle<T> spawn(Task<T> task) {
    return detail::spawn_on(sched_, std::move(task));
  }

  // Runs `f` detached on a pool thread; the handle gives its return value.
  template <class F>
  auto spawn_blocking(F f) -> JoinHandle<std::invoke_result_t<F&>> {
    using R = std::invoke_result_t<F&>;
    auto slot = std::make_shared<detail::JoinSlot<R>>();
    submit_blocking(BlockingJobGuard<R, F>(slot, std::move(f)));
    return JoinHandle<R>(std::move(slot), nullptr);
  }

  // Starts every job on a thread of its own, or none of them: refused (with
  // a readable reason) when the pool cannot give all of them a thread now
  // without exceeding `max_blocking_threads`.
  std::expected<void, std::string> spawn_blocking_all(std::vector<BlockingJob> jobs);

  std::size_t max_blocking_threads() const;
  // Pool threads running or promised to a closure (queued closures count).
  std::size_t blocking_in_use() const;

 private:
  explicit Runtime(RuntimeOptions options);
  void submit_blocking(BlockingJob job);

  // Completes the slot with the closure's result, or Cancelled when the
  // closure is dropped unrun (aborted, or the pool shut down first).
  template <class R, class F>
  struct BlockingJobGuard {
    std::shared_ptr<detail::JoinSlot<R>> slot;
    F f;
    BlockingJobGuard(std::shared_ptr<detail::JoinSlot<R>> s, F fn) : slot(std::move(s)), f(std::move(fn)) {}
    BlockingJobGuard(BlockingJobGuard&&) = default;
    ~BlockingJobGuard() {
      if (slot) slot->complete(std::unexpected(JoinError::cancelled()));
    }
    void operator()() {
      auto s = std::move(slot);
      if (s->cancel_requested) return s->complete(std::unexpected(JoinError::cancelled()));
      try {
        if constexpr (std::is_void_v<R>) {
          f();
          s->complete({});
        } else {
          s->complete(f());
        }
      } catch (...) {
        s->complete(std::unexpected(JoinError::panicked(std::current_exception())));
      }
    }
  };

  std::shared_ptr<detail::SchedulerCore> sched_;
  std::unique_ptr<detail::BlockingPool> pool_;
};

// Spawns on the scheduler this thread is driving, else on the current
// runtime (e.g. from one of its pool threads). Aborts outside any runtime.
template <class T>
JoinHandle<T> spawn(Task<T> task) {
  if (auto s = detail::current_scheduler()) return detail::spawn_on(s, std::move(task));
  Runtime* rt = Runtime::current();
  if (!rt) {
    std::fputs("kestrune::rt::spawn called outside a runtime\n", stderr);
    std::abort();
  }
  return rt->spawn(std::move(task));
}

// Runs `task` to completion on a private scheduler driven by this thread
// (for threads that are not a runtime's driver, such as pool threads that
// must wait for an awaitable). The runtime context is left unchanged; tasks
// spawned meanwhile that are still unfinished at the end are cancelled.
template <class T>
T block_on(Task<T> task) {
  auto sched = detail::make_scheduler();
  auto slot = std::make_shared<detail::JoinSlot<T>>();
  auto core = detail::submit(sched, detail::run_root(std::move(task), slot),
                             [slot] { slot->complete(std::unexpected(JoinError::cancelled())); });
  detail::drive(*sched, Runtime::current(), core);
  detail::shutdown(*sched);
  return detail::take_block_on_result(*slot);
}

// Lets other ready tasks of the scheduler run before continuing.
Task<void> yield_now();

}  // namespace kestrune::rt

// Coroutine tasks, wakers and join handles of the library's small runtime.
//
// `Task<T>` is a lazily started coroutine: nothing runs until it is awaited
// by another task or handed to a scheduler (`Runtime::spawn`, `block_on`).
// A spawned task is driven by exactly one scheduler thread at a time; other
// threads only ever *wake* it (put it back on the ready queue) through a
// `Waker`, so coroutine frames are never resumed concurrently.
//
// `JoinHandle<T>` observes a spawned task (coroutine or blocking closure):
// await it, block on it, or cancel it. Dropping the handle detaches the task.
#pragma once

#include <atomic>
#include <condition_variable>
#include <coroutine>
#include <exception>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace kestrune::rt {

template <class T = void>
class Task;

namespace detail {
struct TaskCore;
}  // namespace detail

// Puts one suspended task back on its scheduler's ready queue. Safe to call
// from any thread; waking a finished task or one whose runtime is gone does
// nothing.
class Waker {
 public:
  Waker() = default;
  // The waker of the task running on this thread, to be resumed at `leaf`
  // (the innermost suspended coroutine). Aborts when called outside a task.
  static Waker for_current(std::coroutine_handle<> leaf);
  void wake() const;
  explicit operator bool() const { return static_cast<bool>(task_); }

 private:
  std::shared_ptr<detail::TaskCore> task_;
};

// Why a joined task has no result.
struct JoinError {
  enum class Kind { Cancelled, Panicked };
  Kind kind = Kind::Cancelled;
  std::string message;           // Panicked: what() of the escaped exception
  std::exception_ptr exception;  // Panicked: the exception itself

  bool is_cancelled() const { return kind == Kind::Cancelled; }
  // "task was cancelled" / "task panicked: <message>"
  std::string to_string() const;
  static JoinError cancelled() { return {Kind::Cancelled, {}, {}}; }
  static JoinError panicked(std::exception_ptr e);
};

template <class T>
using JoinResult = std::expected<T, JoinError>;

namespace detail {

// Awaiting a task runs it inline until it first suspends; a task that
// completes without suspending hands control straight back to its awaiter
// (no resumption), and only a task that was suspended resumes its awaiter
// from its final suspension. So stack depth stays bounded even where the
// compiler cannot turn symmetric transfer into tail calls (sanitizers).
struct PromiseBase {
  std::coroutine_handle<> continuation;
  std::exception_ptr exception;
  bool running_inline = false;  // inside the awaiter's first resume()
  bool completed = false;

  std::suspend_always initial_suspend() noexcept { return {}; }
  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
      auto& p = h.promise();
      p.completed = true;
      if (p.running_inline || !p.continuation) return std::noop_coroutine();
      return p.continuation;
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept { exception = std::current_exception(); }
};

template <class T>
struct Promise : PromiseBase {
  std::optional<T> value;
  Task<T> get_return_object();
  template <class U>
  void return_value(U&& v) {
    value.emplace(std::forward<U>(v));
  }
  T take() {
    if (exception) std::rethrow_exception(exception);
    return std::move(*value);
  }
};

template <>
struct Promise<void> : PromiseBase {
  Task<void> get_return_object();
  void return_void() {}
  void take() {
    if (exception) std::rethrow_exception(exception);
  }
};

}  // namespace detail

template <class T>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::Promise<T>;
  using Handle = std::coroutine_handle<promise_type>;

  Task() = default;
  explicit Task(Handle h) : h_(h) {}
  Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  Task& operator=(Task&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  bool valid() const { return static_cast<bool>(h_); }
  bool done() const { return h_ && h_.done(); }
  Handle handle() const { return h_; }
  // Destroys the frame (and with it every task it is awaiting).
  void reset() {
    if (h_) std::exchange(h_, {}).destroy();
  }

  // Awaiting starts the task and resumes the awaiter when it completes.
  auto operator co_await() noexcept {
    struct Awaiter {
      Handle h;
      bool await_ready() noexcept { return false; }
      bool await_suspend(std::coroutine_handle<> awaiting) {
        auto& p = h.promise();
        p.continuation = awaiting;
        p.running_inline = true;
        h.resume();
        p.running_inline = false;
        return !p.completed;  // completed inline: continue without suspending
      }
      T await_resume() { return h.promise().take(); }
    };
    return Awaiter{h_};
  }

 private:
  Handle h_;
};

namespace detail {

template <class T>
Task<T> Promise<T>::get_return_object() {
  return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Task<void> Promise<void>::get_return_object() {
  return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}

// Where a spawned task (or blocking closure) leaves its result.
struct JoinSlotBase {
  std::mutex mu;
  std::condition_variable cv;
  bool finished = false;
  Waker waiter;                     // the task awaiting the result, if any
  const void* waiter_owner = nullptr;
  std::atomic<bool> cancel_requested{false};
};

template <class T>
struct JoinSlot : JoinSlotBase {
  std::optional<JoinResult<T>> result;

  // The first completion wins (a task finishing and being cancelled race).
  void complete(JoinResult<T> r) {
    Waker w;
    {
      std::lock_guard lock(mu);
      if (finished) return;
      result.emplace(std::move(r));
      finished = true;
      w = std::exchange(waiter, {});
      waiter_owner = nullptr;
      cv.notify_all();
    }
    if (w) w.wake();
  }
};

// Suspends the current task until `slot` is finished.
struct JoinAwaiter {
  JoinSlotBase* slot;
  bool registered = false;

  bool await_ready() {
    std::lock_guard lock(slot->mu);
    return slot->finished;
  }
  bool await_suspend(std::coroutine_handle<> h) {
    std::lock_guard lock(slot->mu);
    if (slot->finished) return false;
    slot->waiter = Waker::for_current(h);
    slot->waiter_owner = this;
    registered = true;
    return true;
  }
  void await_resume() { unregister(); }
  ~JoinAwaiter() { unregister(); }
  void unregister() {
    if (!registered) return;
    std::lock_guard lock(slot->mu);
    if (slot->waiter_owner == this) {
      slot->waiter = {};
      slot->waiter_owner = nullptr;
    }
    registered = false;
  }
};

// Cancels a coroutine task at its current suspension point (implemented by
// the scheduler).
void request_cancel(const std::shared_ptr<TaskCore>& task);

}  // namespace detail

// Observes one spawned task. Dropping the handle detaches the task.
template <class T>
class JoinHandle {
 public:
  JoinHandle() = default;
  JoinHandle(std::shared_ptr<detail::JoinSlot<T>> slot, std::shared_ptr<detail::TaskCore> task)
      : slot_(std::move(slot)), task_(std::move(task)) {}

  bool valid() const { return static_cast<bool>(slot_); }

  bool is_finished() const {
    std::lock_guard lock(slot_->mu);
    return slot_->finished;
  }

  // Coroutine task: it is destroyed at its current (or next) suspension
  // point and its result becomes Cancelled. Blocking closure: cancelled only
  // if it has not started yet; a running closure finishes normally.
  void abort() {
    slot_->cancel_requested = true;
    if (task_) detail::request_cancel(task_);
  }

  // Waits for the result, blocking this thread. Never call it on the thread
  // that drives the task's own scheduler. The result can be taken once.
  JoinResult<T> wait() {
    std::unique_lock lock(slot_->mu);
    slot_->cv.wait(lock, [&] { return slot_->finished; });
    return std::move(*slot_->result);
  }

  // Awaitable form of wait(). The result can be taken once.
  Task<JoinResult<T>> join() {
    auto slot = slot_;
    co_await detail::JoinAwaiter{slot.get()};
    std::lock_guard lock(slot->mu);
    co_return std::move(*slot->result);
  }

 private:
  std::shared_ptr<detail::JoinSlot<T>> slot_;
  std::shared_ptr<detail::TaskCore> task_;  // null for blocking closures
};

}  // namespace kestrune::rt

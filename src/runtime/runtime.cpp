#include "runtime/runtime.hpp"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace kestrune::rt {

namespace {

[[noreturn]] void fatal(const char* what) {
  std::fprintf(stderr, "kestrune runtime: %s\n", what);
  std::abort();
}

thread_local Runtime* tl_runtime = nullptr;
thread_local detail::TaskCore* tl_task = nullptr;
thread_local detail::SchedulerCore* tl_sched = nullptr;
thread_local const detail::BlockingPool* tl_pool = nullptr;

}  // namespace

namespace detail {

// One spawned root task. `queued`, `done` and `cancel` are guarded by the
// scheduler's mutex; `root` and `leaf` are touched only by the thread that
// drives the scheduler (or the one shutting it down).
struct TaskCore : std::enable_shared_from_this<TaskCore> {
  std::shared_ptr<SchedulerCore> sched;
  Task<void> root;
  std::coroutine_handle<> leaf;
  std::function<void()> on_cancel;
  bool queued = false;
  bool done = false;
  bool cancel = false;
};

class SchedulerCore : public std::enable_shared_from_this<SchedulerCore> {
 public:
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::shared_ptr<TaskCore>> ready;
  std::unordered_map<TaskCore*, std::shared_ptr<TaskCore>> live;
  bool closed = false;
  std::mutex drive_mu;  // one driving thread at a time

  // Puts the task on the ready queue unless it is there already.
  void schedule(const std::shared_ptr<TaskCore>& t) {
    std::lock_guard lock(mu);
    if (closed || t->done || t->queued) return;
    t->queued = true;
    ready.push_back(t);
    cv.notify_one();
  }
};

namespace {

// Destroys the frame of a task that finished or is being cancelled and
// marks it done. Runs without the scheduler lock: destroying a frame runs
// destructors (closing channels, waking other tasks).
void finish(SchedulerCore& sched, const std::shared_ptr<TaskCore>& t, bool cancelled) {
  t->root.reset();
  std::function<void()> on_cancel;
  {
    std::lock_guard lock(sched.mu);
    t->done = true;
    sched.live.erase(t.get());
    on_cancel = std::move(t->on_cancel);
  }
  if (cancelled && on_cancel) on_cancel();
}

void run_task(SchedulerCore& sched, const std::shared_ptr<TaskCore>& t) {
  bool cancel;
  {
    std::lock_guard lock(sched.mu);
    t->queued = false;
    if (t->done) return;
    cancel = t->cancel;
  }
  if (cancel) return finish(sched, t, true);
  TaskCore* prev = std::exchange(tl_task, t.get());
  t->leaf.resume();
  tl_task = prev;
  if (t->root.done()) finish(sched, t, false);
}

}  // namespace

std::shared_ptr<SchedulerCore> make_scheduler() { return std::make_shared<SchedulerCore>(); }

std::shared_ptr<TaskCore> submit(const std::shared_ptr<SchedulerCore>& sched, Task<void> root,
                                 std::function<void()> on_cancel) {
  auto t = std::make_shared<TaskCore>();
  t->sched = sched;
  t->leaf = root.handle();
  t->root = std::move(root);
  t->on_cancel = std::move(on_cancel);
  {
    std::lock_guard lock(sched->mu);
    if (!sched->closed) {
      sched->live.emplace(t.get(), t);
      t->queued = true;
      sched->ready.push_back(t);
      sched->cv.notify_one();
      return t;
    }
  }
  finish(*sched, t, true);  // spawned onto a scheduler that is shut down
  return t;
}

void drive(SchedulerCore& sched, Runtime* context, const std::shared_ptr<TaskCore>& until) {
  if (tl_task) fatal("block_on called from inside a task");
  std::lock_guard driving(sched.drive_mu);
  Runtime* prev_rt = std::exchange(tl_runtime, context);
  SchedulerCore* prev_sched = std::exchange(tl_sched, &sched);
  std::unique_lock lock(sched.mu);
  while (!until->done) {
    if (sched.ready.empty()) {
      sched.cv.wait(lock);
      continue;
    }
    auto t = std::move(sched.ready.front());
    sched.ready.pop_front();
    lock.unlock();
    run_task(sched, t);
    t.reset();
    lock.lock();
  }
  lock.unlock();
  tl_sched = prev_sched;
  tl_runtime = prev_rt;
}

void shutdown(SchedulerCore& sched) {
  std::vector<std::shared_ptr<TaskCore>> tasks;
  {
    std::lock_guard lock(sched.mu);
    sched.closed = true;
    sched.ready.clear();
    for (auto& [_, t] : sched.live) tasks.push_back(t);
  }
  for (auto& t : tasks) finish(sched, t, true);
}

std::shared_ptr<SchedulerCore> current_scheduler() {
  return tl_sched ? tl_sched->shared_from_this() : nullptr;
}

void request_cancel(const std::shared_ptr<TaskCore>& t) {
  SchedulerCore& s = *t->sched;
  std::lock_guard lock(s.mu);
  if (s.closed || t->done) return;
  t->cancel = true;
  if (!t->queued) {
    t->queued = true;
    s.ready.push_back(t);
    s.cv.notify_one();
  }
}

// Pool of blocking threads. Invariant (under mu): threads == idle + busy.
class BlockingPool {
 public:
  BlockingPool(Runtime* owner, RuntimeOptions options) : owner_(owner), options_(options) {
    if (options_.max_blocking_threads == 0) options_.max_blocking_threads = 1;
  }

  ~BlockingPool() { shutdown(); }

  void spawn(BlockingJob job) {
    std::vector<std::thread> reaped;
    {
      std::lock_guard lock(mu_);
      if (shutdown_) return;  // job destroyed unrun (outside the lock below)
      queue_.push_back(std::move(job));
      if (queue_.size() > idle_ && threads_ < options_.max_blocking_threads) {
        if (!start_worker_locked()) {
          if (threads_ == 0) fatal("failed to spawn thread");
          // Otherwise the job waits for a running thread to become free.
        }
      }
      cv_.notify_one();
      reaped = take_exited_locked();
    }
    for (auto& t : reaped) t.join();
  }

  std::expected<void, std::string> spawn_all(std::vector<BlockingJob>& jobs) {
    std::vector<std::thread> reaped;
    std::expected<void, std::string> result;
    {
      std::lock_guard lock(mu_);
      reaped = take_exited_locked();
      const std::size_t cap = options_.max_blocking_threads;
      const std::size_t in_use = busy_ + queue_.size();
      if (shutdown_) {
        result = std::unexpected(std::string("the runtime is shutting down"));
      } else if (in_use + jobs.size() > cap) {
        result = std::unexpected("needs " + std::to_string(jobs.size()) + " threads but only " +
                                 std::to_string(cap - std::min(cap, in_use)) + " of the runtime's " +
                                 std::to_string(cap) + " blocking threads are free");
      } else {
        while (idle_ < queue_.size() + jobs.size()) {
          if (!start_worker_locked()) {
            result = std::unexpected(std::string("failed to spawn thread"));
            break;
          }
        }
        if (result) {
          for (auto& j : jobs) queue_.push_back(std::move(j));
          jobs.clear();
          cv_.notify_all();
        }
      }
    }
    for (auto& t : reaped) t.join();
    return result;
  }

  std::size_t in_use() const {
    std::lock_guard lock(mu_);
    return busy_ + queue_.size();
  }

  std::size_t max_threads() const { return options_.max_blocking_threads; }

  void shutdown() {
    if (tl_pool == this) fatal("runtime destroyed from one of its own blocking threads");
    std::list<Worker> workers;
    {
      std::unique_lock lock(mu_);
      shutdown_ = true;  // workers finish the queued closures, then exit
      cv_.notify_all();
      exit_cv_.wait(lock, [&] { return threads_ == 0; });
      workers.swap(workers_);
      exited_.clear();
    }
    for (auto& w : workers) w.thread.join();
  }

 private:
  struct Worker {
    std::thread thread;
  };

  bool start_worker_locked() {
    auto it = workers_.emplace(workers_.end());
    try {
      it->thread = std::thread([this, it] { worker_main(it); });
    } catch (const std::system_error&) {
      workers_.erase(it);
      return false;
    }
    ++threads_;
    ++idle_;
    return true;
  }

  std::vector<std::thread> take_exited_locked() {
    std::vector<std::thread> out;
    for (auto it : exited_) {
      out.push_back(std::move(it->thread));
      workers_.erase(it);
    }
    exited_.clear();
    return out;
  }

  void worker_main(std::list<Worker>::iterator self) {
    tl_runtime = owner_;
    tl_pool = this;
    std::unique_lock lock(mu_);
    for (;;) {
      if (queue_.empty()) {
        if (shutdown_) break;
        if (cv_.wait_for(lock, options_.blocking_keep_alive) == std::cv_status::timeout && queue_.empty() &&
            !shutdown_) {
          break;  // idle for too long
        }
        continue;
      }
      BlockingJob job = std::move(queue_.front());
      queue_.pop_front();
      --idle_;
      ++busy_;
      lock.unlock();
      try {
        job();
      } catch (...) {
        // Closures report their own failures; nothing may escape a worker.
      }
      job = nullptr;  // destroy captures before re-locking
      lock.lock();
      --busy_;
      ++idle_;
    }
    --idle_;
    --threads_;
    if (!shutdown_) exited_.push_back(self);
    exit_cv_.notify_all();
  }

  Runtime* owner_;
  RuntimeOptions options_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::condition_variable exit_cv_;
  std::deque<BlockingJob> queue_;
  std::list<Worker> workers_;
  std::vector<std::list<Worker>::iterator> exited_;
  std::size_t threads_ = 0;
  std::size_t idle_ = 0;
  std::size_t busy_ = 0;
  bool shutdown_ = false;
};

}  // namespace detail

Waker Waker::for_current(std::coroutine_handle<> leaf) {
  if (!tl_task) fatal("awaited outside a runtime task");
  tl_task->leaf = leaf;
  Waker w;
  w.task_ = tl_task->shared_from_this();
  return w;
}

void Waker::wake() const {
  if (task_) task_->sched->schedule(task_);
}

std::string JoinError::to_string() const {
  return kind == Kind::Cancelled ? "task was cancelled" : "task panicked: " + message;
}

JoinError JoinError::panicked(std::exception_ptr e) {
  std::string what = "unknown exception";
  try {
    if (e) std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    what = ex.what();
  } catch (...) {
  }
  return {Kind::Panicked, std::move(what), e};
}

Runtime::Runtime(RuntimeOptions options)
    : sched_(detail::make_scheduler()), pool_(std::make_unique<detail::BlockingPool>(this, options)) {}

std::expected<std::unique_ptr<Runtime>, std::string> Runtime::create(RuntimeOptions options) {
  try {
    return std::unique_ptr<Runtime>(new Runtime(options));
  } catch (const std::exception& e) {
    return std::unexpected(std::string(e.what()));
  }
}

Runtime::~Runtime() {
  detail::shutdown(*sched_);
  pool_->shutdown();
}

Runtime* Runtime::current() { return tl_runtime; }

Runtime::Context::Context(Runtime* rt) : previous_(std::exchange(tl_runtime, rt)) {}
Runtime::Context::~Context() { tl_runtime = previous_; }

std::expected<void, std::string> Runtime::spawn_blocking_all(std::vector<BlockingJob> jobs) {
  return pool_->spawn_all(jobs);
}

std::size_t Runtime::max_blocking_threads() const { return pool_->max_threads(); }
std::size_t Runtime::blocking_in_use() const { return pool_->in_use(); }

void Runtime::submit_blocking(BlockingJob job) { pool_->spawn(std::move(job)); }

Task<void> yield_now() {
  struct Yield {
    bool await_ready() { return false; }
    void await_suspend(std::coroutine_handle<> h) { Waker::for_current(h).wake(); }
    void await_resume() {}
  };
  co_await Yield{};
}

}  // namespace kestrune::rt

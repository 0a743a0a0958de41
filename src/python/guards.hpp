// Threading rules shared by every Python class. How to use them:
//
// Exclusive receiver — every instance method of a class whose methods may
// release the interpreter lock starts with
//     auto busy = self.busy.enter("ClassName");
// A second call on the same object while one is running (possible only
// while the first has released the lock) raises RuntimeError at once
// instead of waiting. `BusyFlag` is only touched with the lock held.
//
// Releasing the lock — only the blocking methods that the module's rules
// list (`get`/`reset` of AsyncDynPipeline, `run` of AsyncDynRunner,
// `push`/`finalize` of the line and parallel writers) wrap their wait in
//     auto r = without_gil([&] { return runtime->block_on(...); });
// Nothing inside may touch Python objects; convert results afterwards.
//
// Calling Python from library threads (stage, task, background threads) —
//     auto r = with_gil([&] { return obj.get().attr("push")(...); });
// returns nullopt *without calling* when the interpreter is finalizing
// (a thread taking the lock then would be stopped dead mid-call). Keep
// Python objects in `PyRef`, which may be copied and destroyed on any
// thread: it takes the lock for reference counting and leaks the reference
// once the interpreter is going away.
//
// Objects with threads that call into Python (pipelines, runners, sink
// handles) derive from `ExitHook`: at interpreter exit, while Python still
// works, `close_at_exit()` is called (lock held) so that their threads end
// before finalization starts. Implementations skip the close when the
// object is busy, move their state out while holding the lock, then release
// the lock to join their threads (see `close_releasing_gil`).
//
// Thread-bound classes — hold the bound state in `ThreadBound<T>`:
//     ThreadBound<Writer> writer{"AudioFileWriter", std::move(w)};
//     writer.get();   // RuntimeError when called from another thread
// Released on another thread, it reports an unraisable RuntimeError naming
// the class and leaks the value instead of destroying it there.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace kestrune::python {

namespace py = pybind11;

class BusyFlag {
 public:
  class [[nodiscard]] Guard {
   public:
    explicit Guard(BusyFlag* f) : flag_(f) {}
    Guard(Guard&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)) {}
    Guard(const Guard&) = delete;
    ~Guard() {
      if (flag_) flag_->busy_ = false;
    }

   private:
    BusyFlag* flag_;
  };

  // RuntimeError("<class_name> is busy: another call on this object is
  // still running") when a call is already in progress.
  Guard enter(const char* class_name);
  bool busy() const { return busy_; }

 private:
  bool busy_ = false;
};

// Runs `f` with the interpreter lock released (the caller holds it).
template <class F>
auto without_gil(F&& f) -> decltype(f()) {
  py::gil_scoped_release nogil;
  return f();
}

// False once the interpreter is finalizing (or not initialised).
bool python_alive();

// Runs `f` holding the interpreter lock, from any thread; nullopt when the
// interpreter is finalizing (`f` is not called).
template <class F>
auto with_gil(F&& f) {
  using R = decltype(f());
  if constexpr (std::is_void_v<R>) {
    if (!python_alive()) return false;
    py::gil_scoped_acquire gil;
    f();
    return true;
  } else {
    if (!python_alive()) return std::optional<R>();
    py::gil_scoped_acquire gil;
    return std::optional<R>(f());
  }
}

// A strong reference usable from any thread.
class PyRef {
 public:
  PyRef() = default;
  // Caller holds the lock.
  explicit PyRef(py::object o) : obj_(o.release().ptr()) {}
  PyRef(const PyRef& o);
  PyRef(PyRef&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  PyRef& operator=(PyRef o) noexcept {
    std::swap(obj_, o.obj_);
    return *this;
  }
  ~PyRef();
  // Caller holds the lock.
  py::handle get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

class ExitHook {
 public:
  ExitHook();
  virtual ~ExitHook();
  ExitHook(const ExitHook&) = delete;
  ExitHook& operator=(const ExitHook&) = delete;
  // Called once at interpreter exit with the lock held.
  virtual void close_at_exit() = 0;

 protected:
  // Derived destructors call this first, so that exit never reaches a
  // half-destroyed object.
  void unregister_exit_hook();
};

// Registers the atexit handler that runs the hooks (idempotent).
void install_exit_hooks();

// Runs `destroy` with the interpreter lock released when this thread holds
// it (works during finalization too), else directly.
void close_releasing_gil(const std::function<void()>& destroy);

// A process-unique id of the calling OS thread (never reused).
std::uint64_t current_thread_token();

// RuntimeError("<class_name> is bound to the thread that created it and
// cannot be used from another thread").
[[noreturn]] void raise_foreign_thread(const char* class_name);
// Reports, as an unraisable RuntimeError, that an instance of class_name
// was released on another thread than its own and its state was leaked.
void report_foreign_release(const char* class_name);

template <class T>
class ThreadBound {
 public:
  ThreadBound(const char* class_name, std::unique_ptr<T> value)
      : class_name_(class_name), owner_(current_thread_token()), value_(std::move(value)) {}
  ThreadBound(ThreadBound&&) = delete;
  ~ThreadBound() {
    if (value_ && !on_owner_thread()) {
      report_foreign_release(class_name_);
      (void)value_.release();  // its thread-bound state must not be touched here
    }
  }

  bool on_owner_thread() const { return current_thread_token() == owner_; }
  // Raises from a foreign thread; the value may be null (taken or never set).
  T* get() {
    if (!on_owner_thread()) raise_foreign_thread(class_name_);
    return value_.get();
  }
  // Raises from a foreign thread.
  std::unique_ptr<T> take() {
    if (!on_owner_thread()) raise_foreign_thread(class_name_);
    return std::move(value_);
  }
  void check() const {
    if (!on_owner_thread()) raise_foreign_thread(class_name_);
  }

 private:
  const char* class_name_;
  std::uint64_t owner_;
  std::unique_ptr<T> value_;
};

}  // namespace kestrune::python

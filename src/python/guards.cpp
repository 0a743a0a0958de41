#include "python/guards.hpp"

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrune::python {

BusyFlag::Guard BusyFlag::enter(const char* class_name) {
  if (busy_) throw std::runtime_error(std::string(class_name) + " is busy: another call on this object is still running");
  busy_ = true;
  return Guard(this);
}

bool python_alive() { return Py_IsInitialized() && !Py_IsFinalizing(); }

PyRef::PyRef(const PyRef& o) : obj_(nullptr) {
  if (!o.obj_) return;
  if (PyGILState_Check()) {
    obj_ = Py_NewRef(o.obj_);
  } else if (python_alive()) {
    py::gil_scoped_acquire gil;
    obj_ = Py_NewRef(o.obj_);
  } else {
    obj_ = o.obj_;  // no lock to be had: share the reference, leak it later
  }
}

PyRef::~PyRef() {
  if (!obj_) return;
  if (PyGILState_Check()) {
    Py_DECREF(obj_);
  } else if (python_alive()) {
    py::gil_scoped_acquire gil;
    Py_DECREF(obj_);
  }
  // Otherwise the interpreter is going away: leaking is the only safe move.
}

namespace {

std::mutex hooks_mu;
std::vector<ExitHook*>& hooks() {
  static auto* v = new std::vector<ExitHook*>();  // never destroyed: used at exit
  return *v;
}

void run_exit_hooks() {
  for (;;) {
    ExitHook* hook;
    {
      std::lock_guard lock(hooks_mu);
      if (hooks().empty()) return;
      hook = hooks().back();
      hooks().pop_back();
    }
    hook->close_at_exit();  // may release the lock; `hook` is not used after
  }
}

}  // namespace

ExitHook::ExitHook() {
  std::lock_guard lock(hooks_mu);
  hooks().push_back(this);
}

ExitHook::~ExitHook() { unregister_exit_hook(); }

void ExitHook::unregister_exit_hook() {
  std::lock_guard lock(hooks_mu);
  auto& v = hooks();
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (*it == this) {
      v.erase(it);
      break;
    }
  }
}

void install_exit_hooks() {
  static bool installed = false;
  if (installed) return;
  py::module_::import("atexit").attr("register")(py::cpp_function(&run_exit_hooks));
  installed = true;
}

void close_releasing_gil(const std::function<void()>& destroy) {
  if (Py_IsInitialized() && PyGILState_Check()) {
    PyThreadState* ts = PyEval_SaveThread();
    destroy();
    PyEval_RestoreThread(ts);
  } else {
    destroy();
  }
}

std::uint64_t current_thread_token() {
  static std::atomic<std::uint64_t> next{1};
  thread_local const std::uint64_t token = next.fetch_add(1);
  return token;
}

void raise_foreign_thread(const char* class_name) {
  throw std::runtime_error(std::string(class_name) +
                           " is bound to the thread that created it and cannot be used from another thread");
}

void report_foreign_release(const char* class_name) {
  if (!python_alive()) return;
  py::gil_scoped_acquire gil;
  const std::string text = std::string(class_name) +
                           " was released on another thread than the one that created it; its resources were "
                           "not released";
  PyObject* pending = PyErr_GetRaisedException();  // keep an exception in flight
  PyErr_SetString(PyExc_RuntimeError, text.c_str());
  PyErr_WriteUnraisable(nullptr);
  PyErr_SetRaisedException(pending);
}

}  // namespace kestrune::python

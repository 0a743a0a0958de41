#include "python/binding.hpp"

#include <deque>
#include <mutex>

namespace kestrune::python {

std::string sig_doc(const char* signature, const char* doc) {
  return std::string(signature) + "\n--\n\n" + doc;
}

std::string class_doc(const char* name, const char* signature, const char* doc) {
  return std::string(name) + signature + "\n--\n\n" + doc;
}

const char* keep(std::string text) {
  static std::mutex mu;
  static std::deque<std::string> store;  // deque: stable addresses
  std::lock_guard lock(mu);
  return store.emplace_back(std::move(text)).c_str();
}

}  // namespace kestrune::python

namespace kestrune::python {

namespace {

// A method descriptor over a pybind11 function. pybind11 methods are
// builtin functions whose __self__ is an internal capsule, which makes
// inspect treat their "$self" parameter as already bound. This descriptor
// has no __self__, so inspect reads the text signature the way it reads
// CPython's own methods: (self, /, ...) on the class, (...) when bound.
struct MethodDescriptor {
  PyObject_HEAD
  PyObject* func;  // the pybind11 function (strong reference)
};

void method_dealloc(PyObject* self) {
  auto* d = reinterpret_cast<MethodDescriptor*>(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(d->func);
  Py_TYPE(self)->tp_free(self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<MethodDescriptor*>(self)->func);
  return 0;
}

PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return PyObject_Call(reinterpret_cast<MethodDescriptor*>(self)->func, args, kwargs);
}

PyObject* method_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* forward_attr(PyObject* self, void* name) {
  return PyObject_GetAttrString(reinterpret_cast<MethodDescriptor*>(self)->func,
                                static_cast<const char*>(name));
}

PyGetSetDef method_getset[] = {
    {"__doc__", forward_attr, nullptr, nullptr, const_cast<char*>("__doc__")},
    {"__text_signature__", forward_attr, nullptr, nullptr, const_cast<char*>("__text_signature__")},
    {"__name__", forward_attr, nullptr, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", forward_attr, nullptr, nullptr, const_cast<char*>("__name__")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* method_descriptor_type() {
  static PyTypeObject* type = [] {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
        {Py_tp_call, reinterpret_cast<void*>(method_call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
        {Py_tp_getset, method_getset},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {"pykestrune.method", sizeof(MethodDescriptor), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
  }();
  if (!type) throw py::error_already_set();
  return type;
}

}  // namespace

void install_method_descriptors(py::module_& m) {
  PyTypeObject* descr_type = method_descriptor_type();
  for (auto item : m.attr("__dict__").cast<py::dict>()) {
    py::handle cls = item.second;
    if (!PyType_Check(cls.ptr())) continue;
    py::dict members = cls.attr("__dict__").cast<py::dict>();
    for (auto member : members) {
      if (!PyInstanceMethod_Check(member.second.ptr())) continue;
      PyObject* func = PyInstanceMethod_GET_FUNCTION(member.second.ptr());
      py::object sig = py::getattr(func, "__text_signature__", py::none());
      if (sig.is_none() || !sig.cast<std::string>().starts_with("($self")) continue;
      auto* d = PyObject_GC_New(MethodDescriptor, descr_type);
      if (!d) throw py::error_already_set();
      d->func = Py_NewRef(func);
      PyObject_GC_Track(d);
      py::object descr = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(d));
      if (PyObject_SetAttr(cls.ptr(), member.first.ptr(), descr.ptr()) != 0) throw py::error_already_set();
    }
  }
}

}  // namespace kestrune::python

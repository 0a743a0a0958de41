// The extension module pykestrune: creation, registration and __all__.
#include <pybind11/pybind11.h>

#include <array>
#include <string_view>

#include "python/binding.hpp"
#include "python/module.hpp"

namespace py = pybind11;

namespace {

// Every public name, in the order __all__ lists them. Names not yet bound
// are skipped, so __all__ always follows this table.
constexpr std::array<std::string_view, 48> kPublicNames = {
    "AudioFormat",        "WavEncoderConfig",
    "Mp3EncoderConfig",   "AacEncoderConfig",
    "OpusEncoderConfig",  "FlacEncoderConfig",
    "Encoder",            "WavDecoderConfig",
    "Mp3DecoderConfig",   "AacDecoderConfig",
    "OpusDecoderConfig",  "FlacDecoderConfig",
    "Decoder",            "Processor",
    "IdentityNodeConfig", "ResampleNodeConfig",
    "GainNodeConfig",     "CompressorNodeConfig",
    "Packet",             "NodeBuffer",
    "DynNode",            "ReduceSum",
    "ReduceProduct",      "ReduceMean",
    "ReduceMax",          "ReduceMin",
    "ReduceConcat",       "ReduceXor",
    "Node",               "AudioSource",
    "AudioSink",          "AsyncDynPipeline",
    "AsyncDynRunner",     "AudioFileReader",
    "AudioFileWriter",    "ParallelAudioWriter",
    "LineAudioWriter",    "AsyncPipelineAudioSink",
    "AsyncPipelineAudioSinkHandle", "AsyncParallelAudioSink",
    "AsyncParallelAudioSinkHandle", "make_identity_node",
    "make_processor_node", "make_encoder_node",
    "make_decoder_node",  "make_python_node",
    "make_tap_node",      "make_async_fork_join_node",
};

void init_module(py::module_& m) {
  // Docstrings carry their own text signatures; pybind11 must not prepend
  // generated ones.
  py::options options;
  options.disable_function_signatures();

  using namespace kestrune::python;
  bind_format(m);
  bind_buffers(m);
  bind_encoder(m);
  bind_decoder(m);
  bind_processors(m);
  bind_file(m);
  bind_pipeline(m);

  install_method_descriptors(m);

  py::list all;
  for (std::string_view name : kPublicNames) {
    py::str key(name.data(), name.size());
    if (py::hasattr(m, key)) all.append(key);
  }
  m.attr("__all__") = all;
  if (py::hasattr(m, "LineAudioWriter")) m.attr("LineWriter") = m.attr("LineAudioWriter");
}

PyModuleDef module_def;
PyObject* the_module = nullptr;

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_pykestrune() {
  PYBIND11_CHECK_PYTHON_VERSION
  // One module object per process; a sub-interpreter cannot share it.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "pykestrune cannot be loaded in a sub-interpreter");
    return nullptr;
  }
  if (the_module) return Py_NewRef(the_module);
  try {
    py::detail::get_internals();
    auto m = py::module_::create_extension_module("pykestrune", "", &module_def);
    init_module(m);
    the_module = Py_NewRef(m.ptr());
    return m.release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  }
  return nullptr;
}

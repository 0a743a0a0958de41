// Conversions between the library's error values and Python exceptions.
// Subsystem errors only ever become ValueError or RuntimeError.
#pragma once

#include <pybind11/pybind11.h>

#include "codec/error.hpp"
#include "common/audio/audio.hpp"
#include "common/io/io.hpp"
#include "runner/error.hpp"

namespace kestrune::python {

namespace py = pybind11;

// Each raises the Python exception for the error (throws a pybind11
// exception that becomes it at the call boundary).
[[noreturn]] void map_file_err(const AudioIOError& e);
[[noreturn]] void map_audio_err(const AudioError& e);
[[noreturn]] void map_codec_err(const CodecError& e);
[[noreturn]] void map_runner_err(const RunnerError& e);

// For exceptions raised by Python callbacks that the library calls (nodes,
// reducers): BlockingIOError -> Again, EOFError -> Eof, else Other with
// "TypeName: str(exc)". Takes the interpreter lock itself.
CodecError pyerr_to_codec_err(py::error_already_set& e);
// For Python sources and sinks: always Codec(Other("TypeName: str(exc)")).
RunnerError pyerr_to_runner_err(py::error_already_set& e);

// Unwrap helpers: the value, or the mapped Python exception.
template <class T>
T unwrap_codec(CodecResult<T> r) {
  if (!r) map_codec_err(r.error());
  return std::move(*r);
}
inline void unwrap_codec(CodecStatus r) {
  if (!r) map_codec_err(r.error());
}
template <class T>
T unwrap_audio(AudioResult<T> r) {
  if (!r) map_audio_err(r.error());
  return std::move(*r);
}
inline void unwrap_audio(AudioResult<void> r) {
  if (!r) map_audio_err(r.error());
}

}  // namespace kestrune::python

#include "python/errors.hpp"

#include <stdexcept>

namespace kestrune::python {

void map_file_err(const AudioIOError& e) { throw std::runtime_error(e.to_string()); }

void map_audio_err(const AudioError& e) { throw py::value_error(e.to_string()); }

void map_codec_err(const CodecError& e) {
  using K = CodecError::Kind;
  switch (e.kind) {
    case K::Again: throw std::runtime_error("codec again (EAGAIN)");
    case K::Eof: throw std::runtime_error("codec eof (EOF)");
    case K::InvalidData: throw py::value_error(e.message);
    case K::InvalidState:
    case K::Unsupported:
    case K::Other: throw std::runtime_error(e.message);
  }
  throw std::runtime_error(e.message);
}

void map_runner_err(const RunnerError& e) {
  using K = RunnerError::Kind;
  switch (e.kind) {
    case K::Codec:
      if (e.codec) map_codec_err(*e.codec);
      break;
    case K::Io: throw std::runtime_error(e.io ? e.io->to_string() : std::string());
    case K::InvalidData: throw py::value_error(e.message);
    case K::InvalidState: break;
  }
  throw std::runtime_error(e.message);
}

namespace {
std::string describe(py::error_already_set& e) {
  std::string text;
  try {
    text = py::str(e.type().attr("__qualname__")).cast<std::string>();
  } catch (py::error_already_set&) {
    text = "<unknown>";
  }
  text += ": ";
  try {
    text += py::str(e.value()).cast<std::string>();
  } catch (py::error_already_set&) {
    text += "<exception str() failed>";
  }
  return text;
}
}  // namespace

CodecError pyerr_to_codec_err(py::error_already_set& e) {
  py::gil_scoped_acquire gil;
  if (e.matches(PyExc_BlockingIOError)) return CodecError::again();
  if (e.matches(PyExc_EOFError)) return CodecError::eof();
  return CodecError::other(describe(e));
}

RunnerError pyerr_to_runner_err(py::error_already_set& e) {
  py::gil_scoped_acquire gil;
  return RunnerError::from_codec(CodecError::other(describe(e)));
}

}  // namespace kestrune::python

// Python Processor (PCM -> PCM through NumPy), the processor node configs
// and make_processor_node.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

#include "codec/processor/processor_interface.hpp"

namespace kestrune::python {

namespace py = pybind11;

struct ProcessorPy {
  BoxedProcessor inner;  // empty once a consumer took it
  std::optional<::kestrune::AudioFormat> in_format;
  std::optional<::kestrune::AudioFormat> out_format;
  bool flushed = false;

  // The processor, or RuntimeError when it was moved out.
  AudioProcessor& get();
  // Moves the processor out for good; RuntimeError when already moved.
  BoxedProcessor take();
};

// For consumers that take over a Python Processor (line writer, sink
// builders): TypeError when `obj` is not a Processor, RuntimeError when it
// was already moved. The Python object keeps answering output_format().
BoxedProcessor take_processor(py::handle obj);

void bind_processors(py::module_& m);

}  // namespace kestrune::python

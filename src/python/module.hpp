// Entry points that register each area's classes and functions on the
// module. module.cpp calls them in an order that keeps every type a
// signature refers to registered before it is used.
#pragma once

#include <pybind11/pybind11.h>

namespace kestrune::python {

namespace py = pybind11;

void bind_format(py::module_& m);   // AudioFormat
void bind_buffers(py::module_& m);  // Packet, NodeBuffer, DynNode
void bind_encoder(py::module_& m);  // encoder configs, Encoder, make_encoder_node
void bind_decoder(py::module_& m);  // decoder configs, Decoder, make_decoder_node
void bind_processors(py::module_& m);  // Processor, *NodeConfig, make_processor_node
void bind_file(py::module_& m);     // AudioFileReader, AudioFileWriter
void bind_pipeline(py::module_& m);  // Node, AsyncDynPipeline, make_identity/python/tap_node

}  // namespace kestrune::python

// Python holders of pipeline items and nodes: Packet, NodeBuffer, DynNode.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "pipeline/node/dynamic_node_interface.hpp"

namespace kestrune::python {

namespace py = pybind11;

// A Python-visible copy of one CodecPacket (read-only from Python).
struct PacketPy {
  CodecPacket packet;
};

// One NodeBuffer, or nothing once it was handed to the library.
struct NodeBufferPy {
  std::optional<NodeBuffer> inner;

  // The buffer, or RuntimeError when this object was already moved.
  NodeBuffer& get();
  // Moves the buffer out and leaves this object empty.
  NodeBuffer take();
};

// An owned node plus what it was when made; consumers take the node out.
struct DynNodePy {
  BoxedDynNode node;
  std::string name;
  NodeKind input_kind;
  NodeKind output_kind;

  explicit DynNodePy(BoxedDynNode n);
  // Moves the node out; RuntimeError when it was already taken.
  BoxedDynNode take();
};

// Wraps a new node for Python (every node factory returns this).
py::object make_dyn_node_object(BoxedDynNode node);
// Wraps a buffer produced by the library as a new Python NodeBuffer.
py::object make_node_buffer_object(NodeBuffer buf);

// "pcm"/"packet", ASCII case-insensitive.
std::optional<NodeKind> parse_node_kind(std::string_view text);

void bind_buffers(py::module_& m);

}  // namespace kestrune::python

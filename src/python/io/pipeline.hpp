// Python pipeline classes: Node, AsyncDynPipeline, the node factories
// make_identity_node / make_python_node / make_tap_node, and the adapters
// that let Python objects act as a node (PyCallbackNode) or as a sink
// (PyCallbackSink). Both adapters run on library threads and take the
// interpreter lock for each call.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>

#include "pipeline/node/async_dynamic_node_interface.hpp"
#include "pipeline/sink/audio_sink.hpp"
#include "python/guards.hpp"
#include "runtime/runtime.hpp"

namespace kestrune::python {

namespace py = pybind11;

// Any Python object with push(buf) and pull(), and optionally flush() and
// reset(), as a pipeline node.
class PyCallbackNode final : public DynNode {
 public:
  PyCallbackNode(std::string name, py::object obj, NodeKind input_kind, NodeKind output_kind)
      : name_(std::move(name)), obj_(std::move(obj)), input_kind_(input_kind), output_kind_(output_kind) {}
  const char* name() const override { return name_.c_str(); }
  NodeKind input_kind() const override { return input_kind_; }
  NodeKind output_kind() const override { return output_kind_; }
  CodecStatus push(std::optional<NodeBuffer> buf) override;
  CodecResult<NodeBuffer> pull() override;
  CodecStatus reset() override;

 private:
  std::string name_;
  PyRef obj_;
  NodeKind input_kind_;
  NodeKind output_kind_;
  bool flushed_ = false;
};

// Any Python object with push(buf) and finalize() as a sink ("py-callback-sink").
// The methods are looked up only when called.
class PyCallbackSink final : public AudioSink<NodeBuffer> {
 public:
  explicit PyCallbackSink(py::object obj) : obj_(std::move(obj)) {}
  const char* name() const override { return "py-callback-sink"; }
  RunnerStatus push(NodeBuffer buf) override;
  RunnerStatus finalize() override;

 private:
  PyRef obj_;
};

// The Python AsyncDynPipeline: its own runtime plus the staged pipeline.
// Destruction (or interpreter exit) closes the input first, then waits for
// the stage threads with the interpreter lock released.
class AsyncDynPipelinePy final : public ExitHook {
 public:
  AsyncDynPipelinePy(std::unique_ptr<rt::Runtime> runtime, AsyncDynPipeline pipeline, NodeKind in, NodeKind out)
      : runtime_(std::move(runtime)), pipeline_(std::move(pipeline)), input_kind_(in), output_kind_(out) {}
  ~AsyncDynPipelinePy() override {
    unregister_exit_hook();
    close();
  }

  void push(py::object buf);
  void flush();
  py::object try_get();
  py::object get();
  void reset(bool force);
  NodeKind input_kind() const { return input_kind_; }
  NodeKind output_kind() const { return output_kind_; }

  void close_at_exit() override;

 private:
  AsyncDynPipeline& live();
  void close();

  std::unique_ptr<rt::Runtime> runtime_;
  std::optional<AsyncDynPipeline> pipeline_;
  NodeKind input_kind_;
  NodeKind output_kind_;
  BusyFlag busy_;
};

void bind_pipeline(py::module_& m);

}  // namespace kestrune::python

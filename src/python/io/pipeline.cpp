#include "python/io/pipeline.hpp"

#include <pybind11/stl.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "pipeline/node/tap_node.hpp"
#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/io/buffer.hpp"

namespace kestrune::python {

namespace {

constexpr const char* kShuttingDown = "the Python interpreter is shutting down";

CodecError codec_err_from_exception(const std::exception& e) { return CodecError::other(e.what()); }

// Runs a Python callback for a node operation under the interpreter lock,
// turning Python exceptions into codec errors.
template <class F>
auto node_call(F&& f) -> decltype(f()) {
  using R = decltype(f());
  auto r = with_gil([&]() -> R {
    try {
      return f();
    } catch (py::error_already_set& e) {
      return std::unexpected(pyerr_to_codec_err(e));
    } catch (const std::exception& e) {
      return std::unexpected(codec_err_from_exception(e));
    }
  });
  if (!r) return std::unexpected(CodecError::other(kShuttingDown));
  return std::move(*r);
}

template <class F>
RunnerStatus sink_call(F&& f) {
  auto r = with_gil([&]() -> RunnerStatus {
    try {
      f();
      return {};
    } catch (py::error_already_set& e) {
      return std::unexpected(pyerr_to_runner_err(e));
    } catch (const std::exception& e) {
      return std::unexpected(RunnerError::from_codec(CodecError::other(e.what())));
    }
  });
  if (!r) return std::unexpected(RunnerError::from_codec(CodecError::other(kShuttingDown)));
  return *r;
}

}  // namespace

CodecStatus PyCallbackNode::push(std::optional<NodeBuffer> buf) {
  if (buf && buf->kind() != input_kind_)
    return std::unexpected(CodecError::invalid_data("Python node input kind mismatch"));
  return node_call([&]() -> CodecStatus {
    py::handle obj = obj_.get();
    if (!buf) {
      flushed_ = true;
      try {
        obj.attr("flush")();
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_AttributeError)) return std::unexpected(pyerr_to_codec_err(e));
        obj.attr("push")(py::none());  // no flush(): end of input is push(None)
      }
      return {};
    }
    obj.attr("push")(make_node_buffer_object(std::move(*buf)));
    return {};
  });
}

CodecResult<NodeBuffer> PyCallbackNode::pull() {
  return node_call([&]() -> CodecResult<NodeBuffer> {
    py::object r = obj_.get().attr("pull")();
    if (r.is_none()) return std::unexpected(flushed_ ? CodecError::eof() : CodecError::again());
    if (!py::isinstance<NodeBufferPy>(r))
      return std::unexpected(CodecError::invalid_data("Python node.pull() 必须返回 NodeBuffer 或 None"));
    auto& holder = r.cast<NodeBufferPy&>();
    if (!holder.inner)
      return std::unexpected(
          CodecError::invalid_state("Python node.pull() 返回的 NodeBuffer 已被移动（不可再次使用）"));
    NodeBuffer out = holder.take();
    if (out.kind() != output_kind_)
      return std::unexpected(CodecError::invalid_data("Python node output kind mismatch"));
    return out;
  });
}

CodecStatus PyCallbackNode::reset() {
  flushed_ = false;
  return node_call([&]() -> CodecStatus {
    try {
      obj_.get().attr("reset")();
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_AttributeError)) return std::unexpected(pyerr_to_codec_err(e));
    }
    return {};
  });
}

RunnerStatus PyCallbackSink::push(NodeBuffer buf) {
  return sink_call([&] { obj_.get().attr("push")(make_node_buffer_object(std::move(buf))); });
}

RunnerStatus PyCallbackSink::finalize() {
  return sink_call([&] { obj_.get().attr("finalize")(); });
}

AsyncDynPipeline& AsyncDynPipelinePy::live() {
  if (!pipeline_) throw std::runtime_error("AsyncDynPipeline is closed (the interpreter is exiting)");
  return *pipeline_;
}

void AsyncDynPipelinePy::push(py::object buf) {
  auto busy = busy_.enter("AsyncDynPipeline");
  if (buf.is_none()) return unwrap_codec(live().flush());
  if (!py::isinstance<NodeBufferPy>(buf))
    throw py::type_error("AsyncDynPipeline.push(): argument 'buf' must be NodeBuffer or None");
  AsyncDynPipeline& p = live();
  NodeBuffer b = buf.cast<NodeBufferPy&>().take();
  if (b.kind() != input_kind_) throw py::value_error("NodeBuffer kind 与 pipeline input_kind 不匹配");
  unwrap_codec(p.push_frame(std::move(b)));
}

void AsyncDynPipelinePy::flush() {
  auto busy = busy_.enter("AsyncDynPipeline");
  unwrap_codec(live().flush());
}

py::object AsyncDynPipelinePy::try_get() {
  auto busy = busy_.enter("AsyncDynPipeline");
  auto r = live().try_get_frame();
  if (r) return make_node_buffer_object(std::move(*r));
  if (r.error().is_again() || r.error().is_eof()) return py::none();
  map_codec_err(r.error());
}

py::object AsyncDynPipelinePy::get() {
  auto busy = busy_.enter("AsyncDynPipeline");
  AsyncDynPipeline& p = live();
  PipelineOutput r = without_gil([&] { return runtime_->block_on(p.get_frame()); });
  if (r) return make_node_buffer_object(std::move(*r));
  if (r.error().is_eof()) return py::none();
  map_codec_err(r.error());
}

void AsyncDynPipelinePy::reset(bool force) {
  auto busy = busy_.enter("AsyncDynPipeline");
  AsyncDynPipeline& p = live();
  unwrap_codec(without_gil([&] { return runtime_->block_on(p.reset(force)); }));
}

void AsyncDynPipelinePy::close_at_exit() {
  if (busy_.busy()) return;  // a call is running on another thread; leave it be
  close();
}

void AsyncDynPipelinePy::close() {
  // Closing the input lets the stages wind down (flushing every node but
  // the first, which may call Python); only then wait for their threads,
  // and never with the interpreter lock held.
  std::optional<AsyncDynPipeline> pipeline = std::exchange(pipeline_, std::nullopt);
  std::unique_ptr<rt::Runtime> runtime = std::move(runtime_);
  pipeline.reset();
  if (!runtime) return;
  if (rt::Runtime::current() == runtime.get()) {
    // Released from one of its own stage threads (a Python node held the
    // last reference): that thread cannot wait for itself.
    std::thread([r = std::move(runtime)]() mutable { r.reset(); }).detach();
    return;
  }
  close_releasing_gil([&] { runtime.reset(); });
}

namespace {

NodeKind kind_or_raise(const std::string& text, const char* message) {
  auto k = parse_node_kind(text);
  if (!k) throw py::value_error(message);
  return *k;
}

std::unique_ptr<AsyncDynPipelinePy> make_pipeline(const std::vector<DynNodePy*>& objs) {
  if (objs.empty()) throw py::value_error("nodes 不能为空");
  std::vector<BoxedDynNode> nodes;
  NodeKind in_kind = objs.front()->input_kind;
  NodeKind out_kind = objs.back()->output_kind;
  for (DynNodePy* o : objs) {
    if (!o) throw py::type_error("AsyncDynPipeline(): nodes must hold DynNode objects");
    nodes.push_back(o->take());  // raises on an emptied DynNode; taken nodes are released
  }
  auto runtime = rt::Runtime::create();
  if (!runtime) throw std::runtime_error("failed to initialise the async runtime: " + runtime.error());
  auto pipeline = [&] {
    auto ctx = (*runtime)->enter();
    return AsyncDynPipeline::create(std::move(nodes));
  }();
  if (!pipeline) map_codec_err(pipeline.error());
  return std::make_unique<AsyncDynPipelinePy>(std::move(*runtime), std::move(*pipeline), in_kind, out_kind);
}

}  // namespace

// The empty base class Python nodes may derive from.
struct NodeBase {};

void bind_pipeline(py::module_& m) {
  install_exit_hooks();

  py::class_<NodeBase>(m, "Node", class_doc("Node", "()", "python 侧的 Node 基类").c_str())
      .def(py::init<>(), keep(sig_doc("__init__(self)")));

  py::class_<AsyncDynPipelinePy>(m, "AsyncDynPipeline",
                                 class_doc("AsyncDynPipeline", "(nodes)", "Python 侧 AsyncDynPipeline（动态节点列表）。")
                                     .c_str())
      .def(py::init(&make_pipeline), py::arg("nodes"), keep(sig_doc("__init__(self, nodes)")))
      .def_property_readonly("input_kind", [](const AsyncDynPipelinePy& p) { return node_kind_name(p.input_kind()); })
      .def_property_readonly("output_kind",
                             [](const AsyncDynPipelinePy& p) { return node_kind_name(p.output_kind()); })
      .def("push", &AsyncDynPipelinePy::push, py::arg("buf") = py::none(),
           keep(sig_doc("push($self, buf=None)", "推入一帧输入。")))
      .def("flush", &AsyncDynPipelinePy::flush, keep(sig_doc("flush($self)")))
      .def("try_get", &AsyncDynPipelinePy::try_get, keep(sig_doc("try_get($self)")))
      .def("get", &AsyncDynPipelinePy::get, keep(sig_doc("get($self)", "阻塞等待一个输出（直到拿到一帧或 EOF）。")))
      .def("reset", &AsyncDynPipelinePy::reset, py::arg("force") = false,
           keep(sig_doc("reset($self, force=False)",
                        "reset：从起点向终点 reset，直到完成。\n\n"
                        "- force=false：不强制打断正在处理的 flow（等它处理到边界后再 reset）\n"
                        "- force=true：强制 reset（丢弃内部缓存/残留）")));

  m.def(
      "make_identity_node",
      [](const std::string& kind) {
        return make_dyn_node_object(std::make_unique<IdentityNode>(kind_or_raise(kind, "kind 仅支持: pcm/packet")));
      },
      py::arg("kind"), keep(sig_doc("make_identity_node(kind)")));

  m.def(
      "make_python_node",
      [](py::object obj, const std::string& input_kind, const std::string& output_kind, const std::string& name) {
        NodeKind in = kind_or_raise(input_kind, "input_kind 仅支持: pcm/packet");
        NodeKind out = kind_or_raise(output_kind, "output_kind 仅支持: pcm/packet");
        return make_dyn_node_object(std::make_unique<PyCallbackNode>(name, std::move(obj), in, out));
      },
      py::arg("obj"), py::arg("input_kind"), py::arg("output_kind"), py::arg("name") = "py-node",
      keep(sig_doc("make_python_node(obj, input_kind, output_kind, name=...)",
                   "创建一个 Python 自定义节点（DynNode），可用于 `AsyncDynPipeline`/`AsyncDynRunner` 的 nodes 列表。")));

  m.def(
      "make_tap_node",
      [](py::object sink, const std::string& kind) {
        NodeKind k = kind_or_raise(kind, "kind 仅支持: pcm/packet");
        return make_dyn_node_object(std::make_unique<TapNode<PyCallbackSink>>(PyCallbackSink(std::move(sink)), k));
      },
      py::arg("sink"), py::arg("kind") = "pcm",
      keep(sig_doc("make_tap_node(sink, kind=\"pcm\")",
                   "创建一个 Tap 节点（tee）：把输入 **透传给下游** 的同时，**复制一份** 交给一个 Python sink 处理。\n\n"
                   "- `sink`：需要实现 `push(buf: NodeBuffer)` + `finalize()` 的对象（与 Runner 的 sink 约定一致）\n"
                   "- `kind`：tap 的输入/输出 kind（必须与相邻节点匹配），仅支持 \"pcm\"/\"packet\"")));
}

}  // namespace kestrune::python

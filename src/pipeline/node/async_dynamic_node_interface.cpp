#include "pipeline/node/async_dynamic_node_interface.hpp"

#include <chrono>
#include <exception>
#include <string>
#include <thread>
#include <type_traits>

#include "runtime/runtime.hpp"

namespace kestrune {

void PipelineErrStore::store(const CodecError& e) {
  std::lock_guard lock(mu_);
  if (!err_) err_ = e;
}

CodecError PipelineErrStore::err_or_closed() {
  std::lock_guard lock(mu_);
  if (err_) return *err_;
  return CodecError::invalid_state(kPipelineInputClosed);
}

namespace {

using MsgTx = rt::Sender<PipelineMsg>;
using MsgRx = rt::Receiver<PipelineMsg>;
using OutTx = rt::Sender<PipelineOutput>;
using OutRx = rt::Receiver<PipelineOutput>;
using Ack = std::optional<rt::OneshotSender<CodecStatus>>;

bool is_again_or_ok(const CodecStatus& r) { return r || r.error().is_again(); }

void answer(Ack& ack, CodecStatus r) {
  if (ack) (void)ack->send(std::move(r));
  ack.reset();
}

// Spins politely while a flushed node keeps answering Again: a node that is
// waiting for work of its own (fork-join branches) gets its outputs out.
class AgainBackoff {
 public:
  void pause() {
    ++count_;
    if (count_ < 16) return;
    if (count_ < 256) return std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }

 private:
  unsigned count_ = 0;
};

// Pull until Again/Eof, sending buffers on. A pull error is sent on as
// Error and returned (the receiving stage records it).
CodecStatus drain_to_next(DynNode& node, MsgTx& next) {
  for (;;) {
    auto r = node.pull();
    if (r) {
      (void)next.send(PipelineMsg::data(std::move(*r)));
      continue;
    }
    if (r.error().is_again() || r.error().is_eof()) return {};
    (void)next.send(PipelineMsg::error(r.error()));
    return std::unexpected(r.error());
  }
}

// After a flush a node must reach Eof; until then Again means "not yet"
// (its remaining outputs would otherwise trail behind the flush marker).
void drain_flushed_to_next(DynNode& node, MsgTx& next) {
  AgainBackoff backoff;
  for (;;) {
    auto r = node.pull();
    if (r) {
      (void)next.send(PipelineMsg::data(std::move(*r)));
      continue;
    }
    if (r.error().is_eof()) return;
    if (r.error().is_again()) {
      backoff.pause();
      continue;
    }
    (void)next.send(PipelineMsg::error(r.error()));
    return;
  }
}

void intermediate_stage(MsgRx in, PipelineErrStore& err_store, MsgTx next, DynNode& node) {
  for (;;) {
    auto msg = in.recv();
    if (!msg) {
      (void)next.send(PipelineMsg::flush());
      return;
    }
    if (auto* d = std::get_if<PipelineMsg::Data>(&msg->value)) {
      auto r = node.push(std::move(d->value));
      if (is_again_or_ok(r)) {
        (void)drain_to_next(node, next);
      } else if (r.error().is_eof()) {
        (void)next.send(PipelineMsg::flush());
      } else {
        err_store.store(r.error());
        (void)next.send(PipelineMsg::error(r.error()));
        (void)next.send(PipelineMsg::flush());
        return;
      }
    } else if (std::holds_alternative<PipelineMsg::Flush>(msg->value)) {
      (void)node.push(std::nullopt);
      drain_flushed_to_next(node, next);
      (void)next.send(PipelineMsg::flush());
    } else if (auto* e = std::get_if<PipelineMsg::Error>(&msg->value)) {
      err_store.store(e->error);
      (void)next.send(PipelineMsg::error(e->error));
      (void)next.send(PipelineMsg::flush());
      return;
    } else if (auto* rs = std::get_if<PipelineMsg::Reset>(&msg->value)) {
      if (!rs->force) (void)drain_to_next(node, next);
      auto r = node.reset();
      if (r) {
        (void)next.send(PipelineMsg::reset(rs->force, std::move(rs->ack)));
      } else {
        err_store.store(r.error());
        (void)next.send(PipelineMsg::error(r.error()));
        rs->ack.reset();  // dropped unanswered: the waiter reports err_or_closed
        (void)next.send(PipelineMsg::flush());
        return;
      }
    }
  }
}

// Pulls buffers to the output until the node answers with an error.
enum class OnAgain { Stop, Repull };
void pull_to_output(DynNode& node, PipelineErrStore& err_store, OutTx& out, OnAgain on_again) {
  AgainBackoff backoff;
  for (;;) {
    auto r = node.pull();
    if (r) {
      (void)out.send(std::move(r));
      continue;
    }
    const CodecError& e = r.error();
    if (e.is_again()) {
      if (on_again == OnAgain::Stop) return;
      backoff.pause();
      continue;
    }
    if (e.is_eof()) {
      (void)out.send(std::unexpected(CodecError::eof()));
      return;
    }
    err_store.store(e);
    (void)out.send(std::unexpected(e));
    return;
  }
}

void last_stage(MsgRx in, PipelineErrStore& err_store, OutTx out, DynNode& node) {
  for (;;) {
    auto msg = in.recv();
    if (!msg) {
      (void)out.send(std::unexpected(CodecError::eof()));
      return;
    }
    if (auto* d = std::get_if<PipelineMsg::Data>(&msg->value)) {
      auto r = node.push(std::move(d->value));
      if (is_again_or_ok(r)) {
        pull_to_output(node, err_store, out, OnAgain::Stop);
      } else if (r.error().is_eof()) {
        (void)out.send(std::unexpected(CodecError::eof()));
      } else {
        err_store.store(r.error());
        (void)out.send(std::unexpected(r.error()));  // the last stage keeps running
      }
    } else if (std::holds_alternative<PipelineMsg::Flush>(msg->value)) {
      (void)node.push(std::nullopt);
      pull_to_output(node, err_store, out, OnAgain::Repull);
    } else if (auto* e = std::get_if<PipelineMsg::Error>(&msg->value)) {
      err_store.store(e->error);
      (void)out.send(std::unexpected(e->error));
      return;
    } else if (auto* rs = std::get_if<PipelineMsg::Reset>(&msg->value)) {
      if (!rs->force) {
        for (;;) {
          auto r = node.pull();
          if (r) {
            (void)out.send(std::move(r));
            continue;
          }
          if (r.error().is_again() || r.error().is_eof()) break;
          err_store.store(r.error());
          (void)out.send(std::unexpected(r.error()));
          answer(rs->ack, std::unexpected(r.error()));
          return;  // the node is not reset
        }
      }
      auto r = node.reset();
      if (!r) {
        err_store.store(r.error());
        (void)out.send(std::unexpected(r.error()));
      }
      answer(rs->ack, std::move(r));
    }
  }
}

std::string describe_exception(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
    return "unknown exception";
  }
}

// Runs a stage loop; a C++ exception escaping a node ends the stage like
// an error would, instead of taking the process down.
template <class Loop, class Tx>
rt::BlockingJob stage_job(Loop loop, MsgRx in, std::shared_ptr<PipelineErrStore> err, Tx tx, BoxedDynNode node) {
  return [loop, in = std::move(in), err = std::move(err), tx = std::move(tx), node = std::move(node)]() mutable {
    Tx tx_on_failure = tx;  // a second handle for reporting after a throw
    try {
      loop(std::move(in), *err, std::move(tx), *node);
    } catch (...) {
      CodecError e = CodecError::other(std::string("pipeline stage ") + node->name() +
                                       " failed: " + describe_exception(std::current_exception()));
      err->store(e);
      if constexpr (std::is_same_v<Tx, OutTx>) {
        (void)tx_on_failure.send(std::unexpected(e));
      } else {
        (void)tx_on_failure.send(PipelineMsg::error(e));
        (void)tx_on_failure.send(PipelineMsg::flush());
      }
    }
    node.reset();  // the node goes before the stage's senders close
  };
}

}  // namespace

CodecResult<AsyncDynPipeline> AsyncDynPipeline::create(std::vector<BoxedDynNode> nodes) {
  if (nodes.empty()) return std::unexpected(CodecError::invalid_data("pipeline requires at least 1 node"));
  for (std::size_t k = 0; k + 1 < nodes.size(); ++k) {
    if (nodes[k]->output_kind() != nodes[k + 1]->input_kind())
      return std::unexpected(CodecError::invalid_data("pipeline node kind mismatch"));
  }
  rt::Runtime* runtime = rt::Runtime::current();
  if (!runtime) return std::unexpected(CodecError::invalid_state("AsyncDynPipeline must be created inside a runtime"));

  const NodeKind in_kind = nodes.front()->input_kind();
  const NodeKind out_kind = nodes.back()->output_kind();
  auto err = std::make_shared<PipelineErrStore>();
  auto [input_tx, input_rx] = rt::unbounded_channel<PipelineMsg>();
  const std::size_t n = nodes.size();

  std::vector<rt::BlockingJob> jobs;
  jobs.reserve(n);
  MsgRx incoming = std::move(input_rx);
  for (std::size_t k = 0; k + 1 < n; ++k) {
    auto [tx, rx] = rt::unbounded_channel<PipelineMsg>();
    jobs.push_back(stage_job(intermediate_stage, std::move(incoming), err, std::move(tx), std::move(nodes[k])));
    incoming = std::move(rx);
  }
  auto [out_tx, out_rx] = rt::unbounded_channel<PipelineOutput>();
  jobs.push_back(stage_job(last_stage, std::move(incoming), err, std::move(out_tx), std::move(nodes[n - 1])));

  auto started = runtime->spawn_blocking_all(std::move(jobs));
  if (!started) {
    return std::unexpected(CodecError{CodecError::Kind::InvalidState,
                                      "pipeline of " + std::to_string(n) + " nodes cannot start: " + started.error()});
  }
  return AsyncDynPipeline(std::move(input_tx), std::move(out_rx), std::move(err), in_kind, out_kind);
}

namespace {

CodecStatus send_or_closed(MsgTx& input, PipelineErrStore& err, PipelineMsg msg) {
  if (!input.valid() || !input.send(std::move(msg))) return std::unexpected(err.err_or_closed());
  return {};
}

PipelineOutput closed_to_eof(std::optional<PipelineOutput> item) {
  if (!item) return std::unexpected(CodecError::eof());
  return std::move(*item);
}

rt::Task<PipelineOutput> receive_output(OutRx& output) {
  if (!output.valid()) co_return std::unexpected(CodecError::eof());
  co_return closed_to_eof(co_await output.recv_async());
}

}  // namespace

CodecStatus AsyncDynPipeline::push_frame(NodeBuffer buf) {
  return send_or_closed(input_, *err_store_, PipelineMsg::data(std::move(buf)));
}

CodecStatus AsyncDynPipeline::flush() { return send_or_closed(input_, *err_store_, PipelineMsg::flush()); }

PipelineOutput AsyncDynPipeline::try_get_frame() {
  if (!output_.valid()) return std::unexpected(CodecError::eof());
  auto r = output_.try_recv();
  if (r) return std::move(*r);
  return std::unexpected(r.error() == rt::TryRecvError::Empty ? CodecError::again() : CodecError::eof());
}

rt::Task<PipelineOutput> AsyncDynPipeline::get_frame() { return receive_output(output_); }

rt::Task<CodecStatus> AsyncDynPipeline::reset(bool force) {
  auto [ack_tx, ack_rx] = rt::oneshot<CodecStatus>();
  auto sent = send_or_closed(input_, *err_store_, PipelineMsg::reset(force, std::move(ack_tx)));
  if (!sent) co_return sent;
  auto answer = co_await ack_rx.recv_async();
  if (!answer) co_return std::unexpected(err_store_->err_or_closed());
  co_return std::move(*answer);
}

std::pair<AsyncDynPipelineProducer, AsyncDynPipelineConsumer> AsyncDynPipeline::split() && {
  return {AsyncDynPipelineProducer(std::move(input_), std::move(err_store_)),
          AsyncDynPipelineConsumer(std::move(output_))};
}

CodecStatus AsyncDynPipelineProducer::push_frame(NodeBuffer buf) {
  return send_or_closed(input_, *err_store_, PipelineMsg::data(std::move(buf)));
}

CodecStatus AsyncDynPipelineProducer::flush() { return send_or_closed(input_, *err_store_, PipelineMsg::flush()); }

rt::Task<PipelineOutput> AsyncDynPipelineConsumer::get_frame() { return receive_output(output_); }

}  // namespace kestrune

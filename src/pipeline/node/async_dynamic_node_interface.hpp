// The staged pipeline: every node runs on a blocking thread of its own,
// connected by unbounded FIFO channels that carry data, end of input,
// errors and reset requests in band, in order.
//
//   owner --input--> [stage 1] --> ... --> [stage n] --output--> owner
//
// - `push_frame` / `flush` / `try_get_frame` never block; `get_frame` and
//   `reset` are awaited on the runtime's scheduler.
// - The first error any stage records is kept (`err_store`) and reported by
//   push/flush/reset once stage 1 has ended; errors also travel to the
//   consumer as output items, in order with the buffers.
// - Dropping the pipeline (its input) ends the stages from the first down:
//   every node except the first is flushed on the way out. The owner of the
//   runtime must drop the pipeline *before* it destroys the runtime (which
//   waits for the stage threads), and must not hold a lock the nodes need
//   (the Python interpreter lock) while it waits.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "codec/error.hpp"
#include "pipeline/node/dynamic_node_interface.hpp"
#include "runtime/channel.hpp"
#include "runtime/oneshot.hpp"
#include "runtime/task.hpp"

namespace kestrune {

// The message between pipeline stages.
template <class T>
struct AsyncPipelineMsg {
  struct Data {
    T value;
  };
  struct Flush {};
  struct Error {
    CodecError error;
  };
  // Travels from the first stage to the last; the last answers on `ack`.
  struct Reset {
    bool force = false;
    std::optional<rt::OneshotSender<CodecStatus>> ack;
  };

  std::variant<Data, Flush, Error, Reset> value;

  static AsyncPipelineMsg data(T v) { return {Data{std::move(v)}}; }
  static AsyncPipelineMsg flush() { return {Flush{}}; }
  static AsyncPipelineMsg error(CodecError e) { return {Error{std::move(e)}}; }
  static AsyncPipelineMsg reset(bool force, std::optional<rt::OneshotSender<CodecStatus>> ack) {
    return {Reset{force, std::move(ack)}};
  }
};

using PipelineMsg = AsyncPipelineMsg<NodeBuffer>;
using PipelineOutput = CodecResult<NodeBuffer>;  // a buffer, or an error (Eof ends a stream)

// The first error recorded by any stage; never cleared.
class PipelineErrStore {
 public:
  void store(const CodecError& e);
  // The recorded error, or the input-closed InvalidState.
  CodecError err_or_closed();

 private:
  std::mutex mu_;
  std::optional<CodecError> err_;
};

inline constexpr const char* kPipelineInputClosed = "pipeline input channel is closed";

class AsyncPipelineProducer {
 public:
  virtual ~AsyncPipelineProducer() = default;
  virtual CodecStatus push_frame(NodeBuffer buf) = 0;
  virtual CodecStatus flush() = 0;
};

class AsyncPipelineConsumer {
 public:
  virtual ~AsyncPipelineConsumer() = default;
  virtual rt::Task<PipelineOutput> get_frame() = 0;
};

class AsyncPipeline {
 public:
  virtual ~AsyncPipeline() = default;
  virtual CodecStatus push_frame(NodeBuffer buf) = 0;
  virtual CodecStatus flush() = 0;
  // Again when nothing is ready; Eof once the last stage has ended.
  virtual PipelineOutput try_get_frame() = 0;
  // Waits for the next item; Eof (every time) once the last stage has ended.
  virtual rt::Task<PipelineOutput> get_frame() = 0;
};

class AsyncDynPipelineProducer final : public AsyncPipelineProducer {
 public:
  AsyncDynPipelineProducer(rt::Sender<PipelineMsg> input, std::shared_ptr<PipelineErrStore> err)
      : input_(std::move(input)), err_store_(std::move(err)) {}
  CodecStatus push_frame(NodeBuffer buf) override;
  CodecStatus flush() override;

 private:
  rt::Sender<PipelineMsg> input_;
  std::shared_ptr<PipelineErrStore> err_store_;
};

class AsyncDynPipelineConsumer final : public AsyncPipelineConsumer {
 public:
  explicit AsyncDynPipelineConsumer(rt::Receiver<PipelineOutput> output) : output_(std::move(output)) {}
  rt::Task<PipelineOutput> get_frame() override;

 private:
  rt::Receiver<PipelineOutput> output_;
};

class AsyncDynPipeline final : public AsyncPipeline {
 public:
  // Starts one stage per node on the blocking pool of the current runtime
  // (`rt::Runtime::current()`). Fails without starting anything on an empty
  // list, a kind mismatch between neighbours, outside a runtime, or when the
  // pool cannot give every stage a thread of its own.
  static CodecResult<AsyncDynPipeline> create(std::vector<BoxedDynNode> nodes);

  AsyncDynPipeline(AsyncDynPipeline&&) noexcept = default;
  AsyncDynPipeline& operator=(AsyncDynPipeline&&) noexcept = default;

  CodecStatus push_frame(NodeBuffer buf) override;
  CodecStatus flush() override;
  PipelineOutput try_get_frame() override;
  rt::Task<PipelineOutput> get_frame() override;
  // In-band reset from the first stage to the last; completes once the last
  // node is reset. Without `force`, nodes first forward what they still hold.
  rt::Task<CodecStatus> reset(bool force);

  NodeKind input_kind() const { return input_kind_; }
  NodeKind output_kind() const { return output_kind_; }

  std::pair<AsyncDynPipelineProducer, AsyncDynPipelineConsumer> split() &&;

 private:
  AsyncDynPipeline(rt::Sender<PipelineMsg> input, rt::Receiver<PipelineOutput> output,
                   std::shared_ptr<PipelineErrStore> err, NodeKind in, NodeKind out)
      : input_(std::move(input)), output_(std::move(output)), err_store_(std::move(err)), input_kind_(in),
        output_kind_(out) {}

  rt::Sender<PipelineMsg> input_;
  rt::Receiver<PipelineOutput> output_;
  std::shared_ptr<PipelineErrStore> err_store_;
  NodeKind input_kind_;
  NodeKind output_kind_;
};

}  // namespace kestrune

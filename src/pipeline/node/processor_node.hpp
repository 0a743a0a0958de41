// Pipeline nodes over a processor: PCM buffers go to send_frame, frames
// come back from receive_frame. Only the files that create processor nodes
// include this header.
#pragma once

#include <utility>

#include "codec/processor/processor_interface.hpp"
#include "pipeline/node/dynamic_node_interface.hpp"

namespace kestrune {

namespace processor_node_detail {
// The shared protocol, kept out of line so every instantiation stays a few
// forwarding calls.
CodecStatus push(AudioProcessor& p, std::optional<NodeBuffer> buf);
CodecResult<NodeBuffer> pull(AudioProcessor& p);
}  // namespace processor_node_detail

// Owns a processor of a concrete type by value.
template <class P>
class ProcessorNode final : public DynNode {
 public:
  explicit ProcessorNode(P processor) : processor_(std::move(processor)) {}

  const char* name() const override { return processor_.name(); }
  NodeKind input_kind() const override { return NodeKind::Pcm; }
  NodeKind output_kind() const override { return NodeKind::Pcm; }
  CodecStatus push(std::optional<NodeBuffer> buf) override {
    return processor_node_detail::push(processor_, std::move(buf));
  }
  CodecResult<NodeBuffer> pull() override { return processor_node_detail::pull(processor_); }
  CodecStatus reset() override { return processor_.reset(); }

  P& processor() { return processor_; }

 private:
  P processor_;
};

// The same adapter over a type-erased processor (for example one taken
// from a Python Processor object).
class BoxedProcessorNode final : public DynNode {
 public:
  // Precondition: `processor` is not null.
  explicit BoxedProcessorNode(BoxedProcessor processor) : processor_(std::move(processor)) {}

  const char* name() const override;
  NodeKind input_kind() const override { return NodeKind::Pcm; }
  NodeKind output_kind() const override { return NodeKind::Pcm; }
  CodecStatus push(std::optional<NodeBuffer> buf) override;
  CodecResult<NodeBuffer> pull() override;
  CodecStatus reset() override;

 private:
  BoxedProcessor processor_;
};

}  // namespace kestrune

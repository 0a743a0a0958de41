#include "pipeline/node/processor_node.hpp"

namespace kestrune {

namespace processor_node_detail {

CodecStatus push(AudioProcessor& p, std::optional<NodeBuffer> buf) {
  if (!buf) return p.send_frame(nullptr);
  if (!buf->is_pcm()) return std::unexpected(CodecError::invalid_data("processor expects PCM input"));
  // The processor only borrows the frame; it is released when `buf` goes.
  return p.send_frame(&buf->pcm());
}

CodecResult<NodeBuffer> pull(AudioProcessor& p) {
  auto frame = p.receive_frame();
  if (!frame) return std::unexpected(std::move(frame.error()));
  return NodeBuffer(std::move(*frame));
}

}  // namespace processor_node_detail

const char* BoxedProcessorNode::name() const { return processor_->name(); }
CodecStatus BoxedProcessorNode::push(std::optional<NodeBuffer> buf) {
  return processor_node_detail::push(*processor_, std::move(buf));
}
CodecResult<NodeBuffer> BoxedProcessorNode::pull() { return processor_node_detail::pull(*processor_); }
CodecStatus BoxedProcessorNode::reset() { return processor_->reset(); }

}  // namespace kestrune

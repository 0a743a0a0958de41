#include "pipeline/node/codec_node.hpp"

namespace kestrune {

CodecStatus BoxedDecoderNode::push(std::optional<NodeBuffer> buf) {
  if (!buf) return decoder_->send_packet(std::nullopt);
  if (!buf->is_packet()) return std::unexpected(CodecError::invalid_data("decoder expects Packet input"));
  return decoder_->send_packet(std::move(buf->packet()));
}

CodecResult<NodeBuffer> BoxedDecoderNode::pull() {
  auto frame = decoder_->receive_frame();
  if (!frame) return std::unexpected(frame.error());
  return NodeBuffer(std::move(*frame));
}

CodecStatus BoxedEncoderNode::push(std::optional<NodeBuffer> buf) {
  if (!buf) return encoder_->send_frame(nullptr);
  if (!buf->is_pcm()) return std::unexpected(CodecError::invalid_data("encoder expects PCM input"));
  return encoder_->send_frame(&buf->pcm());  // the encoder copies; the frame is dropped here
}

CodecResult<NodeBuffer> BoxedEncoderNode::pull() {
  auto pkt = encoder_->receive_packet();
  if (!pkt) return std::unexpected(pkt.error());
  return NodeBuffer(std::move(*pkt));
}

}  // namespace kestrune

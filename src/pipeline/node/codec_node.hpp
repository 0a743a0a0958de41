// Pipeline nodes that own one codec and pass items straight through to it
// (no re-chunking: the neighbouring stages decide frame sizes).
#pragma once

#include "codec/decoder/decoder_interface.hpp"
#include "codec/encoder/encoder_interface.hpp"
#include "pipeline/node/dynamic_node_interface.hpp"

namespace kestrune {

// Packets in, PCM out.
class BoxedDecoderNode final : public DynNode {
 public:
  explicit BoxedDecoderNode(BoxedDecoder decoder) : decoder_(std::move(decoder)) {}

  const char* name() const override { return decoder_->name(); }
  NodeKind input_kind() const override { return NodeKind::Packet; }
  NodeKind output_kind() const override { return NodeKind::Pcm; }
  CodecStatus push(std::optional<NodeBuffer> buf) override;
  CodecResult<NodeBuffer> pull() override;
  // The contract's default: a pipeline reset does not reset the codec.

 private:
  BoxedDecoder decoder_;
};

// PCM in, packets out.
class BoxedEncoderNode final : public DynNode {
 public:
  explicit BoxedEncoderNode(BoxedEncoder encoder) : encoder_(std::move(encoder)) {}

  const char* name() const override { return encoder_->name(); }
  NodeKind input_kind() const override { return NodeKind::Pcm; }
  NodeKind output_kind() const override { return NodeKind::Packet; }
  CodecStatus push(std::optional<NodeBuffer> buf) override;
  CodecResult<NodeBuffer> pull() override;

 private:
  BoxedEncoder encoder_;
};

}  // namespace kestrune

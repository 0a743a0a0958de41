#include "pipeline/node/node_interface.hpp"

namespace kestrune {

const char* node_kind_name(NodeKind kind) { return kind == NodeKind::Pcm ? "pcm" : "packet"; }

std::optional<NodeKind> node_kind_from_str(std::string_view text) {
  if (text == "pcm") return NodeKind::Pcm;
  if (text == "packet") return NodeKind::Packet;
  return std::nullopt;
}

NodeBuffer NodeBuffer::clone() const {
  if (is_pcm()) return NodeBuffer(pcm().clone());
  return NodeBuffer(CodecPacket(packet()));
}

}  // namespace kestrune

#include "pipeline/node/node_interface.hpp"

#include <string>

namespace kestrune {

const char* node_kind_name(NodeKind kind) { return kind == NodeKind::Pcm ? "pcm" : "packet"; }

std::optional<NodeKind> node_kind_from_str(std::string_view text) {
  // ASCII letters only are folded: "PCM" and "Packet" are accepted, "pcm " is not.
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (lower == "pcm") return NodeKind::Pcm;
  if (lower == "packet") return NodeKind::Packet;
  return std::nullopt;
}

NodeBuffer NodeBuffer::clone() const {
  if (is_pcm()) return NodeBuffer(pcm().clone());
  return NodeBuffer(CodecPacket(packet()));
}

}  // namespace kestrune

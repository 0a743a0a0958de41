// What flows through a pipeline: a PCM frame or an encoded packet.
#pragma once

#include <optional>
#include <string_view>
#include <variant>

#include "codec/packet.hpp"
#include "common/audio/audio.hpp"

namespace kestrune {

enum class NodeKind { Pcm, Packet };

// "pcm" / "packet"
const char* node_kind_name(NodeKind kind);
// "pcm" / "packet", ASCII case-insensitive; anything else is nullopt.
std::optional<NodeKind> node_kind_from_str(std::string_view text);

class NodeBuffer {
 public:
  explicit NodeBuffer(AudioFrame frame) : value_(std::move(frame)) {}
  explicit NodeBuffer(CodecPacket packet) : value_(std::move(packet)) {}
  NodeBuffer(NodeBuffer&&) noexcept = default;
  NodeBuffer& operator=(NodeBuffer&&) noexcept = default;
  NodeBuffer(const NodeBuffer&) = delete;
  NodeBuffer& operator=(const NodeBuffer&) = delete;

  NodeKind kind() const { return is_pcm() ? NodeKind::Pcm : NodeKind::Packet; }
  bool is_pcm() const { return std::holds_alternative<AudioFrame>(value_); }
  bool is_packet() const { return std::holds_alternative<CodecPacket>(value_); }

  // Precondition: the matching variant.
  AudioFrame& pcm() { return std::get<AudioFrame>(value_); }
  const AudioFrame& pcm() const { return std::get<AudioFrame>(value_); }
  CodecPacket& packet() { return std::get<CodecPacket>(value_); }
  const CodecPacket& packet() const { return std::get<CodecPacket>(value_); }

  // Deep copy of every plane or of the payload.
  NodeBuffer clone() const;

 private:
  std::variant<AudioFrame, CodecPacket> value_;
};

}  // namespace kestrune

// Frames to raw PCM packets: interleaved little-endian samples, exactly the
// layout of a WAV data chunk. Holds at most one encoded packet.
#pragma once

#include <optional>

#include "codec/encoder/encoder_interface.hpp"

namespace kestrune {

class WavEncoder final : public AudioEncoder {
 public:
  // With a format the encoder keeps it for its whole life; without one it
  // locks the format of the first non-empty frame (again after each reset).
  explicit WavEncoder(std::optional<AudioFormat> input_format = std::nullopt)
      : format_(input_format), format_fixed_(input_format.has_value()) {}

  const char* name() const override { return "pcm(wav)"; }
  std::optional<AudioFormat> input_format() const override { return format_; }
  std::optional<std::size_t> preferred_frame_samples() const override { return std::nullopt; }
  CodecStatus send_frame(const AudioFrameView* frame) override;
  CodecResult<CodecPacket> receive_packet() override;
  CodecStatus reset() override;

 private:
  std::optional<CodecPacket> pending_;
  std::optional<AudioFormat> format_;
  bool flushed_ = false;
  bool format_fixed_ = false;
};

}  // namespace kestrune

// Raw PCM packets (interleaved little-endian samples, the layout of a WAV
// data chunk) to frames. Holds at most one decoded frame.
#pragma once

#include <optional>

#include "codec/decoder/decoder_interface.hpp"

namespace kestrune {

class WavDecoder final : public AudioDecoder {
 public:
  // `output_format` describes the samples in the packets; it should be
  // interleaved (a planar format only works for mono).
  explicit WavDecoder(const AudioFormat& output_format) : format_(output_format) {}

  const char* name() const override { return "pcm(wav)"; }
  std::optional<AudioFormat> output_format() const override { return format_; }
  CodecStatus send_packet(std::optional<CodecPacket> packet) override;
  CodecResult<AudioFrame> receive_frame() override;
  CodecStatus reset() override;

 private:
  std::optional<AudioFrame> pending_;
  AudioFormat format_;
  bool flushed_ = false;
};

}  // namespace kestrune

// PCM to Opus packets ("libopus", else FFmpeg's own "opus"). Input must be
// 48 kHz; frames must hold preferred_frame_samples() samples (960 by default).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "codec/encoder/ffmpeg_encoder.hpp"

namespace kestrune::ffmpeg_backend {

struct OpusEncoderConfig {
  // Given: the FFmpeg encoder opens at construction and keeps this format
  // across reset. Absent: locked from the first non-empty frame.
  std::optional<AudioFormat> input_format;
  std::optional<std::uint32_t> bitrate;  // absent: FFmpeg's default
};

class OpusEncoder final : public FfmpegEncoder {
 public:
  // Fails when the configured input format cannot be opened.
  static CodecResult<std::unique_ptr<OpusEncoder>> create(OpusEncoderConfig config);

 private:
  explicit OpusEncoder(const OpusEncoderConfig& config);
};

}  // namespace kestrune::ffmpeg_backend

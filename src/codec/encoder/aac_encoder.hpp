// PCM to AAC access units (raw, no ADTS header) with FFmpeg's "aac" encoder.
// Frames must hold 1024 samples, except the last.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "codec/encoder/ffmpeg_encoder.hpp"

namespace kestrune::ffmpeg_backend {

struct AacEncoderConfig {
  // Given: the FFmpeg encoder opens at construction and keeps this format
  // across reset. Absent: locked from the first non-empty frame.
  std::optional<AudioFormat> input_format;
  std::optional<std::uint32_t> bitrate;  // absent: FFmpeg's default
};

class AacEncoder final : public FfmpegEncoder {
 public:
  // Fails when the configured input format cannot be opened.
  static CodecResult<std::unique_ptr<AacEncoder>> create(AacEncoderConfig config);

 private:
  explicit AacEncoder(const AacEncoderConfig& config);
};

}  // namespace kestrune::ffmpeg_backend

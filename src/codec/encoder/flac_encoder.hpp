// PCM to FLAC frames with FFmpeg's "flac" encoder; any frame size.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "codec/encoder/ffmpeg_encoder.hpp"

namespace kestrune::ffmpeg_backend {

struct FlacEncoderConfig {
  // Given: the FFmpeg encoder opens at construction and keeps this format
  // across reset. Absent: locked from the first non-empty frame.
  std::optional<AudioFormat> input_format;
  std::optional<std::int32_t> compression_level;  // absent: FFmpeg's default
};

class FlacEncoder final : public FfmpegEncoder {
 public:
  // Fails when the configured input format cannot be opened.
  static CodecResult<std::unique_ptr<FlacEncoder>> create(FlacEncoderConfig config);

 private:
  explicit FlacEncoder(const FlacEncoderConfig& config);
};

}  // namespace kestrune::ffmpeg_backend

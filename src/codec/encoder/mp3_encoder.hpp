// PCM to MP3 frames with LAME through FFmpeg ("libmp3lame", else an
// encoder named "mp3"). Frames must hold 1152 samples, except the last.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "codec/encoder/ffmpeg_encoder.hpp"

namespace kestrune::ffmpeg_backend {

struct Mp3EncoderConfig {
  // Given: the FFmpeg encoder opens at construction and keeps this format
  // across reset. Absent: locked from the first non-empty frame.
  std::optional<AudioFormat> input_format;
  std::optional<std::uint32_t> bitrate;  // absent: FFmpeg's default
};

class Mp3Encoder final : public FfmpegEncoder {
 public:
  // Fails when the configured input format cannot be opened.
  static CodecResult<std::unique_ptr<Mp3Encoder>> create(Mp3EncoderConfig config);

 private:
  explicit Mp3Encoder(const Mp3EncoderConfig& config);
};

}  // namespace kestrune::ffmpeg_backend

// AAC access units to PCM. Without an AudioSpecificConfig every packet must
// carry its ADTS header (FFmpeg's decoder configures itself from it).
#pragma once

#include <memory>
#include <optional>

#include "codec/decoder/ffmpeg_decoder.hpp"

namespace kestrune::ffmpeg_backend {

class AacDecoder final : public FfmpegDecoder {
 public:
  static CodecResult<std::unique_ptr<AacDecoder>> create(std::optional<Bytes> audio_specific_config = std::nullopt);

 private:
  explicit AacDecoder(CodecContextPtr ctx);
};

}  // namespace kestrune::ffmpeg_backend

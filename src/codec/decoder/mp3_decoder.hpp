// MP3 frames (one complete frame per packet) to PCM.
#pragma once

#include <memory>
#include <optional>

#include "codec/decoder/ffmpeg_decoder.hpp"

namespace kestrune::ffmpeg_backend {

class Mp3Decoder final : public FfmpegDecoder {
 public:
  static CodecResult<std::unique_ptr<Mp3Decoder>> create();

 private:
  explicit Mp3Decoder(CodecContextPtr ctx);
};

}  // namespace kestrune::ffmpeg_backend

// FLAC frames to PCM. The optional configuration bytes are the stream's
// STREAMINFO block (the extradata a demuxer reports); without them FFmpeg
// relies on the frame headers.
#pragma once

#include <memory>
#include <optional>

#include "codec/decoder/ffmpeg_decoder.hpp"

namespace kestrune::ffmpeg_backend {

class FlacDecoder final : public FfmpegDecoder {
 public:
  static CodecResult<std::unique_ptr<FlacDecoder>> create(std::optional<Bytes> streaminfo = std::nullopt);

 private:
  explicit FlacDecoder(CodecContextPtr ctx);
};

}  // namespace kestrune::ffmpeg_backend

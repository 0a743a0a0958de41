// Opus packets to PCM. The optional configuration bytes are the stream's
// identification header (OpusHead) as a demuxer delivers it; without them
// FFmpeg's defaults apply (no pre-skip, no output gain, channel mapping 0).
#pragma once

#include <memory>
#include <optional>

#include "codec/decoder/ffmpeg_decoder.hpp"

namespace kestrune::ffmpeg_backend {

class OpusDecoder final : public FfmpegDecoder {
 public:
  static CodecResult<std::unique_ptr<OpusDecoder>> create(std::optional<Bytes> opus_head = std::nullopt);

 private:
  explicit OpusDecoder(CodecContextPtr ctx);
};

}  // namespace kestrune::ffmpeg_backend

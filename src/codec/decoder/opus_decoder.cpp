#include "codec/decoder/opus_decoder.hpp"

namespace kestrune::ffmpeg_backend {

namespace {
const FfmpegDecoderSpec kSpec{"opus(ffmpeg)", "opus", "FFmpeg Opus decoder not found"};
}  // namespace

OpusDecoder::OpusDecoder(CodecContextPtr ctx) : FfmpegDecoder(kSpec, std::move(ctx)) {}

CodecResult<std::unique_ptr<OpusDecoder>> OpusDecoder::create(std::optional<Bytes> opus_head) {
  auto ctx = open(kSpec, opus_head ? std::optional<ByteSpan>(*opus_head) : std::nullopt);
  if (!ctx) return std::unexpected(ctx.error());
  return std::unique_ptr<OpusDecoder>(new OpusDecoder(std::move(*ctx)));
}

}  // namespace kestrune::ffmpeg_backend

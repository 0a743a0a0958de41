#include "codec/decoder/flac_decoder.hpp"

namespace kestrune::ffmpeg_backend {

namespace {
const FfmpegDecoderSpec kSpec{"flac(ffmpeg)", "flac", "FFmpeg FLAC decoder not found"};
}  // namespace

FlacDecoder::FlacDecoder(CodecContextPtr ctx) : FfmpegDecoder(kSpec, std::move(ctx)) {}

CodecResult<std::unique_ptr<FlacDecoder>> FlacDecoder::create(std::optional<Bytes> streaminfo) {
  auto ctx = open(kSpec, streaminfo ? std::optional<ByteSpan>(*streaminfo) : std::nullopt);
  if (!ctx) return std::unexpected(ctx.error());
  return std::unique_ptr<FlacDecoder>(new FlacDecoder(std::move(*ctx)));
}

}  // namespace kestrune::ffmpeg_backend

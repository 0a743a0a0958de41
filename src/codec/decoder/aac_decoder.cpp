#include "codec/decoder/aac_decoder.hpp"

namespace kestrune::ffmpeg_backend {

namespace {
const FfmpegDecoderSpec kSpec{"aac(ffmpeg)", "aac", "FFmpeg AAC decoder not found"};
}  // namespace

AacDecoder::AacDecoder(CodecContextPtr ctx) : FfmpegDecoder(kSpec, std::move(ctx)) {}

CodecResult<std::unique_ptr<AacDecoder>> AacDecoder::create(std::optional<Bytes> audio_specific_config) {
  auto ctx = open(kSpec, audio_specific_config ? std::optional<ByteSpan>(*audio_specific_config) : std::nullopt);
  if (!ctx) return std::unexpected(ctx.error());
  return std::unique_ptr<AacDecoder>(new AacDecoder(std::move(*ctx)));
}

}  // namespace kestrune::ffmpeg_backend

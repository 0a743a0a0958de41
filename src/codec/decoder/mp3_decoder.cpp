#include "codec/decoder/mp3_decoder.hpp"

namespace kestrune::ffmpeg_backend {

namespace {
const FfmpegDecoderSpec kSpec{"mp3(ffmpeg)", "mp3", "FFmpeg MP3 decoder not found"};
}  // namespace

Mp3Decoder::Mp3Decoder(CodecContextPtr ctx) : FfmpegDecoder(kSpec, std::move(ctx)) {}

CodecResult<std::unique_ptr<Mp3Decoder>> Mp3Decoder::create() {
  auto ctx = open(kSpec, std::nullopt);
  if (!ctx) return std::unexpected(ctx.error());
  return std::unique_ptr<Mp3Decoder>(new Mp3Decoder(std::move(*ctx)));
}

}  // namespace kestrune::ffmpeg_backend

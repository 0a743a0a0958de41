#include "codec/encoder/opus_encoder.hpp"

namespace kestrune::ffmpeg_backend {

namespace {
const FfmpegEncoderSpec kSpec{
    "opus(ffmpeg)", "OpusEncoder", {"libopus", "opus"}, "FFmpeg Opus encoder not found (try libopus)",
    "OpusEncoder missing input_format", "ffmpeg frame plane is null", "ffmpeg frame data[0] is null",
    FfmpegEncoderSpec::Tuning::BitRate, true, 960,
};
}  // namespace

OpusEncoder::OpusEncoder(const OpusEncoderConfig& config)
    : FfmpegEncoder(kSpec,
                    config.bitrate ? std::optional<std::int64_t>(*config.bitrate) : std::nullopt,
                    config.input_format) {}

CodecResult<std::unique_ptr<OpusEncoder>> OpusEncoder::create(OpusEncoderConfig config) {
  std::unique_ptr<OpusEncoder> enc(new OpusEncoder(config));
  if (auto st = enc->open_if_fixed(); !st) return std::unexpected(st.error());
  return enc;
}

}  // namespace kestrune::ffmpeg_backend

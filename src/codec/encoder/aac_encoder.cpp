#include "codec/encoder/aac_encoder.hpp"

namespace kestrune::ffmpeg_backend {

namespace {
const FfmpegEncoderSpec kSpec{
    "aac(ffmpeg)", "AacEncoder", {"aac", nullptr}, "FFmpeg AAC encoder not found",
    "AacEncoder missing input_format", "ffmpeg frame plane is null", "ffmpeg frame data[0] is null",
    FfmpegEncoderSpec::Tuning::BitRate, false, 1024,
};
}  // namespace

AacEncoder::AacEncoder(const AacEncoderConfig& config)
    : FfmpegEncoder(kSpec,
                    config.bitrate ? std::optional<std::int64_t>(*config.bitrate) : std::nullopt,
                    config.input_format) {}

CodecResult<std::unique_ptr<AacEncoder>> AacEncoder::create(AacEncoderConfig config) {
  std::unique_ptr<AacEncoder> enc(new AacEncoder(config));
  if (auto st = enc->open_if_fixed(); !st) return std::unexpected(st.error());
  return enc;
}

}  // namespace kestrune::ffmpeg_backend

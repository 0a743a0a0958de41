#include "codec/encoder/flac_encoder.hpp"

namespace kestrune::ffmpeg_backend {

namespace {
const FfmpegEncoderSpec kSpec{
    "flac(ffmpeg)", "FlacEncoder", {"flac", nullptr}, "FFmpeg FLAC encoder not found",
    "FlacEncoder missing input_format", "ffmpeg plane is null", "ffmpeg data[0] is null",
    FfmpegEncoderSpec::Tuning::CompressionLevel, false, std::nullopt,
};
}  // namespace

FlacEncoder::FlacEncoder(const FlacEncoderConfig& config)
    : FfmpegEncoder(kSpec,
                    config.compression_level ? std::optional<std::int64_t>(*config.compression_level) : std::nullopt,
                    config.input_format) {}

CodecResult<std::unique_ptr<FlacEncoder>> FlacEncoder::create(FlacEncoderConfig config) {
  std::unique_ptr<FlacEncoder> enc(new FlacEncoder(config));
  if (auto st = enc->open_if_fixed(); !st) return std::unexpected(st.error());
  return enc;
}

}  // namespace kestrune::ffmpeg_backend

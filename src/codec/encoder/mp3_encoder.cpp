#include "codec/encoder/mp3_encoder.hpp"

namespace kestrune::ffmpeg_backend {

namespace {
const FfmpegEncoderSpec kSpec{
    "mp3(ffmpeg)", "Mp3Encoder", {"libmp3lame", "mp3"}, "FFmpeg MP3 encoder not found",
    "Mp3Encoder missing input_format", "ffmpeg plane is null", "ffmpeg data[0] is null",
    FfmpegEncoderSpec::Tuning::BitRate, false, 1152,
};
}  // namespace

Mp3Encoder::Mp3Encoder(const Mp3EncoderConfig& config)
    : FfmpegEncoder(kSpec,
                    config.bitrate ? std::optional<std::int64_t>(*config.bitrate) : std::nullopt,
                    config.input_format) {}

CodecResult<std::unique_ptr<Mp3Encoder>> Mp3Encoder::create(Mp3EncoderConfig config) {
  std::unique_ptr<Mp3Encoder> enc(new Mp3Encoder(config));
  if (auto st = enc->open_if_fixed(); !st) return std::unexpected(st.error());
  return enc;
}

}  // namespace kestrune::ffmpeg_backend

// Shared body of the FFmpeg-backed decoders (AAC, MP3, FLAC, Opus). The
// members only choose the FFmpeg decoder, their label and their messages.
#pragma once

#include <optional>

#include "codec/decoder/decoder_interface.hpp"
#include "common/ffmpeg_util.hpp"

namespace kestrune::ffmpeg_backend {

struct FfmpegDecoderSpec {
  const char* label;         // name(): "aac(ffmpeg)", ...
  const char* ffmpeg_name;   // avcodec_find_decoder_by_name
  const char* not_found;     // Unsupported text when FFmpeg lacks the decoder
};

class FfmpegDecoder : public AudioDecoder {
 public:
  const char* name() const override { return spec_.label; }
  std::optional<AudioFormat> output_format() const override { return output_format_; }
  CodecStatus send_packet(std::optional<CodecPacket> packet) override;
  CodecResult<AudioFrame> receive_frame() override;
  CodecStatus reset() override;

 protected:
  // Opens the decoder; `extradata`, when non-empty, becomes the context's
  // configuration bytes (AudioSpecificConfig, OpusHead, STREAMINFO).
  static CodecResult<CodecContextPtr> open(const FfmpegDecoderSpec& codec_info, std::optional<ByteSpan> extradata);
  FfmpegDecoder(const FfmpegDecoderSpec& codec_info, CodecContextPtr ctx);

 private:
  const FfmpegDecoderSpec& spec_;
  CodecContextPtr ctx_;
  std::optional<AudioFormat> output_format_;
  TimeBase packet_time_base_;
  bool flushed_ = false;
};

}  // namespace kestrune::ffmpeg_backend

// Shared body of the FFmpeg-backed encoders (AAC, MP3, FLAC, Opus). The
// FFmpeg encoder opens from the first non-empty frame's format, or at once
// when the format is given up front; every later frame must match it.
#pragma once

#include <cstdint>
#include <optional>

#include "codec/encoder/encoder_interface.hpp"
#include "common/ffmpeg_util.hpp"

namespace kestrune::ffmpeg_backend {

struct FfmpegEncoderSpec {
  enum class Tuning { BitRate, CompressionLevel };

  const char* label;            // name(): "aac(ffmpeg)", ...
  const char* component;        // leads the mismatch report: "AacEncoder"
  const char* ffmpeg_names[2];  // tried in order; the second may be null
  const char* not_found;        // Unsupported text when none is found
  const char* missing_format;   // InvalidState text
  const char* null_plane;       // InvalidData text for a null FFmpeg plane
  const char* null_data;        // InvalidData text for a null data[0]
  Tuning tuning;
  bool requires_48k;            // Opus: FFmpeg runs it at 48 kHz only
  std::optional<std::size_t> frame_samples;  // preferred frame size (Opus: before opening)
};

class FfmpegEncoder : public AudioEncoder {
 public:
  const char* name() const override { return spec_.label; }
  std::optional<AudioFormat> input_format() const override { return format_; }
  std::optional<std::size_t> preferred_frame_samples() const override;
  CodecStatus send_frame(const AudioFrameView* frame) override;
  CodecResult<CodecPacket> receive_packet() override;
  CodecStatus reset() override;

  // Locks `format` (or checks it against the locked one) and opens the
  // FFmpeg encoder if it is not open yet. The file writers call this before
  // their first frame to read the configuration bytes.
  CodecStatus ensure_initialized(const AudioFormat& format);
  bool is_initialized() const { return initialized_; }
  // The opened encoder's configuration bytes (AAC: the AudioSpecificConfig;
  // FLAC: STREAMINFO; Opus: OpusHead); empty before opening. Valid until the
  // next reset.
  ByteSpan extradata() const;

 protected:
  // `tuning` is the bitrate or the compression level, per codec.
  FfmpegEncoder(const FfmpegEncoderSpec& codec_info, std::optional<std::int64_t> tuning,
                std::optional<AudioFormat> input_format);
  // Construction step shared by the members' create(): opens at once when
  // the format was given.
  CodecStatus open_if_fixed();

 private:
  CodecStatus open_context();

  const FfmpegEncoderSpec& spec_;
  std::optional<std::int64_t> tuning_;
  std::optional<AudioFormat> format_;
  CodecContextPtr ctx_;
  std::optional<std::size_t> frame_size_;
  bool flushed_ = false;
  bool initialized_ = false;
  bool format_fixed_ = false;
  bool used_ = false;  // FFmpeg has seen a frame or the end of input since opening
};

}  // namespace kestrune::ffmpeg_backend

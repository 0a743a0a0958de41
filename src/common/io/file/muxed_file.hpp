// The libavformat side of the FLAC and Ogg Opus files: a demuxer that feeds
// the packets of a file's first audio stream to one of our decoders, and an
// encoder+muxer pair that turns PCM frames into a finished file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "codec/decoder/decoder_interface.hpp"
#include "common/ffmpeg_util.hpp"
#include "common/io/io.hpp"

extern "C" {
struct AVStream;
}

namespace kestrune::ffmpeg_backend {

// Paths reach FFmpeg as C strings, so an embedded NUL cannot be passed on.
IoStatus check_path(const std::string& path);

class DemuxedInput {
 public:
  // Opens the file (container detected by FFmpeg) and picks its first audio
  // stream.
  static IoResult<DemuxedInput> open(const std::string& path);

  // The stream's configuration bytes, empty when it has none.
  Bytes extradata() const;
  // The decoder's next frame, reading and sending packets as needed; the
  // decoder is told about the end of input once the file runs out.
  IoResult<std::optional<AudioFrame>> next_frame(AudioDecoder& decoder);

 private:
  DemuxedInput() = default;

  InputFormatPtr input_;
  int stream_index_ = -1;
  TimeBase time_base_{1, 1};
  bool flushed_ = false;
};

struct EncodingMuxerSettings {
  const char* encoder_name;      // "flac", "libopus"
  const char* not_found;         // Unsupported text when FFmpeg lacks it
  AudioFormat format;            // of the frames given to encode_and_mux
  std::uint32_t sample_rate;     // of the encoder context
  std::optional<std::int32_t> compression_level;
  std::optional<std::int64_t> bit_rate;
};

class EncodingMuxer {
 public:
  // Creates the output context for `path` (container chosen by FFmpeg from
  // the file name), opens the encoder, adds the stream, creates the file
  // and writes the container header. On failure everything made so far is
  // released.
  static IoResult<EncodingMuxer> open(const std::string& path, const EncodingMuxerSettings& s);

  EncodingMuxer(EncodingMuxer&&) noexcept = default;
  EncodingMuxer& operator=(EncodingMuxer&&) noexcept = default;

  // The encoder's own frame size, 0 when it reports none.
  int encoder_frame_size() const;
  int sample_rate() const;
  // Encodes exactly this frame (format already checked by the caller) with
  // the next pts and writes the packets it yields.
  IoStatus encode_and_mux(const AudioFrameView& frame);
  // Flushes the encoder, writes the trailer and closes the file.
  IoStatus finish();

 private:
  EncodingMuxer() = default;
  IoStatus write_ready_packets(bool until_eof);

  CodecContextPtr codec_;
  OutputFormatPtr output_;  // owns the AVIO handle of the file
  AVStream* stream_ = nullptr;
  std::int64_t next_pts_ = 0;
};

}  // namespace kestrune::ffmpeg_backend

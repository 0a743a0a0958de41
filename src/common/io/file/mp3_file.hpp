// Raw MPEG audio Layer III streams: read with FFmpeg's MP3 parser and
// decoder, written with the MP3 encoder re-chunked to 1152-sample frames.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "codec/encoder/mp3_encoder.hpp"
#include "common/audio/fifo.hpp"
#include "common/ffmpeg_util.hpp"
#include "common/io/file/file_stream.hpp"
#include "common/io/io.hpp"

namespace kestrune {

namespace ffmpeg_backend {
class Mp3Decoder;
}

// Holds the whole file in memory and cuts it into frames with the parser.
// A leading ID3v2 tag is skipped; anything the parser hands back that does
// not start with an MPEG audio sync (ID3v1 tags, junk) is dropped.
class Mp3Reader final : public AudioReader {
 public:
  static IoResult<Mp3Reader> open(const std::string& path);

  Mp3Reader(Mp3Reader&&) noexcept;
  Mp3Reader& operator=(Mp3Reader&&) noexcept;
  ~Mp3Reader() override;

  IoResult<std::optional<AudioFrame>> next_frame() override;

 private:
  Mp3Reader();

  FileImage file_;
  std::size_t pos_ = 0;
  std::unique_ptr<ffmpeg_backend::Mp3Decoder> decoder_;
  ffmpeg_backend::CodecContextPtr parser_codec_;
  ffmpeg_backend::ParserPtr parser_;
  TimeBase packet_time_base_{1, 48000};
  bool flushed_ = false;
};

// Accepts planar I16/I32/F32 PCM; the format is fixed by the first
// non-empty frame (which must match the configured one).
class Mp3Writer final : public AudioWriter {
 public:
  static IoResult<Mp3Writer> create(const std::string& path, const Mp3WriterConfig& config);

  IoStatus write_frame(const AudioFrameView& frame) override;
  IoStatus finalize() override;

  static constexpr std::size_t kFrameSamples = 1152;
  // Samples per channel waiting in the re-chunking FIFO for a full frame.
  std::size_t buffered_samples() const { return inner_ ? inner_->fifo.available_samples() : 0; }

 private:
  struct Inner {
    std::unique_ptr<ffmpeg_backend::Mp3Encoder> encoder;
    AudioFifo fifo;
    std::size_t frame_size = kFrameSamples;
  };
  Mp3Writer(OutputFile out, const Mp3WriterConfig& config) : output_(std::move(out)), config_(config) {}
  IoStatus initialize(const AudioFrameView& frame);
  IoStatus send(const AudioFrameView& frame);

  OutputFile output_;
  Mp3WriterConfig config_;
  std::optional<Inner> inner_;
};

// Moves every packet the encoder has ready into the output; `until_eof`
// drains after the end of input.
IoStatus drain_mp3_packets(AudioEncoder& encoder, OutputFile& output, bool until_eof = false);

}  // namespace kestrune

// Opus in Ogg through FFmpeg's Ogg demuxer/muxer and our Opus decoder;
// written with FFmpeg's "libopus" encoder at 48 kHz from packed samples.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "common/audio/fifo.hpp"
#include "common/io/file/muxed_file.hpp"
#include "common/io/io.hpp"

namespace kestrune {

class OpusOggReader final : public AudioReader {
 public:
  static IoResult<OpusOggReader> open(const std::string& path);
  IoResult<std::optional<AudioFrame>> next_frame() override { return input_.next_frame(*decoder_); }

 private:
  OpusOggReader(ffmpeg_backend::DemuxedInput in, BoxedDecoder dec)
      : input_(std::move(in)), decoder_(std::move(dec)) {}
  ffmpeg_backend::DemuxedInput input_;
  BoxedDecoder decoder_;
};

// Nothing is created on disk before the first non-empty frame. PCM is
// re-chunked to the encoder's frame size; the last partial frame is padded
// with zero samples to a full one (Opus frames have fixed durations).
class OpusOggWriter final : public AudioWriter {
 public:
  static IoResult<OpusOggWriter> create(const std::string& path, const OpusOggWriterConfig& config);

  IoStatus write_frame(const AudioFrameView& frame) override;
  IoStatus finalize() override;

  std::size_t frame_size() const { return frame_size_; }

  static constexpr std::size_t kDefaultFrameSamples = 960;
  static constexpr std::int64_t kDefaultBitRate = 96000;

 private:
  OpusOggWriter(std::string path, const OpusOggWriterConfig& config) : path_(std::move(path)), config_(config) {}
  IoStatus initialize(const AudioFrameView& frame);
  IoStatus encode_and_mux(const AudioFrameView& frame);

  std::string path_;
  OpusOggWriterConfig config_;
  bool finalized_ = false;
  std::optional<ffmpeg_backend::EncodingMuxer> muxer_;
  std::optional<AudioFifo> fifo_;
  std::size_t frame_size_ = 0;
};

}  // namespace kestrune

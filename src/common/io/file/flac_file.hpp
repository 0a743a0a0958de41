// Native FLAC files through FFmpeg's FLAC demuxer/muxer and our FLAC
// decoder; written with FFmpeg's "flac" encoder.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "common/audio/fifo.hpp"
#include "common/io/file/muxed_file.hpp"
#include "common/io/io.hpp"

namespace kestrune {

class FlacReader final : public AudioReader {
 public:
  static IoResult<FlacReader> open(const std::string& path);
  IoResult<std::optional<AudioFrame>> next_frame() override { return input_.next_frame(*decoder_); }

 private:
  FlacReader(ffmpeg_backend::DemuxedInput in, BoxedDecoder dec) : input_(std::move(in)), decoder_(std::move(dec)) {}
  ffmpeg_backend::DemuxedInput input_;
  BoxedDecoder decoder_;
};

// Nothing is created on disk before the first non-empty frame. PCM is
// re-chunked to the encoder's frame size; the last frame goes out short.
class FlacWriter final : public AudioWriter {
 public:
  static IoResult<FlacWriter> create(const std::string& path, const FlacWriterConfig& config);

  IoStatus write_frame(const AudioFrameView& frame) override;
  IoStatus finalize() override;

  // Encoder frame size once initialised (0 before).
  std::size_t frame_size() const { return frame_size_; }

  static constexpr std::size_t kDefaultFrameSamples = 4096;

 private:
  FlacWriter(std::string path, const FlacWriterConfig& config) : path_(std::move(path)), config_(config) {}
  IoStatus initialize(const AudioFrameView& frame);
  IoStatus encode_and_mux(const AudioFrameView& frame);

  std::string path_;
  FlacWriterConfig config_;
  bool finalized_ = false;
  std::optional<ffmpeg_backend::EncodingMuxer> muxer_;
  std::optional<AudioFifo> fifo_;
  std::size_t frame_size_ = 0;
};

}  // namespace kestrune

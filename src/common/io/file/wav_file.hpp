// RIFF/WAVE files, read and written by our own code: 16-bit integer or
// 32-bit float samples.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/io/file/file_stream.hpp"
#include "common/io/io.hpp"

namespace kestrune {

// Returns float32 planar frames of at most chunk_samples per channel.
class WavReader final : public AudioReader {
 public:
  static IoResult<WavReader> open_with_config(const std::string& path, std::size_t chunk_samples);

  IoResult<std::optional<AudioFrame>> next_frame() override;

  std::uint32_t sample_rate() const { return sample_rate_; }
  std::uint16_t channels() const { return channels_; }

 private:
  explicit WavReader(InputFile in) : input_(std::move(in)) {}

  InputFile input_;
  TimeBase time_base_{1, 1};
  std::int64_t next_pts_ = 0;
  std::size_t chunk_samples_ = 1;
  std::uint32_t sample_rate_ = 0;
  std::uint16_t format_code_ = 0;
  std::uint16_t channels_ = 0;
  std::uint16_t bits_per_sample_ = 0;
  std::uint32_t data_size_ = 0;
  std::uint32_t data_read_ = 0;
  std::vector<std::uint8_t> scratch_;
};

// Writes the 44-byte header at the first non-empty frame and patches its
// size fields in finalize(). Frames written after finalize() are appended
// and a later finalize() patches the sizes again.
class WavWriter final : public AudioWriter {
 public:
  static IoResult<WavWriter> create(const std::string& path, const WavWriterConfig& config);

  IoStatus write_frame(const AudioFrameView& frame) override;
  IoStatus finalize() override;

  IoStatus write_samples_i16_interleaved(const std::vector<std::int16_t>& samples);
  IoStatus write_samples_f32_interleaved(const std::vector<float>& samples);

 private:
  WavWriter(OutputFile out, const WavWriterConfig& config);
  IoStatus write_header();
  void count_bytes(std::size_t n);

  OutputFile output_;
  std::optional<std::uint32_t> sample_rate_;
  std::optional<std::uint16_t> channels_;
  WavWriterConfig config_;
  std::uint32_t data_bytes_ = 0;
  bool header_written_ = false;
};

}  // namespace kestrune

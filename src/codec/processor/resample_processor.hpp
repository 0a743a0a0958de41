// Converts PCM to one fixed output format. libswresample is tried first
// (rate, sample type, layout and channel layout); when it cannot take the
// format pair, the library's linear interpolator converts the rate alone.
// An optional output chunker re-frames the output to a fixed length.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "codec/processor/processor_interface.hpp"
#include "common/audio/fifo.hpp"
#include "function/resample.hpp"

namespace kestrune {

namespace ffmpeg_backend {
class FfmpegResampler;
}

class ResampleProcessor final : public AudioProcessor {
 public:
  // Input format known: the backend is chosen now.
  static CodecResult<ResampleProcessor> create(const AudioFormat& in, const AudioFormat& out);
  // Input format taken from the first non-empty frame of each stream.
  static ResampleProcessor create_deferred(const AudioFormat& out);

  ResampleProcessor(ResampleProcessor&&) noexcept;
  ResampleProcessor& operator=(ResampleProcessor&&) noexcept;
  ~ResampleProcessor() override;

  // nullopt removes the chunker; Some(0) is InvalidData.
  CodecStatus set_output_chunker(std::optional<std::size_t> out_chunk_samples, bool pad_final);

  const char* name() const override { return use_ffmpeg_ ? "resample(ffmpeg)" : "resample(linear)"; }
  std::optional<AudioFormat> input_format() const override { return in_format_; }
  std::optional<AudioFormat> output_format() const override { return out_format_; }
  CodecStatus send_frame(const AudioFrameView* frame) override;
  CodecResult<AudioFrame> receive_frame() override;
  CodecStatus reset() override;

 private:
  explicit ResampleProcessor(const AudioFormat& out);

  // Picks FFmpeg if it accepts the pair, else validates and sets up linear.
  CodecStatus choose_backend(const AudioFormat& in);
  CodecStatus enqueue(AudioFrame frame);
  CodecStatus flush_chunker();
  CodecResult<AudioFifo> new_chunker() const;

  std::optional<std::size_t> out_chunk_samples_;
  std::optional<AudioFifo> chunker_;
  std::deque<AudioFrame> out_queue_;
  std::optional<std::vector<LinearChannelState>> linear_;
  AudioFormat out_format_;
  std::optional<AudioFormat> in_format_;
  std::unique_ptr<ffmpeg_backend::FfmpegResampler> ffmpeg_;
  bool use_ffmpeg_ = false;
  bool pad_final_ = true;
  bool flushed_ = false;
  bool fixed_format_ = false;
};

}  // namespace kestrune

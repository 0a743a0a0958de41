// libswresample as a resampling backend: sample rate, sample type, layout
// and channel layout conversion in one context.
#pragma once

#include <optional>

#include "common/ffmpeg_util.hpp"
#include "function/resample.hpp"

namespace kestrune::ffmpeg_backend {

// av_strerror text of `code` as a Backend error.
ResampleError map_ff_err(int code);

class FfmpegResampler {
 public:
  // Refuses what swresample cannot take: zero rates, zero channels, 64-bit
  // sample types, or a channel layout mask whose channel count disagrees
  // with the format's (the planes would not match what swresample reads).
  static ResampleResult<FfmpegResampler> create(const AudioFormat& in, const AudioFormat& out);

  // Converts one frame; the result has time base 1/out rate and `out_pts`,
  // and may hold 0 samples while the context fills its filter history.
  ResampleResult<AudioFrame> convert(const AudioFrameView& frame, std::optional<std::int64_t> out_pts);
  // Takes out the samples the context still holds (end of input); 0
  // samples when there are none.
  ResampleResult<AudioFrame> drain();
  // Forgets all history: swr_close, then swr_init.
  ResampleResult<void> reinit();

  const AudioFormat& in_format() const { return in_format_; }
  const AudioFormat& out_format() const { return out_format_; }

 private:
  FfmpegResampler(SwrPtr swr, const AudioFormat& in, const AudioFormat& out)
      : swr_(std::move(swr)), in_format_(in), out_format_(out) {}

  ResampleResult<AudioFrame> run(const std::uint8_t** inputs, int n, std::optional<std::int64_t> out_pts);

  SwrPtr swr_;
  AudioFormat in_format_;
  AudioFormat out_format_;
};

}  // namespace kestrune::ffmpeg_backend

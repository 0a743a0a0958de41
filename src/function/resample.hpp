// Sample-rate conversion building blocks: the error type of the FFmpeg
// backend and the library's own linear-interpolation backend.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/error.hpp"
#include "common/audio/audio.hpp"

namespace kestrune {

struct ResampleError {
  enum class Kind { InvalidSampleRate, UnsupportedFormat, Backend };
  Kind kind;
  std::string text;  // UnsupportedFormat / Backend

  static ResampleError invalid_sample_rate() { return {Kind::InvalidSampleRate, {}}; }
  static ResampleError unsupported(std::string t) { return {Kind::UnsupportedFormat, std::move(t)}; }
  static ResampleError backend(std::string t) { return {Kind::Backend, std::move(t)}; }

  // "invalid sample_rate", "unsupported format: ...", "backend error: ..."
  std::string to_string() const;
};

template <class T>
using ResampleResult = std::expected<T, ResampleError>;

// One channel of the linear backend. Positions are on the channel's input
// timeline: sample 0 is the first sample since creation or reset.
struct LinearChannelState {
  bool has_last = false;  // `last` holds the previous frame's final sample
  float last = 0.0f;
  double step = 1.0;      // input rate / output rate
  double pos = 0.0;       // read position
  std::uint64_t base = 0; // input samples consumed before the current frame
  std::uint32_t in_rate = 0;
  std::uint32_t out_rate = 0;
};

// Why the linear backend cannot convert `in` to `out` (Unsupported), if so:
// it changes the sample rate only, for f32/i16/i32.
CodecStatus validate_linear_formats(const AudioFormat& in, const AudioFormat& out);
// Fresh per-channel states; InvalidData "invalid sample_rate" for a zero
// rate on either side.
CodecResult<std::vector<LinearChannelState>> make_linear_states(const AudioFormat& in, const AudioFormat& out);
void reset_linear_states(std::vector<LinearChannelState>& states);

// Interpolates one input frame (in `in` format) into `out` format. Returns
// nullopt when the frame produced no output sample yet.
CodecResult<std::optional<AudioFrame>> linear_process(std::vector<LinearChannelState>& states,
                                                      const AudioFormat& in, const AudioFormat& out,
                                                      const AudioFrameView& frame,
                                                      std::optional<std::int64_t> out_pts);
// End of input: holds each channel's last sample up to the end of the input
// timeline. Returns nullopt when there is no tail.
CodecResult<std::optional<AudioFrame>> linear_flush(std::vector<LinearChannelState>& states,
                                                    const AudioFormat& out);

// pts * out_rate * tb_num / tb_den in 128-bit arithmetic, truncated toward
// zero; nullopt when there is no pts, the time base or rate is degenerate,
// or the result does not fit 64 bits.
std::optional<std::int64_t> rescale_pts_to_rate(std::optional<std::int64_t> pts, TimeBase tb,
                                                std::uint32_t out_rate);

}  // namespace kestrune

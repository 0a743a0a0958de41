// Feed-forward per-channel dynamics processor: soft-knee compressor, a
// downward expander below a second threshold, peak-envelope ballistics with
// separate attack and release, and a make-up gain. Works in place on raw PCM
// bytes of every sample type.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "codec/error.hpp"
#include "common/audio/audio.hpp"

namespace kestrune {

struct DynamicsParams {
  float sample_rate = 48000.0f;          // Hz
  float threshold_db = -18.0f;           // dB
  float knee_width_db = 6.0f;            // dB, 0 = hard knee
  float ratio = 4.0f;                    // >= 1
  float expansion_ratio = 2.0f;          // >= 1, 1 disables the expander
  float expansion_threshold_db = -60.0f; // dB
  float attack_time = 0.01f;             // s, 0 = instant
  float release_time = 0.10f;            // s, 0 = instant
  float master_gain_db = 0.0f;           // dB
};

// The static curve the compressor applies to a channel's level (dB in, dB
// out, before the master gain): expander, then hard or soft knee.
float dynamics_gain_db(const DynamicsParams& params, float level_db);

class DynamicsCompressor {
 public:
  // InvalidData "channels=0" or the message of the first violated parameter
  // constraint.
  static CodecResult<DynamicsCompressor> create(const DynamicsParams& params, std::size_t channels);

  // Planar: `buffer` holds `samples` samples of channel `channel_index`.
  // Interleaved: `buffer` holds `samples` frames of `channels` samples each.
  // Sizes that do not fit the envelope vector or the buffer are refused
  // with InvalidData and nothing is touched.
  CodecStatus process_samples_inplace(std::span<std::uint8_t> buffer, SampleType type, std::size_t samples,
                                      std::size_t channels, std::size_t channel_index, bool planar);

  // Restarts every envelope at 0 (as after construction).
  void reset_envelopes();

  const DynamicsParams& params() const { return params_; }
  float attack_coef() const { return attack_coef_; }
  float release_coef() const { return release_coef_; }
  std::span<const float> envelopes() const { return envelope_; }

 private:
  DynamicsCompressor(const DynamicsParams& params, std::size_t channels);

  std::vector<float> envelope_;
  DynamicsParams params_;
  float attack_coef_ = 0.0f;
  float release_coef_ = 0.0f;
};

}  // namespace kestrune

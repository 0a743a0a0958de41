#include "function/compressor.hpp"

#include "common/audio/sample_io.hpp"
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace kestrune {

namespace {

// Every step below is single precision unless the comment says otherwise;
// the order of operations is fixed so results are reproducible bit for bit
// (the build never contracts to FMA or reassociates).

constexpr float kLevelFloor = 1e-12f;

// The static curve: gain in dB for a level in dB.
struct GainComputer {
  float threshold, knee, expansion_threshold, expansion_ratio, slope;

  explicit GainComputer(const DynamicsParams& p)
      : threshold(p.threshold_db), knee(p.knee_width_db), expansion_threshold(p.expansion_threshold_db),
        expansion_ratio(p.expansion_ratio), slope(1.0f / p.ratio + (-1.0f)) {}

  float operator()(float l) const {
    // Downward expansion below its threshold (an expansion ratio of 1
    // disables it).
    if (expansion_ratio > 1.0f && expansion_threshold > l) return (l - expansion_threshold) * (expansion_ratio - 1.0f);
    if (knee <= 0.0f) return threshold >= l ? 0.0f : (l - threshold) * slope;
    const float half = knee / 2.0f;
    if (l < threshold - half) return 0.0f;
    if (l > threshold + half) return (l - threshold) * slope;
    const float t = l - threshold + half;
    return t * t * slope / (2.0f * knee);
  }
};

// Per-call state: the parameters in the form the loop wants, and one-entry
// memos of the two transcendental calls. The memos return exactly what the
// call would (same argument bits, same pure function) and pay off whenever
// the level sits still or the gain computer answers 0 dB, which is most of
// the time below the threshold.
struct Kernel {
  GainComputer gain_db;
  float master_gain_db;
  float attack_coef, release_coef;

  // Keys are argument bit patterns; kNoKey matches none of them, so the
  // first use always calls the function at run time.
  static constexpr std::uint64_t kNoKey = std::uint64_t{1} << 32;
  std::uint64_t level_key = kNoKey;
  float level = 0.0f;
  std::uint64_t gain_key_f = kNoKey;
  float lin_f = 0.0f;
  std::uint64_t gain_key_d = kNoKey;
  double lin_d = 0.0;

  Kernel(const DynamicsParams& p, float attack, float release)
      : gain_db(p), master_gain_db(p.master_gain_db), attack_coef(attack), release_coef(release) {}

  // Ballistics then level in dB; updates the channel's envelope.
  float level_db(float& env, float a) {
    const float coef = env > a ? release_coef : attack_coef;
    env = (1.0f - coef) * a + coef * env;
    const std::uint64_t key = std::bit_cast<std::uint32_t>(env);
    if (key != level_key) {
      level_key = key;
      level = 20.0f * std::log10(std::max(env, kLevelFloor));
    }
    return level;
  }

  float linear_gain_f(float g) {
    const float e = g + master_gain_db;
    const std::uint64_t key = std::bit_cast<std::uint32_t>(e);
    if (key != gain_key_f) {
      gain_key_f = key;
      lin_f = std::pow(10.0f, e * 0.05f);
    }
    return lin_f;
  }

  // 64-bit types: the exponent is formed in single precision, the power in
  // double.
  double linear_gain_d(float g) {
    const float e = g + master_gain_db;
    const std::uint64_t key = std::bit_cast<std::uint32_t>(e);
    if (key != gain_key_d) {
      gain_key_d = key;
      lin_d = std::pow(10.0, static_cast<double>(e) * 0.05);
    }
    return lin_d;
  }
};

constexpr double kTwo63 = 9223372036854775808.0;

template <SampleType Type>
void process_strided(std::uint8_t* p, std::size_t count, std::size_t stride, float& env, Kernel& k) {
  for (std::size_t i = 0; i < count; ++i, p += stride) {
    if constexpr (Type == SampleType::U8) {
      const float x = static_cast<float>(static_cast<int>(*p) - 128) * 0.0078125f;
      const float lin = k.linear_gain_f(k.gain_db(k.level_db(env, std::fabs(x))));
      const double y = static_cast<double>(x * lin * 128.0f) + 128.0;
      std::uint8_t out;
      if (std::isnan(y)) out = 128;
      else if (y >= 255.0) out = 255;
      else if (y <= 0.0) out = 0;
      else out = static_cast<std::uint8_t>(std::clamp(std::round(y), 0.0, 255.0));
      *p = out;
    } else if constexpr (Type == SampleType::I16) {
      const float x = static_cast<float>(load_sample<std::int16_t>(p)) * (1.0f / 32768.0f);
      const float lin = k.linear_gain_f(k.gain_db(k.level_db(env, std::fabs(x))));
      const float y = x * lin * 32768.0f;
      std::int16_t out;
      if (std::isnan(y)) out = 0;
      else if (y >= 32767.0f) out = 32767;
      else if (y <= -32768.0f) out = -32768;
      else out = static_cast<std::int16_t>(std::clamp(std::round(y), -32768.0f, 32767.0f));
      store_sample(p, out);
    } else if constexpr (Type == SampleType::I32) {
      const float x = static_cast<float>(load_sample<std::int32_t>(p)) * (1.0f / 2147483648.0f);
      const float lin = k.linear_gain_f(k.gain_db(k.level_db(env, std::fabs(x))));
      const float y = x * lin * 2147483648.0f;
      const double yd = static_cast<double>(y);
      std::int32_t out;
      if (std::isnan(y)) out = 0;
      else if (yd >= 2147483647.0) out = std::numeric_limits<std::int32_t>::max();
      else if (yd <= -2147483648.0) out = std::numeric_limits<std::int32_t>::min();
      else out = static_cast<std::int32_t>(std::clamp(std::round(yd), -2147483648.0, 2147483647.0));
      store_sample(p, out);
    } else if constexpr (Type == SampleType::I64) {
      const double x = static_cast<double>(load_sample<std::int64_t>(p)) * (1.0 / kTwo63);
      const double lin = k.linear_gain_d(k.gain_db(k.level_db(env, static_cast<float>(std::fabs(x)))));
      const double y = x * lin * kTwo63;
      std::int64_t out;
      if (std::isnan(y)) out = 0;
      else if (y >= kTwo63) out = std::numeric_limits<std::int64_t>::max();
      else if (y <= -kTwo63) out = std::numeric_limits<std::int64_t>::min();
      else {
        const double r = std::round(y);
        out = r > 9223372036854774784.0 ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(r);
      }
      store_sample(p, out);
    } else if constexpr (Type == SampleType::F32) {
      float x = load_sample<float>(p);
      if (!std::isfinite(x)) x = 0.0f;
      const float lin = k.linear_gain_f(k.gain_db(k.level_db(env, std::fabs(x))));
      store_sample(p, x * lin);
    } else {
      double x = load_sample<double>(p);
      if (!std::isfinite(x)) x = 0.0;
      const double lin = k.linear_gain_d(k.gain_db(k.level_db(env, static_cast<float>(std::fabs(x)))));
      store_sample(p, x * lin);
    }
  }
}

void process_channel(SampleType type, std::uint8_t* p, std::size_t count, std::size_t stride, float& env,
                     Kernel& k) {
  switch (type) {
    case SampleType::U8: return process_strided<SampleType::U8>(p, count, stride, env, k);
    case SampleType::I16: return process_strided<SampleType::I16>(p, count, stride, env, k);
    case SampleType::I32: return process_strided<SampleType::I32>(p, count, stride, env, k);
    case SampleType::I64: return process_strided<SampleType::I64>(p, count, stride, env, k);
    case SampleType::F32: return process_strided<SampleType::F32>(p, count, stride, env, k);
    case SampleType::F64: return process_strided<SampleType::F64>(p, count, stride, env, k);
  }
}

const char* check_params(const DynamicsParams& p) {
  auto finite = [](float v) { return std::isfinite(v); };
  if (!finite(p.sample_rate) || !(p.sample_rate > 0.0f)) return "sample_rate must be > 0";
  if (!finite(p.threshold_db)) return "threshold_db must be finite";
  if (!finite(p.knee_width_db) || !(p.knee_width_db >= 0.0f)) return "knee_width_db must be >= 0";
  if (!finite(p.ratio) || !(p.ratio >= 1.0f)) return "ratio must be >= 1";
  if (!finite(p.expansion_ratio) || !(p.expansion_ratio >= 1.0f)) return "expansion_ratio must be >= 1";
  if (!finite(p.expansion_threshold_db)) return "expansion_threshold_db must be finite";
  if (!finite(p.attack_time) || !(p.attack_time >= 0.0f)) return "attack_time must be >= 0";
  if (!finite(p.release_time) || !(p.release_time >= 0.0f)) return "release_time must be >= 0";
  if (!finite(p.master_gain_db)) return "master_gain_db must be finite";
  return nullptr;
}

}  // namespace

float dynamics_gain_db(const DynamicsParams& params, float level_db) { return GainComputer(params)(level_db); }

DynamicsCompressor::DynamicsCompressor(const DynamicsParams& params, std::size_t channels)
    : envelope_(channels, 0.0f), params_(params) {
  attack_coef_ = params.attack_time == 0.0f ? 0.0f : std::exp(-1.0f / (params.attack_time * params.sample_rate));
  release_coef_ =
      params.release_time == 0.0f ? 0.0f : std::exp(-1.0f / (params.sample_rate * params.release_time));
}

CodecResult<DynamicsCompressor> DynamicsCompressor::create(const DynamicsParams& params, std::size_t channels) {
  if (channels == 0) return std::unexpected(CodecError::invalid_data("channels=0"));
  if (const char* msg = check_params(params)) return std::unexpected(CodecError::invalid_data(msg));
  return DynamicsCompressor(params, channels);
}

void DynamicsCompressor::reset_envelopes() { std::fill(envelope_.begin(), envelope_.end(), 0.0f); }

CodecStatus DynamicsCompressor::process_samples_inplace(std::span<std::uint8_t> buffer, SampleType type,
                                                        std::size_t samples, std::size_t channels,
                                                        std::size_t channel_index, bool planar) {
  const std::size_t b = bytes_per_sample(type);
  Kernel k(params_, attack_coef_, release_coef_);
  if (planar) {
    if (channel_index >= envelope_.size()) return std::unexpected(CodecError::invalid_data("channel_index out of range"));
    if (buffer.size() % b != 0 || samples > buffer.size() / b)
      return std::unexpected(CodecError::invalid_data("buffer size is not aligned to sample size"));
    process_channel(type, buffer.data(), samples, b, envelope_[channel_index], k);
    return {};
  }
  if (channels != envelope_.size()) return std::unexpected(CodecError::invalid_data("channels mismatch"));
  const std::size_t frame_bytes = channels * b;
  if (buffer.size() % frame_bytes != 0 || samples > buffer.size() / frame_bytes)
    return std::unexpected(CodecError::invalid_data("interleaved buffer size mismatch"));
  for (std::size_t c = 0; c < channels; ++c)
    process_channel(type, buffer.data() + c * b, samples, frame_bytes, envelope_[c], k);
  return {};
}

}  // namespace kestrune

#include "codec/processor/gain_processor.hpp"

#include "common/audio/sample_io.hpp"
#include <cmath>
#include <cstring>
#include <limits>

namespace kestrune {

namespace {

// The product is formed in double; std::round rounds half away from zero.
inline std::uint8_t gain_u8(std::uint8_t x, double gain) {
  const double v = (static_cast<double>(x) - 128.0) * gain + 128.0;
  if (std::isnan(v)) return 128;
  if (v >= 255.0) return 255;
  if (v <= 0.0) return 0;
  return static_cast<std::uint8_t>(std::round(v));
}

template <class T>
inline T gain_int(T x, double gain) {
  constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
  constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
  const double v = static_cast<double>(x) * gain;
  if (std::isnan(v)) return 0;
  if (v >= hi) return std::numeric_limits<T>::max();
  if (v <= lo) return std::numeric_limits<T>::min();
  return static_cast<T>(std::round(v));
}

inline std::int64_t gain_i64(std::int64_t x, double gain) {
  constexpr double two63 = 9223372036854775808.0;
  // The largest double below 2^63; anything above it cannot be represented.
  constexpr double max_exact = 9223372036854774784.0;
  const double v = static_cast<double>(x) * gain;
  if (std::isnan(v)) return 0;
  if (v >= two63) return std::numeric_limits<std::int64_t>::max();
  if (v <= -two63) return std::numeric_limits<std::int64_t>::min();
  const double r = std::round(v);
  if (r > max_exact) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(r);
}

inline float gain_f32(float x, double gain) {
  const float v = static_cast<float>(static_cast<double>(x) * gain);
  return std::isnan(v) ? 0.0f : v;
}

inline double gain_f64(double x, double gain) {
  const double v = x * gain;
  return std::isnan(v) ? 0.0 : v;
}

template <class T, class F>
void map_samples(std::span<std::uint8_t> bytes, F f) {
  const std::size_t n = bytes.size() / sizeof(T);
  std::uint8_t* p = bytes.data();
  for (std::size_t i = 0; i < n; ++i, p += sizeof(T)) store_sample<T>(p, f(load_sample<T>(p)));
}

}  // namespace

void apply_gain_inplace(std::span<std::uint8_t> bytes, SampleType type, double gain) {
  switch (type) {
    case SampleType::U8:
      for (auto& b : bytes) b = gain_u8(b, gain);
      return;
    case SampleType::I16:
      return map_samples<std::int16_t>(bytes, [gain](std::int16_t x) { return gain_int(x, gain); });
    case SampleType::I32:
      return map_samples<std::int32_t>(bytes, [gain](std::int32_t x) { return gain_int(x, gain); });
    case SampleType::I64:
      return map_samples<std::int64_t>(bytes, [gain](std::int64_t x) { return gain_i64(x, gain); });
    case SampleType::F32:
      return map_samples<float>(bytes, [gain](float x) { return gain_f32(x, gain); });
    case SampleType::F64:
      return map_samples<double>(bytes, [gain](double x) { return gain_f64(x, gain); });
  }
}

CodecResult<GainProcessor> GainProcessor::create(std::optional<AudioFormat> format, double gain) {
  if (!std::isfinite(gain)) return std::unexpected(CodecError::invalid_data("gain must be finite"));
  return GainProcessor(format, gain);
}

CodecStatus GainProcessor::process(std::vector<Bytes>& planes, const AudioFormat& format, std::size_t) {
  for (auto& plane : planes) apply_gain_inplace(plane, format.sample_format.type, gain_);
  return {};
}

}  // namespace kestrune

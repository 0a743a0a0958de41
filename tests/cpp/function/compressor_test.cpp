#include "function/compressor.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "../codec/processor/pcm_test_util.hpp"
#include "codec/processor/compressor_processor.hpp"

namespace kestrune {
namespace {

using namespace kestrune::test;

DynamicsParams defaults(float rate = 48000.0f) {
  DynamicsParams p;
  p.sample_rate = rate;
  return p;
}

// The per-sample algorithm written out plainly, one call of each
// transcendental function per sample: the optimised kernel must match it
// bit for bit.
template <class T>
std::vector<T> reference(const DynamicsParams& p, const std::vector<T>& in) {
  const float attack = p.attack_time == 0.0f ? 0.0f : std::exp(-1.0f / (p.attack_time * p.sample_rate));
  const float release = p.release_time == 0.0f ? 0.0f : std::exp(-1.0f / (p.sample_rate * p.release_time));
  float env = 0.0f;
  std::vector<T> out;
  for (T s : in) {
    double xd = 0.0;
    float x = 0.0f;
    constexpr bool wide = std::is_same_v<T, std::int64_t> || std::is_same_v<T, double>;
    if constexpr (std::is_same_v<T, std::uint8_t>) x = (static_cast<float>(s) - 128.0f) * 0.0078125f;
    else if constexpr (std::is_same_v<T, std::int16_t>) x = static_cast<float>(s) * 3.0517578e-05f;
    else if constexpr (std::is_same_v<T, std::int32_t>) x = static_cast<float>(s) * 4.656612873077393e-10f;
    else if constexpr (std::is_same_v<T, std::int64_t>) xd = static_cast<double>(s) * (1.0 / 9223372036854775808.0);
    else if constexpr (std::is_same_v<T, float>) x = std::isfinite(s) ? s : 0.0f;
    else xd = std::isfinite(s) ? s : 0.0;
    const float a = wide ? static_cast<float>(std::fabs(xd)) : std::fabs(x);
    const float coef = env > a ? release : attack;
    env = (1.0f - coef) * a + coef * env;
    const float level = 20.0f * log10f(std::max(env, 1e-12f));
    const float g = dynamics_gain_db(p, level);
    if constexpr (wide) {
      const double lin = std::pow(10.0, static_cast<double>(g + p.master_gain_db) * 0.05);
      if constexpr (std::is_same_v<T, double>) out.push_back(xd * lin);
      else {
        const double y = xd * lin * 9223372036854775808.0;
        if (std::isnan(y)) out.push_back(0);
        else if (y >= 9223372036854775808.0) out.push_back(std::numeric_limits<std::int64_t>::max());
        else if (y <= -9223372036854775808.0) out.push_back(std::numeric_limits<std::int64_t>::min());
        else out.push_back(static_cast<std::int64_t>(std::round(y)));
      }
    } else {
      const float lin = powf(10.0f, (g + p.master_gain_db) * 0.05f);
      if constexpr (std::is_same_v<T, float>) out.push_back(x * lin);
      else if constexpr (std::is_same_v<T, std::uint8_t>) {
        const double y = static_cast<double>(x * lin * 128.0f) + 128.0;
        out.push_back(std::isnan(y) ? 128 : y >= 255.0 ? 255 : y <= 0.0 ? 0 : static_cast<std::uint8_t>(std::round(y)));
      } else if constexpr (std::is_same_v<T, std::int16_t>) {
        const float y = x * lin * 32768.0f;
        out.push_back(std::isnan(y) ? 0 : y >= 32767.0f ? 32767 : y <= -32768.0f ? -32768 : static_cast<std::int16_t>(std::round(y)));
      } else {
        const float y = x * lin * 2147483648.0f;
        const double yd = y;
        out.push_back(std::isnan(y) ? 0 : yd >= 2147483647.0 ? 2147483647
                      : yd <= -2147483648.0 ? std::numeric_limits<std::int32_t>::min()
                                             : static_cast<std::int32_t>(std::round(yd)));
      }
    }
  }
  return out;
}

// Bursts, silences, a steady tone and full-scale noise: every branch of the
// gain computer and both memo paths get traffic.
template <class T>
std::vector<T> test_signal(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<T> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t seg = (i / 700) % 4;
    double v = seg == 0 ? 0.0 : seg == 1 ? 0.9 * std::sin(i * 0.05) : seg == 2 ? u(rng) : 0.003 * u(rng);
    if constexpr (std::is_floating_point_v<T>) out[i] = static_cast<T>(v);
    else if constexpr (std::is_same_v<T, std::uint8_t>) out[i] = static_cast<T>(std::clamp(128.0 + 127.0 * v, 0.0, 255.0));
    else out[i] = static_cast<T>(v * static_cast<double>(std::numeric_limits<T>::max()));
  }
  return out;
}

template <class T>
void check_against_reference() {
  SCOPED_TRACE(sample_type_name(sample_type_of<T>()));
  std::vector<DynamicsParams> params(3, defaults(44100.0f));
  params[1].attack_time = 0.0f;
  params[1].release_time = 0.0f;
  params[1].knee_width_db = 0.0f;
  params[1].master_gain_db = 6.0f;
  params[2].ratio = 20.0f;
  params[2].expansion_ratio = 1.0f;
  params[2].threshold_db = -30.0f;
  params[2].knee_width_db = 12.0f;
  for (const auto& p : params) {
    const auto ch0 = test_signal<T>(2800, 1);
    const auto ch1 = test_signal<T>(2800, 2);
    const auto want0 = reference(p, ch0), want1 = reference(p, ch1);
    for (bool planar : {true, false}) {
      auto proc = *CompressorProcessor::create_with_format(format_of<T>(44100, 2, planar), p);
      // Two frames: the envelope carries over between them.
      const std::size_t half = 1300;
      std::vector<AudioFrame> outs;
      for (auto [lo, hi] : {std::pair<std::size_t, std::size_t>{0, half}, {half, ch0.size()}}) {
        const AudioFrame f = make_frame<T>(format_of<T>(44100, 2, planar),
                                           {std::vector<T>(ch0.begin() + lo, ch0.begin() + hi),
                                            std::vector<T>(ch1.begin() + lo, ch1.begin() + hi)});
        ASSERT_TRUE(proc.send_frame(&f));
        for (auto& o : drain(proc)) outs.push_back(std::move(o));
      }
      const auto got0 = concat_channel<T>(outs, 0), got1 = concat_channel<T>(outs, 1);
      ASSERT_EQ(got0.size(), want0.size());
      for (std::size_t i = 0; i < want0.size(); ++i) {
        ASSERT_EQ(std::memcmp(&got0[i], &want0[i], sizeof(T)), 0) << "ch0 sample " << i << (planar ? " planar" : " interleaved");
        ASSERT_EQ(std::memcmp(&got1[i], &want1[i], sizeof(T)), 0) << "ch1 sample " << i << (planar ? " planar" : " interleaved");
      }
    }
  }
}

TEST(DynamicsCompressor, BitIdenticalToPlainAlgorithmForEveryTypeAndLayout) {
  check_against_reference<std::uint8_t>();
  check_against_reference<std::int16_t>();
  check_against_reference<std::int32_t>();
  check_against_reference<std::int64_t>();
  check_against_reference<float>();
  check_against_reference<double>();
}

TEST(DynamicsCompressor, ParameterChecksInOrder) {
  EXPECT_EQ(DynamicsCompressor::create(defaults(), 0).error(), CodecError::invalid_data("channels=0"));
  const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
  struct Case { float DynamicsParams::*field; float value; const char* msg; };
  const std::vector<Case> cases = {
      {&DynamicsParams::sample_rate, 0.0f, "sample_rate must be > 0"},
      {&DynamicsParams::sample_rate, nan, "sample_rate must be > 0"},
      {&DynamicsParams::threshold_db, inf, "threshold_db must be finite"},
      {&DynamicsParams::knee_width_db, -0.5f, "knee_width_db must be >= 0"},
      {&DynamicsParams::knee_width_db, inf, "knee_width_db must be >= 0"},
      {&DynamicsParams::ratio, 0.99f, "ratio must be >= 1"},
      {&DynamicsParams::expansion_ratio, nan, "expansion_ratio must be >= 1"},
      {&DynamicsParams::expansion_threshold_db, -inf, "expansion_threshold_db must be finite"},
      {&DynamicsParams::attack_time, -0.001f, "attack_time must be >= 0"},
      {&DynamicsParams::release_time, inf, "release_time must be >= 0"},
      {&DynamicsParams::master_gain_db, nan, "master_gain_db must be finite"},
  };
  for (const auto& c : cases) {
    DynamicsParams p = defaults();
    p.*c.field = c.value;
    EXPECT_EQ(DynamicsCompressor::create(p, 2).error(), CodecError::invalid_data(c.msg)) << c.msg;
  }
  // Earlier fields are reported first; negative zero counts as zero.
  DynamicsParams p = defaults();
  p.ratio = 0.0f;
  p.master_gain_db = nan;
  EXPECT_EQ(DynamicsCompressor::create(p, 1).error(), CodecError::invalid_data("ratio must be >= 1"));
  p = defaults();
  p.knee_width_db = -0.0f;
  EXPECT_TRUE(DynamicsCompressor::create(p, 1));
}

TEST(DynamicsCompressor, ZeroTimesMakeBallisticsInstant) {
  DynamicsParams p = defaults();
  p.attack_time = 0.0f;
  p.release_time = 0.0f;
  auto c = *DynamicsCompressor::create(p, 1);
  EXPECT_EQ(c.attack_coef(), 0.0f);
  EXPECT_EQ(c.release_coef(), 0.0f);
  for (float x : {0.5f, 0.125f, 0.75f}) {
    Bytes b(4);
    std::memcpy(b.data(), &x, 4);
    ASSERT_TRUE(c.process_samples_inplace(b, SampleType::F32, 1, 1, 0, true));
    EXPECT_EQ(c.envelopes()[0], x);
  }
  auto d = *DynamicsCompressor::create(defaults(), 1);
  EXPECT_EQ(d.attack_coef(), std::exp(-1.0f / (0.01f * 48000.0f)));
  EXPECT_EQ(d.release_coef(), std::exp(-1.0f / (48000.0f * 0.1f)));
}

TEST(DynamicsCompressor, SilenceStaysSilent) {
  // L = -240 dB, far below the expander threshold: g = -180 dB.
  EXPECT_EQ(dynamics_gain_db(defaults(), -240.0f), -180.0f);
  for (bool planar : {true, false}) {
    auto u8 = *CompressorProcessor::create_with_format(format_of<std::uint8_t>(48000, 2, planar), defaults());
    const AudioFrame f = make_frame<std::uint8_t>(format_of<std::uint8_t>(48000, 2, planar),
                                                  {std::vector<std::uint8_t>(64, 128), std::vector<std::uint8_t>(64, 128)});
    ASSERT_TRUE(u8.send_frame(&f));
    EXPECT_EQ(concat_channel<std::uint8_t>(drain(u8), 1), std::vector<std::uint8_t>(64, 128));

    auto f32 = *CompressorProcessor::create_with_format(format_of<float>(48000, 1, planar), defaults());
    const AudioFrame z = make_frame<float>(format_of<float>(48000, 1, planar), {std::vector<float>(64, 0.0f)});
    ASSERT_TRUE(f32.send_frame(&z));
    EXPECT_EQ(concat_channel<float>(drain(f32), 0), std::vector<float>(64, 0.0f));
  }
}

TEST(DynamicsCompressor, SoftKneeMeetsItsNeighbours) {
  DynamicsParams p = defaults();
  p.expansion_ratio = 1.0f;  // the expander branch never applies
  const float T = p.threshold_db, W = p.knee_width_db, slope = 1.0f / p.ratio - 1.0f;
  EXPECT_EQ(dynamics_gain_db(p, T - W / 2), 0.0f);
  EXPECT_EQ(dynamics_gain_db(p, T + W / 2), (W / 2) * slope);
  // Just outside the knee the neighbouring branches take over continuously.
  EXPECT_EQ(dynamics_gain_db(p, T - W / 2 - 0.01f), 0.0f);
  EXPECT_NEAR(dynamics_gain_db(p, T + W / 2 + 0.01f), (W / 2 + 0.01f) * slope, 1e-5);
  EXPECT_NEAR(dynamics_gain_db(p, T - W / 2 + 0.01f), 0.0f, 1e-4);
  // The knee is monotonic and bends from slope 0 to `slope`.
  float prev = 1.0f;
  for (float l = T - W / 2; l <= T + W / 2; l += 0.25f) {
    const float g = dynamics_gain_db(p, l);
    EXPECT_LE(g, prev);
    prev = g;
  }
  // Hard knee: nothing at or below the threshold.
  p.knee_width_db = 0.0f;
  EXPECT_EQ(dynamics_gain_db(p, T), 0.0f);
  EXPECT_EQ(dynamics_gain_db(p, T + 4.0f), 4.0f * slope);
  // Expander below its threshold.
  p.expansion_ratio = 3.0f;
  EXPECT_EQ(dynamics_gain_db(p, -70.0f), -20.0f);
}

TEST(DynamicsCompressor, RatioOneIsPlainGainWithClipping) {
  DynamicsParams p = defaults();
  p.ratio = 1.0f;
  p.expansion_ratio = 1.0f;
  p.attack_time = 0.0f;
  for (float l : {-240.0f, -60.0f, -18.0f, 0.0f, 20.0f}) EXPECT_EQ(dynamics_gain_db(p, l), 0.0f);
  // 0 dB master gain: every type comes back unchanged.
  {
    const std::vector<std::int16_t> x = {0, 1000, -32768, 32767, -5};
    auto c = *CompressorProcessor::create_with_format(format_of<std::int16_t>(48000, 1, true), p);
    const AudioFrame f = make_frame<std::int16_t>(format_of<std::int16_t>(48000, 1, true), {x});
    ASSERT_TRUE(c.send_frame(&f));
    EXPECT_EQ(concat_channel<std::int16_t>(drain(c), 0), x);
  }
  // +20 dB: integer types saturate, floats do not clip.
  p.master_gain_db = 20.0f;
  {
    auto c = *CompressorProcessor::create_with_format(format_of<std::int16_t>(48000, 1, false), p);
    const AudioFrame f = make_frame<std::int16_t>(format_of<std::int16_t>(48000, 1, false), {{10000, -10000, 100}});
    ASSERT_TRUE(c.send_frame(&f));
    const auto got = concat_channel<std::int16_t>(drain(c), 0);
    EXPECT_EQ(got[0], 32767);
    EXPECT_EQ(got[1], -32768);
    EXPECT_NEAR(got[2], 1000, 1);
  }
  {
    auto c = *CompressorProcessor::create_with_format(format_of<std::uint8_t>(48000, 1, true), p);
    const AudioFrame f = make_frame<std::uint8_t>(format_of<std::uint8_t>(48000, 1, true), {{200, 50, 129}});
    ASSERT_TRUE(c.send_frame(&f));
    const auto got = concat_channel<std::uint8_t>(drain(c), 0);
    EXPECT_EQ(got, (std::vector<std::uint8_t>{255, 0, 138}));
  }
  {
    auto c = *CompressorProcessor::create_with_format(format_of<float>(48000, 1, true), p);
    const AudioFrame f = make_frame<float>(format_of<float>(48000, 1, true), {{0.5f}});
    ASSERT_TRUE(c.send_frame(&f));
    EXPECT_NEAR(concat_channel<float>(drain(c), 0)[0], 5.0f, 1e-4);
  }
}

TEST(DynamicsCompressor, NonFiniteFloatSamplesActAsSilence) {
  const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
  for (bool planar : {true, false}) {
    const AudioFormat f = format_of<float>(48000, 1, planar);
    auto a = *CompressorProcessor::create_with_format(f, defaults());
    auto b = *CompressorProcessor::create_with_format(f, defaults());
    const AudioFrame bad = make_frame<float>(f, {{0.8f, nan, inf, -inf, 0.3f}});
    const AudioFrame clean = make_frame<float>(f, {{0.8f, 0.0f, 0.0f, 0.0f, 0.3f}});
    ASSERT_TRUE(a.send_frame(&bad));
    ASSERT_TRUE(b.send_frame(&clean));
    const auto ga = concat_channel<float>(drain(a), 0), gb = concat_channel<float>(drain(b), 0);
    EXPECT_EQ(ga[1], 0.0f);
    EXPECT_EQ(ga[2], 0.0f);
    EXPECT_EQ(ga[3], 0.0f);
    EXPECT_EQ(ga, gb);
    EXPECT_EQ(a.compressor()->envelopes()[0], b.compressor()->envelopes()[0]);
  }
  // F64 too.
  const AudioFormat f = format_of<double>(48000, 1, true);
  auto c = *CompressorProcessor::create_with_format(f, defaults());
  const AudioFrame bad = make_frame<double>(f, {{std::nan(""), -std::numeric_limits<double>::infinity()}});
  ASSERT_TRUE(c.send_frame(&bad));
  EXPECT_EQ(concat_channel<double>(drain(c), 0), (std::vector<double>{0.0, 0.0}));
}

TEST(CompressorProcessor, SampleRateMatchAndDeferredValidation) {
  const AudioFormat f48 = format_of<float>(48000, 2, true);
  EXPECT_EQ(CompressorProcessor::create_with_format(f48, defaults(44100.0f)).error(),
            CodecError::invalid_data("DynamicsParams.sample_rate must match AudioFormat.sample_rate"));
  EXPECT_TRUE(CompressorProcessor::create_with_format(format_of<float>(44100, 2, true), defaults(44100.0f)));

  auto deferred = CompressorProcessor::create_deferred(defaults(44100.0f));
  const AudioFrame a = make_frame<float>(f48, {{0.1f}, {0.2f}});
  // Refused every time, and nothing is locked.
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(deferred.send_frame(&a).error(),
              CodecError::invalid_data("DynamicsParams.sample_rate must match AudioFormat.sample_rate"));
    EXPECT_FALSE(deferred.input_format());
  }
  const AudioFrame b = make_frame<float>(format_of<float>(44100, 1, false), {{0.1f}});
  ASSERT_TRUE(deferred.send_frame(&b));
  EXPECT_EQ(deferred.input_format(), format_of<float>(44100, 1, false));
  EXPECT_EQ(deferred.compressor()->envelopes().size(), 1u);

  DynamicsParams bad = defaults(44100.0f);
  bad.ratio = 0.5f;
  auto broken = CompressorProcessor::create_deferred(bad);
  EXPECT_EQ(broken.send_frame(&b).error(), CodecError::invalid_data("ratio must be >= 1"));
  EXPECT_EQ(broken.send_frame(&b).error(), CodecError::invalid_data("ratio must be >= 1"));

  // After reset a deferred processor takes a new stream in a new format.
  ASSERT_TRUE(deferred.reset());
  EXPECT_FALSE(deferred.compressor());
  const AudioFrame c = make_frame<std::int16_t>(format_of<std::int16_t>(44100, 2, true), {{1}, {2}});
  ASSERT_TRUE(deferred.send_frame(&c));
}

TEST(CompressorProcessor, ResetRestartsEnvelopes) {
  const AudioFormat f = format_of<float>(48000, 1, true);
  std::vector<float> loud(256, 0.9f);
  const AudioFrame frame = make_frame<float>(f, {loud});
  auto fresh_output = [&] {
    auto p = *CompressorProcessor::create_with_format(f, defaults());
    EXPECT_TRUE(p.send_frame(&frame));
    return concat_channel<float>(drain(p), 0);
  };
  auto p = *CompressorProcessor::create_with_format(f, defaults());
  ASSERT_TRUE(p.send_frame(&frame));
  const auto first = concat_channel<float>(drain(p), 0);
  ASSERT_TRUE(p.send_frame(&frame));
  const auto carried = concat_channel<float>(drain(p), 0);
  EXPECT_NE(first, carried);  // the envelope carried over
  ASSERT_TRUE(p.reset());
  EXPECT_EQ(p.input_format(), f);
  EXPECT_EQ(p.compressor()->envelopes()[0], 0.0f);
  ASSERT_TRUE(p.send_frame(&frame));
  EXPECT_EQ(concat_channel<float>(drain(p), 0), fresh_output());
  EXPECT_EQ(first, fresh_output());

  testing::internal::CaptureStderr();
  const AudioFrame other = make_frame<float>(format_of<float>(48000, 2, true), {{0.1f}, {0.1f}});
  EXPECT_EQ(p.send_frame(&other).error(), CodecError::invalid_data("CompressorProcessor input AudioFormat mismatch"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "CompressorProcessor input AudioFormat mismatch:\n  input_output_format_diffs: channels: 1 != 2, "
            "channel_layout_mask: 0x4 != 0x3\n");
}

TEST(DynamicsCompressor, RefusesInconsistentBuffers) {
  auto c = *DynamicsCompressor::create(defaults(), 2);
  Bytes b(6);
  EXPECT_EQ(c.process_samples_inplace(b, SampleType::I16, 3, 1, 2, true).error(),
            CodecError::invalid_data("channel_index out of range"));
  Bytes odd(5);
  EXPECT_EQ(c.process_samples_inplace(odd, SampleType::I16, 2, 1, 0, true).error(),
            CodecError::invalid_data("buffer size is not aligned to sample size"));
  EXPECT_EQ(c.process_samples_inplace(b, SampleType::I16, 1, 3, 0, false).error(),
            CodecError::invalid_data("channels mismatch"));
  EXPECT_EQ(c.process_samples_inplace(b, SampleType::I16, 1, 2, 0, false).error(),
            CodecError::invalid_data("interleaved buffer size mismatch"));
}

}  // namespace
}  // namespace kestrune

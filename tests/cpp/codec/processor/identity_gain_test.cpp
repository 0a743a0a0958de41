#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "codec/processor/gain_processor.hpp"
#include "codec/processor/identity_processor.hpp"
#include "pcm_test_util.hpp"

namespace kestrune {
namespace {

using namespace kestrune::test;

// One sample through the gain table.
template <class T>
T gain_one(T x, double gain) {
  Bytes b(sizeof(T));
  std::memcpy(b.data(), &x, sizeof(T));
  apply_gain_inplace(b, sample_type_of<T>(), gain);
  T y;
  std::memcpy(&y, b.data(), sizeof(T));
  return y;
}

TEST(GainTable, IntegerTypesRoundHalfAwayAndSaturate) {
  // U8 scales the distance from 128: 127 * 1.5 -> 126.5 -> 127 (away from
  // zero), 255 * -1 -> 1.
  struct U8Case { std::uint8_t x; double g; std::uint8_t want; };
  for (auto c : {U8Case{128, 2.0, 128}, U8Case{200, 2.0, 255}, U8Case{0, 0.5, 64}, U8Case{1, 2.0, 0},
                 U8Case{129, 1.5, 130}, U8Case{127, 1.5, 127}, U8Case{255, -1.0, 1}, U8Case{60, 0.0, 128}})
    EXPECT_EQ(gain_one(c.x, c.g), c.want) << int(c.x) << " * " << c.g;

  struct I16Case { std::int16_t x; double g; std::int16_t want; };
  for (auto c : {I16Case{20000, 2.0, 32767}, I16Case{-3, 0.5, -2}, I16Case{3, 0.5, 2}, I16Case{-20000, 2.0, -32768},
                 I16Case{-32768, -1.0, 32767}, I16Case{5, -0.5, -3}, I16Case{100, 0.0, 0}})
    EXPECT_EQ(gain_one(c.x, c.g), c.want) << c.x << " * " << c.g;

  struct I32Case { std::int32_t x; double g; std::int32_t want; };
  for (auto c : {I32Case{1 << 30, 2.0, 2147483647}, I32Case{-(1 << 30), 2.0, -2147483647 - 1},
                 I32Case{-5, 0.5, -3}, I32Case{2147483647, 1.0, 2147483647}, I32Case{-2147483647 - 1, -1.0, 2147483647}})
    EXPECT_EQ(gain_one(c.x, c.g), c.want) << c.x << " * " << c.g;

  constexpr auto i64max = std::numeric_limits<std::int64_t>::max();
  constexpr auto i64min = std::numeric_limits<std::int64_t>::min();
  struct I64Case { std::int64_t x; double g; std::int64_t want; };
  for (auto c : {I64Case{std::int64_t{1} << 62, 2.0, i64max}, I64Case{-(std::int64_t{1} << 62), 2.0, i64min},
                 I64Case{7, 0.5, 4}, I64Case{-7, 0.5, -4}, I64Case{i64max, 1.0, i64max},
                 // 2^63 - 1024 is the largest double below 2^63: exact.
                 I64Case{9223372036854774784, 1.0, 9223372036854774784}, I64Case{i64min, -1.0, i64max}})
    EXPECT_EQ(gain_one(c.x, c.g), c.want) << c.x << " * " << c.g;
}

TEST(GainTable, FloatTypesDoNotClipAndZeroNaN) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(gain_one(1.5f, 2.0), 3.0f);
  EXPECT_EQ(gain_one(3e38f, 10.0), inf);
  EXPECT_EQ(gain_one(std::nanf(""), 1.0), 0.0f);
  EXPECT_EQ(gain_one(inf, 0.0), 0.0f);  // inf * 0 is NaN
  EXPECT_EQ(gain_one(-inf, 2.0), -inf);
  // The product is formed in double and narrowed once.
  EXPECT_EQ(gain_one(0.1f, 3.0), static_cast<float>(static_cast<double>(0.1f) * 3.0));
  EXPECT_EQ(gain_one(2.0, 0.25), 0.5);
  EXPECT_EQ(gain_one(1e308, 10.0), std::numeric_limits<double>::infinity());
  EXPECT_EQ(gain_one(std::nan(""), 2.0), 0.0);
}

TEST(GainProcessor, RejectsNonFiniteGain) {
  for (double g : {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
    auto p = GainProcessor::create(std::nullopt, g);
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error(), CodecError::invalid_data("gain must be finite"));
  }
}

// Every sample type in both layouts: identity copies bytes, gain 2 doubles
// (around 128 for U8) with each sample landing in its own channel.
template <class T>
void check_type_both_layouts() {
  const bool is_u8 = std::is_same_v<T, std::uint8_t>;
  auto v = [&](int x) { return static_cast<T>(is_u8 ? 128 + x : x); };
  const std::vector<std::vector<T>> in = {{v(1), v(2), v(-3)}, {v(10), v(-20), v(30)}};
  const std::vector<std::vector<T>> doubled = {{v(2), v(4), v(-6)}, {v(20), v(-40), v(60)}};
  for (bool planar : {true, false}) {
    SCOPED_TRACE(std::string(sample_type_name(sample_type_of<T>())) + (planar ? " planar" : " interleaved"));
    const AudioFormat f = format_of<T>(48000, 2, planar);
    const AudioFrame frame = make_frame<T>(f, in, 960, {1, 48000});

    IdentityProcessor id;
    ASSERT_TRUE(id.send_frame(&frame));
    auto out = id.receive_frame();
    ASSERT_TRUE(out);
    EXPECT_EQ(out->format(), f);
    EXPECT_EQ(out->pts(), 960);
    EXPECT_EQ(out->time_base(), (TimeBase{1, 48000}));
    EXPECT_EQ(out->planes(), frame.planes());

    auto gain = *GainProcessor::create(f, 2.0);
    ASSERT_TRUE(gain.send_frame(&frame));
    auto g = gain.receive_frame();
    ASSERT_TRUE(g);
    EXPECT_EQ(channels_of<T>(*g), doubled);
    EXPECT_EQ(g->pts(), 960);
  }
}

TEST(PcmCopyProcessors, EverySampleTypeInBothLayouts) {
  check_type_both_layouts<std::uint8_t>();
  check_type_both_layouts<std::int16_t>();
  check_type_both_layouts<std::int32_t>();
  check_type_both_layouts<std::int64_t>();
  check_type_both_layouts<float>();
  check_type_both_layouts<double>();
}

TEST(PcmCopyProcessors, SendReceiveStateMachine) {
  const AudioFormat f = format_of<std::int16_t>(48000, 1, true);
  const AudioFrame a = make_frame<std::int16_t>(f, {{1, 2}});
  IdentityProcessor p;
  EXPECT_EQ(p.receive_frame().error(), CodecError::again());
  ASSERT_TRUE(p.send_frame(&a));
  // Output pending: the caller must receive first.
  EXPECT_EQ(p.send_frame(&a).error(), CodecError::again());
  EXPECT_EQ(p.send_frame(nullptr).error(), CodecError::again());
  ASSERT_TRUE(p.receive_frame());
  EXPECT_EQ(p.receive_frame().error(), CodecError::again());
  ASSERT_TRUE(p.send_frame(&a));
  ASSERT_TRUE(p.receive_frame());
  ASSERT_TRUE(p.send_frame(nullptr));
  EXPECT_EQ(p.receive_frame().error(), CodecError::eof());
  EXPECT_EQ(p.receive_frame().error(), CodecError::eof());
  EXPECT_EQ(p.send_frame(&a).error(), CodecError::invalid_state("already flushed"));
  EXPECT_EQ(p.send_frame(nullptr).error(), CodecError::invalid_state("already flushed"));
  ASSERT_TRUE(p.reset());
  ASSERT_TRUE(p.send_frame(&a));
}

TEST(PcmCopyProcessors, FlushAfterLastFrameDrainsThenEof) {
  const AudioFormat f = format_of<float>(48000, 1, true);
  const AudioFrame a = make_frame<float>(f, {{0.5f}});
  auto p = *GainProcessor::create(std::nullopt, 0.5);
  ASSERT_TRUE(p.send_frame(&a));
  auto out = p.receive_frame();
  ASSERT_TRUE(out);
  EXPECT_EQ(channels_of<float>(*out)[0][0], 0.25f);
  ASSERT_TRUE(p.send_frame(nullptr));
  EXPECT_EQ(p.receive_frame().error(), CodecError::eof());
}

TEST(PcmCopyProcessors, ZeroSampleFrameDoesNotLockFormat) {
  const AudioFormat f1 = format_of<std::int16_t>(48000, 2, true);
  const AudioFormat f2 = format_of<float>(44100, 1, false);
  const AudioFrame empty = make_frame<std::int16_t>(f1, {{}, {}});
  const AudioFrame other = make_frame<float>(f2, {{0.25f, 0.5f}});
  IdentityProcessor p;
  ASSERT_TRUE(p.send_frame(&empty));
  EXPECT_EQ(p.receive_frame().error(), CodecError::again());
  EXPECT_FALSE(p.input_format());
  ASSERT_TRUE(p.send_frame(&other));
  EXPECT_EQ(p.input_format(), f2);
  EXPECT_EQ(p.output_format(), f2);
}

TEST(PcmCopyProcessors, FormatLockingAcrossReset) {
  const AudioFormat f1 = format_of<std::int16_t>(48000, 1, true);
  const AudioFormat f2 = format_of<std::int16_t>(44100, 1, true);
  const AudioFrame a = make_frame<std::int16_t>(f1, {{1}});
  const AudioFrame b = make_frame<std::int16_t>(f2, {{1}});

  // Without a fixed format, reset forgets the locked one.
  auto deferred = *GainProcessor::create(std::nullopt, 1.0);
  ASSERT_TRUE(deferred.send_frame(&a));
  drain(deferred);
  testing::internal::CaptureStderr();
  auto bad = deferred.send_frame(&b);
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), CodecError::invalid_data("GainProcessor input AudioFormat mismatch"));
  EXPECT_EQ(err, "GainProcessor input AudioFormat mismatch:\n  input_output_format_diffs: sample_rate: 48000 != 44100\n");
  ASSERT_TRUE(deferred.reset());
  EXPECT_FALSE(deferred.input_format());
  ASSERT_TRUE(deferred.send_frame(&b));
  EXPECT_EQ(deferred.input_format(), f2);
  EXPECT_EQ(deferred.gain(), 1.0);

  // A fixed format survives reset.
  IdentityProcessor fixed(f1);
  ASSERT_TRUE(fixed.reset());
  testing::internal::CaptureStderr();
  auto r = fixed.send_frame(&b);
  const std::string err2 = testing::internal::GetCapturedStderr();
  EXPECT_EQ(r.error(), CodecError::invalid_data("IdentityProcessor input AudioFormat mismatch"));
  EXPECT_EQ(err2.rfind("IdentityProcessor input AudioFormat mismatch:\n  input_output_format_diffs: ", 0), 0u);
  // The rejected frame queued nothing.
  EXPECT_EQ(fixed.receive_frame().error(), CodecError::again());
  ASSERT_TRUE(fixed.send_frame(&a));
}

TEST(PcmCopyProcessors, MalformedViewsAreRefused) {
  const AudioFormat f = format_of<std::int16_t>(48000, 2, true);
  struct Case { const char* what; std::size_t count; std::vector<std::optional<Bytes>> planes; const char* msg; };
  const Bytes good(4), short_plane(2);
  const std::vector<Case> cases = {
      {"plane count", 1, {good}, "unexpected plane_count for input AudioFormat"},
      {"missing", 2, {good, std::nullopt}, "missing plane in AudioFrameView"},
      {"size", 2, {good, short_plane}, "unexpected plane byte size"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeView v;
    v.fmt = f;
    v.n = 2;
    v.planes = c.planes;
    v.reported_plane_count = c.count;
    IdentityProcessor p;
    EXPECT_EQ(p.send_frame(&v).error(), CodecError::invalid_data(c.msg));
    EXPECT_EQ(p.receive_frame().error(), CodecError::again());
  }
}

}  // namespace
}  // namespace kestrune

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "codec/processor/resample_processor.hpp"
#include "function/ffmpeg_backend/ffmpeg_resampler.hpp"
#include "function/resample.hpp"
#include "pcm_test_util.hpp"

namespace kestrune {
namespace {

using namespace kestrune::test;
using ffmpeg_backend::FfmpegResampler;

// swresample refuses a layout mask whose channel count disagrees with the
// format, which routes these formats to the linear backend.
AudioFormat linear_only(std::uint32_t rate, SampleType t = SampleType::F32, bool planar = true, std::uint16_t ch = 1) {
  return AudioFormat{rate, SampleFormat{t, planar}, ch, ch == 1 ? 0x3u : 0x7u};
}

// The linear backend alone: frames in, per-frame outputs of channel 0.
struct Linear {
  AudioFormat in, out;
  std::vector<LinearChannelState> states;
  Linear(std::uint32_t in_rate, std::uint32_t out_rate)
      : in(format_of<float>(in_rate, 1, true)), out(format_of<float>(out_rate, 1, true)),
        states(*make_linear_states(in, out)) {}
  std::vector<float> push(std::vector<float> x) {
    const AudioFrame f = make_frame<float>(in, {std::move(x)});
    auto r = linear_process(states, in, out, f, std::nullopt);
    EXPECT_TRUE(r);
    return *r ? channels_of<float>(**r)[0] : std::vector<float>{};
  }
  std::vector<float> flush() {
    auto r = linear_flush(states, out);
    EXPECT_TRUE(r);
    return *r ? channels_of<float>(**r)[0] : std::vector<float>{};
  }
};

TEST(LinearResample, UpsampleByTwoWorkedExample) {
  Linear l(1, 2);
  EXPECT_EQ(l.push({0, 2, 4}), (std::vector<float>{0, 1, 2, 3}));
  EXPECT_EQ(l.push({6, 8}), (std::vector<float>{4, 5, 6, 7}));
  // The last sample is held to the end of the input timeline: ten samples
  // for five inputs.
  EXPECT_EQ(l.flush(), (std::vector<float>{8, 8}));
  EXPECT_EQ(l.flush(), std::vector<float>{});
}

TEST(LinearResample, DownsampleByTwoWorkedExample) {
  Linear l(2, 1);
  EXPECT_EQ(l.push({0, 1, 2, 3}), (std::vector<float>{0, 2}));
  EXPECT_EQ(l.push({4, 5, 6, 7}), (std::vector<float>{4, 6}));
  EXPECT_EQ(l.flush(), std::vector<float>{});
}

TEST(LinearResample, OneSampleFirstFrameIsCarriedIntoTheNext) {
  Linear l(1, 2);
  EXPECT_EQ(l.push({5}), std::vector<float>{});
  EXPECT_EQ(l.push({7, 9}), (std::vector<float>{5, 6, 7, 8}));
  EXPECT_EQ(l.flush(), (std::vector<float>{9, 9}));
}

TEST(LinearResample, IntegerOutputRoundsAndSaturates) {
  // 1 -> 2 between -32768 and 32767 hits -0.5; between 3 and 4 gives 3.5.
  for (bool planar : {true, false}) {
    const AudioFormat in = format_of<std::int16_t>(1, 2, planar), out = format_of<std::int16_t>(2, 2, planar);
    auto states = *make_linear_states(in, out);
    const AudioFrame f = make_frame<std::int16_t>(in, {{-32768, 32767}, {3, 4}});
    auto r = linear_process(states, in, out, f, 7);
    ASSERT_TRUE(r && *r);
    EXPECT_EQ((*r)->pts(), 7);
    EXPECT_EQ((*r)->time_base(), (TimeBase{1, 2}));
    const auto got = channels_of<std::int16_t>(**r);
    EXPECT_EQ(got[0], (std::vector<std::int16_t>{-32768, -1}));  // -0.5 rounds away from zero
    EXPECT_EQ(got[1], (std::vector<std::int16_t>{3, 4}));        // 3.5 -> 4
  }
}

TEST(LinearResample, PtsRescaleIn128Bits) {
  EXPECT_EQ(rescale_pts_to_rate(480, {1, 48000}, 16000), 160);
  EXPECT_EQ(rescale_pts_to_rate(std::nullopt, {1, 48000}, 16000), std::nullopt);
  EXPECT_EQ(rescale_pts_to_rate(480, {1, 0}, 16000), std::nullopt);
  EXPECT_EQ(rescale_pts_to_rate(-7, {1, 2}, 1), -3);  // truncation toward zero
  // pts * rate overflows 64 bits on the way but not at the end.
  EXPECT_EQ(rescale_pts_to_rate(std::int64_t{1} << 60, {1, 96000}, 48000), std::int64_t{1} << 59);
  // A result beyond 64 bits has no pts rather than a wrapped one.
  EXPECT_EQ(rescale_pts_to_rate(std::int64_t{1} << 60, {1000, 1}, 48000), std::nullopt);
}

TEST(ResampleError, DisplayTexts) {
  EXPECT_EQ(ResampleError::invalid_sample_rate().to_string(), "invalid sample_rate");
  EXPECT_EQ(ResampleError::unsupported("x").to_string(), "unsupported format: x");
  EXPECT_EQ(ResampleError::backend("y").to_string(), "backend error: y");
}

TEST(FfmpegResampler, CreationChecksInOrder) {
  const AudioFormat f = format_of<float>(48000, 2, true);
  AudioFormat zero_rate = f;
  zero_rate.sample_rate = 0;
  AudioFormat no_ch = f;
  no_ch.channels = 0;
  no_ch.channel_layout_mask = 0;
  const AudioFormat i64 = format_of<std::int64_t>(48000, 2, true);
  EXPECT_EQ(FfmpegResampler::create(zero_rate, no_ch).error().to_string(), "invalid sample_rate");
  EXPECT_EQ(FfmpegResampler::create(no_ch, i64).error().to_string(), "unsupported format: invalid channels");
  EXPECT_EQ(FfmpegResampler::create(f, no_ch).error().to_string(), "unsupported format: invalid channels");
  EXPECT_EQ(FfmpegResampler::create(i64, f).error().to_string(),
            "unsupported format: only u8/i16/i32/f32 are supported in ffmpeg resampler");
  EXPECT_EQ(FfmpegResampler::create(f, format_of<double>(48000, 2, false)).error().to_string(),
            "unsupported format: only u8/i16/i32/f32 are supported in ffmpeg resampler");
  EXPECT_EQ(FfmpegResampler::create(linear_only(48000), f).error().to_string(),
            "unsupported format: channel_layout_mask does not match channels");
  EXPECT_TRUE(FfmpegResampler::create(format_of<std::uint8_t>(8000, 1, false), format_of<std::int32_t>(44100, 2, true)));
}

TEST(ResampleProcessor, LinearChecksReportWhenFfmpegCannot) {
  struct Case { AudioFormat in, out; const char* msg; };
  const std::vector<Case> cases = {
      {format_of<std::int64_t>(48000, 1, true), format_of<std::int64_t>(16000, 1, true), "linear resample supports only f32/i16/i32"},
      {format_of<double>(48000, 2, false), format_of<double>(16000, 2, false), "linear resample supports only f32/i16/i32"},
      {format_of<std::int64_t>(48000, 1, true), format_of<float>(16000, 1, true), "linear resample does not change sample type"},
      {format_of<double>(48000, 1, true), format_of<double>(16000, 2, true), "linear resample does not remix channels"},
      {format_of<double>(48000, 1, true), format_of<double>(16000, 1, false), "linear resample does not change planar/interleaved layout"},
  };
  for (const auto& c : cases) {
    auto p = ResampleProcessor::create(c.in, c.out);
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error(), CodecError::unsupported(c.msg));
  }
  AudioFormat zero = linear_only(16000);
  zero.sample_rate = 0;
  EXPECT_EQ(ResampleProcessor::create(linear_only(48000), zero).error(), CodecError::invalid_data("invalid sample_rate"));
}

TEST(ResampleProcessor, LinearBackendEndToEnd) {
  auto p = *ResampleProcessor::create(linear_only(1), linear_only(2));
  EXPECT_STREQ(p.name(), "resample(linear)");
  const AudioFrame a = make_frame<float>(linear_only(1), {{0, 2, 4}}, 3, {1, 1});
  const AudioFrame b = make_frame<float>(linear_only(1), {{6, 8}}, 6, {1, 1});
  // Input does not wait for output here.
  ASSERT_TRUE(p.send_frame(&a));
  ASSERT_TRUE(p.send_frame(&b));
  ASSERT_TRUE(p.send_frame(nullptr));
  const auto frames = drain(p);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].pts(), 6);
  EXPECT_EQ(frames[1].pts(), 12);
  EXPECT_EQ(frames[2].pts(), std::nullopt);  // the flush tail
  EXPECT_EQ(concat_channel<float>(frames, 0), (std::vector<float>{0, 1, 2, 3, 4, 5, 6, 7, 8, 8}));
  EXPECT_EQ(p.receive_frame().error(), CodecError::eof());
  EXPECT_EQ(p.send_frame(&a).error(), CodecError::invalid_state("already flushed"));

  // A fixed processor restarts its timeline at reset.
  ASSERT_TRUE(p.reset());
  ASSERT_TRUE(p.send_frame(&a));
  EXPECT_EQ(concat_channel<float>(drain(p), 0), (std::vector<float>{0, 1, 2, 3}));
  EXPECT_EQ(p.receive_frame().error(), CodecError::again());
}

// Each type the resampler accepts, in both layouts: the linear backend
// (f32/i16/i32) with its exact 1 -> 2 interpolation on distinct channels,
// and swresample (u8/i16/i32/f32) keeping a DC level through 48k -> 24k.
template <class T>
void check_type(bool linear_ok) {
  for (bool planar : {true, false}) {
    SCOPED_TRACE(std::string(sample_type_name(sample_type_of<T>())) + (planar ? " planar" : " interleaved"));
    if (linear_ok) {
      auto p = *ResampleProcessor::create(linear_only(1, sample_type_of<T>(), planar, 2),
                                          linear_only(2, sample_type_of<T>(), planar, 2));
      ASSERT_STREQ(p.name(), "resample(linear)");
      const AudioFrame f = make_frame<T>(linear_only(1, sample_type_of<T>(), planar, 2), {{0, 20, 40}, {100, 80, 60}});
      ASSERT_TRUE(p.send_frame(&f));
      ASSERT_TRUE(p.send_frame(nullptr));
      const auto frames = drain(p);
      EXPECT_EQ(concat_channel<T>(frames, 0), (std::vector<T>{0, 10, 20, 30, 40, 40}));
      EXPECT_EQ(concat_channel<T>(frames, 1), (std::vector<T>{100, 90, 80, 70, 60, 60}));
    }
    const T dc = std::is_same_v<T, std::uint8_t> ? T(200) : std::is_floating_point_v<T> ? T(0.25) : T(1000);
    const AudioFormat in = format_of<T>(48000, 2, planar), out = format_of<T>(24000, 2, planar);
    auto p = *ResampleProcessor::create(in, out);
    ASSERT_STREQ(p.name(), "resample(ffmpeg)");
    const AudioFrame f = make_frame<T>(in, {std::vector<T>(4800, dc), std::vector<T>(4800, dc)});
    ASSERT_TRUE(p.send_frame(&f));
    ASSERT_TRUE(p.send_frame(nullptr));
    const auto frames = drain(p);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].format(), out);
    for (std::size_t c = 0; c < 2; ++c) {
      const auto got = concat_channel<T>(frames, c);
      EXPECT_NEAR(static_cast<double>(got.size()), 2400.0, 2.0);
      // Away from the edges the level is kept.
      for (std::size_t i = 100; i + 100 < got.size(); ++i)
        ASSERT_NEAR(static_cast<double>(got[i]), static_cast<double>(dc), std::is_floating_point_v<T> ? 1e-3 : 1.0) << i;
    }
  }
}

TEST(ResampleProcessor, EveryAcceptedTypeInBothLayouts) {
  check_type<std::uint8_t>(false);
  check_type<std::int16_t>(true);
  check_type<std::int32_t>(true);
  check_type<float>(true);
}

TEST(ResampleProcessor, FfmpegConvertsTypeLayoutAndChannels) {
  const AudioFormat in = format_of<std::int16_t>(48000, 1, false), out = format_of<float>(44100, 2, true);
  auto p = *ResampleProcessor::create(in, out);
  std::vector<std::int16_t> tone(4800);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<std::int16_t>(16384 * std::sin(2 * std::numbers::pi * 1000.0 * i / 48000.0));
  const AudioFrame f = make_frame<std::int16_t>(in, {tone}, 480, {1, 48000});
  ASSERT_TRUE(p.send_frame(&f));
  auto first = p.receive_frame();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->pts(), 441);
  EXPECT_EQ(first->time_base(), (TimeBase{1, 44100}));
  ASSERT_TRUE(p.send_frame(nullptr));
  std::vector<AudioFrame> frames;
  frames.push_back(std::move(*first));
  for (auto& fr : drain(p)) frames.push_back(std::move(fr));
  const auto l = concat_channel<float>(frames, 0), r = concat_channel<float>(frames, 1);
  // Nothing is lost at the end: the context's held samples come out at flush.
  EXPECT_NEAR(static_cast<double>(l.size()), 4410.0, 2.0);
  EXPECT_EQ(l, r);
  double sum = 0;
  for (std::size_t i = 200; i + 200 < l.size(); ++i) sum += double(l[i]) * l[i];
  const double rms = std::sqrt(sum / (l.size() - 400));
  // A 0.5 tone has RMS 0.5/sqrt(2); the centre channel reaches each side at
  // -3 dB.
  EXPECT_NEAR(rms, 0.5 / std::sqrt(2.0) / std::sqrt(2.0), 0.01);
}

TEST(ResampleProcessor, PtsFollowsTheOutputRate) {
  auto p = *ResampleProcessor::create(format_of<float>(48000, 1, true), format_of<float>(16000, 1, true));
  const AudioFrame timed = make_frame<float>(format_of<float>(48000, 1, true), {std::vector<float>(480, 0.1f)}, 480, {1, 48000});
  const AudioFrame untimed = make_frame<float>(format_of<float>(48000, 1, true), {std::vector<float>(480, 0.1f)});
  ASSERT_TRUE(p.send_frame(&timed));
  ASSERT_TRUE(p.send_frame(&untimed));
  const auto frames = drain(p);
  // One frame per input frame, even while swresample is still filling up.
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].pts(), 160);
  EXPECT_EQ(frames[1].pts(), std::nullopt);
}

TEST(ResampleProcessor, DeferredChoosesBackendAtFirstFrame) {
  auto p = ResampleProcessor::create_deferred(format_of<float>(16000, 1, true));
  EXPECT_STREQ(p.name(), "resample(linear)");
  EXPECT_FALSE(p.input_format());
  EXPECT_EQ(p.output_format(), format_of<float>(16000, 1, true));
  const AudioFrame empty = make_frame<float>(format_of<float>(48000, 1, true), {{}});
  ASSERT_TRUE(p.send_frame(&empty));
  EXPECT_FALSE(p.input_format());
  const AudioFrame a = make_frame<float>(format_of<float>(48000, 1, true), {std::vector<float>(48, 0.0f)});
  ASSERT_TRUE(p.send_frame(&a));
  EXPECT_STREQ(p.name(), "resample(ffmpeg)");
  EXPECT_EQ(p.input_format(), format_of<float>(48000, 1, true));

  testing::internal::CaptureStderr();
  const AudioFrame b = make_frame<float>(format_of<float>(44100, 1, true), {std::vector<float>(48, 0.0f)});
  EXPECT_EQ(p.send_frame(&b).error(), CodecError::invalid_data("ResampleProcessor input AudioFormat mismatch"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ResampleProcessor input AudioFormat mismatch:\n  input_output_format_diffs: sample_rate: 48000 != 44100\n");

  // Reset returns it to deferred; a format FFmpeg refuses falls back.
  ASSERT_TRUE(p.reset());
  EXPECT_FALSE(p.input_format());
  EXPECT_STREQ(p.name(), "resample(linear)");
  auto q = ResampleProcessor::create_deferred(linear_only(2));
  const AudioFrame c = make_frame<float>(linear_only(1), {{1, 2}});
  ASSERT_TRUE(q.send_frame(&c));
  EXPECT_STREQ(q.name(), "resample(linear)");
  // A selection failure leaves the processor deferred.
  auto r = ResampleProcessor::create_deferred(format_of<double>(16000, 1, true));
  const AudioFrame d = make_frame<double>(format_of<double>(48000, 1, true), {{0.5}});
  EXPECT_EQ(r.send_frame(&d).error(), CodecError::unsupported("linear resample supports only f32/i16/i32"));
  EXPECT_FALSE(r.input_format());
}

// 2500 output samples (1:1 linear) re-chunked to 1024.
std::vector<AudioFrame> chunk_walk(bool pad_final) {
  auto p = *ResampleProcessor::create(linear_only(8000), linear_only(8000));
  EXPECT_TRUE(p.set_output_chunker(1024, pad_final));
  std::vector<AudioFrame> out;
  float next = 1.0f;
  for (std::size_t n : {1000u, 1000u, 500u}) {
    std::vector<float> x(n);
    for (auto& v : x) v = next++;
    const AudioFrame f = make_frame<float>(linear_only(8000), {x});
    EXPECT_TRUE(p.send_frame(&f));
    for (auto& fr : drain(p)) out.push_back(std::move(fr));
  }
  EXPECT_EQ(out.size(), 2u);  // two chunks during the stream
  EXPECT_TRUE(p.send_frame(nullptr));
  for (auto& fr : drain(p)) out.push_back(std::move(fr));
  EXPECT_EQ(p.receive_frame().error(), CodecError::eof());
  return out;
}

TEST(ResampleProcessor, ChunkerPadsOrDropsTheTail) {
  const auto padded = chunk_walk(true);
  ASSERT_EQ(padded.size(), 3u);
  for (const auto& f : padded) EXPECT_EQ(f.nb_samples(), 1024u);
  const auto tail = channels_of<float>(padded[2])[0];
  for (std::size_t i = 0; i < 452; ++i) ASSERT_EQ(tail[i], 2049.0f + i) << i;
  for (std::size_t i = 452; i < 1024; ++i) ASSERT_EQ(tail[i], 0.0f) << i;
  EXPECT_EQ(padded[2].time_base(), (TimeBase{1, 8000}));
  EXPECT_EQ(channels_of<float>(padded[0])[0][0], 1.0f);
  EXPECT_EQ(channels_of<float>(padded[1])[0][1023], 2048.0f);

  EXPECT_EQ(chunk_walk(false).size(), 2u);
}

TEST(ResampleProcessor, PaddingIsZeroBytesEvenForU8) {
  const AudioFormat f = format_of<std::uint8_t>(8000, 2, false);
  auto p = *ResampleProcessor::create(f, f);
  ASSERT_TRUE(p.set_output_chunker(4096, true));
  const AudioFrame a = make_frame<std::uint8_t>(f, {std::vector<std::uint8_t>(100, 128), std::vector<std::uint8_t>(100, 128)});
  ASSERT_TRUE(p.send_frame(&a));
  EXPECT_EQ(p.receive_frame().error(), CodecError::again());
  ASSERT_TRUE(p.send_frame(nullptr));
  auto out = p.receive_frame();
  ASSERT_TRUE(out);
  EXPECT_EQ(out->nb_samples(), 4096u);
  const auto ch = channels_of<std::uint8_t>(*out);
  EXPECT_EQ(ch[0][4095], 0);
  EXPECT_EQ(ch[1][4095], 0);
}

TEST(ResampleProcessor, ChunkerSettings) {
  auto p = ResampleProcessor::create_deferred(format_of<float>(16000, 1, true));
  EXPECT_EQ(p.set_output_chunker(0, true).error(), CodecError::invalid_data("chunk_samples must be > 0"));
  ASSERT_TRUE(p.set_output_chunker(160, false));
  ASSERT_TRUE(p.set_output_chunker(std::nullopt, true));
  const AudioFrame a = make_frame<float>(format_of<float>(48000, 1, true), {std::vector<float>(480, 0.0f)});
  ASSERT_TRUE(p.send_frame(&a));
  EXPECT_TRUE(p.receive_frame());  // straight to the queue again
}

TEST(ResampleProcessor, FfmpegResetForgetsHistory) {
  const AudioFormat in = format_of<float>(48000, 2, false), out = format_of<float>(44100, 2, false);
  std::vector<float> x(960);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.01f * i);
  const AudioFrame f = make_frame<float>(in, {x, x});
  auto run = [&](ResampleProcessor& p) {
    EXPECT_TRUE(p.send_frame(&f));
    EXPECT_TRUE(p.send_frame(nullptr));
    return concat_channel<float>(drain(p), 1);
  };
  auto fresh = *ResampleProcessor::create(in, out);
  const auto want = run(fresh);
  auto p = *ResampleProcessor::create(in, out);
  ASSERT_TRUE(p.send_frame(&f));
  ASSERT_TRUE(p.reset());
  EXPECT_EQ(p.receive_frame().error(), CodecError::again());
  EXPECT_EQ(run(p), want);
  EXPECT_STREQ(p.name(), "resample(ffmpeg)");
}

TEST(ResampleProcessor, RejectsFramesThatWouldNeverEnd) {
  // 1 Hz -> 2^31-1 Hz: one frame would need billions of samples.
  AudioFormat in = linear_only(1), out = linear_only(2147483647);
  auto p = *ResampleProcessor::create(in, out);
  const AudioFrame a = make_frame<float>(in, {{1, 2, 3}});
  EXPECT_EQ(p.send_frame(&a).error(), CodecError::invalid_data("resample output frame too large"));
}

}  // namespace
}  // namespace kestrune

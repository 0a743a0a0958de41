#include "common/audio/audio.hpp"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

AudioFormat fmt(std::uint32_t rate, SampleFormat sf, std::uint16_t ch, std::uint64_t mask = 0) {
  return AudioFormat{rate, sf, ch, mask};
}

TEST(AudioFrame, NewAllocShapes) {
  auto f = AudioFrame::new_alloc(fmt(48000, SampleFormat::I16(false), 2), 10);
  ASSERT_TRUE(f);
  ASSERT_EQ(f->plane_count(), 1u);
  EXPECT_EQ(f->plane(0)->size(), 40u);
  const ByteSpan plane0 = *f->plane(0);  // a named span: no dangling temporary in the loop
  for (auto b : plane0) EXPECT_EQ(b, 0);
  EXPECT_FALSE(f->plane(1));

  auto p = AudioFrame::new_alloc(fmt(48000, SampleFormat::I16(true), 2), 10);
  ASSERT_TRUE(p);
  ASSERT_EQ(p->plane_count(), 2u);
  EXPECT_EQ(p->plane(1)->size(), 20u);

  auto z = AudioFrame::new_alloc(fmt(44100, SampleFormat::F32(true), 3), 0);
  ASSERT_TRUE(z);
  EXPECT_EQ(z->plane_count(), 3u);
  EXPECT_TRUE(z->plane(2)->empty());
  EXPECT_FALSE(z->pts());
  EXPECT_EQ(z->time_base(), (TimeBase{1, 44100}));
}

TEST(AudioFrame, ValidationMessages) {
  struct Case {
    AudioFormat format;
    std::size_t n;
    TimeBase tb;
    std::vector<std::size_t> plane_sizes;
    const char* want;  // "" = success
  };
  const Case cases[] = {
      {fmt(0, SampleFormat::F32(true), 2), 4, {1, 1}, {16}, "invalid audio format: sample_rate must be > 0"},
      {fmt(8000, SampleFormat::F32(true), 0), 4, {1, 1}, {}, "invalid audio format: channels must be > 0"},
      {fmt(8000, SampleFormat::F32(true), 1), 4, {1, 0}, {16}, "invalid time_base: 1/0"},
      {fmt(8000, SampleFormat::F32(true), 1), 4, {0, 5}, {16}, ""},
      {fmt(8000, SampleFormat::F32(true), 1), 4, {-1, -5}, {16}, ""},
      {fmt(8000, SampleFormat::F32(true), 2), 4, {1, 8000}, {16, 12},
       "invalid plane size for plane 1: expected 16 bytes, got 12"},
      {fmt(8000, SampleFormat::I16(false), 2), 4, {1, 8000}, {16, 16}, "invalid plane count: expected 1, got 2"},
  };
  for (const auto& c : cases) {
    std::vector<Bytes> planes;
    for (auto s : c.plane_sizes) planes.emplace_back(s, 7);
    auto r = AudioFrame::from_planes(c.format, c.n, c.tb.num, c.tb.den, 5, std::move(planes));
    if (*c.want == 0) {
      ASSERT_TRUE(r) << r.error().to_string();
      EXPECT_EQ(r->pts(), 5);
      EXPECT_EQ(r->time_base(), c.tb);
      EXPECT_EQ(r->nb_samples(), c.n);
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().to_string(), c.want);
    }
  }
}

TEST(AudioFrame, CloneIsDeep) {
  auto f = AudioFrame::new_alloc(fmt(8000, SampleFormat::U8(true), 1), 3);
  ASSERT_TRUE(f);
  f->set_pts(9);
  auto c = f->clone();
  f->planes()[0][0] = 42;
  EXPECT_EQ(c.plane(0)->data()[0], 0);
  EXPECT_NE(c.plane(0)->data(), f->plane(0)->data());
  EXPECT_EQ(c.pts(), 9);
}

TEST(AudioFormatDiff, Texts) {
  const auto a = fmt(48000, SampleFormat::I16(true), 2, 0x3);
  const auto b = fmt(44100, SampleFormat::F32(true), 1, 0x4);
  EXPECT_EQ(audio_format_diff(a, b),
            "sample_rate: 48000 != 44100, sample_format: I16 { planar: true } != F32 { planar: true }, "
            "channels: 2 != 1, channel_layout_mask: 0x3 != 0x4");
  EXPECT_EQ(audio_format_diff(a, a), "");
  auto c = a;
  c.sample_format.planar = false;
  EXPECT_EQ(audio_format_diff(a, c), "sample_format: I16 { planar: true } != I16 { planar: false }");
  c = a;
  c.channel_layout_mask = 0x3f;
  EXPECT_EQ(audio_format_diff(a, c), "channel_layout_mask: 0x3 != 0x3f");
}

TEST(SampleFormat, DebugTextAndIndex) {
  EXPECT_EQ(SampleFormat::F32(false).debug_text(), "F32 { planar: false }");
  EXPECT_EQ(SampleFormat::U8(true).order_index(), 0u);
  EXPECT_EQ(SampleFormat::F64(true).order_index(), 5u);
  EXPECT_EQ(SampleFormat::I64(true).bytes_per_sample(), 8u);
}

}  // namespace
}  // namespace kestrune

#include "common/audio/fifo.hpp"

#include <gtest/gtest.h>

#include <numeric>

namespace kestrune {
namespace {

const AudioFormat kStereoI16{48000, SampleFormat::I16(true), 2, 0x3};

AudioFrame ramp(const AudioFormat& f, std::size_t n, std::optional<std::int64_t> pts, int start = 0,
                TimeBase tb = {1, 48000}) {
  std::vector<Bytes> planes(f.plane_count());
  for (std::size_t p = 0; p < planes.size(); ++p) {
    planes[p].resize(f.plane_bytes(n));
    for (std::size_t i = 0; i < planes[p].size(); ++i)
      planes[p][i] = static_cast<std::uint8_t>(start + i + 31 * p);
  }
  return *AudioFrame::from_planes(f, n, tb.num, tb.den, pts, std::move(planes));
}

TEST(AudioFifo, RechunksExactly) {
  auto fifo = *AudioFifo::create(kStereoI16, 1, 48000);
  ASSERT_TRUE(fifo.push_frame(ramp(kStereoI16, 1000, std::nullopt)));
  auto none = fifo.pop_frame(1024);
  ASSERT_TRUE(none);
  EXPECT_FALSE(*none);
  EXPECT_EQ(fifo.available_samples(), 1000u);
  ASSERT_TRUE(fifo.push_frame(ramp(kStereoI16, 100, std::nullopt)));
  auto got = fifo.pop_frame(1024);
  ASSERT_TRUE(got && *got);
  EXPECT_EQ((*got)->nb_samples(), 1024u);
  EXPECT_EQ(fifo.available_samples(), 76u);
}

TEST(AudioFifo, BytesComeOutInOrder) {
  const AudioFormat f{8000, SampleFormat::U8(true), 2, 0};
  auto fifo = *AudioFifo::create(f, 1, 8000);
  ASSERT_TRUE(fifo.push_frame(ramp(f, 5, std::nullopt, 0)));
  ASSERT_TRUE(fifo.push_frame(ramp(f, 5, std::nullopt, 5)));
  auto a = **fifo.pop_frame(3);
  auto b = **fifo.pop_frame(7);
  std::vector<int> ch0;
  for (auto* fr : {&a, &b}) {
    const ByteSpan bytes = *fr->plane(0);
    ch0.insert(ch0.end(), bytes.begin(), bytes.end());
  }
  std::vector<int> want(10);
  std::iota(want.begin(), want.end(), 0);
  EXPECT_EQ(ch0, want);
  EXPECT_EQ(b.plane(1)->data()[6], 31 + 9);
}

TEST(AudioFifo, PtsContinuityAndLoss) {
  auto fifo = *AudioFifo::create(kStereoI16, 1, 48000);
  ASSERT_TRUE(fifo.push_frame(ramp(kStereoI16, 480, 0)));
  ASSERT_TRUE(fifo.push_frame(ramp(kStereoI16, 480, 480)));
  EXPECT_EQ((**fifo.pop_frame(480)).pts(), 0);
  EXPECT_EQ((**fifo.pop_frame(480)).pts(), 480);

  auto gap = *AudioFifo::create(kStereoI16, 1, 48000);
  ASSERT_TRUE(gap.push_frame(ramp(kStereoI16, 480, 0)));
  ASSERT_TRUE(gap.push_frame(ramp(kStereoI16, 480, 500)));
  EXPECT_FALSE((**gap.pop_frame(480)).pts());
  EXPECT_FALSE((**gap.pop_frame(480)).pts());
  // Lost pts is regained only by a timed frame into an empty FIFO.
  ASSERT_TRUE(gap.push_frame(ramp(kStereoI16, 10, 2000)));
  EXPECT_EQ((**gap.pop_frame(10)).pts(), 2000);

  auto tb = *AudioFifo::create(kStereoI16, 1, 48000);
  ASSERT_TRUE(tb.push_frame(ramp(kStereoI16, 10, 0, 0, {1, 1000})));
  EXPECT_FALSE(tb.pts());
}

TEST(AudioFifo, FormatAndPlaneChecks) {
  auto fifo = *AudioFifo::create(kStereoI16, 1, 48000);
  auto other = kStereoI16;
  other.channel_layout_mask = 0;
  auto r = fifo.push_frame(ramp(other, 4, std::nullopt));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "invalid audio format: AudioFifo format mismatch");
  EXPECT_EQ(fifo.available_samples(), 0u);

  auto bad = AudioFifo::create(kStereoI16, 1, 0);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().to_string(), "invalid time_base: 1/0");
}

TEST(AudioFifo, ZeroSampleFrameOnlyChangesPts) {
  auto fifo = *AudioFifo::create(kStereoI16, 1, 48000);
  ASSERT_TRUE(fifo.push_frame(ramp(kStereoI16, 0, 77)));
  EXPECT_EQ(fifo.pts(), 77);
  EXPECT_EQ(fifo.available_samples(), 0u);
  auto empty = **fifo.pop_frame(0);
  EXPECT_EQ(empty.nb_samples(), 0u);
  EXPECT_EQ(fifo.pts(), 77);
}

TEST(AudioFifo, InterleavedCounts) {
  const AudioFormat f{48000, SampleFormat::I16(false), 2, 0x3};
  auto fifo = *AudioFifo::create(f, 1, 48000);
  ASSERT_TRUE(fifo.push_frame(ramp(f, 10, std::nullopt)));
  ASSERT_TRUE(fifo.push_frame(ramp(f, 7, std::nullopt)));
  EXPECT_EQ(fifo.available_samples(), 17u);
  auto all = **fifo.pop_frame(17);
  EXPECT_EQ(all.plane(0)->size(), 68u);
}

}  // namespace
}  // namespace kestrune

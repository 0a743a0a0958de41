#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "codec/decoder/wav_decoder.hpp"
#include "codec/encoder/wav_encoder.hpp"

namespace kestrune {
namespace {

using K = CodecError::Kind;

AudioFrame random_frame(const AudioFormat& f, std::size_t n, std::uint32_t seed,
                        std::optional<std::int64_t> pts = std::nullopt) {
  std::mt19937 rng(seed);
  std::vector<Bytes> planes(f.plane_count(), Bytes(f.plane_bytes(n)));
  for (auto& p : planes)
    for (auto& b : p) b = static_cast<std::uint8_t>(rng());
  return *AudioFrame::from_planes(f, n, 1, static_cast<std::int32_t>(f.sample_rate), pts, std::move(planes));
}

CodecPacket packet_of(Bytes data, TimeBase tb = {1, 48000}, std::optional<std::int64_t> pts = std::nullopt) {
  CodecPacket p;
  p.data = std::move(data);
  p.time_base = tb;
  p.pts = pts;
  return p;
}

// Every sample type in both layouts: encoding gives the WAV data-chunk bytes
// (interleaved) and decoding them gives the samples back exactly.
TEST(WavCodec, RoundTripIsExactForEveryTypeAndLayout) {
  const SampleType types[] = {SampleType::U8, SampleType::I16, SampleType::I32,
                              SampleType::I64, SampleType::F32, SampleType::F64};
  std::uint32_t seed = 1;
  for (SampleType t : types) {
    for (bool planar : {true, false}) {
      for (std::uint16_t ch : {1, 2, 3}) {
        SCOPED_TRACE(std::string(sample_type_name(t)) + (planar ? " planar " : " interleaved ") +
                     std::to_string(ch));
        const AudioFormat in{44100, {t, planar}, ch, 0};
        const std::size_t n = 37;
        AudioFrame frame = random_frame(in, n, seed++, 1234);
        WavEncoder enc;
        ASSERT_TRUE(enc.send_frame(&frame));
        auto pkt = enc.receive_packet();
        ASSERT_TRUE(pkt);
        EXPECT_EQ(pkt->data.size(), n * ch * in.bytes_per_sample());
        EXPECT_EQ(pkt->pts, 1234);
        EXPECT_EQ(pkt->duration, static_cast<std::int64_t>(n));
        EXPECT_FALSE(pkt->dts);
        EXPECT_EQ(pkt->flags, 0u);
        EXPECT_EQ(pkt->time_base, (TimeBase{1, 44100}));

        // Interleave by hand for the expected bytes.
        const std::size_t bps = in.bytes_per_sample();
        Bytes expected;
        if (planar) {
          for (std::size_t i = 0; i < n; ++i)
            for (std::size_t c = 0; c < ch; ++c) {
              auto p = *frame.plane(c);
              expected.insert(expected.end(), p.begin() + i * bps, p.begin() + (i + 1) * bps);
            }
        } else {
          auto p = *frame.plane(0);
          expected.assign(p.begin(), p.end());
        }
        EXPECT_EQ(pkt->data, expected);

        AudioFormat out = in;
        out.sample_format.planar = false;
        WavDecoder dec(out);
        ASSERT_TRUE(dec.send_packet(std::move(*pkt)));
        auto back = dec.receive_frame();
        ASSERT_TRUE(back);
        EXPECT_EQ(back->nb_samples(), n);
        EXPECT_EQ(back->format(), out);
        EXPECT_EQ(back->pts(), 1234);
        EXPECT_EQ(back->time_base(), (TimeBase{1, 44100}));
        ASSERT_EQ(back->plane_count(), 1u);
        EXPECT_TRUE(std::ranges::equal(*back->plane(0), expected));
      }
    }
  }
}

TEST(WavEncoder, PlanarStereoIsInterleavedFrameMajor) {
  const AudioFormat f{48000, SampleFormat::I16(true), 2, 0x3};
  std::vector<Bytes> planes{{0x01, 0x00, 0x02, 0x00}, {0x0A, 0x00, 0x0B, 0x00}};  // L0 L1 / R0 R1
  auto frame = *AudioFrame::from_planes(f, 2, 1, 48000, std::nullopt, std::move(planes));
  WavEncoder enc;
  ASSERT_TRUE(enc.send_frame(&frame));
  auto pkt = enc.receive_packet();
  ASSERT_TRUE(pkt);
  EXPECT_EQ(pkt->data, (Bytes{0x01, 0x00, 0x0A, 0x00, 0x02, 0x00, 0x0B, 0x00}));
  EXPECT_EQ(pkt->duration, 2);
  EXPECT_FALSE(pkt->dts);
  EXPECT_FALSE(pkt->pts);
}

TEST(WavDecoder, PayloadSizes) {
  const AudioFormat f{48000, SampleFormat::I16(false), 2, 0x3};
  WavDecoder dec(f);
  auto bad = dec.send_packet(packet_of(Bytes(10)));
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), CodecError::invalid_data("packet size not aligned to channels*bps"));
  ASSERT_TRUE(dec.send_packet(packet_of(Bytes(12))));
  auto fr = dec.receive_frame();
  ASSERT_TRUE(fr);
  EXPECT_EQ(fr->nb_samples(), 3u);
  ASSERT_TRUE(dec.send_packet(packet_of({})));
  fr = dec.receive_frame();
  ASSERT_TRUE(fr);
  EXPECT_EQ(fr->nb_samples(), 0u);

  WavDecoder zero({48000, SampleFormat::I16(false), 0, 0});
  EXPECT_EQ(zero.send_packet(packet_of(Bytes(4))).error(), CodecError::invalid_data("channels=0"));

  // A planar multi-channel output format cannot hold one interleaved plane.
  WavDecoder planar({48000, SampleFormat::I16(true), 2, 0x3});
  EXPECT_EQ(planar.send_packet(packet_of(Bytes(8))).error(), CodecError::invalid_data("failed to build AudioFrame"));
  // So can a zero time base denominator.
  EXPECT_EQ(dec.send_packet(packet_of(Bytes(4), {1, 0})).error(), CodecError::invalid_data("failed to build AudioFrame"));
}

TEST(WavDecoder, StateMachine) {
  const AudioFormat f{8000, SampleFormat::U8(false), 1, 0x4};
  WavDecoder dec(f);
  EXPECT_EQ(dec.name(), std::string("pcm(wav)"));
  EXPECT_EQ(dec.output_format(), f);
  EXPECT_EQ(dec.receive_frame().error().kind, K::Again);

  // Second send without receiving: Again, and that packet is lost.
  ASSERT_TRUE(dec.send_packet(packet_of({1, 2})));
  EXPECT_EQ(dec.send_packet(packet_of({3, 4, 5})).error().kind, K::Again);
  // End of input is not taken while a frame is held either.
  EXPECT_EQ(dec.send_packet(std::nullopt).error().kind, K::Again);
  auto fr = dec.receive_frame();
  ASSERT_TRUE(fr);
  EXPECT_EQ(fr->nb_samples(), 2u);
  EXPECT_EQ(dec.receive_frame().error().kind, K::Again);

  ASSERT_TRUE(dec.send_packet(std::nullopt));
  EXPECT_EQ(dec.receive_frame().error().kind, K::Eof);
  EXPECT_EQ(dec.receive_frame().error().kind, K::Eof);
  EXPECT_EQ(dec.send_packet(std::nullopt).error(), CodecError::invalid_state("already flushed"));
  EXPECT_EQ(dec.send_packet(packet_of({1})).error(), CodecError::invalid_state("already flushed"));

  ASSERT_TRUE(dec.reset());
  EXPECT_EQ(dec.receive_frame().error().kind, K::Again);
  ASSERT_TRUE(dec.send_packet(packet_of({9})));
  EXPECT_TRUE(dec.receive_frame());
}

TEST(WavEncoder, StateMachineAndFormatLocking) {
  const AudioFormat a{48000, SampleFormat::I16(true), 2, 0x3};
  const AudioFormat b{44100, SampleFormat::F32(false), 1, 0x4};
  WavEncoder enc;
  EXPECT_EQ(enc.preferred_frame_samples(), std::nullopt);
  EXPECT_EQ(enc.receive_packet().error().kind, K::Again);

  // A 0-sample frame neither produces a packet nor locks the format.
  AudioFrame empty = random_frame(b, 0, 1);
  ASSERT_TRUE(enc.send_frame(&empty));
  EXPECT_EQ(enc.input_format(), std::nullopt);
  EXPECT_EQ(enc.receive_packet().error().kind, K::Again);

  AudioFrame fa = random_frame(a, 4, 2);
  ASSERT_TRUE(enc.send_frame(&fa));
  EXPECT_EQ(enc.input_format(), a);
  EXPECT_EQ(enc.send_frame(&fa).error().kind, K::Again);
  EXPECT_EQ(enc.send_frame(nullptr).error().kind, K::Again);
  ASSERT_TRUE(enc.receive_packet());

  // Only the layout mask differs: still a mismatch, reported on stderr.
  AudioFormat masked = a;
  masked.channel_layout_mask = 0x60;
  AudioFrame fm = random_frame(masked, 4, 3);
  testing::internal::CaptureStderr();
  auto err = enc.send_frame(&fm);
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.error(), CodecError::invalid_data("input AudioFormat mismatch"));
  EXPECT_EQ(report,
            "WavEncoder input AudioFormat mismatch:\n  input_output_format_diffs: "
            "channel_layout_mask: 0x3 != 0x60\n");
  EXPECT_EQ(enc.receive_packet().error().kind, K::Again);  // refused frame had no effect

  ASSERT_TRUE(enc.send_frame(nullptr));
  EXPECT_EQ(enc.receive_packet().error().kind, K::Eof);
  EXPECT_EQ(enc.send_frame(nullptr).error(), CodecError::invalid_state("already flushed"));
  EXPECT_EQ(enc.send_frame(&fa).error(), CodecError::invalid_state("already flushed"));

  // Not fixed: reset forgets the format; the next frame locks a new one.
  ASSERT_TRUE(enc.reset());
  EXPECT_EQ(enc.input_format(), std::nullopt);
  AudioFrame fb = random_frame(b, 3, 4);
  ASSERT_TRUE(enc.send_frame(&fb));
  EXPECT_EQ(enc.input_format(), b);

  // Fixed: reset keeps it.
  WavEncoder fixed(a);
  ASSERT_TRUE(fixed.reset());
  EXPECT_EQ(fixed.input_format(), a);
  testing::internal::CaptureStderr();
  EXPECT_EQ(fixed.send_frame(&fb).error(), CodecError::invalid_data("input AudioFormat mismatch"));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("sample_rate: 48000 != 44100"), std::string::npos);
}

// A view whose planes are shorter than its sample count claims must be
// refused, not read past the end.
class LyingView final : public AudioFrameView {
 public:
  LyingView(AudioFormat f, std::size_t n, std::vector<Bytes> planes) : f_(f), n_(n), planes_(std::move(planes)) {}
  AudioFormat format() const override { return f_; }
  std::size_t nb_samples() const override { return n_; }
  TimeBase time_base() const override { return {1, 48000}; }
  std::optional<std::int64_t> pts() const override { return std::nullopt; }
  std::size_t plane_count() const override { return planes_.size(); }
  std::optional<ByteSpan> plane(std::size_t i) const override {
    if (i >= planes_.size()) return std::nullopt;
    return ByteSpan(planes_[i]);
  }

 private:
  AudioFormat f_;
  std::size_t n_;
  std::vector<Bytes> planes_;
};

TEST(WavEncoder, RefusesMissingOrShortPlanes) {
  const AudioFormat planar{48000, SampleFormat::I16(true), 2, 0x3};
  const AudioFormat packed{48000, SampleFormat::I16(false), 2, 0x3};
  struct Case {
    AudioFormat f;
    std::vector<Bytes> planes;
    const char* message;
  } cases[] = {
      {planar, {Bytes(8)}, "missing plane"},
      {planar, {Bytes(8), Bytes(6)}, "unexpected plane size"},
      {packed, {}, "missing plane 0"},
      {packed, {Bytes(10)}, "unexpected interleaved plane size"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.message);
    WavEncoder enc;
    LyingView v(c.f, 4, c.planes);
    EXPECT_EQ(enc.send_frame(&v).error(), CodecError::invalid_data(c.message));
    EXPECT_EQ(enc.receive_packet().error().kind, K::Again);
  }
}

}  // namespace
}  // namespace kestrune

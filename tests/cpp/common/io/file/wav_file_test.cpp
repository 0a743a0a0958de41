#include "common/io/file/wav_file.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/io/file/file.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

class WavFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kestrune_wav_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

struct Bld {
  Bytes b;
  Bld& tag(const char* t) { b.insert(b.end(), t, t + 4); return *this; }
  Bld& u16(std::uint16_t v) { b.push_back(v & 0xff); b.push_back(v >> 8); return *this; }
  Bld& u32(std::uint32_t v) { for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 0xff); return *this; }
  Bld& raw(std::size_t n, std::uint8_t v = 0) { b.insert(b.end(), n, v); return *this; }
  Bld& fmt(std::uint16_t code, std::uint16_t ch, std::uint32_t rate, std::uint16_t bits) {
    return tag("fmt ").u32(16).u16(code).u16(ch).u32(rate).u32(rate * ch * bits / 8).u16(ch * bits / 8).u16(bits);
  }
};

void write_file(const std::string& p, const Bytes& b) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
}

Bytes read_file(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bld riff() { Bld b; b.tag("RIFF").u32(0).tag("WAVE"); return b; }

std::vector<std::size_t> frame_sizes(WavReader& r, std::vector<std::int64_t>* pts = nullptr) {
  std::vector<std::size_t> sizes;
  for (;;) {
    auto f = r.next_frame();
    EXPECT_TRUE(f) << f.error().to_string();
    if (!f || !*f) break;
    sizes.push_back((*f)->nb_samples());
    if (pts) pts->push_back(*(*f)->pts());
  }
  return sizes;
}

TEST_F(WavFiles, ChunkedReadWithPts) {
  auto b = riff().fmt(1, 2, 8000, 16).tag("data").u32(2500 * 4).raw(2500 * 4, 1);
  write_file(path("a.wav"), b.b);
  auto r = WavReader::open_with_config(path("a.wav"), 1024);
  ASSERT_TRUE(r);
  std::vector<std::int64_t> pts;
  EXPECT_EQ(frame_sizes(*r, &pts), (std::vector<std::size_t>{1024, 1024, 452}));
  EXPECT_EQ(pts, (std::vector<std::int64_t>{0, 1024, 2048}));
  auto again = r->next_frame();
  ASSERT_TRUE(again);
  EXPECT_FALSE(*again);
}

TEST_F(WavFiles, ChunkLayoutVariants) {
  // data before fmt; an odd LIST chunk (padded) before data; trailing partial sample frame.
  auto data_first = riff().tag("data").u32(8).raw(8).fmt(1, 2, 8000, 16);
  write_file(path("df.wav"), data_first.b);
  auto r1 = WavReader::open_with_config(path("df.wav"), 1024);
  ASSERT_TRUE(r1) << r1.error().to_string();
  EXPECT_EQ(frame_sizes(*r1), std::vector<std::size_t>{2});

  auto odd_list = riff().fmt(1, 2, 8000, 16).tag("LIST").u32(3).raw(3).raw(1).tag("data").u32(10).raw(10);
  write_file(path("list.wav"), odd_list.b);
  auto r2 = WavReader::open_with_config(path("list.wav"), 1024);
  ASSERT_TRUE(r2) << r2.error().to_string();
  EXPECT_EQ(frame_sizes(*r2), std::vector<std::size_t>{2});  // 10 bytes = 2 frames + 2 ignored

  auto one = WavReader::open_with_config(path("list.wav"), 0);
  ASSERT_TRUE(one);
  EXPECT_EQ(frame_sizes(*one), (std::vector<std::size_t>{1, 1}));
}

TEST_F(WavFiles, OpenAndReadErrors) {
  struct Case {
    Bytes bytes;
    const char* open_error;  // nullptr: opens
    const char* read_error;  // nullptr: reads fine
  };
  const Case cases[] = {
      {Bld().tag("RIFX").u32(0).tag("WAVE").b, "format error: not RIFF", nullptr},
      {Bld().tag("RIFF").u32(0).tag("AVI ").b, "format error: not WAVE", nullptr},
      {Bytes{0x52, 0x49, 0x46}, "io error: failed to fill whole buffer", nullptr},
      {riff().tag("data").u32(4).raw(4).b, "format error: missing fmt chunk", nullptr},
      {riff().fmt(1, 1, 8000, 16).b, "format error: missing data chunk", nullptr},
      {riff().fmt(1, 1, 8000, 8).tag("data").u32(4).raw(4).b, nullptr,
       "format error: unsupported WAV format (only PCM16LE / Float32LE)"},
      {riff().fmt(1, 1, 8000, 24).tag("data").u32(6).raw(6).b, nullptr,
       "format error: unsupported WAV format (only PCM16LE / Float32LE)"},
      // Data chunk claims more bytes than the file holds.
      {riff().fmt(1, 1, 8000, 16).tag("data").u32(100).raw(10).b, nullptr, "io error: failed to fill whole buffer"},
  };
  for (const auto& c : cases) {
    write_file(path("e.wav"), c.bytes);
    auto r = WavReader::open_with_config(path("e.wav"), 1024);
    if (c.open_error) {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().to_string(), c.open_error);
      continue;
    }
    ASSERT_TRUE(r) << r.error().to_string();
    auto f = r->next_frame();
    ASSERT_FALSE(f);
    EXPECT_EQ(f.error().to_string(), c.read_error);
  }
  auto missing = AudioFileReader::open(path("nope.wav"), AudioFileFormat::Wav, 1024);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().to_string().rfind("io error: ", 0), 0u);
}

AudioFrame f32_planar(std::uint32_t rate, std::vector<std::vector<float>> chans) {
  const auto n = chans[0].size();
  std::vector<Bytes> planes;
  for (auto& c : chans) {
    Bytes p(n * 4);
    std::memcpy(p.data(), c.data(), p.size());
    planes.push_back(std::move(p));
  }
  AudioFormat f{rate, SampleFormat::F32(true), static_cast<std::uint16_t>(chans.size()), 0};
  return *AudioFrame::from_planes(f, n, 1, rate, std::nullopt, std::move(planes));
}

TEST_F(WavFiles, FloatToPcm16Conversion) {
  auto w = WavWriter::create(path("c.wav"), {});
  ASSERT_TRUE(w);
  ASSERT_TRUE(w->write_frame(f32_planar(8000, {{1.5f, -2.0f, 0.5f, NAN}})));
  ASSERT_TRUE(w->finalize());
  Bytes b = read_file(path("c.wav"));
  ASSERT_EQ(b.size(), 44u + 8u);
  std::int16_t s[4];
  std::memcpy(s, b.data() + 44, 8);
  EXPECT_EQ(s[0], 32767);
  EXPECT_EQ(s[1], -32767);
  EXPECT_EQ(s[2], 16384);
  EXPECT_EQ(s[3], -32767);
}

TEST_F(WavFiles, HeaderSizesAndRoundTrip) {
  AudioFormat fmt{44100, SampleFormat::I16(false), 2, 0x3};
  auto w = AudioFileWriter::create(path("h.wav"), WavWriterConfig{fmt, WavSampleFormat::Pcm16});
  ASSERT_TRUE(w);
  auto frame = *AudioFrame::new_alloc(fmt, 1000);
  for (std::size_t i = 0; i < 2000; ++i) {
    const std::int16_t v = static_cast<std::int16_t>(i * 31 - 30000);
    std::memcpy(frame.planes()[0].data() + 2 * i, &v, 2);
  }
  ASSERT_TRUE(w->write_frame(frame));
  ASSERT_TRUE(w->finalize());
  Bytes b = read_file(path("h.wav"));
  ASSERT_EQ(b.size(), 4044u);
  auto u32 = [&](std::size_t o) { std::uint32_t v; std::memcpy(&v, b.data() + o, 4); return v; };
  EXPECT_EQ(u32(4), 4036u);
  EXPECT_EQ(u32(40), 4000u);
  EXPECT_EQ(u32(28), 44100u * 4);

  auto r = AudioFileReader::open(path("h.wav"), AudioFileFormat::Wav, 4096);
  ASSERT_TRUE(r);
  auto got = r->next_frame();
  ASSERT_TRUE(got && *got);
  const AudioFrame& f = **got;
  EXPECT_EQ(f.format(), (AudioFormat{44100, SampleFormat::F32(true), 2, 0x3}));
  for (std::size_t i = 0; i < 2000; ++i) {
    float x;
    std::memcpy(&x, f.plane(i % 2)->data() + 4 * (i / 2), 4);
    EXPECT_EQ(x, static_cast<float>(static_cast<std::int16_t>(i * 31 - 30000)) / 32768.0f);
  }
}

TEST_F(WavFiles, FloatFilesAreBitExact) {
  auto w = WavWriter::create(path("f.wav"), WavWriterConfig{std::nullopt, WavSampleFormat::F32});
  ASSERT_TRUE(w);
  std::vector<float> left = {0.1f, -0.7f, 3.5f, 1e-30f}, right = {-0.0f, 0.25f, -9.0f, 0.33f};
  ASSERT_TRUE(w->write_frame(f32_planar(22050, {left, right})));
  ASSERT_TRUE(w->finalize());
  auto r = WavReader::open_with_config(path("f.wav"), 16);
  ASSERT_TRUE(r);
  auto f = **r->next_frame();
  EXPECT_EQ(std::memcmp(f.plane(0)->data(), left.data(), 16), 0);
  EXPECT_EQ(std::memcmp(f.plane(1)->data(), right.data(), 16), 0);
}

TEST_F(WavFiles, WriterRules) {
  auto w = WavWriter::create(path("r.wav"), {});
  ASSERT_TRUE(w);
  auto empty = *AudioFrame::new_alloc({8000, SampleFormat::F32(true), 1, 0}, 0);
  ASSERT_TRUE(w->write_frame(empty));
  ASSERT_TRUE(w->finalize());
  EXPECT_EQ(fs::file_size(path("r.wav")), 0u);

  ASSERT_TRUE(w->write_frame(f32_planar(8000, {{0.5f}})));
  auto other_rate = w->write_frame(f32_planar(16000, {{0.5f}}));
  ASSERT_FALSE(other_rate);
  EXPECT_EQ(other_rate.error().to_string(),
            "format error: WAV writer expects fixed sample_rate/channels (no resample layer yet)");
  auto i16 = *AudioFrame::new_alloc({8000, SampleFormat::I16(true), 1, 0}, 3);
  EXPECT_TRUE(w->write_frame(i16));
  auto u8 = *AudioFrame::new_alloc({8000, SampleFormat::U8(true), 1, 0}, 3);
  auto bad = w->write_frame(u8);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().to_string(), "format error: WAV writer supports only I16/F32 input currently");
  ASSERT_TRUE(w->finalize());
  EXPECT_EQ(fs::file_size(path("r.wav")), 44u + 8u);
}

TEST_F(WavFiles, FramesAfterFinalizeAppendAndRepatch) {
  auto w = WavWriter::create(path("x.wav"), {});
  ASSERT_TRUE(w);
  ASSERT_TRUE(w->write_frame(f32_planar(8000, {{0.25f, 0.5f}})));
  ASSERT_TRUE(w->finalize());
  ASSERT_TRUE(w->write_frame(f32_planar(8000, {{-0.25f}})));
  ASSERT_TRUE(w->finalize());
  Bytes b = read_file(path("x.wav"));
  ASSERT_EQ(b.size(), 44u + 6u);
  std::int16_t s[3];
  std::memcpy(s, b.data() + 44, 6);
  EXPECT_EQ(s[0], 8192);
  EXPECT_EQ(s[1], 16384);
  EXPECT_EQ(s[2], -8192);
  std::uint32_t data_size;
  std::memcpy(&data_size, b.data() + 40, 4);
  EXPECT_EQ(data_size, 6u);
}

}  // namespace
}  // namespace kestrune

// MP3, AAC ADTS, FLAC and Ogg Opus files: writer framing and re-chunking,
// reader edge cases, and robustness against damaged input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "codec/codec_test_util.hpp"
#include "common/io/file/aac_file.hpp"
#include "common/io/file/file.hpp"
#include "common/io/file/flac_file.hpp"
#include "common/io/file/mp3_file.hpp"
#include "common/io/file/opus_file.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using testutil::sine_frame;
using testutil::TempDir;

const AudioFormat kF32P48{48000, SampleFormat::F32(true), 2, 0x3};
const AudioFormat kF32I48{48000, SampleFormat::F32(false), 2, 0x3};
const AudioFormat kI16I44{44100, SampleFormat::I16(false), 2, 0x3};

void write_bytes(const std::string& p, const Bytes& b) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// Reads to the end; returns total samples per channel, or the first error.
IoResult<std::size_t> read_all(AudioReader& r, std::vector<AudioFrame>* keep = nullptr) {
  std::size_t total = 0;
  for (int guard = 0; guard < 1000000; ++guard) {
    auto f = r.next_frame();
    if (!f) return std::unexpected(f.error());
    if (!*f) return total;
    total += (*f)->nb_samples();
    if (keep) keep->push_back(std::move(**f));
  }
  ADD_FAILURE() << "reader never reached its end";
  return total;
}

std::size_t decoded_samples(const std::string& path, AudioFileFormat fmt) {
  auto r = AudioFileReader::open(path, fmt, 1024);
  EXPECT_TRUE(r) << r.error().to_string();
  if (!r) return 0;
  auto n = read_all(*r);
  EXPECT_TRUE(n) << n.error().to_string();
  return n ? *n : 0;
}

template <class W>
void write_in_chunks(W& w, const AudioFormat& f, std::size_t total, std::size_t chunk) {
  for (std::size_t done = 0; done < total; done += chunk) {
    const std::size_t n = std::min(chunk, total - done);
    auto frame = sine_frame(f, n, 440.0, 0.5, done, static_cast<std::int64_t>(done));
    auto s = w.write_frame(frame);
    ASSERT_TRUE(s) << s.error().to_string();
  }
}

// ---------------------------------------------------------------- MP3 ------

TEST(Mp3File, WriterRechunksTo1152AndRefusesSecondFinalize) {
  TempDir dir;
  const auto path = dir.file("a.mp3");
  auto w = Mp3Writer::create(path, {kF32P48, 128000});
  ASSERT_TRUE(w);
  auto frame = sine_frame(kF32P48, 3000, 440.0, 0.5, 0, 0);
  ASSERT_TRUE(w->write_frame(frame));
  EXPECT_EQ(w->buffered_samples(), 3000u - 2 * 1152);  // two full frames went to the encoder
  ASSERT_TRUE(w->finalize());
  EXPECT_EQ(w->buffered_samples(), 0u);
  auto again = w->finalize();
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().to_string(), "codec error: invalid state: already flushed");
  auto pcm = testutil::ffmpeg_decode_f32(path, 2);
  ASSERT_TRUE(pcm);
  EXPECT_GE(pcm->size() / 2, 3000u);
}

TEST(Mp3File, WriterFormatChecks) {
  TempDir dir;
  struct Case {
    AudioFormat configured, given;
    const char* message;
  };
  const AudioFormat i64p{48000, SampleFormat::I64(true), 2, 0x3};
  const AudioFormat mono{48000, SampleFormat::F32(true), 1, 0x4};
  const Case cases[] = {
      {kF32I48, kF32I48,
       "format error: MP3 writer expects planar samples (planar=true). Supported: i16p/i32p/f32p (s16p/s32p/fltp)."},
      {i64p, i64p, "format error: MP3 writer sample_type must be one of: i16/i32/f32 (planar)."},
      {kF32P48, mono, "format error: MP3 writer input AudioFormat mismatch"},
  };
  for (const auto& c : cases) {
    auto w = Mp3Writer::create(dir.file("x.mp3"), {c.configured, 128000});
    ASSERT_TRUE(w);
    auto s = w->write_frame(sine_frame(c.given, 100));
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().to_string(), c.message);
  }
  // A writer that never saw a frame leaves an empty file and finalizes.
  auto w = Mp3Writer::create(dir.file("empty.mp3"), {kF32P48, 128000});
  ASSERT_TRUE(w);
  ASSERT_TRUE(w->write_frame(sine_frame(kF32P48, 0)));
  ASSERT_TRUE(w->finalize());
  EXPECT_EQ(fs::file_size(dir.file("empty.mp3")), 0u);
}

TEST(Mp3File, Id3TagsAreSkipped) {
  TempDir dir;
  const auto plain = dir.file("plain.mp3");
  {
    auto w = Mp3Writer::create(plain, {kF32P48, 128000});
    ASSERT_TRUE(w);
    write_in_chunks(*w, kF32P48, 48000, 4800);
    ASSERT_TRUE(w->finalize());
  }
  Bytes body = testutil::read_file(plain);
  // ID3v2 header declaring a 1000-byte tag body (syncsafe 0x07 0x68), so the
  // audio starts at byte 1010; the tag body is filled with sync-like bytes
  // that would decode as garbage if it were not skipped.
  Bytes tagged = {'I', 'D', '3', 4, 0, 0, 0, 0, 0x07, 0x68};
  tagged.insert(tagged.end(), 1000, 0xFF);
  tagged.insert(tagged.end(), body.begin(), body.end());
  Bytes v1 = {'T', 'A', 'G'};
  v1.resize(128, 'x');
  tagged.insert(tagged.end(), v1.begin(), v1.end());
  const auto tagged_path = dir.file("tagged.mp3");
  write_bytes(tagged_path, tagged);

  auto a = Mp3Reader::open(plain);
  auto b = Mp3Reader::open(tagged_path);
  ASSERT_TRUE(a && b);
  std::vector<AudioFrame> fa, fb;
  auto na = read_all(*a, &fa);
  auto nb = read_all(*b, &fb);
  ASSERT_TRUE(na && nb);
  EXPECT_GE(*na, 48000u);
  ASSERT_EQ(*na, *nb);
  for (std::size_t i = 0; i < fa.size(); ++i)
    EXPECT_EQ(*fa[i].plane(0)->data(), *fb[i].plane(0)->data()) << "frame " << i;
  EXPECT_EQ(std::memcmp(fa.back().plane(0)->data(), fb.back().plane(0)->data(), fa.back().plane(0)->size()), 0);
}

// ---------------------------------------------------------------- ADTS -----

TEST(AdtsFraming, HeaderBytesFromAsc) {
  // AAC LC, 44100 Hz (index 4), stereo; payload 100 bytes -> frame length 107.
  const Bytes asc = {0x12, 0x10};
  auto h = adts_header_for(asc, 100);
  ASSERT_TRUE(h);
  const std::array<std::uint8_t, 7> want = {0xFF, 0xF1, 0x50, 0x80, 0x0D, 0x7F, 0xFC};
  EXPECT_EQ(*h, want);
  // 13-bit length field: 8184 + 7 = 8191 still fits, one more does not.
  EXPECT_TRUE(adts_header_for(asc, 8184));
  EXPECT_FALSE(adts_header_for(asc, 8185));
  for (const Bytes& bad : {Bytes{0x12}, Bytes{0x02, 0x10}, Bytes{0x17, 0x80}, Bytes{0x2A, 0x10}}) {
    auto r = adts_header_for(bad, 10);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "format error: invalid ASC");
  }
}

TEST(AdtsFraming, ScannerSkipsGarbageAndReadsFields) {
  // Garbage, a sync word whose frame length is shorter than its header (not a
  // header), then a CRC-protected header: profile 1, index 3, channels 2,
  // length 300, two raw blocks.
  Bytes d = {0x00, 0x12, 0xFF, 0xF1, 0x4C, 0x80, 0x00, 0x1F, 0xFC};
  const std::size_t at = d.size();
  const std::size_t len = 300;
  d.insert(d.end(), {0xFF, 0xF0, 0x4C, static_cast<std::uint8_t>(0x80 | ((len >> 11) & 3)),
                     static_cast<std::uint8_t>(len >> 3), static_cast<std::uint8_t>(((len & 7) << 5) | 0x1F), 0xFD});
  auto h = find_next_adts(d, 0);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->offset, at);
  EXPECT_EQ(h->header_len, 9u);
  EXPECT_EQ(h->frame_len, len);
  EXPECT_EQ(h->profile, 1);
  EXPECT_EQ(h->sf_index, 3);
  EXPECT_EQ(h->channel_config, 2);
  EXPECT_EQ(h->raw_blocks, 1);
  EXPECT_FALSE(find_next_adts(d, at + 1));
  EXPECT_FALSE(find_next_adts(ByteSpan(d.data(), at + 6), 0));  // a header needs 7 bytes
}

// Splits an ADTS file into frames by walking the length fields.
std::vector<std::pair<std::size_t, std::size_t>> adts_walk(const Bytes& b) {
  std::vector<std::pair<std::size_t, std::size_t>> frames;
  std::size_t pos = 0;
  while (pos + 7 <= b.size()) {
    const std::size_t len = ((b[pos + 3] & 3u) << 11) | (b[pos + 4] << 3) | (b[pos + 5] >> 5);
    if (len < 7) break;
    frames.emplace_back(pos, len);
    pos += len;
  }
  EXPECT_EQ(pos, b.size()) << "frames do not tile the file";
  return frames;
}

TEST(AacAdtsFile, WriterRechunksTo1024AndFramesEveryPacket) {
  TempDir dir;
  const auto path = dir.file("a.aac");
  auto out = OutputFile::create(path);
  ASSERT_TRUE(out);
  AacAdtsWriter w(std::move(*out), {kF32P48, std::nullopt});
  ASSERT_TRUE(w.write_frame(sine_frame(kF32P48, 3000, 440.0, 0.5, 0, 0)));
  EXPECT_EQ(w.buffered_samples(), 3000u - 2 * 1024);
  ASSERT_TRUE(w.finalize());
  auto again = w.finalize();
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().to_string(), "codec error: invalid state: already flushed");

  const Bytes file = testutil::read_file(path);
  const auto frames = adts_walk(file);
  // Three frames of input plus the encoder's 1024-sample priming delay.
  ASSERT_EQ(frames.size(), 4u);
  for (auto [pos, len] : frames) {
    EXPECT_EQ(file[pos], 0xFF);
    EXPECT_EQ(file[pos + 1], 0xF1);
    EXPECT_EQ(file[pos + 2], 0x4C);  // LC, 48000 Hz, channel configuration 2 (high bit 0)
    EXPECT_EQ(file[pos + 3] >> 6, 2);
    EXPECT_EQ(file[pos + 5] & 0x1F, 0x1F);
    EXPECT_EQ(file[pos + 6], 0xFC);
    EXPECT_GT(len, 7u);
  }
  // Each frame is one packet of the same encoder fed the same three chunks,
  // behind its 7-byte header.
  auto enc = ffmpeg_backend::AacEncoder::create({kF32P48, std::nullopt});
  ASSERT_TRUE(enc);
  std::vector<Bytes> packets;
  auto drain = [&] {
    for (auto p = (*enc)->receive_packet(); p; p = (*enc)->receive_packet()) packets.push_back(std::move(p->data));
  };
  for (std::size_t start : {0, 1024, 2048}) {
    const std::size_t n = std::min<std::size_t>(1024, 3000 - start);
    auto chunk = sine_frame(kF32P48, n, 440.0, 0.5, start, static_cast<std::int64_t>(start));
    ASSERT_TRUE((*enc)->send_frame(&chunk));
    drain();
  }
  ASSERT_TRUE((*enc)->send_frame(nullptr));
  drain();
  ASSERT_EQ(packets.size(), frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const auto [pos, len] = frames[i];
    ASSERT_EQ(packets[i].size() + 7, len);
    EXPECT_TRUE(std::equal(packets[i].begin(), packets[i].end(), file.begin() + static_cast<std::ptrdiff_t>(pos + 7)));
  }
}

TEST(AacAdtsFile, InterleavedInputIsLeftToTheEncoder) {
  TempDir dir;
  auto w = AudioFileWriter::create(dir.file("i.aac"), AacAdtsWriterConfig{kF32I48, std::nullopt});
  ASSERT_TRUE(w);
  auto s = w->write_frame(sine_frame(kF32I48, 100));
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind, AudioIOError::Kind::Codec);  // FFmpeg's AAC encoder takes planar float only
}

class AdtsEdges : public ::testing::Test {
 protected:
  void SetUp() override {
    auto w = AudioFileWriter::create(path_, AacAdtsWriterConfig{kF32P48, std::nullopt});
    ASSERT_TRUE(w);
    write_in_chunks(*w, kF32P48, 48000, 1000);
    ASSERT_TRUE(w->finalize());
    file_ = testutil::read_file(path_);
    frames_ = adts_walk(file_);
    ASSERT_GT(frames_.size(), 10u);
  }
  TempDir dir_;
  std::string path_ = dir_.file("base.aac");
  Bytes file_;
  std::vector<std::pair<std::size_t, std::size_t>> frames_;
};

TEST_F(AdtsEdges, LeadingGarbageIsSkipped) {
  Bytes g = file_;
  g.insert(g.begin(), 333, 0x5A);
  const auto p = dir_.file("garbage.aac");
  write_bytes(p, g);
  EXPECT_EQ(decoded_samples(p, AudioFileFormat::AacAdts), decoded_samples(path_, AudioFileFormat::AacAdts));
}

TEST_F(AdtsEdges, TruncatedLastFrameEndsCleanlyAfterThePreviousOne) {
  const auto [last, len] = frames_.back();
  Bytes cut(file_.begin(), file_.begin() + static_cast<std::ptrdiff_t>(last + len / 2));
  const auto p = dir_.file("cut.aac");
  write_bytes(p, cut);
  Bytes whole_but_last(file_.begin(), file_.begin() + static_cast<std::ptrdiff_t>(last));
  const auto q = dir_.file("nolast.aac");
  write_bytes(q, whole_but_last);
  const std::size_t n = decoded_samples(p, AudioFileFormat::AacAdts);
  EXPECT_GT(n, 40000u);
  EXPECT_EQ(n, decoded_samples(q, AudioFileFormat::AacAdts));
}

TEST_F(AdtsEdges, FramesCarryPtsInSamples) {
  auto r = AacAdtsReader::open(path_);
  ASSERT_TRUE(r);
  std::vector<AudioFrame> frames;
  ASSERT_TRUE(read_all(*r, &frames));
  ASSERT_GT(frames.size(), 2u);
  EXPECT_EQ(frames[1].time_base(), (TimeBase{1, 48000}));
  EXPECT_EQ(*frames[2].pts() - *frames[1].pts(), 1024);
}

// ---------------------------------------------------------------- FLAC -----

TEST(FlacFile, EncoderFramesAndShortLastFrame) {
  TempDir dir;
  const auto path = dir.file("a.flac");
  auto w = FlacWriter::create(path, {kI16I44, std::nullopt});
  ASSERT_TRUE(w);
  std::vector<AudioFrame> sent;
  for (std::size_t done = 0; done < 10000; done += 2500) {
    sent.push_back(sine_frame(kI16I44, 2500, 440.0, 0.5, done));
    ASSERT_TRUE(w->write_frame(sent.back()));
  }
  EXPECT_EQ(w->frame_size(), 4608u);
  ASSERT_TRUE(w->finalize());

  auto d = testutil::demux(path);
  ASSERT_EQ(d.packets.size(), 3u);
  const std::int64_t durations[] = {4608, 4608, 784}, pts[] = {0, 4608, 9216};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(d.packets[i].duration.value_or(-1), durations[i]);
    EXPECT_EQ(d.packets[i].pts.value_or(-1), pts[i]);
  }
  // Lossless: every sample comes back.
  auto r = FlacReader::open(path);
  ASSERT_TRUE(r);
  std::vector<AudioFrame> got;
  ASSERT_TRUE(read_all(*r, &got));
  Bytes want, have;
  for (auto& f : sent) want.insert(want.end(), f.plane(0)->begin(), f.plane(0)->end());
  for (auto& f : got) {
    ASSERT_EQ(f.format(), kI16I44);
    have.insert(have.end(), f.plane(0)->begin(), f.plane(0)->end());
  }
  EXPECT_EQ(have, want);
}

TEST(FlacFile, ThirtyTwoBitSamplesKeepTheStoredBits) {
  // FFmpeg's FLAC encoder stores 32-bit input with 24 significant bits.
  TempDir dir;
  const AudioFormat f{48000, SampleFormat::I32(false), 2, 0x3};
  auto frame = sine_frame(f, 5000);
  auto* s = reinterpret_cast<std::int32_t*>(frame.planes()[0].data());
  for (std::size_t i = 0; i < 10000; ++i) s[i] &= ~0xFF;
  auto w = FlacWriter::create(dir.file("a.flac"), {f, 8});
  ASSERT_TRUE(w);
  ASSERT_TRUE(w->write_frame(frame));
  ASSERT_TRUE(w->finalize());
  auto r = FlacReader::open(dir.file("a.flac"));
  ASSERT_TRUE(r);
  std::vector<AudioFrame> got;
  ASSERT_TRUE(read_all(*r, &got));
  Bytes have;
  for (auto& g : got) have.insert(have.end(), g.plane(0)->begin(), g.plane(0)->end());
  EXPECT_EQ(have, Bytes(frame.plane(0)->begin(), frame.plane(0)->end()));
}

TEST(FlacFile, LifecycleWithoutAndAfterFrames) {
  TempDir dir;
  const auto path = dir.file("empty.flac");
  auto w = FlacWriter::create(path, {kI16I44, std::nullopt});
  ASSERT_TRUE(w);
  ASSERT_TRUE(w->write_frame(sine_frame(kI16I44, 0)));
  ASSERT_TRUE(w->finalize());
  EXPECT_FALSE(fs::exists(path));  // only empty frames: nothing was created
  auto after = w->write_frame(sine_frame(kI16I44, 10));
  ASSERT_FALSE(after);
  EXPECT_EQ(after.error().to_string(), "codec error: invalid state: already finalized");
  EXPECT_TRUE(w->finalize());

  auto m = FlacWriter::create(dir.file("m.flac"), {kI16I44, std::nullopt});
  ASSERT_TRUE(m);
  const AudioFormat other{48000, SampleFormat::I16(false), 2, 0x3};
  auto s = m->write_frame(sine_frame(other, 10));
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().to_string(), "format error: FLAC writer input AudioFormat mismatch");
  EXPECT_FALSE(fs::exists(dir.file("m.flac")));
  // The writer stays usable: a frame of the configured format initialises it.
  ASSERT_TRUE(m->write_frame(sine_frame(kI16I44, 10)));
  ASSERT_TRUE(m->finalize());
  EXPECT_TRUE(m->finalize());  // no effect
  EXPECT_EQ(decoded_samples(dir.file("m.flac"), AudioFileFormat::Flac), 10u);
}

TEST(FlacFile, EncoderRefusalIsACodecErrorAndCreatesNoFrames) {
  // FLAC takes packed 16/32-bit integers only.
  TempDir dir;
  auto w = FlacWriter::create(dir.file("f.flac"), {kF32P48, std::nullopt});
  ASSERT_TRUE(w);
  auto s = w->write_frame(sine_frame(kF32P48, 100));
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind, AudioIOError::Kind::Codec);
  EXPECT_TRUE(w->finalize());
}

// ---------------------------------------------------------------- Opus -----

TEST(OpusOggFile, LastFrameIsZeroPadded) {
  TempDir dir;
  const auto path = dir.file("a.opus");
  auto w = OpusOggWriter::create(path, {kF32I48, std::nullopt});
  ASSERT_TRUE(w);
  ASSERT_TRUE(w->write_frame(sine_frame(kF32I48, 1000, 440.0, 0.5)));
  EXPECT_EQ(w->frame_size(), 960u);
  ASSERT_TRUE(w->finalize());
  auto d = testutil::demux(path);
  ASSERT_FALSE(d.packets.empty());
  std::int64_t covered = 0;
  for (auto& p : d.packets) covered += p.duration.value_or(0);
  // Two full 960-sample frames of input reach the encoder (1000 + 920 zeros).
  EXPECT_GE(covered, 1920);
  auto pcm = testutil::ffmpeg_decode_f32(path, 2);
  ASSERT_TRUE(pcm);
  const std::size_t n = pcm->size() / 2;
  ASSERT_GE(n, 1000u);
  auto energy = [&](std::size_t from, std::size_t to) {
    double e = 0;
    for (std::size_t i = from; i < to && i < n; ++i) e += (*pcm)[2 * i] * (*pcm)[2 * i];
    return e / double(to - from);
  };
  EXPECT_GT(energy(200, 900), 0.05);   // the tone
  EXPECT_LT(energy(1200, 1900), 1e-3); // the zero padding
}

TEST(OpusOggFile, RefusesNon48kAndPlanarBeforeCreatingTheFile) {
  TempDir dir;
  struct Case {
    AudioFormat f;
    const char* message;
  };
  const Case cases[] = {
      {{44100, SampleFormat::F32(false), 2, 0x3}, "format error: Ogg Opus writer expects 48kHz input (resample before writing)"},
      {kF32P48, "format error: Ogg Opus writer expects packed/interleaved samples"},
      {{48000, SampleFormat::F64(false), 2, 0x3}, "format error: Opus Ogg writer supports only packed (interleaved) U8/I16/I32/F32"},
  };
  for (const auto& c : cases) {
    const auto path = dir.file("x.opus");
    auto w = OpusOggWriter::create(path, {c.f, std::nullopt});
    ASSERT_TRUE(w);
    auto s = w->write_frame(sine_frame(c.f, 100));
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().to_string(), c.message);
    EXPECT_FALSE(fs::exists(path));
  }
}

TEST(OpusOggFile, SecondFinalizeAndLateFrames) {
  TempDir dir;
  auto w = OpusOggWriter::create(dir.file("a.ogg"), {kF32I48, 64000});
  ASSERT_TRUE(w);
  ASSERT_TRUE(w->write_frame(sine_frame(kF32I48, 4800)));
  ASSERT_TRUE(w->finalize());
  EXPECT_TRUE(w->finalize());
  auto s = w->write_frame(sine_frame(kF32I48, 10));
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().to_string(), "codec error: invalid state: already finalized");
  EXPECT_GE(decoded_samples(dir.file("a.ogg"), AudioFileFormat::OpusOgg), 4800u);
}

// ---------------------------------------------------------- robustness -----

// Every reader on damaged input: open fails with an error, or reading gives
// frames and errors and finally ends; never a crash or an endless stream.
TEST(DamagedInput, EveryReaderFailsCleanly) {
  TempDir dir;
  struct Source {
    AudioFileFormat format;
    std::string path;
  };
  std::vector<Source> good;
  {
    const std::string wav = dir.file("g.wav"), mp3 = dir.file("g.mp3"), aac = dir.file("g.aac"),
                      flac = dir.file("g.flac"), opus = dir.file("g.opus");
    auto ww = AudioFileWriter::create(wav, WavWriterConfig{kF32P48, WavSampleFormat::Pcm16});
    auto wm = AudioFileWriter::create(mp3, Mp3WriterConfig{kF32P48, 128000});
    auto wa = AudioFileWriter::create(aac, AacAdtsWriterConfig{kF32P48, std::nullopt});
    auto wf = AudioFileWriter::create(flac, FlacWriterConfig{kI16I44, std::nullopt});
    auto wo = AudioFileWriter::create(opus, OpusOggWriterConfig{kF32I48, std::nullopt});
    ASSERT_TRUE(ww && wm && wa && wf && wo);
    write_in_chunks(*ww, kF32P48, 24000, 4000);
    write_in_chunks(*wm, kF32P48, 24000, 4000);
    write_in_chunks(*wa, kF32P48, 24000, 4000);
    write_in_chunks(*wf, kI16I44, 24000, 4000);
    write_in_chunks(*wo, kF32I48, 24000, 4000);
    for (auto* w : {&*ww, &*wm, &*wa, &*wf, &*wo}) ASSERT_TRUE(w->finalize());
    good = {{AudioFileFormat::Wav, wav},
            {AudioFileFormat::Mp3, mp3},
            {AudioFileFormat::AacAdts, aac},
            {AudioFileFormat::Flac, flac},
            {AudioFileFormat::OpusOgg, opus}};
  }
  std::mt19937 rng(1234);
  Bytes random(20000);
  for (auto& b : random) b = static_cast<std::uint8_t>(rng());
  write_bytes(dir.file("random.bin"), random);
  write_bytes(dir.file("empty.bin"), {});

  std::vector<std::string> inputs = {dir.file("random.bin"), dir.file("empty.bin"), dir.file("missing.bin")};
  for (const auto& g : good) {
    const Bytes b = testutil::read_file(g.path);
    const std::string stem = dir.file(std::string("d_") + audio_file_format_name(g.format));
    for (std::size_t cut : {std::size_t(10), std::size_t(100), b.size() / 2, b.size() - 1}) {
      write_bytes(stem + "_cut" + std::to_string(cut), Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(cut)));
      inputs.push_back(stem + "_cut" + std::to_string(cut));
    }
    Bytes garbage(random.begin(), random.begin() + 777);
    garbage.insert(garbage.end(), b.begin(), b.end());
    write_bytes(stem + "_garbage", garbage);
    inputs.push_back(stem + "_garbage");
    Bytes flipped = b;
    for (std::size_t i = 64; i < flipped.size(); i += 97) flipped[i] ^= 0x5A;
    write_bytes(stem + "_flipped", flipped);
    inputs.push_back(stem + "_flipped");
    inputs.push_back(g.path);  // every well-formed file, opened as every other format
  }
  for (const auto& g : good) {
    for (const auto& in : inputs) {
      SCOPED_TRACE(std::string(audio_file_format_name(g.format)) + " <- " + in);
      auto r = AudioFileReader::open(in, g.format, 1024);
      if (!r) {
        const std::string t = r.error().to_string();
        EXPECT_TRUE(t.starts_with("io error: ") || t.starts_with("format error: ") || t.starts_with("codec error: "))
            << t;
        continue;
      }
      bool ended = false;
      for (int i = 0; i < 100000 && !ended; ++i) {
        auto f = r->next_frame();
        if (f && !*f) ended = true;
        if (!f && f.error().kind == AudioIOError::Kind::Io) break;  // torn WAV data: nothing more to read
      }
      if (ended) {
        auto f = r->next_frame();
        EXPECT_TRUE(f && !*f) << "end of stream is sticky";
      }
    }
  }
}

TEST(DamagedInput, TruncatedFilesKeepTheirDecodablePrefix) {
  TempDir dir;
  struct Case {
    AudioFileFormat format;
    const char* name;
    AudioFileWriterConfig cfg;
    AudioFormat f;
  };
  const Case cases[] = {
      {AudioFileFormat::Mp3, "t.mp3", Mp3WriterConfig{kF32P48, 128000}, kF32P48},
      {AudioFileFormat::AacAdts, "t.aac", AacAdtsWriterConfig{kF32P48, std::nullopt}, kF32P48},
      {AudioFileFormat::Flac, "t.flac", FlacWriterConfig{kI16I44, std::nullopt}, kI16I44},
      {AudioFileFormat::OpusOgg, "t.opus", OpusOggWriterConfig{kF32I48, std::nullopt}, kF32I48},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = dir.file(c.name);
    auto w = AudioFileWriter::create(path, c.cfg);
    ASSERT_TRUE(w);
    write_in_chunks(*w, c.f, 96000, 4800);
    ASSERT_TRUE(w->finalize());
    Bytes b = testutil::read_file(path);
    b.resize(b.size() / 2);
    const auto half = dir.file(std::string("half_") + c.name);
    write_bytes(half, b);
    auto r = AudioFileReader::open(half, c.format, 1024);
    ASSERT_TRUE(r) << r.error().to_string();
    std::size_t n = 0;
    for (int i = 0; i < 100000; ++i) {
      auto f = r->next_frame();
      if (f && !*f) break;
      if (f) n += (**f).nb_samples();
    }
    EXPECT_GT(n, 96000u * 4 / 10);
  }
}

}  // namespace
}  // namespace kestrune

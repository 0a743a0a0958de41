// FFmpeg-backed decoders and encoders: round trips, interoperability with
// the ffmpeg tool, the shared state machine, and hostile input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>

#include "codec/codec_test_util.hpp"
#include "codec/decoder/aac_decoder.hpp"
#include "codec/decoder/flac_decoder.hpp"
#include "codec/decoder/mp3_decoder.hpp"
#include "codec/decoder/opus_decoder.hpp"
#include "codec/encoder/aac_encoder.hpp"
#include "codec/encoder/flac_encoder.hpp"
#include "codec/encoder/mp3_encoder.hpp"
#include "codec/encoder/opus_encoder.hpp"

namespace kestrune::ffmpeg_backend {
namespace {

using K = CodecError::Kind;
using namespace kestrune::testutil;

// Sends the frame, collecting every packet until Again.
void encode_into(AudioEncoder& enc, const AudioFrameView* frame, std::vector<CodecPacket>& out) {
  auto st = enc.send_frame(frame);
  ASSERT_TRUE(st) << st.error().to_string();
  for (;;) {
    auto p = enc.receive_packet();
    if (!p) {
      ASSERT_TRUE(p.error().is_again() || (p.error().is_eof() && !frame)) << p.error().to_string();
      return;
    }
    out.push_back(std::move(*p));
  }
}

// Cuts `n` samples of a sine into frames of `chunk`, encodes and drains.
std::vector<CodecPacket> encode_sine(AudioEncoder& enc, const AudioFormat& f, std::size_t n, std::size_t chunk) {
  std::vector<CodecPacket> out;
  for (std::size_t at = 0; at < n; at += chunk) {
    const std::size_t len = std::min(chunk, n - at);
    AudioFrame fr = sine_frame(f, len, 440.0, 0.5, at, static_cast<std::int64_t>(at));
    encode_into(enc, &fr, out);
    if (testing::Test::HasFatalFailure()) return out;
  }
  encode_into(enc, nullptr, out);
  return out;
}

struct Decoded {
  std::vector<AudioFrame> frames;
  std::size_t samples = 0;
  std::optional<CodecError> error;
};

// Sends every packet (pulling until Again after each), then the end of
// input, pulling until Eof. Records the first error instead of stopping.
Decoded decode_all(AudioDecoder& dec, std::vector<CodecPacket> packets, bool flush = true) {
  Decoded out;
  auto pull = [&] {
    for (;;) {
      auto f = dec.receive_frame();
      if (!f) {
        if (!f.error().is_again() && !f.error().is_eof() && !out.error) out.error = f.error();
        return;
      }
      out.samples += f->nb_samples();
      out.frames.push_back(std::move(*f));
    }
  };
  for (auto& p : packets) {
    if (auto st = dec.send_packet(std::move(p)); !st && !st.error().is_again() && !out.error) out.error = st.error();
    pull();
  }
  if (flush) {
    if (auto st = dec.send_packet(std::nullopt); !st && !out.error) out.error = st.error();
    pull();
  }
  return out;
}

// One planar/packed sample run of channel c across decoded frames.
std::vector<double> channel(const Decoded& d, std::size_t c) {
  std::vector<double> out;
  for (const auto& f : d.frames)
    for (std::size_t i = 0; i < f.nb_samples(); ++i) out.push_back(sample_at(f, c, i));
  return out;
}

// ---------------------------------------------------------------- FLAC

TEST(FlacCodec, SixteenBitRoundTripIsExact) {
  const AudioFormat f{44100, SampleFormat::I16(false), 2, 0x3};
  auto enc = FlacEncoder::create({f, 5});
  ASSERT_TRUE(enc) << enc.error().to_string();
  EXPECT_EQ((*enc)->name(), std::string("flac(ffmpeg)"));
  EXPECT_EQ((*enc)->preferred_frame_samples(), std::nullopt);
  auto packets = encode_sine(**enc, f, 10000, 4096);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_FALSE(packets.empty());
  for (const auto& p : packets) {
    EXPECT_EQ(p.time_base, (TimeBase{1, 44100}));
    EXPECT_EQ(p.flags, 0u);
  }

  auto dec = FlacDecoder::create(Bytes((*enc)->extradata().begin(), (*enc)->extradata().end()));
  ASSERT_TRUE(dec);
  Decoded d = decode_all(**dec, packets);
  ASSERT_FALSE(d.error) << d.error->to_string();
  ASSERT_EQ(d.samples, 10000u);
  EXPECT_EQ((*dec)->output_format(), f);
  AudioFrame ref = sine_frame(f, 10000);
  for (std::size_t c = 0; c < 2; ++c) {
    auto got = channel(d, c);
    for (std::size_t i = 0; i < 10000; ++i) ASSERT_EQ(got[i], sample_at(ref, c, i)) << "c=" << c << " i=" << i;
  }

  // The same packets without STREAMINFO: FFmpeg reads the frame headers.
  auto bare = FlacDecoder::create();
  ASSERT_TRUE(bare);
  EXPECT_EQ(decode_all(**bare, packets).samples, 10000u);
}

TEST(FlacCodec, ThirtyTwoBitKeepsWhatTheEncoderStores) {
  // FFmpeg's FLAC encoder stores 32-bit input at 24 bits: the top 24 bits
  // come back exactly, the low byte is gone.
  const AudioFormat f{48000, SampleFormat::I32(false), 1, 0x4};
  auto enc = FlacEncoder::create({f, std::nullopt});
  ASSERT_TRUE(enc) << enc.error().to_string();
  std::mt19937 rng(7);
  AudioFrame fr = *AudioFrame::new_alloc(f, 3000);
  std::vector<std::int32_t> in(3000);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::int32_t>(rng());
  std::memcpy(fr.planes()[0].data(), in.data(), in.size() * 4);
  std::vector<CodecPacket> packets;
  encode_into(**enc, &fr, packets);
  encode_into(**enc, nullptr, packets);
  ASSERT_FALSE(HasFatalFailure());
  auto dec = FlacDecoder::create();
  Decoded d = decode_all(**dec, packets);
  ASSERT_FALSE(d.error);
  ASSERT_EQ(d.samples, in.size());
  EXPECT_EQ((*dec)->output_format()->sample_format, SampleFormat::I32(false));
  std::size_t k = 0;
  for (const auto& out : d.frames)
    for (std::size_t i = 0; i < out.nb_samples(); ++i, ++k) {
      std::int32_t v;
      std::memcpy(&v, out.plane(0)->data() + 4 * i, 4);
      ASSERT_EQ(v, static_cast<std::int32_t>(static_cast<std::uint32_t>(in[k]) & 0xFFFFFF00u)) << k;
    }
}

// ---------------------------------------------------------------- lossy

struct LossyCase {
  const char* name;
  AudioFormat format;
  std::size_t chunk;
  std::function<CodecResult<BoxedEncoder>()> make_encoder;
  std::function<CodecResult<BoxedDecoder>(ByteSpan extradata)> make_decoder;
  const char* container;   // for the ffmpeg tool
  const char* codec_name;  // FFmpeg codec name for the container stream
};

template <class T>
CodecResult<BoxedEncoder> boxed_enc(CodecResult<std::unique_ptr<T>> r) {
  if (!r) return std::unexpected(r.error());
  return BoxedEncoder(std::move(*r));
}
template <class T>
CodecResult<BoxedDecoder> boxed_dec(CodecResult<std::unique_ptr<T>> r) {
  if (!r) return std::unexpected(r.error());
  return BoxedDecoder(std::move(*r));
}

std::vector<LossyCase> lossy_cases() {
  return {
      {"aac", {44100, SampleFormat::F32(true), 2, 0x3}, 1024,
       [] { return boxed_enc(AacEncoder::create({})); },
       [](ByteSpan x) { return boxed_dec(AacDecoder::create(Bytes(x.begin(), x.end()))); }, "adts", "aac"},
      {"mp3", {44100, SampleFormat::F32(true), 2, 0x3}, 1152,
       [] { return boxed_enc(Mp3Encoder::create({std::nullopt, 128000})); },
       [](ByteSpan) { return boxed_dec(Mp3Decoder::create()); }, "mp3", "mp3"},
      {"mp3 i16 mono", {22050, SampleFormat::I16(true), 1, 0x4}, 576,
       [] { return boxed_enc(Mp3Encoder::create({})); },
       [](ByteSpan) { return boxed_dec(Mp3Decoder::create()); }, "mp3", "mp3"},
      {"opus", {48000, SampleFormat::F32(false), 2, 0x3}, 960,
       [] { return boxed_enc(OpusEncoder::create({std::nullopt, 96000})); },
       [](ByteSpan x) { return boxed_dec(OpusDecoder::create(Bytes(x.begin(), x.end()))); }, "ogg", "opus"},
      {"opus i16 mono", {48000, SampleFormat::I16(false), 1, 0x4}, 960,
       [] { return boxed_enc(OpusEncoder::create({})); },
       [](ByteSpan x) { return boxed_dec(OpusDecoder::create(Bytes(x.begin(), x.end()))); }, "ogg", "opus"},
  };
}

ByteSpan extradata_of(AudioEncoder& e) { return static_cast<FfmpegEncoder&>(e).extradata(); }

// Our packets decode with our decoders and with the ffmpeg tool, at the
// right rate and channel count and roughly the right length and loudness.
TEST(LossyCodecs, RoundTripAndFfmpegToolDecodesOurPackets) {
  TempDir tmp;
  for (const LossyCase& c : lossy_cases()) {
    SCOPED_TRACE(c.name);
    const std::size_t n = c.format.sample_rate;  // one second
    auto enc = c.make_encoder();
    ASSERT_TRUE(enc) << enc.error().to_string();
    auto packets = encode_sine(**enc, c.format, n, c.chunk);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_FALSE(packets.empty());
    const ByteSpan extra = extradata_of(**enc);
    for (const auto& p : packets) EXPECT_EQ(p.flags, 0u);
    EXPECT_EQ(packets.front().time_base.den, static_cast<std::int32_t>(c.format.sample_rate));

    auto dec = c.make_decoder(extra);
    ASSERT_TRUE(dec) << dec.error().to_string();
    Decoded d = decode_all(**dec, packets);
    ASSERT_FALSE(d.error) << d.error->to_string();
    const auto out = (*dec)->output_format();
    ASSERT_TRUE(out);
    EXPECT_EQ(out->sample_rate, c.format.sample_rate);
    EXPECT_EQ(out->channels, c.format.channels);
    EXPECT_EQ(out->channel_layout_mask, c.format.channel_layout_mask);
    // Encoder delay and padding add at most a few frames.
    EXPECT_GE(d.samples, n);
    EXPECT_LE(d.samples, n + 4 * c.chunk);
    // A 0.5-peak sine has an RMS of about 0.354 (measured past the delay).
    Decoded tail;
    for (std::size_t i = d.frames.size() / 4; i < 3 * d.frames.size() / 4; ++i)
      tail.frames.push_back(d.frames[i].clone());
    for (std::size_t ch = 0; ch < c.format.channels; ++ch) {
      auto s = channel(tail, ch);
      double acc = 0;
      for (double x : s) acc += x * x;
      EXPECT_NEAR(std::sqrt(acc / s.size()), 0.354, 0.06) << "channel " << ch;
    }

    const std::string path = tmp.file(std::string("ours_") + std::to_string(&c - &lossy_cases()[0]) + "." + c.container);
    ASSERT_TRUE(mux(path, c.container, c.codec_name, static_cast<int>(c.format.sample_rate), c.format.channels,
                    extra, packets));
    auto pcm = ffmpeg_decode_f32(path, c.format.channels);
    ASSERT_TRUE(pcm) << "ffmpeg could not decode " << path;
    const std::size_t got = pcm->size() / c.format.channels;
    EXPECT_GE(got, n - c.chunk);
    EXPECT_LE(got, n + 4 * c.chunk);
  }
}

// Files the ffmpeg tool made decode with our decoders (packets cut by
// libavformat; AAC keeps its ADTS headers, so no configuration is needed).
TEST(FfmpegDecoders, DecodeFilesMadeByTheFfmpegTool) {
  TempDir tmp;
  struct Case {
    const char* file;
    const char* args;
    int rate;
    int channels;
    bool exact;  // lossless: compare with ffmpeg's own decoding
  } cases[] = {
      {"a.aac", "-c:a aac -b:a 128k", 44100, 2, false},
      {"a.mp3", "-c:a libmp3lame -b:a 128k", 44100, 2, false},
      {"a.flac", "-c:a flac -sample_fmt s16", 44100, 2, true},
      {"a.opus", "-c:a libopus -b:a 96k", 48000, 2, false},
      {"m.mp3", "-c:a libmp3lame", 32000, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = tmp.file(c.file);
    ASSERT_EQ(run("ffmpeg -nostdin -y -v error -f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(c.rate) +
                  ":duration=1 -ac " + std::to_string(c.channels) + " " + c.args + " " + path),
              0);
    Demuxed dm = demux(path);
    ASSERT_FALSE(dm.packets.empty());
    CodecResult<BoxedDecoder> dec = std::unexpected(CodecError::other("none"));
    const std::string ext = std::filesystem::path(c.file).extension().string();
    if (ext == ".aac") dec = boxed_dec(AacDecoder::create());
    if (ext == ".mp3") dec = boxed_dec(Mp3Decoder::create());
    if (ext == ".flac") dec = boxed_dec(FlacDecoder::create(dm.extradata));
    if (ext == ".opus") dec = boxed_dec(OpusDecoder::create(dm.extradata));
    ASSERT_TRUE(dec);
    const TimeBase tb = dm.packets.front().time_base;
    Decoded d = decode_all(**dec, std::move(dm.packets));
    ASSERT_FALSE(d.error) << d.error->to_string();
    ASSERT_FALSE(d.frames.empty());
    EXPECT_EQ(d.frames.front().time_base(), tb);
    const auto out = *(*dec)->output_format();
    EXPECT_EQ(out.sample_rate, static_cast<std::uint32_t>(c.rate));
    EXPECT_EQ(out.channels, c.channels);
    EXPECT_EQ(out.channel_layout_mask, c.channels == 1 ? 0x4u : 0x3u);
    EXPECT_GE(d.samples, static_cast<std::size_t>(c.rate) - 2048);
    EXPECT_LE(d.samples, static_cast<std::size_t>(c.rate) + 4096);
    if (c.exact) {
      auto ref = ffmpeg_decode_s16(path, c.channels);
      ASSERT_TRUE(ref);
      ASSERT_EQ(ref->size(), d.samples * c.channels);
      std::size_t k = 0;
      for (const auto& f : d.frames) {
        ASSERT_FALSE(f.is_planar());
        const auto* s = reinterpret_cast<const std::int16_t*>(f.plane(0)->data());
        for (std::size_t i = 0; i < f.nb_samples() * c.channels; ++i, ++k) ASSERT_EQ(s[i], (*ref)[k]) << k;
      }
    }
  }
}

TEST(FfmpegDecoders, ChannelLayouts) {
  TempDir tmp;
  // Six channels in FFmpeg's native order keep FFmpeg's mask (5.1).
  const std::string six = tmp.file("six.flac");
  ASSERT_EQ(run("ffmpeg -nostdin -y -v error -f lavfi -i sine=sample_rate=48000:duration=0.2 -ac 6 -c:a flac " + six), 0);
  Demuxed dm = demux(six);
  auto dec = *FlacDecoder::create(dm.extradata);
  Decoded d = decode_all(*dec, std::move(dm.packets));
  ASSERT_FALSE(d.error) << d.error->to_string();
  EXPECT_EQ(dec->output_format()->channels, 6);
  EXPECT_EQ(dec->output_format()->channel_layout_mask, 0x60Fu);

  // Ten planar channels (Opus mapping family 255, layout of unspecified
  // order) exceed what the copy handles: refused with a clear error.
  const std::string raw = tmp.file("ten.raw");
  const std::string ten = tmp.file("ten.opus");
  {
    std::mt19937 rng(5);
    std::ofstream out(raw, std::ios::binary);
    for (int i = 0; i < 96000; ++i) out.put(static_cast<char>(rng()));
  }
  ASSERT_EQ(run("ffmpeg -nostdin -y -v error -f s16le -ar 48000 -ac 10 -i " + raw +
                " -c:a libopus -mapping_family 255 " + ten),
            0);
  dm = demux(ten);
  ASSERT_EQ(dm.channels, 10);
  auto opus = *OpusDecoder::create(dm.extradata);
  d = decode_all(*opus, std::move(dm.packets));
  ASSERT_TRUE(d.error);
  EXPECT_EQ(*d.error, CodecError::unsupported("planar frames with more than 8 channels are not supported"));
  EXPECT_TRUE(d.frames.empty());
}

TEST(FfmpegDecoders, EmptyPayloadIsIgnored) {
  for (auto& [label, make] : std::vector<std::pair<const char*, std::function<CodecResult<BoxedDecoder>()>>>{
           {"aac", [] { return boxed_dec(AacDecoder::create()); }},
           {"flac", [] { return boxed_dec(FlacDecoder::create()); }}}) {
    SCOPED_TRACE(label);
    auto dec = make();
    CodecPacket empty;
    empty.time_base = {1, 8000};
    ASSERT_TRUE((*dec)->send_packet(std::move(empty)));
    EXPECT_EQ((*dec)->receive_frame().error().kind, K::Again);  // not taken as end of input
  }
}

// ---------------------------------------------------------------- state

std::vector<std::pair<const char*, std::function<CodecResult<BoxedDecoder>()>>> all_decoders() {
  return {
      {"aac", [] { return boxed_dec(AacDecoder::create()); }},
      {"mp3", [] { return boxed_dec(Mp3Decoder::create()); }},
      {"flac", [] { return boxed_dec(FlacDecoder::create()); }},
      {"opus", [] { return boxed_dec(OpusDecoder::create()); }},
  };
}

TEST(FfmpegDecoders, NamesFlushAndReset) {
  const char* names[] = {"aac(ffmpeg)", "mp3(ffmpeg)", "flac(ffmpeg)", "opus(ffmpeg)"};
  std::size_t i = 0;
  for (auto& [label, make] : all_decoders()) {
    SCOPED_TRACE(label);
    auto dec = make();
    ASSERT_TRUE(dec) << dec.error().to_string();
    EXPECT_EQ((*dec)->name(), std::string(names[i++]));
    EXPECT_EQ((*dec)->output_format(), std::nullopt);
    EXPECT_EQ((*dec)->delay_samples(), 0u);
    EXPECT_EQ((*dec)->receive_frame().error().kind, K::Again);
    ASSERT_TRUE((*dec)->send_packet(std::nullopt));
    EXPECT_EQ((*dec)->receive_frame().error().kind, K::Eof);
    EXPECT_EQ((*dec)->receive_frame().error().kind, K::Eof);
    EXPECT_EQ((*dec)->send_packet(std::nullopt).error(), CodecError::invalid_state("already flushed"));
    EXPECT_EQ((*dec)->send_packet(CodecPacket{}).error(), CodecError::invalid_state("already flushed"));
    ASSERT_TRUE((*dec)->reset());
    EXPECT_EQ((*dec)->receive_frame().error().kind, K::Again);
  }
}

// Encodes a mono MP3 stream at 1/22050 for the packet tests below.
std::vector<CodecPacket> small_mp3(std::size_t n = 22050) {
  const AudioFormat f{22050, SampleFormat::I16(true), 1, 0x4};
  auto enc = Mp3Encoder::create({f, std::nullopt});
  return encode_sine(**enc, f, n, 576);
}

TEST(FfmpegDecoders, FramesCarryTheLatestPacketTimeBaseAndResetRestarts) {
  auto packets = small_mp3();
  ASSERT_GT(packets.size(), 20u);
  auto dec = *Mp3Decoder::create();
  bool saw48 = false, saw44 = false;
  for (std::size_t i = 0; i < 20; ++i) {
    CodecPacket p = packets[i];
    p.time_base = i < 10 ? TimeBase{1, 48000} : TimeBase{1, 44100};
    p.flags = 0xFFFF'FFFF;  // flags mean nothing to the decoder
    ASSERT_TRUE(dec->send_packet(std::move(p)));
    for (auto f = dec->receive_frame(); f; f = dec->receive_frame()) {
      if (i < 10) {
        EXPECT_EQ(f->time_base(), (TimeBase{1, 48000}));
        saw48 = true;
      } else {
        EXPECT_EQ(f->time_base(), (TimeBase{1, 44100}));
        saw44 = true;
      }
    }
  }
  EXPECT_TRUE(saw48 && saw44);
  ASSERT_TRUE(dec->output_format());
  // Drain, reset, and decode a second stream with the same decoder.
  ASSERT_TRUE(dec->send_packet(std::nullopt));
  while (dec->receive_frame()) {
  }
  EXPECT_EQ(dec->receive_frame().error().kind, K::Eof);
  ASSERT_TRUE(dec->reset());
  EXPECT_EQ(dec->output_format(), std::nullopt);
  EXPECT_EQ(dec->receive_frame().error().kind, K::Again);
  Decoded d = decode_all(*dec, packets);
  EXPECT_FALSE(d.error);
  EXPECT_GE(d.samples, 22050u);
}

// Garbage, truncated packets and empty packets give errors or frames, never
// a crash, and FFmpeg says nothing on stderr.
TEST(FfmpegDecoders, HostileInputNeverCrashesAndStaysQuiet) {
  std::mt19937 rng(1234);
  auto mp3 = small_mp3(4410);
  testing::internal::CaptureStderr();
  for (auto& [label, make] : all_decoders()) {
    SCOPED_TRACE(label);
    for (int round = 0; round < 3; ++round) {
      auto dec = make();
      ASSERT_TRUE(dec);
      std::vector<CodecPacket> packets;
      for (int i = 0; i < 60; ++i) {
        CodecPacket p;
        p.data.resize(rng() % 2048);
        for (auto& b : p.data) b = static_cast<std::uint8_t>(rng());
        // Some packets start with a plausible sync word.
        if (p.data.size() > 4 && i % 3 == 0) {
          p.data[0] = 0xFF;
          p.data[1] = static_cast<std::uint8_t>(0xF0 | (rng() & 0x0F));
        }
        p.time_base = {1, 48000};
        p.pts = i * 1024;
        packets.push_back(std::move(p));
      }
      packets.push_back(CodecPacket{});  // empty payload
      // Truncated real packets.
      for (std::size_t i = 0; i < 5 && i < mp3.size(); ++i) {
        CodecPacket p = mp3[i];
        p.data.resize(p.data.size() / 2);
        packets.push_back(std::move(p));
      }
      Decoded d = decode_all(**dec, std::move(packets));
      if (d.error) {
        EXPECT_TRUE(d.error->kind == K::Other || d.error->kind == K::InvalidData ||
                    d.error->kind == K::Unsupported)
            << d.error->to_string();
        EXPECT_FALSE(d.error->message.empty());
      }
      // The decoder is still usable after garbage.
      ASSERT_TRUE((*dec)->reset());
      EXPECT_EQ((*dec)->receive_frame().error().kind, K::Again);
    }
  }
  // Corrupt configuration bytes are refused or tolerated, never a crash.
  for (int i = 0; i < 50; ++i) {
    Bytes cfg(rng() % 40);
    for (auto& b : cfg) b = static_cast<std::uint8_t>(rng());
    auto a = AacDecoder::create(cfg);
    auto o = OpusDecoder::create(cfg);
    auto f = FlacDecoder::create(cfg);
    if (a) decode_all(**a, small_mp3(1200));
    if (o) decode_all(**o, small_mp3(1200));
    if (f) decode_all(**f, small_mp3(1200));
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// ---------------------------------------------------------------- encoders

TEST(FfmpegEncoders, NamesAndFrameSizes) {
  auto aac = *AacEncoder::create({});
  auto mp3 = *Mp3Encoder::create({});
  auto flac = *FlacEncoder::create({});
  auto opus = *OpusEncoder::create({});
  EXPECT_EQ(aac->name(), std::string("aac(ffmpeg)"));
  EXPECT_EQ(mp3->name(), std::string("mp3(ffmpeg)"));
  EXPECT_EQ(flac->name(), std::string("flac(ffmpeg)"));
  EXPECT_EQ(opus->name(), std::string("opus(ffmpeg)"));
  EXPECT_EQ(aac->preferred_frame_samples(), 1024u);
  EXPECT_EQ(mp3->preferred_frame_samples(), 1152u);
  EXPECT_EQ(flac->preferred_frame_samples(), std::nullopt);
  EXPECT_EQ(opus->preferred_frame_samples(), 960u);
  for (AudioEncoder* e : {static_cast<AudioEncoder*>(aac.get()), static_cast<AudioEncoder*>(mp3.get()),
                          static_cast<AudioEncoder*>(flac.get()), static_cast<AudioEncoder*>(opus.get())}) {
    EXPECT_EQ(e->input_format(), std::nullopt);
    EXPECT_EQ(e->lookahead_samples(), 0u);
    EXPECT_EQ(e->receive_packet().error().kind, K::Again);
    // End of input before any frame: Eof at once, then "already flushed".
    ASSERT_TRUE(e->send_frame(nullptr));
    EXPECT_EQ(e->receive_packet().error().kind, K::Eof);
    EXPECT_EQ(e->send_frame(nullptr).error(), CodecError::invalid_state("already flushed"));
  }
  EXPECT_TRUE(aac->extradata().empty());
  EXPECT_FALSE(aac->is_initialized());

  // The opened Opus encoder reports FFmpeg's frame size.
  const AudioFormat f{48000, SampleFormat::F32(false), 2, 0x3};
  auto opened = OpusEncoder::create({f, std::nullopt});
  ASSERT_TRUE(opened) << opened.error().to_string();
  EXPECT_TRUE((*opened)->is_initialized());
  EXPECT_EQ((*opened)->preferred_frame_samples(), 960u);
  EXPECT_FALSE((*opened)->extradata().empty());  // OpusHead
  auto aac_open = AacEncoder::create({AudioFormat{44100, SampleFormat::F32(true), 2, 0x3}, std::nullopt});
  ASSERT_TRUE(aac_open);
  // AudioSpecificConfig: AAC-LC (2), 44.1 kHz (index 4), stereo.
  ASSERT_GE((*aac_open)->extradata().size(), 2u);
  EXPECT_EQ((*aac_open)->extradata()[0], 0x12);
  EXPECT_EQ((*aac_open)->extradata()[1], 0x10);
}

TEST(FfmpegEncoders, OpusRefuses44100) {
  const char* msg = "Opus encoder requires 48kHz input (no resample layer yet)";
  const AudioFormat f{44100, SampleFormat::F32(false), 2, 0x3};
  auto fixed = OpusEncoder::create({f, std::nullopt});
  ASSERT_FALSE(fixed);
  EXPECT_EQ(fixed.error(), CodecError::invalid_data(msg));

  auto lazy = *OpusEncoder::create({});
  AudioFrame fr = sine_frame(f, 960);
  EXPECT_EQ(lazy->send_frame(&fr).error(), CodecError::invalid_data(msg));
  // The format stays locked after the failed opening.
  EXPECT_EQ(lazy->input_format(), f);
  EXPECT_EQ(lazy->ensure_initialized(f).error(), CodecError::invalid_data(msg));
}

TEST(FfmpegEncoders, MismatchIsRefusedWithReport) {
  struct Case {
    const char* component;
    std::function<CodecResult<BoxedEncoder>(std::optional<AudioFormat>)> make;
    AudioFormat format;
    std::size_t chunk;
  } cases[] = {
      {"AacEncoder", [](auto f) { return boxed_enc(AacEncoder::create({f, std::nullopt})); },
       {44100, SampleFormat::F32(true), 2, 0x3}, 1024},
      {"Mp3Encoder", [](auto f) { return boxed_enc(Mp3Encoder::create({f, std::nullopt})); },
       {44100, SampleFormat::F32(true), 2, 0x3}, 1152},
      {"FlacEncoder", [](auto f) { return boxed_enc(FlacEncoder::create({f, std::nullopt})); },
       {44100, SampleFormat::I16(false), 2, 0x3}, 1000},
      {"OpusEncoder", [](auto f) { return boxed_enc(OpusEncoder::create({f, std::nullopt})); },
       {48000, SampleFormat::F32(false), 2, 0x3}, 960},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.component);
    for (bool fixed : {false, true}) {
      auto enc = c.make(fixed ? std::optional<AudioFormat>(c.format) : std::nullopt);
      ASSERT_TRUE(enc) << enc.error().to_string();
      AudioFrame good = sine_frame(c.format, c.chunk, 440, 0.5, 0, 0);
      std::vector<CodecPacket> packets;
      encode_into(**enc, &good, packets);
      AudioFormat other = c.format;
      other.channel_layout_mask = 0x600;  // same channel count, other layout
      AudioFrame bad = sine_frame(other, c.chunk);
      testing::internal::CaptureStderr();
      auto st = (*enc)->send_frame(&bad);
      const std::string report = testing::internal::GetCapturedStderr();
      EXPECT_EQ(st.error(), CodecError::invalid_data("input AudioFormat mismatch (no resample/convert layer yet)"));
      EXPECT_EQ(report, std::string(c.component) +
                            " input AudioFormat mismatch:\n  input_output_format_diffs: "
                            "channel_layout_mask: 0x3 != 0x600\n");
      // The refused frame had no effect: the stream continues.
      AudioFrame next = sine_frame(c.format, c.chunk, 440, 0.5, c.chunk, static_cast<std::int64_t>(c.chunk));
      encode_into(**enc, &next, packets);
      encode_into(**enc, nullptr, packets);
      EXPECT_FALSE(packets.empty());
    }
  }
}

TEST(FfmpegEncoders, ResetStartsANewStream) {
  // Without a fixed format the next stream may use another format.
  auto enc = *Mp3Encoder::create({});
  const AudioFormat a{44100, SampleFormat::F32(true), 2, 0x3};
  const AudioFormat b{22050, SampleFormat::I16(true), 1, 0x4};
  auto first = encode_sine(*enc, a, 5000, 1152);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(enc->send_frame(nullptr).error(), CodecError::invalid_state("already flushed"));
  ASSERT_TRUE(enc->reset());
  EXPECT_EQ(enc->input_format(), std::nullopt);
  EXPECT_EQ(enc->receive_packet().error().kind, K::Again);
  auto second = encode_sine(*enc, b, 5000, 576);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(second.front().time_base, (TimeBase{1, 22050}));
  auto dec = *Mp3Decoder::create();
  Decoded d = decode_all(*dec, second);
  EXPECT_FALSE(d.error);
  EXPECT_EQ(dec->output_format()->sample_rate, 22050u);
  EXPECT_EQ(dec->output_format()->channels, 1);

  // A fixed-format encoder drained with end of input encodes a second,
  // complete stream after reset (FFmpeg's encoders here cannot be flushed,
  // so the encoder is reopened with the same format).
  for (int kind = 0; kind < 3; ++kind) {
    SCOPED_TRACE(kind);
    BoxedEncoder fixed;
    AudioFormat f;
    std::size_t chunk;
    if (kind == 0) {
      f = {44100, SampleFormat::F32(true), 2, 0x3};
      chunk = 1024;
      fixed = std::move(*AacEncoder::create({f, std::nullopt}));
    } else if (kind == 1) {
      f = {48000, SampleFormat::F32(false), 2, 0x3};
      chunk = 960;
      fixed = std::move(*OpusEncoder::create({f, std::nullopt}));
    } else {
      f = {44100, SampleFormat::I16(false), 1, 0x4};
      chunk = 4096;
      fixed = std::move(*FlacEncoder::create({f, std::nullopt}));
    }
    auto s1 = encode_sine(*fixed, f, 20000, chunk);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(fixed->reset());
    EXPECT_EQ(fixed->input_format(), f);
    auto s2 = encode_sine(*fixed, f, 20000, chunk);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(s1.size(), s2.size());
    ASSERT_FALSE(s2.empty());
    EXPECT_EQ(s2.front().pts, s1.front().pts);
  }
}

TEST(FfmpegEncoders, BadFramesAndFormatsAreRefused) {
  // A layout mask naming more channels than the frames carry would size
  // FFmpeg's buffers wrongly; it is refused before any sample is copied.
  auto enc = *AacEncoder::create({});
  const AudioFormat lying{44100, SampleFormat::F32(false), 2, 0x4};
  AudioFrame fr = sine_frame(lying, 1024);
  EXPECT_EQ(enc->send_frame(&fr).error(), CodecError::invalid_data("channel_layout_mask does not match channels"));

  // FFmpeg's own refusal (FLAC has no planar float input) surfaces as Other.
  auto flac = *FlacEncoder::create({});
  const AudioFormat planar_float{44100, SampleFormat::F32(true), 2, 0x3};
  AudioFrame pf = sine_frame(planar_float, 100);
  auto st = flac->send_frame(&pf);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().kind, K::Other);
  EXPECT_FALSE(st.error().message.empty());
  EXPECT_FALSE(flac->is_initialized());

  // A wrongly sized frame for a fixed-frame encoder: FFmpeg's refusal.
  auto mp3 = *Mp3Encoder::create({});
  const AudioFormat f{44100, SampleFormat::F32(true), 2, 0x3};
  AudioFrame big = sine_frame(f, 5000);
  auto big_st = mp3->send_frame(&big);
  ASSERT_FALSE(big_st);
  EXPECT_EQ(big_st.error().kind, K::Other);

  // Zero-sample frames are accepted and neither open nor lock anything.
  AudioFrame empty = sine_frame(f, 0);
  auto opus = *OpusEncoder::create({});
  ASSERT_TRUE(opus->send_frame(&empty));
  EXPECT_EQ(opus->input_format(), std::nullopt);
  EXPECT_FALSE(opus->is_initialized());
}

// A member whose preferred FFmpeg encoder is missing falls back to the next
// name (here FFmpeg's experimental native Opus encoder).
class FallbackOpus final : public FfmpegEncoder {
 public:
  static const FfmpegEncoderSpec& codec_info() {
    static const FfmpegEncoderSpec s{
        "opus(ffmpeg)", "OpusEncoder", {"no_such_encoder", "opus"}, "not found", "missing", "plane null",
        "data null", FfmpegEncoderSpec::Tuning::BitRate, true, 960};
    return s;
  }
  FallbackOpus() : FfmpegEncoder(codec_info(), 96000, std::nullopt) {}
};

TEST(FfmpegEncoders, FallsBackToTheSecondEncoderName) {
  FallbackOpus enc;
  const AudioFormat f{48000, SampleFormat::F32(true), 2, 0x3};  // the native encoder takes planar float
  ASSERT_TRUE(enc.ensure_initialized(f));
  // The native encoder works in other frame sizes than libopus; the caller
  // learns them from preferred_frame_samples().
  const std::size_t chunk = *enc.preferred_frame_samples();
  auto packets = encode_sine(enc, f, 9600, chunk);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_FALSE(packets.empty());
  auto dec = *OpusDecoder::create(Bytes(enc.extradata().begin(), enc.extradata().end()));
  Decoded d = decode_all(*dec, packets);
  EXPECT_FALSE(d.error);
  EXPECT_GE(d.samples, 9600u - 960u);
}

// Builds, uses and drops every codec many times; under AddressSanitizer
// (make sanitize) any leaked FFmpeg object fails this test.
TEST(FfmpegCodecs, RepeatedUseLeaksNothing) {
  const AudioFormat fl{44100, SampleFormat::F32(true), 2, 0x3};
  const AudioFormat op{48000, SampleFormat::F32(false), 2, 0x3};
  const AudioFormat i16{44100, SampleFormat::I16(false), 2, 0x3};
  for (int i = 0; i < 25; ++i) {
    auto aac = *AacEncoder::create({fl, std::nullopt});
    auto p1 = encode_sine(*aac, fl, 3000, 1024);
    auto mp3 = *Mp3Encoder::create({});
    auto p2 = encode_sine(*mp3, fl, 3000, 1152);
    auto opus = *OpusEncoder::create({op, std::nullopt});
    auto p3 = encode_sine(*opus, op, 3000, 960);
    auto flac = *FlacEncoder::create({});
    auto p4 = encode_sine(*flac, i16, 3000, 1000);
    ASSERT_FALSE(HasFatalFailure());
    decode_all(**AacDecoder::create(Bytes(aac->extradata().begin(), aac->extradata().end())), p1);
    decode_all(**Mp3Decoder::create(), p2);
    decode_all(**OpusDecoder::create(), p3);
    decode_all(**FlacDecoder::create(), p4);
    // Dropped mid-stream, with frames and packets still queued inside FFmpeg.
    auto half = *AacEncoder::create({fl, std::nullopt});
    AudioFrame fr = sine_frame(fl, 1024);
    ASSERT_TRUE(half->send_frame(&fr));
    ASSERT_TRUE(half->send_frame(&fr));
    auto dec = *Mp3Decoder::create();
    ASSERT_TRUE(dec->send_packet(p2.at(0)));
    ASSERT_TRUE(mp3->reset());  // not fixed: frees the context
  }
}

}  // namespace
}  // namespace kestrune::ffmpeg_backend

#include "common/io/file/mp3_file.hpp"

#include <algorithm>
#include <climits>

#include "codec/decoder/mp3_decoder.hpp"
#include "codec/format_report.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace kestrune {

namespace {

IoStatus codec_err(CodecError e) { return std::unexpected(AudioIOError::from_codec(std::move(e))); }
IoStatus format_err(const char* m) { return std::unexpected(AudioIOError::format(m)); }

// 10-byte ID3v2 header: "ID3", version (2), flags (1), syncsafe size (4).
std::size_t id3v2_end(const FileImage& f) {
  if (f.size <= 9 || f.bytes[0] != 'I' || f.bytes[1] != 'D' || f.bytes[2] != '3') return 0;
  const std::size_t tag = (static_cast<std::size_t>(f.bytes[6] & 0x7F) << 21) |
                          (static_cast<std::size_t>(f.bytes[7] & 0x7F) << 14) |
                          (static_cast<std::size_t>(f.bytes[8] & 0x7F) << 7) | (f.bytes[9] & 0x7F);
  return std::min(f.size, 10 + tag);
}

bool is_mpeg_audio_sync(const std::uint8_t* p, int n) { return n >= 2 && p[0] == 0xFF && p[1] >= 0xE0; }

// After the end of input FFmpeg encoders never ask for more; if one did,
// a bounded number of retries turns a would-be endless loop into an error.
constexpr int kMaxDrainRetries = 1000;

}  // namespace

Mp3Reader::Mp3Reader() = default;
Mp3Reader::Mp3Reader(Mp3Reader&&) noexcept = default;
Mp3Reader& Mp3Reader::operator=(Mp3Reader&&) noexcept = default;
Mp3Reader::~Mp3Reader() = default;

IoResult<Mp3Reader> Mp3Reader::open(const std::string& path) {
  using namespace ffmpeg_backend;
  silence_ffmpeg_log();
  // The parser may read up to the padding size past the bytes it is given.
  auto file = read_whole_file(path, AV_INPUT_BUFFER_PADDING_SIZE);
  if (!file) return std::unexpected(file.error());
  Mp3Reader r;
  r.file_ = std::move(*file);
  r.pos_ = id3v2_end(r.file_);

  auto decoder = Mp3Decoder::create();
  if (!decoder) return std::unexpected(AudioIOError::from_codec(std::move(decoder.error())));
  r.decoder_ = std::move(*decoder);

  const AVCodec* codec = avcodec_find_decoder_by_name("mp3");
  if (!codec) return std::unexpected(AudioIOError::from_codec(CodecError::unsupported("FFmpeg MP3 decoder not found")));
  r.parser_codec_.reset(avcodec_alloc_context3(codec));
  if (!r.parser_codec_)
    return std::unexpected(AudioIOError::from_codec(CodecError::other("avcodec_alloc_context3 failed")));
  r.parser_.reset(av_parser_init(codec->id));
  if (!r.parser_) return std::unexpected(AudioIOError::format("av_parser_init failed"));
  return r;
}

IoResult<std::optional<AudioFrame>> Mp3Reader::next_frame() {
  for (;;) {
    auto frame = decoder_->receive_frame();
    if (frame) return std::optional<AudioFrame>(std::move(*frame));
    if (frame.error().is_eof()) return std::optional<AudioFrame>{};
    if (!frame.error().is_again()) return std::unexpected(AudioIOError::from_codec(std::move(frame.error())));

    bool sent = false;
    while (!sent && pos_ < file_.size) {
      std::uint8_t* out = nullptr;
      int out_size = 0;
      const int len = static_cast<int>(std::min<std::size_t>(file_.size - pos_, INT_MAX));
      const int used = av_parser_parse2(parser_.get(), parser_codec_.get(), &out, &out_size,
                                        file_.bytes.data() + pos_, len, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      if (used < 0) return std::unexpected(AudioIOError::format("mp3 parse failed"));
      if (used == 0 && out_size == 0) {
        pos_ = file_.size;
        break;
      }
      pos_ += static_cast<std::size_t>(used);
      if (!is_mpeg_audio_sync(out, out_size)) continue;
      CodecPacket p;
      p.data.assign(out, out + out_size);
      p.time_base = packet_time_base_;
      if (auto s = decoder_->send_packet(std::move(p)); !s)
        return std::unexpected(AudioIOError::from_codec(std::move(s.error())));
      sent = true;
    }
    if (sent) continue;
    if (flushed_) return std::optional<AudioFrame>{};  // a decoder that keeps asking after its end
    flushed_ = true;
    if (auto s = decoder_->send_packet(std::nullopt); !s)
      return std::unexpected(AudioIOError::from_codec(std::move(s.error())));
  }
}

IoStatus drain_mp3_packets(AudioEncoder& encoder, OutputFile& output, bool until_eof) {
  int retries = 0;
  for (;;) {
    auto p = encoder.receive_packet();
    if (p) {
      retries = 0;
      if (auto s = output.write_all(p->data.data(), p->data.size()); !s) return s;
      continue;
    }
    if (p.error().is_again()) {
      if (!until_eof) return {};
      if (++retries > kMaxDrainRetries) return codec_err(CodecError::other("encoder stalled after end of input"));
      continue;
    }
    if (until_eof && p.error().is_eof()) return {};
    return codec_err(std::move(p.error()));
  }
}

IoResult<Mp3Writer> Mp3Writer::create(const std::string& path, const Mp3WriterConfig& config) {
  auto out = OutputFile::create(path);
  if (!out) return std::unexpected(out.error());
  return Mp3Writer(std::move(*out), config);
}

IoStatus Mp3Writer::initialize(const AudioFrameView& frame) {
  const AudioFormat f = frame.format();
  if (!f.is_planar())
    return format_err("MP3 writer expects planar samples (planar=true). Supported: i16p/i32p/f32p (s16p/s32p/fltp).");
  const SampleType t = f.sample_format.type;
  if (t != SampleType::I16 && t != SampleType::I32 && t != SampleType::F32)
    return format_err("MP3 writer sample_type must be one of: i16/i32/f32 (planar).");
  if (config_.input_format != f) {
    report_input_format_mismatch("MP3 writer", config_.input_format, f);
    return format_err("MP3 writer input AudioFormat mismatch");
  }
  auto encoder = ffmpeg_backend::Mp3Encoder::create({config_.input_format, config_.bitrate});
  if (!encoder) return codec_err(std::move(encoder.error()));
  const AudioFormat& fmt = config_.input_format;
  auto fifo = AudioFifo::create(fmt, 1, static_cast<std::int32_t>(fmt.sample_rate));
  if (!fifo || fmt.sample_rate == 0) return format_err("failed to create AudioFifo");
  inner_.emplace(Inner{std::move(*encoder), std::move(*fifo), kFrameSamples});
  return {};
}

IoStatus Mp3Writer::send(const AudioFrameView& frame) {
  if (auto s = inner_->encoder->send_frame(&frame); !s) return codec_err(std::move(s.error()));
  return drain_mp3_packets(*inner_->encoder, output_);
}

IoStatus Mp3Writer::write_frame(const AudioFrameView& frame) {
  if (frame.nb_samples() == 0) return {};
  if (!inner_)
    if (auto s = initialize(frame); !s) return s;
  if (!inner_->fifo.push_frame(frame)) return format_err("AudioFifo push failed (format mismatch?)");
  for (;;) {
    auto popped = inner_->fifo.pop_frame(inner_->frame_size);
    if (!popped) return format_err("AudioFifo pop failed");
    if (!*popped) return {};
    if (auto s = send(**popped); !s) return s;
  }
}

IoStatus Mp3Writer::finalize() {
  if (!inner_) return output_.flush();
  if (const std::size_t n = inner_->fifo.available_samples(); n > 0) {
    auto popped = inner_->fifo.pop_frame(n);
    if (!popped || !*popped) return format_err("AudioFifo pop last failed");
    if (auto s = send(**popped); !s) return s;
  }
  if (auto s = inner_->encoder->send_frame(nullptr); !s) return codec_err(std::move(s.error()));
  if (auto s = drain_mp3_packets(*inner_->encoder, output_, true); !s) return s;
  return output_.flush();
}

}  // namespace kestrune

#include "common/io/file/opus_file.hpp"

#include <cstring>

#include "codec/decoder/opus_decoder.hpp"
#include "codec/format_report.hpp"

namespace kestrune {

namespace {
IoStatus format_err(const char* m) { return std::unexpected(AudioIOError::format(m)); }
constexpr std::uint32_t kOpusRate = 48000;
}  // namespace

IoResult<OpusOggReader> OpusOggReader::open(const std::string& path) {
  auto in = ffmpeg_backend::DemuxedInput::open(path);
  if (!in) return std::unexpected(in.error());
  Bytes head = in->extradata();
  auto dec = ffmpeg_backend::OpusDecoder::create(head.empty() ? std::nullopt : std::optional<Bytes>(std::move(head)));
  if (!dec) return std::unexpected(AudioIOError::from_codec(std::move(dec.error())));
  return OpusOggReader(std::move(*in), std::move(*dec));
}

IoResult<OpusOggWriter> OpusOggWriter::create(const std::string& path, const OpusOggWriterConfig& config) {
  if (auto s = ffmpeg_backend::check_path(path); !s) return std::unexpected(s.error());
  return OpusOggWriter(path, config);
}

IoStatus OpusOggWriter::initialize(const AudioFrameView& frame) {
  const AudioFormat f = frame.format();
  if (config_.input_format != f) {
    report_input_format_mismatch("Ogg Opus writer", config_.input_format, f);
    return format_err("Ogg Opus writer input AudioFormat mismatch");
  }
  const AudioFormat& fmt = config_.input_format;
  if (fmt.sample_rate != kOpusRate) return format_err("Ogg Opus writer expects 48kHz input (resample before writing)");
  if (fmt.is_planar()) return format_err("Ogg Opus writer expects packed/interleaved samples");
  const SampleType t = fmt.sample_format.type;
  // Checked before the muxer is opened, so a refused type creates no file.
  if (t != SampleType::U8 && t != SampleType::I16 && t != SampleType::I32 && t != SampleType::F32)
    return format_err("Opus Ogg writer supports only packed (interleaved) U8/I16/I32/F32");
  auto muxer = ffmpeg_backend::EncodingMuxer::open(
      path_, {"libopus", "FFmpeg libopus encoder not found", fmt, kOpusRate, std::nullopt,
              static_cast<std::int64_t>(config_.bitrate.value_or(kDefaultBitRate))});
  if (!muxer) return std::unexpected(muxer.error());
  const int own = muxer->encoder_frame_size();
  const std::size_t frame_size = own >= 1 ? static_cast<std::size_t>(own) : kDefaultFrameSamples;
  auto fifo = AudioFifo::create(fmt, 1, static_cast<std::int32_t>(kOpusRate));
  if (!fifo) return format_err("failed to create AudioFifo");
  frame_size_ = frame_size;
  fifo_.emplace(std::move(*fifo));
  muxer_.emplace(std::move(*muxer));
  return {};
}

IoStatus OpusOggWriter::encode_and_mux(const AudioFrameView& frame) {
  if (frame.sample_rate() != kOpusRate || frame.is_planar()) return format_err("Ogg Opus writer expects 48kHz packed samples");
  return muxer_->encode_and_mux(frame);
}

IoStatus OpusOggWriter::write_frame(const AudioFrameView& frame) {
  if (finalized_) return std::unexpected(AudioIOError::from_codec(CodecError::invalid_state("already finalized")));
  if (frame.nb_samples() == 0) return {};
  if (!muxer_)
    if (auto s = initialize(frame); !s) return s;
  if (!fifo_->push_frame(frame)) return format_err("AudioFifo push failed (format mismatch?)");
  for (;;) {
    auto popped = fifo_->pop_frame(frame_size_);
    if (!popped) return format_err("AudioFifo pop failed");
    if (!*popped) return {};
    if (auto s = encode_and_mux(**popped); !s) return s;
  }
}

IoStatus OpusOggWriter::finalize() {
  if (finalized_) return {};
  if (!muxer_) {
    finalized_ = true;
    return {};
  }
  if (const std::size_t n = fifo_->available_samples(); n > 0) {
    auto popped = fifo_->pop_frame(n);
    if (!popped || !*popped) return format_err("AudioFifo pop last failed");
    const AudioFrame& last = **popped;
    auto padded = AudioFrame::new_alloc(fifo_->format(), frame_size_);
    if (!padded) return format_err("failed to alloc padded frame");
    const TimeBase tb = last.time_base();
    if (tb.den == 0) return format_err("invalid time_base");
    padded->set_pts(last.pts());
    padded->set_time_base(tb);
    auto src = last.plane(0);
    if (!src) return format_err("missing plane 0");
    if (padded->planes().empty()) return format_err("missing padded plane 0");
    Bytes& dst = padded->planes()[0];
    // new_alloc zero-fills: the samples after the copied ones are silence
    // (libopus takes only s16 and float samples, whose silence is zero).
    std::memcpy(dst.data(), src->data(), std::min(src->size(), dst.size()));
    if (auto s = encode_and_mux(*padded); !s) return s;
  }
  if (auto s = muxer_->finish(); !s) return s;
  muxer_.reset();
  finalized_ = true;
  return {};
}

}  // namespace kestrune

#include "common/io/file/flac_file.hpp"

#include "codec/decoder/flac_decoder.hpp"
#include "codec/format_report.hpp"

namespace kestrune {

namespace {
IoStatus format_err(const char* m) { return std::unexpected(AudioIOError::format(m)); }
}  // namespace

IoResult<FlacReader> FlacReader::open(const std::string& path) {
  auto in = ffmpeg_backend::DemuxedInput::open(path);
  if (!in) return std::unexpected(in.error());
  auto dec = ffmpeg_backend::FlacDecoder::create();
  if (!dec) return std::unexpected(AudioIOError::from_codec(std::move(dec.error())));
  return FlacReader(std::move(*in), std::move(*dec));
}

IoResult<FlacWriter> FlacWriter::create(const std::string& path, const FlacWriterConfig& config) {
  if (auto s = ffmpeg_backend::check_path(path); !s) return std::unexpected(s.error());
  return FlacWriter(path, config);
}

IoStatus FlacWriter::initialize(const AudioFrameView& frame) {
  const AudioFormat f = frame.format();
  if (config_.input_format != f) {
    report_input_format_mismatch("FlacWriter", config_.input_format, f);
    return format_err("FLAC writer input AudioFormat mismatch");
  }
  const AudioFormat& fmt = config_.input_format;
  auto fifo = AudioFifo::create(fmt, 1, static_cast<std::int32_t>(fmt.sample_rate));
  if (!fifo || fmt.sample_rate == 0) return format_err("failed to create AudioFifo");
  auto muxer = ffmpeg_backend::EncodingMuxer::open(
      path_, {"flac", "FFmpeg FLAC encoder not found", fmt, fmt.sample_rate, config_.compression_level, std::nullopt});
  if (!muxer) return std::unexpected(muxer.error());
  const int own = muxer->encoder_frame_size();
  frame_size_ = own >= 1 ? static_cast<std::size_t>(own) : kDefaultFrameSamples;
  fifo_.emplace(std::move(*fifo));
  muxer_.emplace(std::move(*muxer));
  return {};
}

IoStatus FlacWriter::encode_and_mux(const AudioFrameView& frame) {
  if (static_cast<int>(frame.sample_rate()) != muxer_->sample_rate())
    return format_err("FLAC writer expects fixed sample_rate");
  if (frame.format() != fifo_->format()) return format_err("FLAC writer format mismatch (no resample/convert layer yet)");
  return muxer_->encode_and_mux(frame);
}

IoStatus FlacWriter::write_frame(const AudioFrameView& frame) {
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

IoStatus FlacWriter::finalize() {
  if (finalized_) return {};
  if (!muxer_) {
    finalized_ = true;
    return {};
  }
  if (const std::size_t n = fifo_->available_samples(); n > 0) {
    auto popped = fifo_->pop_frame(n);
    if (!popped || !*popped) return format_err("AudioFifo pop last failed");
    if (auto s = encode_and_mux(**popped); !s) return s;
  }
  if (auto s = muxer_->finish(); !s) return s;
  muxer_.reset();
  finalized_ = true;
  return {};
}

}  // namespace kestrune

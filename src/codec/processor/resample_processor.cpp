#include "codec/processor/resample_processor.hpp"

#include <cstring>

#include "codec/processor/pcm_copy_processor.hpp"
#include "function/ffmpeg_backend/ffmpeg_resampler.hpp"

namespace kestrune {

using ffmpeg_backend::FfmpegResampler;

ResampleProcessor::ResampleProcessor(const AudioFormat& out) : out_format_(out) {}
ResampleProcessor::ResampleProcessor(ResampleProcessor&&) noexcept = default;
ResampleProcessor& ResampleProcessor::operator=(ResampleProcessor&&) noexcept = default;
ResampleProcessor::~ResampleProcessor() = default;

CodecStatus ResampleProcessor::choose_backend(const AudioFormat& in) {
  if (auto ff = FfmpegResampler::create(in, out_format_)) {
    ffmpeg_ = std::make_unique<FfmpegResampler>(std::move(*ff));
    linear_.reset();
    use_ffmpeg_ = true;
    return {};
  }
  // FFmpeg's reason is not reported: the linear checks say what this pair
  // would need.
  if (auto ok = validate_linear_formats(in, out_format_); !ok) return ok;
  auto states = make_linear_states(in, out_format_);
  if (!states) return std::unexpected(states.error());
  linear_ = std::move(*states);
  ffmpeg_.reset();
  use_ffmpeg_ = false;
  return {};
}

CodecResult<ResampleProcessor> ResampleProcessor::create(const AudioFormat& in, const AudioFormat& out) {
  ResampleProcessor p(out);
  if (auto ok = p.choose_backend(in); !ok) return std::unexpected(ok.error());
  p.in_format_ = in;
  p.fixed_format_ = true;
  return p;
}

ResampleProcessor ResampleProcessor::create_deferred(const AudioFormat& out) { return ResampleProcessor(out); }

CodecResult<AudioFifo> ResampleProcessor::new_chunker() const {
  auto fifo = AudioFifo::create(out_format_, 1, static_cast<std::int32_t>(out_format_.sample_rate));
  if (!fifo) return std::unexpected(CodecError::other("AudioFifo init failed: " + fifo.error().to_string()));
  return std::move(*fifo);
}

CodecStatus ResampleProcessor::set_output_chunker(std::optional<std::size_t> out_chunk_samples, bool pad_final) {
  if (!out_chunk_samples) {
    out_chunk_samples_.reset();
    chunker_.reset();
    pad_final_ = pad_final;
    return {};
  }
  if (*out_chunk_samples == 0) return std::unexpected(CodecError::invalid_data("chunk_samples must be > 0"));
  auto fifo = new_chunker();
  if (!fifo) return std::unexpected(fifo.error());
  out_chunk_samples_ = out_chunk_samples;
  pad_final_ = pad_final;
  chunker_ = std::move(*fifo);
  return {};
}

CodecStatus ResampleProcessor::enqueue(AudioFrame frame) {
  if (!out_chunk_samples_) {
    out_queue_.push_back(std::move(frame));
    return {};
  }
  if (!chunker_) return std::unexpected(CodecError::invalid_state("output chunker enabled but fifo missing"));
  if (auto r = chunker_->push_frame(frame); !r)
    return std::unexpected(CodecError::other("AudioFifo push failed: " + r.error().to_string()));
  while (chunker_->available_samples() >= *out_chunk_samples_) {
    auto chunk = chunker_->pop_frame(*out_chunk_samples_);
    if (!chunk) return std::unexpected(CodecError::other("AudioFifo pop failed: " + chunk.error().to_string()));
    if (!*chunk) break;
    out_queue_.push_back(std::move(**chunk));
  }
  return {};
}

CodecStatus ResampleProcessor::flush_chunker() {
  if (!out_chunk_samples_ || !chunker_) return {};
  const std::size_t r = chunker_->available_samples();
  if (r == 0) return {};
  if (!pad_final_) {
    auto fresh = new_chunker();
    if (!fresh) return std::unexpected(fresh.error());
    chunker_ = std::move(*fresh);
    return {};
  }
  auto tail = chunker_->pop_frame(r);
  if (!tail || !*tail)
    return std::unexpected(
        CodecError::other("AudioFifo pop tail failed: " + (tail ? std::string("no samples") : tail.error().to_string())));
  auto fresh = new_chunker();
  if (!fresh) return std::unexpected(fresh.error());
  chunker_ = std::move(*fresh);

  AudioFrame& part = **tail;
  auto padded = AudioFrame::new_alloc(out_format_, *out_chunk_samples_);
  if (!padded) return std::unexpected(CodecError::other("failed to alloc padded AudioFrame"));
  // The added samples are zero bytes for every type (value 0 for U8 too).
  const std::size_t bytes = out_format_.plane_bytes(r);
  if (out_format_.is_planar()) {
    for (std::size_t c = 0; c < out_format_.channels; ++c) {
      auto src = part.plane(c);
      if (!src) return std::unexpected(CodecError::invalid_data("missing partial plane"));
      if (c >= padded->planes().size()) return std::unexpected(CodecError::invalid_data("missing padded plane"));
      std::memcpy(padded->planes()[c].data(), src->data(), bytes);
    }
  } else {
    auto src = part.plane(0);
    if (!src) return std::unexpected(CodecError::invalid_data("missing partial plane 0"));
    if (padded->planes().empty()) return std::unexpected(CodecError::invalid_data("missing padded plane 0"));
    std::memcpy(padded->planes()[0].data(), src->data(), bytes);
  }
  padded->set_pts(part.pts());
  padded->set_time_base(part.time_base());
  out_queue_.push_back(std::move(*padded));
  return {};
}

CodecStatus ResampleProcessor::send_frame(const AudioFrameView* frame) {
  if (flushed_) return std::unexpected(CodecError::invalid_state("already flushed"));
  if (!frame) {
    flushed_ = true;
    if (use_ffmpeg_ && ffmpeg_) {
      // The context holds its filter's worth of input; take it out so the
      // end of the stream is not lost.
      auto tail = ffmpeg_->drain();
      if (!tail) return std::unexpected(CodecError::other("ffmpeg resample failed: " + tail.error().to_string()));
      if (tail->nb_samples() > 0)
        if (auto ok = enqueue(std::move(*tail)); !ok) return ok;
    } else if (!use_ffmpeg_ && linear_) {
      auto tail = linear_flush(*linear_, out_format_);
      if (!tail) return std::unexpected(tail.error());
      if (*tail)
        if (auto ok = enqueue(std::move(**tail)); !ok) return ok;
    }
    return flush_chunker();
  }
  if (frame->nb_samples() == 0) return {};

  const AudioFormat got = frame->format();
  if (!in_format_) {
    if (auto ok = choose_backend(got); !ok) return ok;
    in_format_ = got;
  } else if (got != *in_format_) {
    report_input_format_mismatch("ResampleProcessor", *in_format_, got);
    return std::unexpected(CodecError::invalid_data("ResampleProcessor input AudioFormat mismatch"));
  }

  const auto out_pts = rescale_pts_to_rate(frame->pts(), frame->time_base(), out_format_.sample_rate);
  if (use_ffmpeg_) {
    if (!ffmpeg_) return std::unexpected(CodecError::invalid_state("ffmpeg resampler not initialized"));
    auto out = ffmpeg_->convert(*frame, out_pts);
    if (!out) return std::unexpected(CodecError::other("ffmpeg resample failed: " + out.error().to_string()));
    return enqueue(std::move(*out));
  }
  if (!linear_) return std::unexpected(CodecError::invalid_state("linear resampler not initialized"));
  auto out = linear_process(*linear_, *in_format_, out_format_, *frame, out_pts);
  if (!out) return std::unexpected(out.error());
  if (!*out) return {};
  return enqueue(std::move(**out));
}

CodecResult<AudioFrame> ResampleProcessor::receive_frame() {
  if (out_queue_.empty()) return std::unexpected(flushed_ ? CodecError::eof() : CodecError::again());
  AudioFrame f = std::move(out_queue_.front());
  out_queue_.pop_front();
  return f;
}

CodecStatus ResampleProcessor::reset() {
  out_queue_.clear();
  flushed_ = false;
  if (chunker_) {
    auto fresh = new_chunker();
    if (!fresh) return std::unexpected(fresh.error());
    chunker_ = std::move(*fresh);
  }
  if (fixed_format_) {
    if (linear_) reset_linear_states(*linear_);
    if (ffmpeg_) {
      if (auto r = ffmpeg_->reinit(); !r)
        return std::unexpected(CodecError::other("ffmpeg resample reset failed: " + r.error().to_string()));
    }
    return {};
  }
  in_format_.reset();
  linear_.reset();
  ffmpeg_.reset();
  use_ffmpeg_ = false;
  return {};
}

}  // namespace kestrune

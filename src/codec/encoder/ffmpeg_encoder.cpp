#include "codec/encoder/ffmpeg_encoder.hpp"

#include <bit>
#include <cstring>
#include <string>

#include "codec/format_report.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace kestrune::ffmpeg_backend {

namespace {

constexpr int kMaxPlanarChannels = AV_NUM_DATA_POINTERS;

AVSampleFormat to_ffmpeg(SampleFormat f) {
  switch (f.type) {
    case SampleType::U8: return f.planar ? AV_SAMPLE_FMT_U8P : AV_SAMPLE_FMT_U8;
    case SampleType::I16: return f.planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
    case SampleType::I32: return f.planar ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S32;
    case SampleType::F32: return f.planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
    case SampleType::F64: return f.planar ? AV_SAMPLE_FMT_DBLP : AV_SAMPLE_FMT_DBL;
    case SampleType::I64: return f.planar ? AV_SAMPLE_FMT_S64P : AV_SAMPLE_FMT_S64;
  }
  return AV_SAMPLE_FMT_NONE;
}

const char* const kMismatch = "input AudioFormat mismatch (no resample/convert layer yet)";

}  // namespace

FfmpegEncoder::FfmpegEncoder(const FfmpegEncoderSpec& codec_info, std::optional<std::int64_t> tuning,
                             std::optional<AudioFormat> input_format)
    : spec_(codec_info), tuning_(tuning), format_(input_format), format_fixed_(input_format.has_value()) {}

CodecStatus FfmpegEncoder::open_if_fixed() {
  if (!format_) return {};
  return ensure_initialized(*format_);
}

std::optional<std::size_t> FfmpegEncoder::preferred_frame_samples() const {
  if (frame_size_) return frame_size_;
  return spec_.frame_samples;
}

ByteSpan FfmpegEncoder::extradata() const {
  if (!ctx_ || !ctx_->extradata || ctx_->extradata_size <= 0) return {};
  return ByteSpan(ctx_->extradata, static_cast<std::size_t>(ctx_->extradata_size));
}

CodecStatus FfmpegEncoder::ensure_initialized(const AudioFormat& format) {
  if (initialized_) return {};
  if (!format_) {
    format_ = format;
  } else if (*format_ != format) {
    return std::unexpected(CodecError::invalid_data(kMismatch));
  }
  if (spec_.requires_48k && format_->sample_rate != 48000)
    return std::unexpected(CodecError::invalid_data("Opus encoder requires 48kHz input (no resample layer yet)"));
  return open_context();
}

CodecStatus FfmpegEncoder::open_context() {
  silence_ffmpeg_log();
  const AudioFormat& fmt = *format_;
  const AVCodec* codec = nullptr;
  const char* found_name = nullptr;
  for (const char* name : spec_.ffmpeg_names) {
    if (!name) continue;
    const std::string s = name;
    if (s.find('\0') != std::string::npos)
      return std::unexpected(CodecError::invalid_data("codec name contains NUL"));
    codec = avcodec_find_encoder_by_name(s.c_str());
    if (codec) {
      found_name = name;
      break;
    }
  }
  if (!codec) return std::unexpected(CodecError::unsupported(spec_.not_found));

  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) return std::unexpected(CodecError::other("avcodec_alloc_context3 failed"));
  const int rate = spec_.requires_48k ? 48000 : static_cast<int>(fmt.sample_rate);
  ctx->sample_rate = rate;
  if (fmt.channel_layout_mask != 0) {
    if (auto st = ff_check(av_channel_layout_from_mask(&ctx->ch_layout, fmt.channel_layout_mask)); !st)
      return std::unexpected(st.error());
  } else {
    av_channel_layout_default(&ctx->ch_layout, fmt.channels);
  }
  // FFmpeg sizes its frame buffers by the layout's channel count; a mask
  // naming another number of channels than the frames carry would make the
  // sample copy read or write past a plane.
  if (ctx->ch_layout.nb_channels != static_cast<int>(fmt.channels))
    return std::unexpected(CodecError::invalid_data("channel_layout_mask does not match channels"));
  ctx->sample_fmt = to_ffmpeg(fmt.sample_format);
  if (tuning_) {
    if (spec_.tuning == FfmpegEncoderSpec::Tuning::BitRate)
      ctx->bit_rate = *tuning_;
    else
      ctx->compression_level = static_cast<int>(*tuning_);
  }
  ctx->time_base = AVRational{1, rate};
  // FFmpeg's own Opus encoder (the fallback when libopus is absent) is
  // marked experimental and refuses to open without this.
  if (std::strcmp(found_name, "opus") == 0) ctx->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
  if (auto st = ff_check(avcodec_open2(ctx.get(), codec, nullptr)); !st) return std::unexpected(st.error());

  ctx_ = std::move(ctx);
  initialized_ = true;
  used_ = false;
  if (spec_.requires_48k)
    frame_size_ = ctx_->frame_size > 0 ? std::optional<std::size_t>(ctx_->frame_size) : std::nullopt;
  return {};
}

CodecStatus FfmpegEncoder::send_frame(const AudioFrameView* view) {
  if (flushed_) return std::unexpected(CodecError::invalid_state("already flushed"));
  if (!view) {
    if (initialized_) {
      if (auto st = ff_check(avcodec_send_frame(ctx_.get(), nullptr)); !st) return st;
      used_ = true;
    }
    flushed_ = true;
    return {};
  }
  const std::size_t n = view->nb_samples();
  if (n == 0) return {};
  const AudioFormat fmt = view->format();
  if (!initialized_)
    if (auto st = ensure_initialized(fmt); !st) return st;
  if (!format_) return std::unexpected(CodecError::invalid_state(spec_.missing_format));
  if (fmt != *format_) {
    report_input_format_mismatch(spec_.component, *format_, fmt);
    return std::unexpected(CodecError::invalid_data(kMismatch));
  }
  if (n > static_cast<std::size_t>(INT32_MAX))
    return std::unexpected(CodecError::invalid_data("frame has too many samples"));

  auto owned = alloc_frame();
  if (!owned) return std::unexpected(owned.error());
  AVFrame* f = owned->get();
  f->nb_samples = static_cast<int>(n);
  f->format = ctx_->sample_fmt;
  f->sample_rate = ctx_->sample_rate;
  if (auto st = ff_check(av_channel_layout_copy(&f->ch_layout, &ctx_->ch_layout)); !st) return st;
  if (auto st = ff_check(av_frame_get_buffer(f, 0)); !st) return st;

  const std::size_t bps = fmt.bytes_per_sample();
  const std::size_t channels = fmt.channels;
  if (fmt.is_planar()) {
    if (channels > kMaxPlanarChannels)
      return std::unexpected(CodecError::unsupported("planar frames with more than 8 channels are not supported"));
    const std::size_t bytes = n * bps;
    for (std::size_t c = 0; c < channels; ++c) {
      auto plane = view->plane(c);
      if (!plane) return std::unexpected(CodecError::invalid_data("missing plane"));
      if (plane->size() != bytes) return std::unexpected(CodecError::invalid_data("unexpected plane size"));
      if (!f->data[c]) return std::unexpected(CodecError::invalid_data(spec_.null_plane));
      std::memcpy(f->data[c], plane->data(), bytes);
    }
  } else {
    auto plane = view->plane(0);
    if (!plane) return std::unexpected(CodecError::invalid_data("missing plane 0"));
    const std::size_t bytes = n * channels * bps;
    if (plane->size() != bytes)
      return std::unexpected(CodecError::invalid_data("unexpected interleaved plane size"));
    if (!f->data[0]) return std::unexpected(CodecError::invalid_data(spec_.null_data));
    std::memcpy(f->data[0], plane->data(), bytes);
  }
  // Passed through in the frame's own time base; the frames this library
  // makes count samples at 1/sample rate, which is the context's.
  const auto pts = view->pts();
  f->pts = pts ? *pts : AV_NOPTS_VALUE;
  used_ = true;
  return ff_check(avcodec_send_frame(ctx_.get(), f));
}

CodecResult<CodecPacket> FfmpegEncoder::receive_packet() {
  if (!initialized_) {
    if (flushed_) return std::unexpected(CodecError::eof());
    return std::unexpected(CodecError::again());
  }
  auto owned = alloc_packet();
  if (!owned) return std::unexpected(owned.error());
  AVPacket* p = owned->get();
  if (auto st = ff_check(avcodec_receive_packet(ctx_.get(), p)); !st) return std::unexpected(st.error());
  CodecPacket out;
  if (p->pts != AV_NOPTS_VALUE) out.pts = p->pts;
  if (p->dts != AV_NOPTS_VALUE) out.dts = p->dts;
  if (p->duration > 0) out.duration = p->duration;
  if (p->size > 0) out.data.assign(p->data, p->data + p->size);
  out.time_base = TimeBase{ctx_->time_base.num, ctx_->time_base.den};
  out.flags = 0;  // FFmpeg's key flags are not this library's packet flags
  return out;
}

CodecStatus FfmpegEncoder::reset() {
  flushed_ = false;
  if (format_fixed_) {
    if (!ctx_ || !used_) return {};
    if (ctx_->codec->capabilities & AV_CODEC_CAP_ENCODER_FLUSH) {
      avcodec_flush_buffers(ctx_.get());
      used_ = false;
      return {};
    }
    // Most FFmpeg encoders cannot be flushed: they would keep their queued
    // samples (and stay drained after an end of input). Reopen with the
    // same format so the next stream starts clean.
    ctx_.reset();
    initialized_ = false;
    return open_context();
  }
  ctx_.reset();
  initialized_ = false;
  format_.reset();
  frame_size_.reset();
  return {};
}

}  // namespace kestrune::ffmpeg_backend

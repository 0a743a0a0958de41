#include "codec/decoder/ffmpeg_decoder.hpp"

#include <cstring>
#include <limits>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
}

namespace kestrune::ffmpeg_backend {

namespace {

// FFmpeg frames carry only eight plane pointers in data[]; more planes
// live in extended_data only, which this copy path does not walk.
constexpr int kMaxPlanarChannels = AV_NUM_DATA_POINTERS;

struct SampleMapping {
  SampleType type;
  bool planar;
};

std::optional<SampleMapping> map_sample_format(int fmt) {
  switch (fmt) {
    case AV_SAMPLE_FMT_U8: return SampleMapping{SampleType::U8, false};
    case AV_SAMPLE_FMT_S16: return SampleMapping{SampleType::I16, false};
    case AV_SAMPLE_FMT_S32: return SampleMapping{SampleType::I32, false};
    case AV_SAMPLE_FMT_FLT: return SampleMapping{SampleType::F32, false};
    case AV_SAMPLE_FMT_DBL: return SampleMapping{SampleType::F64, false};
    case AV_SAMPLE_FMT_U8P: return SampleMapping{SampleType::U8, true};
    case AV_SAMPLE_FMT_S16P: return SampleMapping{SampleType::I16, true};
    case AV_SAMPLE_FMT_S32P: return SampleMapping{SampleType::I32, true};
    case AV_SAMPLE_FMT_FLTP: return SampleMapping{SampleType::F32, true};
    case AV_SAMPLE_FMT_DBLP: return SampleMapping{SampleType::F64, true};
    case AV_SAMPLE_FMT_S64: return SampleMapping{SampleType::I64, false};
    case AV_SAMPLE_FMT_S64P: return SampleMapping{SampleType::I64, true};
    default: return std::nullopt;
  }
}

std::uint64_t layout_mask(const AVChannelLayout& l, std::uint16_t channels) {
  if (channels == 0) return 0;
  if (l.order == AV_CHANNEL_ORDER_NATIVE && l.u.mask != 0) return l.u.mask;
  if (channels == 1) return 0x4;
  if (channels == 2) return 0x3;
  return 0;
}

}  // namespace

CodecResult<CodecContextPtr> FfmpegDecoder::open(const FfmpegDecoderSpec& codec_info,
                                                 std::optional<ByteSpan> extradata) {
  silence_ffmpeg_log();
  const std::string name = codec_info.ffmpeg_name;
  if (name.find('\0') != std::string::npos)
    return std::unexpected(CodecError::invalid_data("codec name contains NUL"));
  const AVCodec* codec = avcodec_find_decoder_by_name(name.c_str());
  if (!codec) return std::unexpected(CodecError::unsupported(codec_info.not_found));
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) return std::unexpected(CodecError::other("avcodec_alloc_context3 failed"));
  if (extradata && !extradata->empty()) {
    if (extradata->size() > static_cast<std::size_t>(std::numeric_limits<int>::max() - AV_INPUT_BUFFER_PADDING_SIZE))
      return std::unexpected(CodecError::invalid_data("extradata too large"));
    // FFmpeg reads up to AV_INPUT_BUFFER_PADDING_SIZE zeroed bytes past the
    // end of configuration data.
    auto* block = static_cast<std::uint8_t*>(av_mallocz(extradata->size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!block) return std::unexpected(CodecError::other("av_malloc for extradata failed"));
    std::memcpy(block, extradata->data(), extradata->size());
    ctx->extradata = block;  // owned (and freed) by the context from here on
    ctx->extradata_size = static_cast<int>(extradata->size());
  }
  if (auto st = ff_check(avcodec_open2(ctx.get(), codec, nullptr)); !st) return std::unexpected(st.error());
  return ctx;
}

FfmpegDecoder::FfmpegDecoder(const FfmpegDecoderSpec& codec_info, CodecContextPtr ctx)
    : spec_(codec_info), ctx_(std::move(ctx)), packet_time_base_{ctx_->time_base.num, ctx_->time_base.den} {}

CodecStatus FfmpegDecoder::send_packet(std::optional<CodecPacket> packet) {
  if (flushed_) return std::unexpected(CodecError::invalid_state("already flushed"));
  if (!packet) {
    if (auto st = ff_check(avcodec_send_packet(ctx_.get(), nullptr)); !st) return st;
    flushed_ = true;
    return {};
  }
  packet_time_base_ = packet->time_base;
  ctx_->pkt_timebase = AVRational{packet->time_base.num, packet->time_base.den};
  // An empty payload carries no audio (FFmpeg's FLAC encoder ends its
  // stream with one that only holds side data). FFmpeg would refuse it as an
  // invalid argument, or take a data-less one for the end of input.
  if (packet->data.empty()) return {};
  auto pkt = alloc_packet();
  if (!pkt) return std::unexpected(pkt.error());
  if (packet->data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max() - AV_INPUT_BUFFER_PADDING_SIZE))
    return std::unexpected(CodecError::invalid_data("packet too large"));
  AVPacket* p = pkt->get();
  if (auto st = ff_check(av_new_packet(p, static_cast<int>(packet->data.size()))); !st) return st;
  if (!packet->data.empty()) std::memcpy(p->data, packet->data.data(), packet->data.size());
  p->pts = packet->pts.value_or(AV_NOPTS_VALUE);
  p->dts = packet->dts.value_or(AV_NOPTS_VALUE);
  p->duration = packet->duration.value_or(0);
  // Packet flags are this library's own and mean nothing to FFmpeg.
  return ff_check(avcodec_send_packet(ctx_.get(), p));
}

CodecResult<AudioFrame> FfmpegDecoder::receive_frame() {
  auto owned = alloc_frame();
  if (!owned) return std::unexpected(owned.error());
  AVFrame* f = owned->get();
  if (auto st = ff_check(avcodec_receive_frame(ctx_.get(), f)); !st) return std::unexpected(st.error());

  auto mapped = map_sample_format(f->format);
  if (!mapped) return std::unexpected(CodecError::unsupported("unsupported FFmpeg sample format"));
  const int raw_channels = f->ch_layout.nb_channels < 0 ? 0 : f->ch_layout.nb_channels;
  if (raw_channels > std::numeric_limits<std::uint16_t>::max())
    return std::unexpected(CodecError::unsupported("too many channels in decoded frame"));
  const auto channels = static_cast<std::uint16_t>(raw_channels);
  const std::uint64_t mask = layout_mask(f->ch_layout, channels);
  const std::size_t bps = bytes_per_sample(mapped->type);
  const std::size_t n = f->nb_samples < 0 ? 0 : static_cast<std::size_t>(f->nb_samples);

  std::vector<Bytes> planes;
  if (mapped->planar) {
    if (channels > kMaxPlanarChannels)
      return std::unexpected(CodecError::unsupported("planar frames with more than 8 channels are not supported"));
    const std::size_t bytes = n * bps;
    planes.reserve(channels);
    for (std::size_t c = 0; c < channels; ++c) {
      const std::uint8_t* src = f->data[c];
      if (!src) return std::unexpected(CodecError::invalid_data("ffmpeg frame plane is null"));
      planes.emplace_back(src, src + bytes);
    }
  } else {
    const std::uint8_t* src = f->data[0];
    if (!src) return std::unexpected(CodecError::invalid_data("ffmpeg frame data[0] is null"));
    planes.emplace_back(src, src + n * channels * bps);
  }
  const std::optional<std::int64_t> pts =
      f->pts == AV_NOPTS_VALUE ? std::nullopt : std::optional<std::int64_t>(f->pts);
  const AudioFormat fmt{f->sample_rate < 0 ? 0u : static_cast<std::uint32_t>(f->sample_rate),
                        {mapped->type, mapped->planar}, channels, mask};
  owned->reset();  // release FFmpeg's buffers before building ours

  auto frame = AudioFrame::from_planes(fmt, n, packet_time_base_.num, packet_time_base_.den, pts, std::move(planes));
  if (!frame) return std::unexpected(CodecError::invalid_data("failed to build AudioFrame"));
  output_format_ = fmt;
  return std::move(*frame);
}

CodecStatus FfmpegDecoder::reset() {
  avcodec_flush_buffers(ctx_.get());
  flushed_ = false;
  output_format_.reset();
  return {};
}

}  // namespace kestrune::ffmpeg_backend

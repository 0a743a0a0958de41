#include "common/io/file/muxed_file.hpp"

#include <cstring>
#include <limits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace kestrune::ffmpeg_backend {

namespace {

std::unexpected<AudioIOError> codec_err(CodecError e) {
  return std::unexpected(AudioIOError::from_codec(std::move(e)));
}
std::unexpected<AudioIOError> ff_err(int code) { return codec_err(ff_error(code)); }
std::unexpected<AudioIOError> format_err(const char* m) { return std::unexpected(AudioIOError::format(m)); }

AVSampleFormat to_ffmpeg(SampleFormat f) {
  switch (f.type) {
    case SampleType::U8: return f.planar ? AV_SAMPLE_FMT_U8P : AV_SAMPLE_FMT_U8;
    case SampleType::I16: return f.planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
    case SampleType::I32: return f.planar ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S32;
    case SampleType::I64: return f.planar ? AV_SAMPLE_FMT_S64P : AV_SAMPLE_FMT_S64;
    case SampleType::F32: return f.planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
    case SampleType::F64: return f.planar ? AV_SAMPLE_FMT_DBLP : AV_SAMPLE_FMT_DBL;
  }
  return AV_SAMPLE_FMT_NONE;
}

constexpr int kMaxDrainRetries = 1000;

}  // namespace

IoStatus check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) return format_err("path contains NUL");
  return {};
}

IoResult<DemuxedInput> DemuxedInput::open(const std::string& path) {
  silence_ffmpeg_log();
  if (auto s = check_path(path); !s) return std::unexpected(s.error());
  AVFormatContext* raw = nullptr;
  if (const int r = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); r < 0) return ff_err(r);
  DemuxedInput in;
  in.input_.reset(raw);
  if (const int r = avformat_find_stream_info(raw, nullptr); r < 0) return ff_err(r);
  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    const AVStream* st = raw->streams[i];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      in.stream_index_ = static_cast<int>(i);
      in.time_base_ = {st->time_base.num, st->time_base.den};
      return in;
    }
  }
  return format_err("no audio stream found");
}

Bytes DemuxedInput::extradata() const {
  const AVCodecParameters* par = input_->streams[stream_index_]->codecpar;
  if (!par->extradata || par->extradata_size <= 0) return {};
  return Bytes(par->extradata, par->extradata + par->extradata_size);
}

IoResult<std::optional<AudioFrame>> DemuxedInput::next_frame(AudioDecoder& decoder) {
  for (;;) {
    auto frame = decoder.receive_frame();
    if (frame) return std::optional<AudioFrame>(std::move(*frame));
    if (frame.error().is_eof()) return std::optional<AudioFrame>{};
    if (!frame.error().is_again()) return codec_err(std::move(frame.error()));
    if (flushed_) return std::optional<AudioFrame>{};  // a decoder that keeps asking after its end

    auto pkt = alloc_packet();
    if (!pkt) return codec_err(std::move(pkt.error()));
    AVPacket* p = pkt->get();
    bool sent = false;
    for (;;) {
      if (av_read_frame(input_.get(), p) < 0) break;  // end of file and read errors alike end the input
      if (p->stream_index != stream_index_) {
        av_packet_unref(p);
        continue;
      }
      CodecPacket cp;
      if (p->size > 0) cp.data.assign(p->data, p->data + p->size);
      if (p->pts != AV_NOPTS_VALUE) cp.pts = p->pts;
      if (p->duration > 0) cp.duration = p->duration;
      cp.time_base = time_base_;
      av_packet_unref(p);
      if (auto s = decoder.send_packet(std::move(cp)); !s) return codec_err(std::move(s.error()));
      sent = true;
      break;
    }
    if (sent) continue;
    flushed_ = true;
    if (auto s = decoder.send_packet(std::nullopt); !s) return codec_err(std::move(s.error()));
  }
}

IoResult<EncodingMuxer> EncodingMuxer::open(const std::string& path, const EncodingMuxerSettings& s) {
  silence_ffmpeg_log();
  if (auto st = check_path(path); !st) return std::unexpected(st.error());
  EncodingMuxer m;
  AVFormatContext* raw = nullptr;
  const int r = avformat_alloc_output_context2(&raw, nullptr, nullptr, path.c_str());
  if (r < 0) return ff_err(r);
  if (!raw) return ff_err(-1);
  m.output_.reset(raw);

  const AVCodec* codec = avcodec_find_encoder_by_name(s.encoder_name);
  if (!codec) return codec_err(CodecError::unsupported(s.not_found));
  m.codec_.reset(avcodec_alloc_context3(codec));
  if (!m.codec_) return codec_err(CodecError::other("avcodec_alloc_context3 failed"));
  AVCodecContext* c = m.codec_.get();
  c->sample_rate = static_cast<int>(s.sample_rate);
  c->sample_fmt = to_ffmpeg(s.format.sample_format);
  c->time_base = AVRational{1, static_cast<int>(s.sample_rate)};
  if (s.compression_level) c->compression_level = *s.compression_level;
  if (s.bit_rate) c->bit_rate = *s.bit_rate;
  if (s.format.channel_layout_mask != 0) {
    if (const int e = av_channel_layout_from_mask(&c->ch_layout, s.format.channel_layout_mask); e < 0) return ff_err(e);
  } else {
    av_channel_layout_default(&c->ch_layout, s.format.channels);
  }
  // FFmpeg sizes frame buffers by the layout's channel count; a mask naming
  // another count than the frames carry would make the sample copy overrun.
  if (c->ch_layout.nb_channels != static_cast<int>(s.format.channels))
    return codec_err(CodecError::invalid_data("channel_layout_mask does not match channels"));
  if (raw->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (const int e = avcodec_open2(c, codec, nullptr); e < 0) return ff_err(e);

  m.stream_ = avformat_new_stream(raw, nullptr);
  if (!m.stream_) return codec_err(CodecError::other("avformat_new_stream failed"));
  m.stream_->time_base = c->time_base;
  if (const int e = avcodec_parameters_from_context(m.stream_->codecpar, c); e < 0) return ff_err(e);
  if (!(raw->oformat->flags & AVFMT_NOFILE))
    if (const int e = avio_open(&raw->pb, path.c_str(), AVIO_FLAG_WRITE); e < 0) return ff_err(e);
  if (const int e = avformat_write_header(raw, nullptr); e < 0) return ff_err(e);
  return m;
}

int EncodingMuxer::encoder_frame_size() const { return codec_->frame_size > 0 ? codec_->frame_size : 0; }
int EncodingMuxer::sample_rate() const { return codec_->sample_rate; }

IoStatus EncodingMuxer::encode_and_mux(const AudioFrameView& frame) {
  const std::size_t n = frame.nb_samples();
  if (n > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    return format_err("frame has too many samples");
  auto owned = alloc_frame();
  if (!owned) return codec_err(std::move(owned.error()));
  AVFrame* f = owned->get();
  f->nb_samples = static_cast<int>(n);
  f->format = codec_->sample_fmt;
  f->sample_rate = codec_->sample_rate;
  if (const int e = av_channel_layout_copy(&f->ch_layout, &codec_->ch_layout); e < 0) return ff_err(e);
  if (const int e = av_frame_get_buffer(f, 0); e < 0) return ff_err(e);

  const AudioFormat fmt = frame.format();
  const std::size_t bps = fmt.bytes_per_sample();
  if (fmt.is_planar()) {
    for (std::size_t ch = 0; ch < fmt.channels; ++ch) {
      auto plane = frame.plane(ch);
      if (!plane) return format_err("missing plane");
      // extended_data covers every channel, also past the eight data[] slots.
      std::uint8_t* dst = f->extended_data ? f->extended_data[ch] : nullptr;
      if (!dst) return format_err("ffmpeg frame plane is null");
      if (plane->size() != n * bps) return format_err("unexpected plane size");
      std::memcpy(dst, plane->data(), plane->size());
    }
  } else {
    auto plane = frame.plane(0);
    if (!plane) return format_err("missing plane 0");
    if (!f->data[0]) return format_err("ffmpeg frame data[0] is null");
    if (plane->size() != n * bps * fmt.channels) return format_err("unexpected interleaved plane size");
    std::memcpy(f->data[0], plane->data(), plane->size());
  }
  f->pts = next_pts_;
  next_pts_ += static_cast<std::int64_t>(n);
  if (const int e = avcodec_send_frame(codec_.get(), f); e < 0) return ff_err(e);
  return write_ready_packets(false);
}

IoStatus EncodingMuxer::write_ready_packets(bool until_eof) {
  auto pkt = alloc_packet();
  if (!pkt) return codec_err(std::move(pkt.error()));
  AVPacket* p = pkt->get();
  int retries = 0;
  for (;;) {
    const int r = avcodec_receive_packet(codec_.get(), p);
    if (r == AVERROR(EAGAIN)) {
      if (!until_eof) return {};
      // After the end of input FFmpeg never asks for more; bound it anyway.
      if (++retries > kMaxDrainRetries) return codec_err(CodecError::other("encoder stalled after end of input"));
      continue;
    }
    if (r == AVERROR_EOF) return {};
    if (r < 0) return ff_err(r);
    retries = 0;
    p->stream_index = stream_->index;
    av_packet_rescale_ts(p, codec_->time_base, stream_->time_base);
    // Takes the packet's contents (leaves it blank) on success and failure.
    if (const int e = av_interleaved_write_frame(output_.get(), p); e < 0) return ff_err(e);
  }
}

IoStatus EncodingMuxer::finish() {
  if (const int e = avcodec_send_frame(codec_.get(), nullptr); e < 0) return ff_err(e);
  if (auto s = write_ready_packets(true); !s) return s;
  if (const int e = av_write_trailer(output_.get()); e < 0) return ff_err(e);
  AVFormatContext* out = output_.get();
  if (out->pb && !(out->oformat->flags & AVFMT_NOFILE))
    if (const int e = avio_closep(&out->pb); e < 0) return ff_err(e);
  codec_.reset();
  output_.reset();
  stream_ = nullptr;
  return {};
}

}  // namespace kestrune::ffmpeg_backend

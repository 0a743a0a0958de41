#include "codec/codec_test_util.hpp"

#include "common/ffmpeg_util.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

namespace kestrune::testutil {

namespace {

template <class T>
void put(std::uint8_t* dst, T v) {
  std::memcpy(dst, &v, sizeof v);
}

template <class T>
T get(const std::uint8_t* src) {
  T v;
  std::memcpy(&v, src, sizeof v);
  return v;
}

void store(SampleType t, std::uint8_t* dst, double x) {
  switch (t) {
    case SampleType::U8: put<std::uint8_t>(dst, static_cast<std::uint8_t>(std::lround(x * 127.0) + 128)); break;
    case SampleType::I16: put<std::int16_t>(dst, static_cast<std::int16_t>(std::lround(x * 32767.0))); break;
    case SampleType::I32: put<std::int32_t>(dst, static_cast<std::int32_t>(std::llround(x * 2147483647.0))); break;
    case SampleType::I64:
      put<std::int64_t>(dst, static_cast<std::int64_t>(std::llround(x * 2147483647.0)) << 32);
      break;
    case SampleType::F32: put<float>(dst, static_cast<float>(x)); break;
    case SampleType::F64: put<double>(dst, x); break;
  }
}

double load(SampleType t, const std::uint8_t* src) {
  switch (t) {
    case SampleType::U8: return (static_cast<int>(*src) - 128) / 128.0;
    case SampleType::I16: return get<std::int16_t>(src) / 32768.0;
    case SampleType::I32: return get<std::int32_t>(src) / 2147483648.0;
    case SampleType::I64: return static_cast<double>(get<std::int64_t>(src)) / 9223372036854775808.0;
    case SampleType::F32: return get<float>(src);
    case SampleType::F64: return get<double>(src);
  }
  return 0;
}

}  // namespace

AudioFrame sine_frame(const AudioFormat& f, std::size_t n, double freq, double amp, std::size_t start,
                      std::optional<std::int64_t> pts) {
  AudioFrame frame = *AudioFrame::new_alloc(f, n);
  const std::size_t bps = f.bytes_per_sample();
  for (std::size_t c = 0; c < f.channels; ++c)
    for (std::size_t i = 0; i < n; ++i) {
      const double x = amp * std::sin(2.0 * M_PI * freq * double(start + i) / f.sample_rate + 0.3 * c);
      std::uint8_t* dst = f.is_planar() ? frame.planes()[c].data() + i * bps
                                        : frame.planes()[0].data() + (i * f.channels + c) * bps;
      store(f.sample_format.type, dst, x);
    }
  frame.set_pts(pts);
  return frame;
}

double sample_at(const AudioFrameView& f, std::size_t c, std::size_t i) {
  const AudioFormat fmt = f.format();
  const std::size_t bps = fmt.bytes_per_sample();
  if (fmt.is_planar()) return load(fmt.sample_format.type, f.plane(c)->data() + i * bps);
  return load(fmt.sample_format.type, f.plane(0)->data() + (i * fmt.channels + c) * bps);
}

double rms(const AudioFrameView& f, std::size_t c) {
  double acc = 0;
  const std::size_t n = f.nb_samples();
  for (std::size_t i = 0; i < n; ++i) acc += sample_at(f, c, i) * sample_at(f, c, i);
  return n ? std::sqrt(acc / n) : 0.0;
}

TempDir::TempDir() {
  std::random_device rd;
  path = std::filesystem::temp_directory_path() / ("kestrune_codec_" + std::to_string(rd()) + std::to_string(rd()));
  std::filesystem::create_directories(path);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

int run(const std::string& cmd) {
  const int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Demuxed demux(const std::string& path) {
  ffmpeg_backend::silence_ffmpeg_log();
  Demuxed out;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return out;
  if (avformat_find_stream_info(fmt, nullptr) < 0) {
    avformat_close_input(&fmt);
    return out;
  }
  const int idx = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (idx < 0) {
    avformat_close_input(&fmt);
    return out;
  }
  const AVStream* st = fmt->streams[idx];
  out.sample_rate = st->codecpar->sample_rate;
  out.channels = st->codecpar->ch_layout.nb_channels;
  if (st->codecpar->extradata_size > 0)
    out.extradata.assign(st->codecpar->extradata, st->codecpar->extradata + st->codecpar->extradata_size);
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == idx) {
      CodecPacket p;
      if (pkt->pts != AV_NOPTS_VALUE) p.pts = pkt->pts;
      if (pkt->duration > 0) p.duration = pkt->duration;
      p.data.assign(pkt->data, pkt->data + pkt->size);
      p.time_base = {st->time_base.num, st->time_base.den};
      out.packets.push_back(std::move(p));
    }
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&fmt);
  return out;
}

bool mux(const std::string& path, const char* format, const char* codec_name, int sample_rate, int channels,
         ByteSpan extradata, const std::vector<CodecPacket>& packets) {
  AVFormatContext* oc = nullptr;
  if (avformat_alloc_output_context2(&oc, nullptr, format, path.c_str()) < 0 || !oc) return false;
  bool ok = false;
  const AVCodec* codec = avcodec_find_decoder_by_name(codec_name);
  AVStream* st = codec ? avformat_new_stream(oc, nullptr) : nullptr;
  AVPacket* pkt = av_packet_alloc();
  if (st && pkt) {
    st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    st->codecpar->codec_id = codec->id;
    st->codecpar->sample_rate = sample_rate;
    av_channel_layout_default(&st->codecpar->ch_layout, channels);
    if (!extradata.empty()) {
      st->codecpar->extradata = static_cast<std::uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
      std::memcpy(st->codecpar->extradata, extradata.data(), extradata.size());
      st->codecpar->extradata_size = static_cast<int>(extradata.size());
    }
    st->time_base = AVRational{1, sample_rate};
    if (avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0) {
      ok = avformat_write_header(oc, nullptr) >= 0;
      for (const CodecPacket& p : packets) {
        if (!ok) break;
        if (av_new_packet(pkt, static_cast<int>(p.data.size())) < 0) {
          ok = false;
          break;
        }
        std::memcpy(pkt->data, p.data.data(), p.data.size());
        const AVRational from{p.time_base.num, p.time_base.den};
        pkt->pts = p.pts ? av_rescale_q(*p.pts, from, st->time_base) : AV_NOPTS_VALUE;
        pkt->dts = p.dts ? av_rescale_q(*p.dts, from, st->time_base) : pkt->pts;
        pkt->duration = p.duration ? av_rescale_q(*p.duration, from, st->time_base) : 0;
        pkt->stream_index = st->index;
        ok = av_write_frame(oc, pkt) >= 0;
        av_packet_unref(pkt);
      }
      if (ok) ok = av_write_trailer(oc) >= 0;
      avio_closep(&oc->pb);
    }
  }
  av_packet_free(&pkt);
  avformat_free_context(oc);
  return ok;
}

namespace {
template <class T>
std::optional<std::vector<T>> ffmpeg_decode(const std::string& path, int channels, const char* fmt) {
  const std::string raw = path + "." + fmt;
  const std::string cmd = "ffmpeg -nostdin -y -v error -xerror -i '" + path + "' -ac " + std::to_string(channels) +
                          " -f " + fmt + " '" + raw + "'";
  if (run(cmd) != 0) return std::nullopt;
  auto bytes = read_file(raw);
  std::vector<T> out(bytes.size() / sizeof(T));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return out;
}
}  // namespace

std::optional<std::vector<float>> ffmpeg_decode_f32(const std::string& path, int channels) {
  return ffmpeg_decode<float>(path, channels, "f32le");
}

std::optional<std::vector<std::int16_t>> ffmpeg_decode_s16(const std::string& path, int channels) {
  return ffmpeg_decode<std::int16_t>(path, channels, "s16le");
}

}  // namespace kestrune::testutil

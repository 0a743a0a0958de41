#include "function/ffmpeg_backend/ffmpeg_resampler.hpp"

#include <climits>
#include <vector>

#include "codec/format_report.hpp"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace kestrune::ffmpeg_backend {

namespace {

// Releases an AVChannelLayout on every path.
struct Layout {
  AVChannelLayout value{};
  ~Layout() { av_channel_layout_uninit(&value); }
};

ResampleResult<void> make_layout(const AudioFormat& f, Layout& out) {
  if (f.channels == 0) return std::unexpected(ResampleError::unsupported("invalid channels"));
  if (f.channel_layout_mask != 0) {
    const int r = av_channel_layout_from_mask(&out.value, f.channel_layout_mask);
    if (r < 0) return std::unexpected(map_ff_err(r));
    if (out.value.nb_channels != f.channels)
      return std::unexpected(ResampleError::unsupported("channel_layout_mask does not match channels"));
  } else {
    av_channel_layout_default(&out.value, f.channels);
  }
  return {};
}

ResampleResult<AVSampleFormat> sample_fmt(const SampleFormat& f) {
  int base;
  switch (f.type) {
    case SampleType::U8: base = AV_SAMPLE_FMT_U8; break;
    case SampleType::I16: base = AV_SAMPLE_FMT_S16; break;
    case SampleType::I32: base = AV_SAMPLE_FMT_S32; break;
    case SampleType::F32: base = AV_SAMPLE_FMT_FLT; break;
    default: return std::unexpected(ResampleError::unsupported("only u8/i16/i32/f32 are supported in ffmpeg resampler"));
  }
  // The planar variants follow the packed ones at a fixed distance.
  return static_cast<AVSampleFormat>(f.planar ? base + (AV_SAMPLE_FMT_U8P - AV_SAMPLE_FMT_U8) : base);
}

bool rate_ok(std::uint32_t r) { return r != 0 && r <= static_cast<std::uint32_t>(INT_MAX); }

}  // namespace

ResampleError map_ff_err(int code) { return ResampleError::backend(ff_err_to_string(code)); }

ResampleResult<FfmpegResampler> FfmpegResampler::create(const AudioFormat& in, const AudioFormat& out) {
  silence_ffmpeg_log();
  if (!rate_ok(in.sample_rate) || !rate_ok(out.sample_rate)) return std::unexpected(ResampleError::invalid_sample_rate());
  Layout in_layout, out_layout;
  if (auto r = make_layout(in, in_layout); !r) return std::unexpected(r.error());
  if (auto r = make_layout(out, out_layout); !r) return std::unexpected(r.error());
  auto in_fmt = sample_fmt(in.sample_format);
  if (!in_fmt) return std::unexpected(in_fmt.error());
  auto out_fmt = sample_fmt(out.sample_format);
  if (!out_fmt) return std::unexpected(out_fmt.error());

  SwrContext* raw = nullptr;
  const int r = swr_alloc_set_opts2(&raw, &out_layout.value, *out_fmt, static_cast<int>(out.sample_rate),
                                    &in_layout.value, *in_fmt, static_cast<int>(in.sample_rate), 0, nullptr);
  SwrPtr swr(raw);
  if (r < 0) return std::unexpected(map_ff_err(r));
  if (!swr) return std::unexpected(map_ff_err(-1));
  if (const int e = swr_init(swr.get()); e < 0) return std::unexpected(map_ff_err(e));
  return FfmpegResampler(std::move(swr), in, out);
}

ResampleResult<AudioFrame> FfmpegResampler::run(const std::uint8_t** inputs, int n,
                                                std::optional<std::int64_t> out_pts) {
  int capacity = swr_get_out_samples(swr_.get(), n);
  if (capacity < 0) return std::unexpected(map_ff_err(capacity));
  if (capacity == 0) capacity = 1;
  const std::size_t b = out_format_.bytes_per_sample();
  const std::size_t count = out_format_.plane_count();
  const std::size_t per = out_format_.is_planar() ? 1 : out_format_.channels;
  std::vector<Bytes> planes(count, Bytes(static_cast<std::size_t>(capacity) * b * per, 0));
  std::vector<std::uint8_t*> outputs(count);
  for (std::size_t i = 0; i < count; ++i) outputs[i] = planes[i].data();
  const int m = swr_convert(swr_.get(), outputs.data(), capacity, inputs, n);
  if (m < 0) return std::unexpected(map_ff_err(m));
  for (auto& p : planes) p.resize(static_cast<std::size_t>(m) * b * per);
  auto frame = AudioFrame::from_planes(out_format_, static_cast<std::size_t>(m), 1,
                                       static_cast<std::int32_t>(out_format_.sample_rate), out_pts, std::move(planes));
  if (!frame) return std::unexpected(ResampleError::backend("failed to build AudioFrame"));
  return std::move(*frame);
}

ResampleResult<AudioFrame> FfmpegResampler::convert(const AudioFrameView& frame, std::optional<std::int64_t> out_pts) {
  const AudioFormat got = frame.format();
  if (got != in_format_) {
    report_input_format_mismatch("FfmpegResampler", in_format_, got);
    return std::unexpected(ResampleError::unsupported("input AudioFormat mismatch for this resampler"));
  }
  const std::size_t n = frame.nb_samples();
  if (n > static_cast<std::size_t>(INT_MAX)) return std::unexpected(ResampleError::unsupported("input frame too large"));
  if (frame.plane_count() == 0) return std::unexpected(ResampleError::unsupported("input plane_count=0"));
  // swresample reads one plane per channel (planar) or one interleaved
  // plane, n samples long; every one of them must be there in full.
  const std::size_t need = in_format_.plane_count();
  const std::size_t bytes = in_format_.plane_bytes(n);
  std::vector<const std::uint8_t*> inputs(need);
  for (std::size_t i = 0; i < need; ++i) {
    auto plane = frame.plane(i);
    if (!plane) return std::unexpected(ResampleError::unsupported("missing input plane"));
    if (plane->size() < bytes) return std::unexpected(ResampleError::unsupported("input plane too small"));
    inputs[i] = plane->data();
  }
  return run(inputs.data(), static_cast<int>(n), out_pts);
}

ResampleResult<AudioFrame> FfmpegResampler::drain() { return run(nullptr, 0, std::nullopt); }

ResampleResult<void> FfmpegResampler::reinit() {
  swr_close(swr_.get());
  if (const int e = swr_init(swr_.get()); e < 0) return std::unexpected(map_ff_err(e));
  return {};
}

}  // namespace kestrune::ffmpeg_backend

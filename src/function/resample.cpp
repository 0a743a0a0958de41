#include "function/resample.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace kestrune {

std::string ResampleError::to_string() const {
  switch (kind) {
    case Kind::InvalidSampleRate: return "invalid sample_rate";
    case Kind::UnsupportedFormat: return "unsupported format: " + text;
    case Kind::Backend: return "backend error: " + text;
  }
  return text;
}

namespace {

constexpr const char* kTypeMessage = "linear resample supports only f32/i16/i32";

bool linear_type(SampleType t) { return t == SampleType::I16 || t == SampleType::I32 || t == SampleType::F32; }

// Output frames are stamped with time base 1/rate, which must fit int32.
bool usable_rate(std::uint32_t rate) {
  return rate != 0 && rate <= static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
}

// floor(p) as int64: NaN -> 0, out of range saturates.
std::int64_t floor_i64(double p) {
  if (std::isnan(p)) return 0;
  const double f = std::floor(p);
  if (f >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (f < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(f);
}

// One output sample is at most 4 bytes per channel; a frame that would need
// more than this many samples per channel is refused rather than attempted.
constexpr double kMaxOutSamplesPerFrame = 1u << 30;

template <class T>
void put(Bytes& plane, std::size_t index, T v) {
  std::memcpy(plane.data() + index * sizeof(T), &v, sizeof(T));
}

// y in single precision -> the output type; integers are rounded half away
// from zero in single precision and saturate.
void store_sample(SampleType t, Bytes& plane, std::size_t index, float y) {
  switch (t) {
    case SampleType::I16: {
      std::int16_t v;
      if (std::isnan(y)) v = 0;
      else {
        const float r = std::round(y);
        v = r > 32767.0f ? std::int16_t{32767} : r < -32768.0f ? std::int16_t{-32768} : static_cast<std::int16_t>(r);
      }
      return put(plane, index, v);
    }
    case SampleType::I32: {
      std::int32_t v;
      if (std::isnan(y)) v = 0;
      else {
        const float r = std::round(y);
        v = r >= 2147483648.0f    ? std::numeric_limits<std::int32_t>::max()
            : r <= -2147483648.0f ? std::numeric_limits<std::int32_t>::min()
                                  : static_cast<std::int32_t>(r);
      }
      return put(plane, index, v);
    }
    default:
      return put(plane, index, y);
  }
}

float load_sample(SampleType t, const std::uint8_t* p) {
  switch (t) {
    case SampleType::I16: {
      std::int16_t v;
      std::memcpy(&v, p, sizeof v);
      return static_cast<float>(v);
    }
    case SampleType::I32: {
      std::int32_t v;
      std::memcpy(&v, p, sizeof v);
      return static_cast<float>(v);
    }
    default: {
      float v;
      std::memcpy(&v, p, sizeof v);
      return v;
    }
  }
}

CodecResult<std::vector<std::vector<float>>> decode_channels(const AudioFormat& in, const AudioFrameView& frame) {
  const std::size_t n = frame.nb_samples();
  const std::size_t ch = in.channels;
  const std::size_t b = in.bytes_per_sample();
  const SampleType t = in.sample_format.type;
  std::vector<std::vector<float>> out(ch, std::vector<float>(n));
  if (in.is_planar()) {
    for (std::size_t c = 0; c < ch; ++c) {
      auto plane = frame.plane(c);
      if (!plane) return std::unexpected(CodecError::invalid_data("missing plane"));
      if (plane->size() != n * b) return std::unexpected(CodecError::invalid_data("unexpected plane size"));
      const std::uint8_t* p = plane->data();
      float* dst = out[c].data();
      for (std::size_t i = 0; i < n; ++i) dst[i] = load_sample(t, p + i * b);
    }
    return out;
  }
  auto plane = frame.plane(0);
  if (!plane) return std::unexpected(CodecError::invalid_data("missing plane 0"));
  if (plane->size() != n * ch * b) return std::unexpected(CodecError::invalid_data("unexpected interleaved plane size"));
  if (plane->size() / b != n * ch) return std::unexpected(CodecError::invalid_data("unexpected decoded sample count"));
  const std::uint8_t* p = plane->data();
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t c = 0; c < ch; ++c) out[c][i] = load_sample(t, p + (i * ch + c) * b);
  return out;
}

// Per-channel outputs (already in the output type, one Bytes per channel,
// `counts` samples each) into the planes of `out`.
CodecResult<AudioFrame> build_frame(const AudioFormat& out, std::vector<Bytes> channels, std::size_t count,
                                    std::optional<std::int64_t> pts) {
  const std::size_t ch = out.channels;
  const std::size_t b = out.bytes_per_sample();
  if (ch == 0) return std::unexpected(CodecError::invalid_data("channels=0"));
  if (channels.size() != ch) return std::unexpected(CodecError::invalid_data("channel count mismatch"));
  for (const auto& c : channels)
    if (c.size() != count * b) return std::unexpected(CodecError::invalid_data("channel output length mismatch"));
  std::vector<Bytes> planes;
  if (out.is_planar()) {
    planes = std::move(channels);
  } else {
    Bytes inter(count * ch * b);
    for (std::size_t c = 0; c < ch; ++c) {
      const std::uint8_t* src = channels[c].data();
      for (std::size_t i = 0; i < count; ++i) std::memcpy(inter.data() + (i * ch + c) * b, src + i * b, b);
    }
    planes.push_back(std::move(inter));
  }
  auto frame = AudioFrame::from_planes(out, count, 1, static_cast<std::int32_t>(out.sample_rate), pts,
                                       std::move(planes));
  if (!frame) return std::unexpected(CodecError::other("failed to build AudioFrame"));
  return std::move(*frame);
}

}  // namespace

CodecStatus validate_linear_formats(const AudioFormat& in, const AudioFormat& out) {
  if (in.channels != out.channels)
    return std::unexpected(CodecError::unsupported("linear resample does not remix channels"));
  if (in.is_planar() != out.is_planar())
    return std::unexpected(CodecError::unsupported("linear resample does not change planar/interleaved layout"));
  if (in.sample_format.type != out.sample_format.type)
    return std::unexpected(CodecError::unsupported("linear resample does not change sample type"));
  if (!linear_type(in.sample_format.type)) return std::unexpected(CodecError::unsupported(kTypeMessage));
  return {};
}

CodecResult<std::vector<LinearChannelState>> make_linear_states(const AudioFormat& in, const AudioFormat& out) {
  if (!usable_rate(in.sample_rate) || !usable_rate(out.sample_rate))
    return std::unexpected(CodecError::invalid_data("invalid sample_rate"));
  LinearChannelState s;
  s.step = static_cast<double>(in.sample_rate) / static_cast<double>(out.sample_rate);
  s.in_rate = in.sample_rate;
  s.out_rate = out.sample_rate;
  return std::vector<LinearChannelState>(in.channels, s);
}

void reset_linear_states(std::vector<LinearChannelState>& states) {
  for (auto& s : states) {
    s.has_last = false;
    s.pos = 0.0;
    s.base = 0;
  }
}

CodecResult<std::optional<AudioFrame>> linear_process(std::vector<LinearChannelState>& states,
                                                      const AudioFormat& in, const AudioFormat& out,
                                                      const AudioFrameView& frame,
                                                      std::optional<std::int64_t> out_pts) {
  const SampleType t = in.sample_format.type;
  if (!linear_type(t) || out.sample_format.type != t) return std::unexpected(CodecError::unsupported(kTypeMessage));
  const std::size_t n = frame.nb_samples();
  auto decoded = decode_channels(in, frame);
  if (!decoded) return std::unexpected(decoded.error());
  if (decoded->size() != states.size()) return std::unexpected(CodecError::invalid_data("channel count mismatch"));
  if (n == 0) return std::optional<AudioFrame>{};

  const std::size_t b = bytes_per_sample(t);
  // Work on copies so a failing frame leaves every channel where it was.
  std::vector<LinearChannelState> next = states;
  std::vector<Bytes> outputs(states.size());
  std::size_t first_count = 0;
  for (std::size_t c = 0; c < next.size(); ++c) {
    LinearChannelState& s = next[c];
    const std::vector<float>& x = (*decoded)[c];
    const auto B = static_cast<std::int64_t>(s.base);
    const std::int64_t last_index = B + static_cast<std::int64_t>(n) - 1;
    const std::int64_t G = s.has_last ? B - 1 : B;
    const double estimate = (static_cast<double>(last_index) - std::max(s.pos, 0.0)) / s.step + 2.0;
    if (estimate > kMaxOutSamplesPerFrame)
      return std::unexpected(CodecError::invalid_data("resample output frame too large"));
    Bytes& plane = outputs[c];
    plane.resize(static_cast<std::size_t>(std::max(estimate, 0.0)) * b);
    std::size_t count = 0;
    std::int64_t E = floor_i64(s.pos);
    while (E < last_index) {
      if (E < G) {
        s.pos = static_cast<double>(G);
        E = floor_i64(s.pos);
        continue;
      }
      const float left = E == B - 1 ? s.last : x[static_cast<std::size_t>(E - B)];
      const float right = x[static_cast<std::size_t>(E + 1 - B)];
      const float frac = static_cast<float>(s.pos - static_cast<double>(E));
      const float y = (right - left) * frac + left;
      if ((count + 1) * b > plane.size()) plane.resize(plane.size() * 2 + b);
      store_sample(t, plane, count++, y);
      const double advanced = s.pos + s.step;
      // The step is too small to move this far along the timeline.
      if (!(advanced > s.pos)) return std::unexpected(CodecError::invalid_data("resample position does not advance"));
      s.pos = advanced;
      E = floor_i64(s.pos);
    }
    plane.resize(count * b);
    s.base = s.base + n;
    s.last = x[n - 1];
    s.has_last = true;
    if (c == 0) first_count = count;
  }
  if (first_count == 0) {
    states = std::move(next);
    return std::optional<AudioFrame>{};
  }
  auto built = build_frame(out, std::move(outputs), first_count, out_pts);
  if (!built) return std::unexpected(built.error());
  states = std::move(next);
  return std::optional<AudioFrame>(std::move(*built));
}

CodecResult<std::optional<AudioFrame>> linear_flush(std::vector<LinearChannelState>& states, const AudioFormat& out) {
  const SampleType t = out.sample_format.type;
  if (!linear_type(t)) return std::unexpected(CodecError::unsupported(kTypeMessage));
  const std::size_t b = bytes_per_sample(t);
  std::vector<LinearChannelState> next = states;
  std::vector<Bytes> outputs(states.size());
  for (std::size_t c = 0; c < next.size(); ++c) {
    LinearChannelState& s = next[c];
    if (!s.has_last) continue;
    const auto end = static_cast<std::int64_t>(s.base) - 1;
    const double estimate = (static_cast<double>(end) + 1.0 - std::max(s.pos, 0.0)) / s.step + 2.0;
    if (estimate > kMaxOutSamplesPerFrame)
      return std::unexpected(CodecError::invalid_data("resample output frame too large"));
    Bytes& plane = outputs[c];
    std::size_t count = 0;
    while (floor_i64(s.pos) <= end) {
      plane.resize((count + 1) * b);
      store_sample(t, plane, count++, s.last);
      const double advanced = s.pos + s.step;
      if (!(advanced > s.pos)) return std::unexpected(CodecError::invalid_data("resample position does not advance"));
      s.pos = advanced;
    }
  }
  const std::size_t count = outputs.empty() ? 0 : outputs[0].size() / b;
  if (count == 0) {
    states = std::move(next);
    return std::optional<AudioFrame>{};
  }
  auto built = build_frame(out, std::move(outputs), count, std::nullopt);
  if (!built) return std::unexpected(built.error());
  states = std::move(next);
  return std::optional<AudioFrame>(std::move(*built));
}

std::optional<std::int64_t> rescale_pts_to_rate(std::optional<std::int64_t> pts, TimeBase tb, std::uint32_t out_rate) {
  if (!pts || tb.den == 0 || out_rate == 0) return std::nullopt;
  const __int128 v = static_cast<__int128>(*pts) * out_rate * tb.num / tb.den;
  if (v > std::numeric_limits<std::int64_t>::max() || v < std::numeric_limits<std::int64_t>::min())
    return std::nullopt;
  return static_cast<std::int64_t>(v);
}

}  // namespace kestrune

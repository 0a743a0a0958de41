#include "common/audio/audio.hpp"

#include <cstdio>

namespace kestrune {

const char* sample_type_name(SampleType t) {
  switch (t) {
    case SampleType::U8: return "U8";
    case SampleType::I16: return "I16";
    case SampleType::I32: return "I32";
    case SampleType::I64: return "I64";
    case SampleType::F32: return "F32";
    case SampleType::F64: return "F64";
  }
  return "?";
}

std::string SampleFormat::debug_text() const {
  return std::string(sample_type_name(type)) + " { planar: " + (planar ? "true" : "false") + " }";
}

std::string audio_format_diff(const AudioFormat& a, const AudioFormat& b) {
  std::string out;
  auto add = [&out](const std::string& item) {
    if (!out.empty()) out += ", ";
    out += item;
  };
  if (a.sample_rate != b.sample_rate)
    add("sample_rate: " + std::to_string(a.sample_rate) + " != " + std::to_string(b.sample_rate));
  if (a.sample_format != b.sample_format)
    add("sample_format: " + a.sample_format.debug_text() + " != " + b.sample_format.debug_text());
  if (a.channels != b.channels)
    add("channels: " + std::to_string(a.channels) + " != " + std::to_string(b.channels));
  if (a.channel_layout_mask != b.channel_layout_mask) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "channel_layout_mask: 0x%llx != 0x%llx",
                  static_cast<unsigned long long>(a.channel_layout_mask),
                  static_cast<unsigned long long>(b.channel_layout_mask));
    add(buf);
  }
  return out;
}

AudioError AudioError::invalid_time_base(std::int32_t num, std::int32_t den) {
  AudioError e{Kind::InvalidTimeBase};
  e.num = num;
  e.den = den;
  return e;
}

AudioError AudioError::invalid_plane_count(std::size_t expected, std::size_t got) {
  AudioError e{Kind::InvalidPlaneCount};
  e.expected = expected;
  e.got = got;
  return e;
}

AudioError AudioError::invalid_plane_size(std::size_t plane, std::size_t expected, std::size_t got) {
  AudioError e{Kind::InvalidPlaneSize};
  e.plane = plane;
  e.expected = expected;
  e.got = got;
  return e;
}

AudioError AudioError::invalid_format(const char* message) {
  AudioError e{Kind::InvalidFormat};
  e.message = message;
  return e;
}

std::string AudioError::to_string() const {
  switch (kind) {
    case Kind::InvalidTimeBase:
      return "invalid time_base: " + std::to_string(num) + "/" + std::to_string(den);
    case Kind::InvalidPlaneCount:
      return "invalid plane count: expected " + std::to_string(expected) + ", got " +
             std::to_string(got);
    case Kind::InvalidPlaneSize:
      return "invalid plane size for plane " + std::to_string(plane) + ": expected " +
             std::to_string(expected) + " bytes, got " + std::to_string(got);
    case Kind::InvalidFormat:
      return std::string("invalid audio format: ") + message;
  }
  return {};
}

namespace {
std::optional<AudioError> check_format(const AudioFormat& f) {
  if (f.sample_rate == 0) return AudioError::invalid_format("sample_rate must be > 0");
  if (f.channels == 0) return AudioError::invalid_format("channels must be > 0");
  return std::nullopt;
}
}  // namespace

AudioResult<AudioFrame> AudioFrame::new_alloc(const AudioFormat& format, std::size_t nb_samples) {
  if (auto err = check_format(format)) return std::unexpected(*err);
  AudioFrame f;
  f.format_ = format;
  f.nb_samples_ = nb_samples;
  f.time_base_ = {1, static_cast<std::int32_t>(format.sample_rate)};
  f.planes_.assign(format.plane_count(), Bytes(format.plane_bytes(nb_samples), 0));
  return f;
}

AudioResult<AudioFrame> AudioFrame::from_planes(const AudioFormat& format, std::size_t nb_samples,
                                                std::int32_t time_base_num,
                                                std::int32_t time_base_den,
                                                std::optional<std::int64_t> pts,
                                                std::vector<Bytes> planes) {
  if (auto err = check_format(format)) return std::unexpected(*err);
  if (time_base_den == 0) return std::unexpected(AudioError::invalid_time_base(time_base_num, 0));
  if (planes.size() != format.plane_count())
    return std::unexpected(AudioError::invalid_plane_count(format.plane_count(), planes.size()));
  const std::size_t want = format.plane_bytes(nb_samples);
  for (std::size_t i = 0; i < planes.size(); ++i)
    if (planes[i].size() != want)
      return std::unexpected(AudioError::invalid_plane_size(i, want, planes[i].size()));
  AudioFrame f;
  f.format_ = format;
  f.nb_samples_ = nb_samples;
  f.time_base_ = {time_base_num, time_base_den};
  f.pts_ = pts;
  f.planes_ = std::move(planes);
  return f;
}

AudioFrame AudioFrame::clone() const {
  AudioFrame f;
  f.pts_ = pts_;
  f.planes_ = planes_;
  f.format_ = format_;
  f.nb_samples_ = nb_samples_;
  f.time_base_ = time_base_;
  return f;
}

std::optional<ByteSpan> AudioFrame::plane(std::size_t i) const {
  if (i >= planes_.size()) return std::nullopt;
  return ByteSpan(planes_[i]);
}

}  // namespace kestrune

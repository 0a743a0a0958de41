#include "common/io/file/wav_file.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace kestrune {

namespace {

constexpr std::uint32_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint64_t layout_for(std::uint16_t channels) { return channels == 1 ? 0x4 : channels == 2 ? 0x3 : 0; }

std::int16_t f32_to_i16(float x) {
  if (std::isnan(x)) x = -1.0f;
  x = std::fmin(std::fmax(x, -1.0f), 1.0f);
  return static_cast<std::int16_t>(std::round(x * 32767.0f));
}

template <class T>
T load(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Reads channel c of sample s of the frame as T; planes were validated.
template <class Src, class Dst, class Conv>
IoResult<std::vector<Dst>> interleave(const AudioFrameView& frame, Conv conv, const char* size_message) {
  const std::size_t ch = frame.channels();
  const std::size_t n = frame.nb_samples();
  std::vector<Dst> out(n * ch);
  if (frame.is_planar()) {
    for (std::size_t c = 0; c < ch; ++c) {
      auto plane = frame.plane(c);
      if (!plane) return std::unexpected(AudioIOError::format("missing plane"));
      if (plane->size() < n * sizeof(Src)) return std::unexpected(AudioIOError::format("missing plane"));
      const std::uint8_t* src = plane->data();
      for (std::size_t s = 0; s < n; ++s) out[s * ch + c] = conv(load<Src>(src + s * sizeof(Src)));
    }
  } else {
    auto plane = frame.plane(0);
    if (!plane) return std::unexpected(AudioIOError::format("missing plane 0"));
    if (plane->size() != n * ch * sizeof(Src)) return std::unexpected(AudioIOError::format(size_message));
    const std::uint8_t* src = plane->data();
    for (std::size_t i = 0; i < n * ch; ++i) out[i] = conv(load<Src>(src + i * sizeof(Src)));
  }
  return out;
}

}  // namespace

IoResult<WavReader> WavReader::open_with_config(const std::string& path, std::size_t chunk_samples) {
  auto in = InputFile::open(path);
  if (!in) return std::unexpected(in.error());
  WavReader r(std::move(*in));
  std::uint8_t id[4], word[4];
  if (auto s = r.input_.read_exact(id, 4); !s) return std::unexpected(s.error());
  if (std::memcmp(id, "RIFF", 4) != 0) return std::unexpected(AudioIOError::format("not RIFF"));
  if (auto s = r.input_.read_exact(word, 4); !s) return std::unexpected(s.error());
  if (auto s = r.input_.read_exact(id, 4); !s) return std::unexpected(s.error());
  if (std::memcmp(id, "WAVE", 4) != 0) return std::unexpected(AudioIOError::format("not WAVE"));

  bool fmt_seen = false, data_seen = false;
  std::int64_t data_start = 0;
  for (;;) {
    // Running out of chunk ids ends the scan; a torn size field is an error.
    auto got = r.input_.read_some(id, 4);
    if (!got || *got != 4) break;
    if (auto s = r.input_.read_exact(word, 4); !s) return std::unexpected(s.error());
    const std::uint32_t size = le32(word);
    if (std::memcmp(id, "fmt ", 4) == 0) {
      std::uint8_t fmt[16];
      if (auto s = r.input_.read_exact(fmt, 16); !s) return std::unexpected(s.error());
      r.format_code_ = le16(fmt);
      r.channels_ = le16(fmt + 2);
      r.sample_rate_ = le32(fmt + 4);
      r.bits_per_sample_ = le16(fmt + 14);
      fmt_seen = true;
      if (size >= 17) {
        if (auto s = r.input_.seek(size - 16, SEEK_CUR); !s) return std::unexpected(s.error());
      }
    } else if (std::memcmp(id, "data", 4) == 0) {
      auto pos = r.input_.tell();
      if (!pos) return std::unexpected(pos.error());
      data_start = *pos;
      r.data_size_ = size;
      data_seen = true;
      if (auto s = r.input_.seek(size, SEEK_CUR); !s) return std::unexpected(s.error());
    } else {
      const std::int64_t skip = static_cast<std::int64_t>(size) + (size & 1);
      if (auto s = r.input_.seek(skip, SEEK_CUR); !s) return std::unexpected(s.error());
    }
  }
  if (!fmt_seen) return std::unexpected(AudioIOError::format("missing fmt chunk"));
  if (!data_seen) return std::unexpected(AudioIOError::format("missing data chunk"));
  if (auto s = r.input_.seek(data_start, SEEK_SET); !s) return std::unexpected(s.error());
  r.time_base_ = {1, static_cast<std::int32_t>(r.sample_rate_)};
  r.chunk_samples_ = chunk_samples == 0 ? 1 : chunk_samples;
  return r;
}

IoResult<std::optional<AudioFrame>> WavReader::next_frame() {
  if (data_read_ >= data_size_) return std::optional<AudioFrame>{};
  std::size_t bytes_per_sample = 0;
  if (format_code_ == 1 && bits_per_sample_ == 16) bytes_per_sample = 2;
  else if (format_code_ == 3 && bits_per_sample_ == 32) bytes_per_sample = 4;
  else return std::unexpected(AudioIOError::format("unsupported WAV format (only PCM16LE / Float32LE)"));
  if (channels_ == 0) return std::unexpected(AudioIOError::format("failed to build AudioFrame"));

  const std::size_t frame_bytes = channels_ * bytes_per_sample;
  const std::size_t remaining = data_size_ - data_read_;
  if (remaining < frame_bytes) {
    data_read_ = data_size_;
    return std::optional<AudioFrame>{};
  }
  const std::size_t n = std::min(remaining / frame_bytes, chunk_samples_);
  scratch_.resize(n * frame_bytes);
  if (auto s = input_.read_exact(scratch_.data(), scratch_.size()); !s) return std::unexpected(s.error());
  data_read_ += static_cast<std::uint32_t>(n * frame_bytes);

  const std::size_t ch = channels_;
  std::vector<Bytes> planes(ch, Bytes(n * sizeof(float)));
  const std::uint8_t* src = scratch_.data();
  for (std::size_t c = 0; c < ch; ++c) {
    auto* dst = reinterpret_cast<float*>(planes[c].data());
    if (bytes_per_sample == 2) {
      for (std::size_t s = 0; s < n; ++s)
        dst[s] = static_cast<float>(load<std::int16_t>(src + (s * ch + c) * 2)) * (1.0f / 32768.0f);
    } else {
      for (std::size_t s = 0; s < n; ++s) std::memcpy(dst + s, src + (s * ch + c) * 4, 4);
    }
  }
  const AudioFormat fmt{sample_rate_, SampleFormat::F32(true), channels_, layout_for(channels_)};
  auto frame = AudioFrame::from_planes(fmt, n, time_base_.num, time_base_.den, next_pts_, std::move(planes));
  if (!frame) return std::unexpected(AudioIOError::format("failed to build AudioFrame"));
  next_pts_ += static_cast<std::int64_t>(n);
  return std::optional<AudioFrame>(std::move(*frame));
}

WavWriter::WavWriter(OutputFile out, const WavWriterConfig& config) : output_(std::move(out)), config_(config) {
  if (config.input_format) {
    sample_rate_ = config.input_format->sample_rate;
    channels_ = config.input_format->channels;
  }
}

IoResult<WavWriter> WavWriter::create(const std::string& path, const WavWriterConfig& config) {
  auto out = OutputFile::create(path);
  if (!out) return std::unexpected(out.error());
  return WavWriter(std::move(*out), config);
}

IoStatus WavWriter::write_header() {
  const bool is_float = config_.output == WavSampleFormat::F32;
  const std::uint16_t ch = *channels_;
  const std::uint16_t block_align = static_cast<std::uint16_t>(ch * (is_float ? 4 : 2));
  std::uint8_t h[44] = {};
  std::memcpy(h, "RIFF", 4);
  std::memcpy(h + 8, "WAVE", 4);
  std::memcpy(h + 12, "fmt ", 4);
  put32(h + 16, 16);
  put16(h + 20, is_float ? 3 : 1);
  put16(h + 22, ch);
  put32(h + 24, *sample_rate_);
  put32(h + 28, *sample_rate_ * block_align);
  put16(h + 32, block_align);
  put16(h + 34, is_float ? 32 : 16);
  std::memcpy(h + 36, "data", 4);
  return output_.write_all(h, sizeof h);
}

void WavWriter::count_bytes(std::size_t n) {
  const std::uint64_t total = static_cast<std::uint64_t>(data_bytes_) + n;
  data_bytes_ = total > kMaxU32 ? kMaxU32 : static_cast<std::uint32_t>(total);
}

IoStatus WavWriter::write_samples_i16_interleaved(const std::vector<std::int16_t>& samples) {
  if (auto s = output_.write_all(samples.data(), samples.size() * 2); !s) return s;
  count_bytes(samples.size() * 2);
  return {};
}

IoStatus WavWriter::write_samples_f32_interleaved(const std::vector<float>& samples) {
  if (auto s = output_.write_all(samples.data(), samples.size() * 4); !s) return s;
  count_bytes(samples.size() * 4);
  return {};
}

IoStatus WavWriter::write_frame(const AudioFrameView& frame) {
  const AudioFormat f = frame.format();
  if (f.channels == 0) return std::unexpected(AudioIOError::format("channels=0"));
  if (frame.nb_samples() == 0) return {};
  if (!sample_rate_) sample_rate_ = f.sample_rate;
  if (!channels_) channels_ = f.channels;
  if (f.sample_rate != *sample_rate_ || f.channels != *channels_)
    return std::unexpected(
        AudioIOError::format("WAV writer expects fixed sample_rate/channels (no resample layer yet)"));
  if (!header_written_) {
    if (auto s = write_header(); !s) return s;
    header_written_ = true;
  }
  const bool to_float = config_.output == WavSampleFormat::F32;
  const SampleType in = f.sample_format.type;
  if (in == SampleType::I16) {
    if (to_float) {
      auto v = interleave<std::int16_t, float>(
          frame, [](std::int16_t x) { return static_cast<float>(x) * (1.0f / 32768.0f); },
          "unexpected i16 interleaved plane size");
      if (!v) return std::unexpected(v.error());
      return write_samples_f32_interleaved(*v);
    }
    auto v = interleave<std::int16_t, std::int16_t>(frame, [](std::int16_t x) { return x; },
                                                    "unexpected i16 interleaved plane size");
    if (!v) return std::unexpected(v.error());
    return write_samples_i16_interleaved(*v);
  }
  if (in == SampleType::F32) {
    if (to_float) {
      auto v = interleave<float, float>(frame, [](float x) { return x; }, "unexpected f32 interleaved plane size");
      if (!v) return std::unexpected(v.error());
      return write_samples_f32_interleaved(*v);
    }
    auto v = interleave<float, std::int16_t>(frame, f32_to_i16, "unexpected f32 interleaved plane size");
    if (!v) return std::unexpected(v.error());
    return write_samples_i16_interleaved(*v);
  }
  return std::unexpected(AudioIOError::format("WAV writer supports only I16/F32 input currently"));
}

IoStatus WavWriter::finalize() {
  if (!header_written_) return {};
  if (auto s = output_.flush(); !s) return s;
  const std::uint64_t riff_total = std::min<std::uint64_t>(static_cast<std::uint64_t>(data_bytes_) + 44, kMaxU32);
  std::uint8_t word[4];
  put32(word, static_cast<std::uint32_t>(riff_total - 8));
  if (auto s = output_.write_at(4, word, 4); !s) return s;
  put32(word, data_bytes_);
  return output_.write_at(40, word, 4);
}

}  // namespace kestrune

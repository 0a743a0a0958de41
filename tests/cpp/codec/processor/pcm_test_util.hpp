// Builds frames from per-channel sample vectors and reads them back, in
// either layout, so processor tests can speak in samples instead of bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "codec/processor/processor_interface.hpp"

namespace kestrune::test {

template <class T>
constexpr SampleType sample_type_of() {
  if constexpr (std::is_same_v<T, std::uint8_t>) return SampleType::U8;
  else if constexpr (std::is_same_v<T, std::int16_t>) return SampleType::I16;
  else if constexpr (std::is_same_v<T, std::int32_t>) return SampleType::I32;
  else if constexpr (std::is_same_v<T, std::int64_t>) return SampleType::I64;
  else if constexpr (std::is_same_v<T, float>) return SampleType::F32;
  else return SampleType::F64;
}

template <class T>
AudioFormat format_of(std::uint32_t rate, std::uint16_t channels, bool planar, std::uint64_t mask = 0) {
  return AudioFormat{rate, SampleFormat{sample_type_of<T>(), planar}, channels,
                     mask ? mask : (channels == 1 ? 0x4u : channels == 2 ? 0x3u : 0u)};
}

// channels[c][i] is sample i of channel c; all channels equally long.
template <class T>
AudioFrame make_frame(const AudioFormat& f, const std::vector<std::vector<T>>& channels,
                      std::optional<std::int64_t> pts = std::nullopt, TimeBase tb = {0, 0}) {
  const std::size_t n = channels.empty() ? 0 : channels[0].size();
  std::vector<Bytes> planes;
  if (f.is_planar()) {
    for (const auto& ch : channels) {
      Bytes b(n * sizeof(T));
      if (n) std::memcpy(b.data(), ch.data(), b.size());
      planes.push_back(std::move(b));
    }
  } else {
    Bytes b(n * channels.size() * sizeof(T));
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t c = 0; c < channels.size(); ++c)
        std::memcpy(b.data() + (i * channels.size() + c) * sizeof(T), &channels[c][i], sizeof(T));
    planes.push_back(std::move(b));
  }
  if (tb.den == 0) tb = {1, static_cast<std::int32_t>(f.sample_rate)};
  auto frame = AudioFrame::from_planes(f, n, tb.num, tb.den, pts, std::move(planes));
  EXPECT_TRUE(frame) << (frame ? "" : frame.error().to_string());
  return std::move(*frame);
}

template <class T>
std::vector<std::vector<T>> channels_of(const AudioFrameView& frame) {
  const std::size_t ch = frame.channels();
  const std::size_t n = frame.nb_samples();
  std::vector<std::vector<T>> out(ch, std::vector<T>(n));
  for (std::size_t c = 0; c < ch; ++c)
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t plane = frame.is_planar() ? c : 0;
      const std::size_t index = frame.is_planar() ? i : i * ch + c;
      std::memcpy(&out[c][i], frame.plane(plane)->data() + index * sizeof(T), sizeof(T));
    }
  return out;
}

// Drains every ready frame (until Again or Eof).
inline std::vector<AudioFrame> drain(AudioProcessor& p) {
  std::vector<AudioFrame> out;
  for (;;) {
    auto r = p.receive_frame();
    if (!r) {
      EXPECT_TRUE(r.error().is_again() || r.error().is_eof()) << r.error().to_string();
      return out;
    }
    out.push_back(std::move(*r));
  }
}

// Concatenates channel c of a frame sequence.
template <class T>
std::vector<T> concat_channel(const std::vector<AudioFrame>& frames, std::size_t c) {
  std::vector<T> out;
  for (const auto& f : frames) {
    auto chs = channels_of<T>(f);
    out.insert(out.end(), chs[c].begin(), chs[c].end());
  }
  return out;
}

// A view whose planes can be made inconsistent with its format.
class FakeView final : public AudioFrameView {
 public:
  AudioFormat fmt{};
  std::size_t n = 0;
  std::vector<std::optional<Bytes>> planes;
  std::size_t reported_plane_count = 0;

  AudioFormat format() const override { return fmt; }
  std::size_t nb_samples() const override { return n; }
  TimeBase time_base() const override { return {1, static_cast<std::int32_t>(fmt.sample_rate)}; }
  std::optional<std::int64_t> pts() const override { return std::nullopt; }
  std::size_t plane_count() const override { return reported_plane_count; }
  std::optional<ByteSpan> plane(std::size_t i) const override {
    if (i >= planes.size() || !planes[i]) return std::nullopt;
    return ByteSpan(*planes[i]);
  }
};

}  // namespace kestrune::test

// PCM frames, sample formats and the core format record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrune {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

// Sample type; the numeric value is the stable order index.
enum class SampleType : std::uint8_t { U8 = 0, I16 = 1, I32 = 2, I64 = 3, F32 = 4, F64 = 5 };

inline constexpr std::size_t kSampleTypeCount = 6;

constexpr std::size_t bytes_per_sample(SampleType t) {
  switch (t) {
    case SampleType::U8: return 1;
    case SampleType::I16: return 2;
    case SampleType::I32: return 4;
    case SampleType::I64: return 8;
    case SampleType::F32: return 4;
    case SampleType::F64: return 8;
  }
  return 0;
}

const char* sample_type_name(SampleType t);  // "U8", "I16", ...

// A sample type together with the planar flag.
struct SampleFormat {
  SampleType type = SampleType::F32;
  bool planar = true;

  static constexpr SampleFormat U8(bool planar) { return {SampleType::U8, planar}; }
  static constexpr SampleFormat I16(bool planar) { return {SampleType::I16, planar}; }
  static constexpr SampleFormat I32(bool planar) { return {SampleType::I32, planar}; }
  static constexpr SampleFormat I64(bool planar) { return {SampleType::I64, planar}; }
  static constexpr SampleFormat F32(bool planar) { return {SampleType::F32, planar}; }
  static constexpr SampleFormat F64(bool planar) { return {SampleType::F64, planar}; }

  constexpr std::size_t bytes_per_sample() const { return kestrune::bytes_per_sample(type); }
  constexpr std::size_t order_index() const { return static_cast<std::size_t>(type); }
  // "I16 { planar: true }"
  std::string debug_text() const;

  friend constexpr bool operator==(const SampleFormat&, const SampleFormat&) = default;
};

struct TimeBase {
  std::int32_t num = 1;
  std::int32_t den = 1;
  friend constexpr bool operator==(const TimeBase&, const TimeBase&) = default;
};

struct AudioFormat {
  std::uint32_t sample_rate = 0;
  SampleFormat sample_format{};
  std::uint16_t channels = 0;
  std::uint64_t channel_layout_mask = 0;

  constexpr std::size_t bytes_per_sample() const { return sample_format.bytes_per_sample(); }
  constexpr bool is_planar() const { return sample_format.planar; }
  constexpr std::size_t plane_count() const { return sample_format.planar ? channels : 1; }
  // Byte length of one plane holding n samples per channel.
  constexpr std::size_t plane_bytes(std::size_t n) const {
    return n * (sample_format.planar ? 1 : channels) * bytes_per_sample();
  }

  friend constexpr bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

// "sample_rate: 48000 != 44100, channels: 2 != 1"; empty when equal.
std::string audio_format_diff(const AudioFormat& a, const AudioFormat& b);

struct AudioError {
  enum class Kind { InvalidTimeBase, InvalidPlaneCount, InvalidPlaneSize, InvalidFormat };

  Kind kind;
  std::int64_t num = 0;        // InvalidTimeBase numerator
  std::int64_t den = 0;        // InvalidTimeBase denominator
  std::size_t plane = 0;       // InvalidPlaneSize
  std::size_t expected = 0;    // InvalidPlaneCount / InvalidPlaneSize
  std::size_t got = 0;         // InvalidPlaneCount / InvalidPlaneSize
  const char* message = "";    // InvalidFormat (string literal)

  static AudioError invalid_time_base(std::int32_t num, std::int32_t den);
  static AudioError invalid_plane_count(std::size_t expected, std::size_t got);
  static AudioError invalid_plane_size(std::size_t plane, std::size_t expected, std::size_t got);
  static AudioError invalid_format(const char* message);

  std::string to_string() const;
};

template <class T>
using AudioResult = std::expected<T, AudioError>;

// Read-only access to a PCM frame; every consumer of PCM takes this.
class AudioFrameView {
 public:
  virtual ~AudioFrameView() = default;
  virtual AudioFormat format() const = 0;
  virtual std::size_t nb_samples() const = 0;
  virtual TimeBase time_base() const = 0;
  virtual std::optional<std::int64_t> pts() const = 0;
  virtual std::size_t plane_count() const = 0;
  virtual std::optional<ByteSpan> plane(std::size_t i) const = 0;

  bool is_planar() const { return format().is_planar(); }
  std::uint16_t channels() const { return format().channels; }
  std::uint32_t sample_rate() const { return format().sample_rate; }
  std::size_t bytes_per_sample() const { return format().bytes_per_sample(); }
};

// Owned PCM. Movable; clone() makes a deep copy.
class AudioFrame final : public AudioFrameView {
 public:
  static AudioResult<AudioFrame> new_alloc(const AudioFormat& format, std::size_t nb_samples);
  static AudioResult<AudioFrame> from_planes(const AudioFormat& format, std::size_t nb_samples,
                                             std::int32_t time_base_num, std::int32_t time_base_den,
                                             std::optional<std::int64_t> pts,
                                             std::vector<Bytes> planes);

  AudioFrame(AudioFrame&&) noexcept = default;
  AudioFrame& operator=(AudioFrame&&) noexcept = default;
  AudioFrame(const AudioFrame&) = delete;
  AudioFrame& operator=(const AudioFrame&) = delete;

  AudioFrame clone() const;

  AudioFormat format() const override { return format_; }
  std::size_t nb_samples() const override { return nb_samples_; }
  TimeBase time_base() const override { return time_base_; }
  std::optional<std::int64_t> pts() const override { return pts_; }
  std::size_t plane_count() const override { return planes_.size(); }
  std::optional<ByteSpan> plane(std::size_t i) const override;

  // Owner access: adjust timing, edit or take the planes. Callers that edit
  // planes in place keep their byte lengths consistent with nb_samples().
  void set_pts(std::optional<std::int64_t> pts) { pts_ = pts; }
  void set_time_base(TimeBase tb) { time_base_ = tb; }
  std::vector<Bytes>& planes() { return planes_; }
  const std::vector<Bytes>& planes() const { return planes_; }
  std::vector<Bytes> take_planes() && { return std::move(planes_); }

 private:
  AudioFrame() = default;

  std::optional<std::int64_t> pts_;
  std::vector<Bytes> planes_;
  AudioFormat format_{};
  std::size_t nb_samples_ = 0;
  TimeBase time_base_{};
};

}  // namespace kestrune

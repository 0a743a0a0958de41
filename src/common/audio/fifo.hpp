// Per-channel re-chunking of PCM into frames of an exact size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/audio/audio.hpp"

namespace kestrune {

// Growable byte queue with bulk append at the back and bulk removal at the
// front. Consumed bytes are reclaimed lazily so pops stay O(bytes popped).
class ByteQueue {
 public:
  void append(ByteSpan bytes);
  // Moves the first n bytes out; n must not exceed size().
  Bytes pop_front(std::size_t n);
  std::size_t size() const { return buf_.size() - head_; }

 private:
  Bytes buf_;
  std::size_t head_ = 0;
};

class AudioFifo {
 public:
  static AudioResult<AudioFifo> create(const AudioFormat& format, std::int32_t time_base_num,
                                       std::int32_t time_base_den);

  AudioResult<void> push_frame(const AudioFrameView& frame);
  std::size_t available_samples() const;
  // Exactly n samples per channel, or nullopt (nothing changes) when fewer
  // are buffered.
  AudioResult<std::optional<AudioFrame>> pop_frame(std::size_t n);

  const AudioFormat& format() const { return format_; }
  TimeBase time_base() const { return time_base_; }
  std::optional<std::int64_t> pts() const { return pts_; }

 private:
  std::optional<std::int64_t> pts_;
  std::vector<ByteQueue> queues_;
  AudioFormat format_{};
  TimeBase time_base_{};
};

}  // namespace kestrune

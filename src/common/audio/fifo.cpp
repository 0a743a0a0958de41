#include "common/audio/fifo.hpp"

#include <algorithm>
#include <cstring>

namespace kestrune {

void ByteQueue::append(ByteSpan bytes) {
  // Reclaim the consumed prefix before growing, so memory stays bounded by
  // roughly twice the live bytes.
  if (head_ > 0 && head_ >= buf_.size() / 2) {
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
}

Bytes ByteQueue::pop_front(std::size_t n) {
  Bytes out(buf_.begin() + static_cast<std::ptrdiff_t>(head_),
            buf_.begin() + static_cast<std::ptrdiff_t>(head_ + n));
  head_ += n;
  if (head_ == buf_.size()) {
    buf_.clear();
    head_ = 0;
  }
  return out;
}

AudioResult<AudioFifo> AudioFifo::create(const AudioFormat& format, std::int32_t time_base_num,
                                         std::int32_t time_base_den) {
  if (time_base_den == 0) return std::unexpected(AudioError::invalid_time_base(time_base_num, 0));
  AudioFifo fifo;
  fifo.format_ = format;
  fifo.time_base_ = {time_base_num, time_base_den};
  fifo.queues_.resize(format.plane_count());
  return fifo;
}

AudioResult<void> AudioFifo::push_frame(const AudioFrameView& frame) {
  if (frame.format() != format_)
    return std::unexpected(AudioError::invalid_format("AudioFifo format mismatch"));
  // A pts counted in another time base cannot label our output, so such a
  // frame leaves the FIFO untimed even when it is empty.
  const bool same_time_base = frame.time_base() == time_base_;
  const auto frame_pts = frame.pts();
  if (!frame_pts || !same_time_base) {
    pts_.reset();
  } else if (pts_) {
    if (*pts_ + static_cast<std::int64_t>(available_samples()) != *frame_pts) pts_.reset();
  } else if (std::all_of(queues_.begin(), queues_.end(),
                         [](const ByteQueue& q) { return q.size() == 0; })) {
    pts_ = frame_pts;
  }

  const std::size_t b = format_.bytes_per_sample();
  const std::size_t n = frame.nb_samples();
  if (format_.is_planar()) {
    for (std::size_t i = 0; i < format_.channels; ++i) {
      auto plane = frame.plane(i);
      if (!plane) return std::unexpected(AudioError::invalid_format("missing plane"));
      if (plane->size() != n * b)
        return std::unexpected(AudioError::invalid_plane_size(i, n * b, plane->size()));
      queues_[i].append(*plane);
    }
  } else {
    auto plane = frame.plane(0);
    if (!plane) return std::unexpected(AudioError::invalid_format("missing plane 0"));
    const std::size_t want = n * format_.channels * b;
    if (plane->size() != want)
      return std::unexpected(AudioError::invalid_plane_size(0, want, plane->size()));
    queues_[0].append(*plane);
  }
  return {};
}

std::size_t AudioFifo::available_samples() const {
  const std::size_t b = format_.bytes_per_sample();
  if (queues_.empty() || b == 0) return 0;
  if (format_.is_planar()) {
    std::size_t m = queues_[0].size();
    for (const auto& q : queues_) m = std::min(m, q.size());
    return m / b;
  }
  if (format_.channels == 0) return 0;
  return queues_[0].size() / (b * format_.channels);
}

AudioResult<std::optional<AudioFrame>> AudioFifo::pop_frame(std::size_t n) {
  if (available_samples() < n) return std::optional<AudioFrame>{};
  const auto emitted_pts = pts_;
  if (pts_) *pts_ += static_cast<std::int64_t>(n);
  std::vector<Bytes> planes;
  planes.reserve(queues_.size());
  const std::size_t bytes = format_.plane_bytes(n);
  for (auto& q : queues_) planes.push_back(q.pop_front(bytes));
  auto frame = AudioFrame::from_planes(format_, n, time_base_.num, time_base_.den, emitted_pts,
                                       std::move(planes));
  if (!frame) return std::unexpected(frame.error());
  return std::optional<AudioFrame>(std::move(*frame));
}

}  // namespace kestrune

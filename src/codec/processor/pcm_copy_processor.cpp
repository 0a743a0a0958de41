#include "codec/processor/pcm_copy_processor.hpp"

#include <cstdio>
#include <string>

namespace kestrune {

CodecResult<std::vector<Bytes>> copy_checked_planes(const AudioFrameView& frame, const AudioFormat& format) {
  const std::size_t count = format.plane_count();
  if (frame.plane_count() != count)
    return std::unexpected(CodecError::invalid_data("unexpected plane_count for input AudioFormat"));
  const std::size_t want = format.plane_bytes(frame.nb_samples());
  std::vector<Bytes> planes;
  planes.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    auto plane = frame.plane(i);
    if (!plane) return std::unexpected(CodecError::invalid_data("missing plane in AudioFrameView"));
    if (plane->size() != want) return std::unexpected(CodecError::invalid_data("unexpected plane byte size"));
    planes.emplace_back(plane->begin(), plane->end());
  }
  return planes;
}

CodecStatus PcmCopyProcessor::send_frame(const AudioFrameView* frame) {
  if (flushed_) return std::unexpected(CodecError::invalid_state("already flushed"));
  if (!out_queue_.empty()) return std::unexpected(CodecError::again());
  if (!frame) {
    flushed_ = true;
    return {};
  }
  const std::size_t n = frame->nb_samples();
  if (n == 0) return {};

  const AudioFormat got = frame->format();
  if (input_format_) {
    if (got != *input_format_) {
      report_input_format_mismatch(component(), *input_format_, got);
      return std::unexpected(
          CodecError{CodecError::Kind::InvalidData, std::string(component()) + " input AudioFormat mismatch"});
    }
  } else {
    if (auto ok = prepare_format(got); !ok) return ok;
    input_format_ = got;
  }

  auto planes = copy_checked_planes(*frame, *input_format_);
  if (!planes) return std::unexpected(planes.error());
  if (auto ok = process(*planes, *input_format_, n); !ok) return ok;
  const TimeBase tb = frame->time_base();
  auto out = AudioFrame::from_planes(*input_format_, n, tb.num, tb.den, frame->pts(), std::move(*planes));
  if (!out) return std::unexpected(CodecError::invalid_data("failed to build AudioFrame from planes"));
  out_queue_.push_back(std::move(*out));
  return {};
}

CodecResult<AudioFrame> PcmCopyProcessor::receive_frame() {
  if (out_queue_.empty()) return std::unexpected(flushed_ ? CodecError::eof() : CodecError::again());
  AudioFrame f = std::move(out_queue_.front());
  out_queue_.pop_front();
  return f;
}

CodecStatus PcmCopyProcessor::reset() {
  out_queue_.clear();
  flushed_ = false;
  if (!fixed_format_) input_format_.reset();
  on_reset(!fixed_format_);
  return {};
}

}  // namespace kestrune

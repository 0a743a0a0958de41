#include "codec/encoder/wav_encoder.hpp"

#include <cstring>

#include "codec/format_report.hpp"

namespace kestrune {

CodecStatus WavEncoder::send_frame(const AudioFrameView* frame) {
  if (flushed_) return std::unexpected(CodecError::invalid_state("already flushed"));
  if (pending_) return std::unexpected(CodecError::again());
  if (!frame) {
    flushed_ = true;
    return {};
  }
  const AudioFormat fmt = frame->format();
  const std::size_t n = frame->nb_samples();
  if (n == 0) return {};  // nothing to carry; does not lock the format
  if (!format_) format_ = fmt;
  if (fmt != *format_) {
    report_input_format_mismatch("WavEncoder", *format_, fmt);
    return std::unexpected(CodecError::invalid_data("input AudioFormat mismatch"));
  }

  const std::size_t bps = fmt.bytes_per_sample();
  const std::size_t channels = fmt.channels;
  Bytes payload;
  if (fmt.is_planar()) {
    // Read every plane up front so a short or missing plane is refused
    // before anything is read past its end.
    std::vector<const std::uint8_t*> src(channels);
    for (std::size_t c = 0; c < channels; ++c) {
      auto plane = frame->plane(c);
      if (!plane) return std::unexpected(CodecError::invalid_data("missing plane"));
      if (plane->size() != n * bps) return std::unexpected(CodecError::invalid_data("unexpected plane size"));
      src[c] = plane->data();
    }
    payload.resize(n * channels * bps);
    std::uint8_t* out = payload.data();
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t c = 0; c < channels; ++c) {
        std::memcpy(out, src[c] + i * bps, bps);
        out += bps;
      }
  } else {
    auto plane = frame->plane(0);
    if (!plane) return std::unexpected(CodecError::invalid_data("missing plane 0"));
    if (plane->size() != n * channels * bps)
      return std::unexpected(CodecError::invalid_data("unexpected interleaved plane size"));
    payload.assign(plane->begin(), plane->end());
  }

  CodecPacket pkt;
  pkt.pts = frame->pts();
  pkt.duration = static_cast<std::int64_t>(n);  // a sample count, not time-base units
  pkt.data = std::move(payload);
  pkt.time_base = frame->time_base();
  pending_.emplace(std::move(pkt));
  return {};
}

CodecResult<CodecPacket> WavEncoder::receive_packet() {
  if (pending_) {
    CodecPacket out = std::move(*pending_);
    pending_.reset();
    return out;
  }
  if (flushed_) return std::unexpected(CodecError::eof());
  return std::unexpected(CodecError::again());
}

CodecStatus WavEncoder::reset() {
  pending_.reset();
  flushed_ = false;
  if (!format_fixed_) format_.reset();
  return {};
}

}  // namespace kestrune

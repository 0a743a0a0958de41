#include "codec/decoder/wav_decoder.hpp"

#include <utility>
#include <vector>

namespace kestrune {

CodecStatus WavDecoder::send_packet(std::optional<CodecPacket> packet) {
  if (flushed_) return std::unexpected(CodecError::invalid_state("already flushed"));
  // One output at a time: the caller pulls after every send. A packet sent
  // while a frame is still held is dropped, and end of input is not taken.
  if (pending_) return std::unexpected(CodecError::again());
  if (!packet) {
    flushed_ = true;
    return {};
  }
  if (format_.channels == 0) return std::unexpected(CodecError::invalid_data("channels=0"));
  const std::size_t frame_bytes = std::size_t{format_.channels} * format_.bytes_per_sample();
  if (packet->data.size() % frame_bytes != 0)
    return std::unexpected(CodecError::invalid_data("packet size not aligned to channels*bps"));
  const std::size_t nb_samples = packet->data.size() / frame_bytes;
  std::vector<Bytes> planes;
  planes.push_back(std::move(packet->data));  // the payload becomes the plane, no copy
  auto frame = AudioFrame::from_planes(format_, nb_samples, packet->time_base.num, packet->time_base.den,
                                       packet->pts, std::move(planes));
  if (!frame) return std::unexpected(CodecError::invalid_data("failed to build AudioFrame"));
  pending_.emplace(std::move(*frame));
  return {};
}

CodecResult<AudioFrame> WavDecoder::receive_frame() {
  if (pending_) {
    AudioFrame out = std::move(*pending_);
    pending_.reset();
    return out;
  }
  if (flushed_) return std::unexpected(CodecError::eof());
  return std::unexpected(CodecError::again());
}

CodecStatus WavDecoder::reset() {
  pending_.reset();
  flushed_ = false;
  return {};
}

}  // namespace kestrune

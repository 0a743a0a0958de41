// Encoder contract: PCM frames in (borrowed), packets out.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "codec/error.hpp"
#include "codec/packet.hpp"
#include "common/audio/audio.hpp"

namespace kestrune {

class AudioEncoder {
 public:
  virtual ~AudioEncoder() = default;
  virtual const char* name() const = 0;
  virtual std::optional<AudioFormat> input_format() const = 0;
  virtual std::optional<std::size_t> preferred_frame_samples() const = 0;
  virtual std::size_t lookahead_samples() const { return 0; }
  // The frame is only borrowed; nullptr is the end-of-input request.
  virtual CodecStatus send_frame(const AudioFrameView* frame) = 0;
  virtual CodecResult<CodecPacket> receive_packet() = 0;
  virtual CodecStatus reset() = 0;
};

using BoxedEncoder = std::unique_ptr<AudioEncoder>;

}  // namespace kestrune

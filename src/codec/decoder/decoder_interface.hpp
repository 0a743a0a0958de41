// Decoder contract: packets in, PCM frames out (push one, pull until Again).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "codec/error.hpp"
#include "codec/packet.hpp"
#include "common/audio/audio.hpp"

namespace kestrune {

class AudioDecoder {
 public:
  virtual ~AudioDecoder() = default;
  virtual const char* name() const = 0;
  virtual std::optional<AudioFormat> output_format() const = 0;
  virtual std::size_t delay_samples() const { return 0; }
  // Takes ownership; an absent packet is the end-of-input request.
  virtual CodecStatus send_packet(std::optional<CodecPacket> packet) = 0;
  virtual CodecResult<AudioFrame> receive_frame() = 0;
  virtual CodecStatus reset() = 0;
};

using BoxedDecoder = std::unique_ptr<AudioDecoder>;

}  // namespace kestrune

// Processor contract: PCM frames in (borrowed), PCM frames out.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "codec/error.hpp"
#include "common/audio/audio.hpp"

namespace kestrune {

class AudioProcessor {
 public:
  virtual ~AudioProcessor() = default;
  virtual const char* name() const = 0;
  virtual std::optional<AudioFormat> input_format() const = 0;
  virtual std::optional<AudioFormat> output_format() const = 0;
  virtual std::size_t delay_samples() const { return 0; }
  // The frame is only borrowed; nullptr is the end-of-input request (flush).
  virtual CodecStatus send_frame(const AudioFrameView* frame) = 0;
  virtual CodecResult<AudioFrame> receive_frame() = 0;
  virtual CodecStatus reset() = 0;
};

using BoxedProcessor = std::unique_ptr<AudioProcessor>;

}  // namespace kestrune

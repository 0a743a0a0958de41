// Shared machinery of the processors that lock their input format and turn
// every frame into exactly one output frame of the same format: identity,
// gain and compressor. They differ only in what they do to the copied
// samples and in how they get ready for their first format.
#pragma once

#include <deque>
#include <optional>
#include <vector>

#include "codec/format_report.hpp"
#include "codec/processor/processor_interface.hpp"

namespace kestrune {

// Copies the frame's planes after checking them against `format` (plane
// count, presence and byte size; all InvalidData).
CodecResult<std::vector<Bytes>> copy_checked_planes(const AudioFrameView& frame, const AudioFormat& format);

class PcmCopyProcessor : public AudioProcessor {
 public:
  std::optional<AudioFormat> input_format() const override { return input_format_; }
  std::optional<AudioFormat> output_format() const override { return input_format_; }
  CodecStatus send_frame(const AudioFrameView* frame) override;
  CodecResult<AudioFrame> receive_frame() override;
  CodecStatus reset() override;

 protected:
  explicit PcmCopyProcessor(std::optional<AudioFormat> format)
      : input_format_(format), fixed_format_(format.has_value()) {}

  // "IdentityProcessor", ...: the component name in mismatch reports.
  virtual const char* component() const = 0;
  // A non-empty frame arrives while no format is locked; an error refuses
  // it and leaves the format unlocked.
  virtual CodecStatus prepare_format(const AudioFormat&) { return {}; }
  // Transforms the copied planes in place (they passed the size checks).
  virtual CodecStatus process(std::vector<Bytes>& planes, const AudioFormat& format,
                              std::size_t nb_samples) = 0;
  // Extra reset work; `forget_format` is true when the format is unlocked.
  virtual void on_reset(bool /*forget_format*/) {}

  bool fixed_format() const { return fixed_format_; }

 private:
  std::deque<AudioFrame> out_queue_;
  std::optional<AudioFormat> input_format_;
  bool fixed_format_ = false;
  bool flushed_ = false;
};

}  // namespace kestrune

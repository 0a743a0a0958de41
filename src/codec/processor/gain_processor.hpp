// Linear gain on every sample, format unchanged.
#pragma once

#include "codec/processor/pcm_copy_processor.hpp"

namespace kestrune {

// Scales samples in place: integer types are rounded half away from zero and
// saturate, U8 is scaled around its midpoint 128, float types are not
// clipped, and a NaN product becomes the type's zero (128 for U8).
void apply_gain_inplace(std::span<std::uint8_t> bytes, SampleType type, double gain);

class GainProcessor final : public PcmCopyProcessor {
 public:
  // InvalidData "gain must be finite" for NaN or infinite gains.
  static CodecResult<GainProcessor> create(std::optional<AudioFormat> format, double gain);

  const char* name() const override { return "gain"; }
  double gain() const { return gain_; }

 protected:
  const char* component() const override { return "GainProcessor"; }
  CodecStatus process(std::vector<Bytes>& planes, const AudioFormat& format, std::size_t) override;

 private:
  GainProcessor(std::optional<AudioFormat> format, double gain) : PcmCopyProcessor(format), gain_(gain) {}

  double gain_;
};

}  // namespace kestrune

// Passes frames through unchanged (a byte copy), optionally enforcing one
// input format.
#pragma once

#include "codec/processor/pcm_copy_processor.hpp"

namespace kestrune {

class IdentityProcessor final : public PcmCopyProcessor {
 public:
  // With a format the processor only accepts that format, across resets too;
  // without, the first non-empty frame of each stream locks it.
  explicit IdentityProcessor(std::optional<AudioFormat> format = std::nullopt)
      : PcmCopyProcessor(format) {}

  const char* name() const override { return "identity"; }

 protected:
  const char* component() const override { return "IdentityProcessor"; }
  CodecStatus process(std::vector<Bytes>&, const AudioFormat&, std::size_t) override { return {}; }
};

}  // namespace kestrune

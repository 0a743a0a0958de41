// The dynamics compressor behind the processor contract: format locking,
// one output frame per input frame, flush and reset.
#pragma once

#include "codec/processor/pcm_copy_processor.hpp"
#include "function/compressor.hpp"

namespace kestrune {

class CompressorProcessor final : public PcmCopyProcessor {
 public:
  // Validates now: the parameters' sample rate must match the format's
  // (within 0.001) and the parameters must pass DynamicsCompressor's checks.
  static CodecResult<CompressorProcessor> create_with_format(const AudioFormat& format,
                                                             const DynamicsParams& params);
  // Validates at the first non-empty frame of every stream.
  static CompressorProcessor create_deferred(const DynamicsParams& params);

  const char* name() const override { return "compressor"; }
  const DynamicsParams& params() const { return params_; }
  const DynamicsCompressor* compressor() const { return compressor_ ? &*compressor_ : nullptr; }

 protected:
  const char* component() const override { return "CompressorProcessor"; }
  CodecStatus prepare_format(const AudioFormat& format) override;
  CodecStatus process(std::vector<Bytes>& planes, const AudioFormat& format, std::size_t nb_samples) override;
  void on_reset(bool forget_format) override;

 private:
  CompressorProcessor(std::optional<AudioFormat> format, const DynamicsParams& params,
                      std::optional<DynamicsCompressor> compressor)
      : PcmCopyProcessor(format), compressor_(std::move(compressor)), params_(params) {}

  std::optional<DynamicsCompressor> compressor_;
  DynamicsParams params_;
};

}  // namespace kestrune

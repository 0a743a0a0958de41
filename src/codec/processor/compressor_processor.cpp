#include "codec/processor/compressor_processor.hpp"

#include <cmath>

namespace kestrune {

namespace {

CodecResult<DynamicsCompressor> build(const AudioFormat& format, const DynamicsParams& params) {
  if (std::fabs(params.sample_rate - static_cast<float>(format.sample_rate)) > 0.001f)
    return std::unexpected(CodecError::invalid_data("DynamicsParams.sample_rate must match AudioFormat.sample_rate"));
  return DynamicsCompressor::create(params, format.channels);
}

}  // namespace

CodecResult<CompressorProcessor> CompressorProcessor::create_with_format(const AudioFormat& format,
                                                                         const DynamicsParams& params) {
  auto comp = build(format, params);
  if (!comp) return std::unexpected(comp.error());
  return CompressorProcessor(format, params, std::move(*comp));
}

CompressorProcessor CompressorProcessor::create_deferred(const DynamicsParams& params) {
  return CompressorProcessor(std::nullopt, params, std::nullopt);
}

CodecStatus CompressorProcessor::prepare_format(const AudioFormat& format) {
  auto comp = build(format, params_);
  if (!comp) return std::unexpected(comp.error());
  compressor_ = std::move(*comp);
  return {};
}

CodecStatus CompressorProcessor::process(std::vector<Bytes>& planes, const AudioFormat& format, std::size_t) {
  if (format.channels == 0) return std::unexpected(CodecError::invalid_data("channels=0"));
  if (!compressor_) return std::unexpected(CodecError::invalid_state("compressor not initialized"));
  const SampleType type = format.sample_format.type;
  const std::size_t b = format.bytes_per_sample();
  if (format.is_planar()) {
    for (std::size_t j = 0; j < planes.size(); ++j) {
      if (auto ok = compressor_->process_samples_inplace(planes[j], type, planes[j].size() / b, 1, j, true); !ok)
        return ok;
    }
    return {};
  }
  return compressor_->process_samples_inplace(planes[0], type, planes[0].size() / (format.channels * b),
                                              format.channels, 0, false);
}

void CompressorProcessor::on_reset(bool forget_format) {
  if (forget_format) compressor_.reset();
  else if (compressor_) compressor_->reset_envelopes();
}

}  // namespace kestrune

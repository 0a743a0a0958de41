// Format-dispatching file reader and writer: each owns one concrete
// reader or writer of its format.
#pragma once

#include <string>

#include "common/io/io.hpp"

namespace kestrune {

class AudioFileReader final : public AudioReader {
 public:
  // chunk_samples only affects WAV.
  static IoResult<AudioFileReader> open(const std::string& path, AudioFileFormat format,
                                        std::size_t chunk_samples);
  IoResult<std::optional<AudioFrame>> next_frame() override { return inner_->next_frame(); }

 private:
  explicit AudioFileReader(BoxedAudioReader inner) : inner_(std::move(inner)) {}
  BoxedAudioReader inner_;
};

class AudioFileWriter final : public AudioWriter {
 public:
  static IoResult<AudioFileWriter> create(const std::string& path, const AudioFileWriterConfig& config);
  IoStatus write_frame(const AudioFrameView& frame) override { return inner_->write_frame(frame); }
  IoStatus finalize() override { return inner_->finalize(); }

 private:
  explicit AudioFileWriter(BoxedAudioWriter inner) : inner_(std::move(inner)) {}
  BoxedAudioWriter inner_;
};

}  // namespace kestrune

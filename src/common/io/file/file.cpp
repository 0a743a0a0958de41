#include "common/io/file/file.hpp"

#include <memory>

#include "common/io/file/wav_file.hpp"

namespace kestrune {

namespace {
template <class T>
IoResult<std::unique_ptr<T>> boxed(IoResult<T> r) {
  if (!r) return std::unexpected(std::move(r.error()));
  return std::make_unique<T>(std::move(*r));
}
}  // namespace

IoResult<AudioFileReader> AudioFileReader::open(const std::string& path, AudioFileFormat format,
                                                std::size_t chunk_samples) {
  IoResult<BoxedAudioReader> r = std::unexpected(AudioIOError::format("file format not available"));
  switch (format) {
    case AudioFileFormat::Wav: r = boxed(WavReader::open_with_config(path, chunk_samples)); break;
    case AudioFileFormat::Mp3:
    case AudioFileFormat::AacAdts:
    case AudioFileFormat::Flac:
    case AudioFileFormat::OpusOgg: break;
  }
  if (!r) return std::unexpected(std::move(r.error()));
  return AudioFileReader(std::move(*r));
}

IoResult<AudioFileWriter> AudioFileWriter::create(const std::string& path, const AudioFileWriterConfig& config) {
  IoResult<BoxedAudioWriter> w = std::unexpected(AudioIOError::format("file format not available"));
  if (auto* wav = std::get_if<WavWriterConfig>(&config)) w = boxed(WavWriter::create(path, *wav));
  if (!w) return std::unexpected(std::move(w.error()));
  return AudioFileWriter(std::move(*w));
}

}  // namespace kestrune

#include "common/io/file/file.hpp"

#include <memory>

#include "common/io/file/aac_file.hpp"
#include "common/io/file/flac_file.hpp"
#include "common/io/file/mp3_file.hpp"
#include "common/io/file/opus_file.hpp"
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
  IoResult<BoxedAudioReader> r = [&]() -> IoResult<BoxedAudioReader> {
    switch (format) {
      case AudioFileFormat::Wav: return boxed(WavReader::open_with_config(path, chunk_samples));
      case AudioFileFormat::Mp3: return boxed(Mp3Reader::open(path));
      case AudioFileFormat::AacAdts: return boxed(AacAdtsReader::open(path));
      case AudioFileFormat::Flac: return boxed(FlacReader::open(path));
      case AudioFileFormat::OpusOgg: return boxed(OpusOggReader::open(path));
    }
    return std::unexpected(AudioIOError::format("unknown file format"));
  }();
  if (!r) return std::unexpected(std::move(r.error()));
  return AudioFileReader(std::move(*r));
}

IoResult<AudioFileWriter> AudioFileWriter::create(const std::string& path, const AudioFileWriterConfig& config) {
  struct Create {
    const std::string& path;
    IoResult<BoxedAudioWriter> operator()(const WavWriterConfig& c) const { return boxed(WavWriter::create(path, c)); }
    IoResult<BoxedAudioWriter> operator()(const Mp3WriterConfig& c) const { return boxed(Mp3Writer::create(path, c)); }
    IoResult<BoxedAudioWriter> operator()(const FlacWriterConfig& c) const { return boxed(FlacWriter::create(path, c)); }
    IoResult<BoxedAudioWriter> operator()(const OpusOggWriterConfig& c) const {
      return boxed(OpusOggWriter::create(path, c));
    }
    IoResult<BoxedAudioWriter> operator()(const AacAdtsWriterConfig& c) const {
      auto out = OutputFile::create(path);
      if (!out) return std::unexpected(out.error());
      return std::make_unique<AacAdtsWriter>(std::move(*out), c);
    }
  };
  IoResult<BoxedAudioWriter> w = std::visit(Create{path}, config);
  if (!w) return std::unexpected(std::move(w.error()));
  return AudioFileWriter(std::move(*w));
}

}  // namespace kestrune

// File reading and writing: the error type, the reader and writer
// contracts, the file format names and the writer configuration.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "codec/error.hpp"
#include "common/audio/audio.hpp"

namespace kestrune {

struct AudioIOError {
  enum class Kind { Io, Codec, Format };

  Kind kind = Kind::Io;
  std::string message;             // Io: OS description; Format: the message
  std::optional<CodecError> codec; // Codec

  static AudioIOError io(std::string description) { return {Kind::Io, std::move(description), {}}; }
  // From an errno value.
  static AudioIOError from_errno(int err);
  static AudioIOError short_read() { return io("failed to fill whole buffer"); }
  static AudioIOError short_write() { return io("failed to write whole buffer"); }
  static AudioIOError from_codec(CodecError e) { return {Kind::Codec, {}, std::move(e)}; }
  static AudioIOError format(const char* m) { return {Kind::Format, m, {}}; }

  std::string to_string() const;
};

template <class T>
using IoResult = std::expected<T, AudioIOError>;
using IoStatus = std::expected<void, AudioIOError>;

// Wraps a codec failure as a file error.
inline IoStatus io_from_codec(CodecStatus s) {
  if (!s) return std::unexpected(AudioIOError::from_codec(std::move(s.error())));
  return {};
}

// Every format reader. After end of stream (nullopt) it keeps reporting it.
class AudioReader {
 public:
  virtual ~AudioReader() = default;
  virtual IoResult<std::optional<AudioFrame>> next_frame() = 0;
};

// Every PCM destination: files, line writers, parallel writers.
class AudioWriter {
 public:
  virtual ~AudioWriter() = default;
  virtual IoStatus write_frame(const AudioFrameView& frame) = 0;
  // Completes the output; owners call it once after the last frame.
  virtual IoStatus finalize() = 0;
};

using BoxedAudioReader = std::unique_ptr<AudioReader>;
using BoxedAudioWriter = std::unique_ptr<AudioWriter>;

enum class AudioFileFormat { AacAdts, Flac, Mp3, OpusOgg, Wav };

// "aac_adts", "flac", "mp3", "opus_ogg", "wav"
const char* audio_file_format_name(AudioFileFormat f);

enum class WavSampleFormat { Pcm16, F32 };

struct AacAdtsWriterConfig {
  AudioFormat input_format;
  std::optional<std::uint32_t> bitrate;
};
struct FlacWriterConfig {
  AudioFormat input_format;
  std::optional<std::int32_t> compression_level;
};
struct Mp3WriterConfig {
  AudioFormat input_format;
  std::uint32_t bitrate = 128000;
};
struct OpusOggWriterConfig {
  AudioFormat input_format;
  std::optional<std::uint32_t> bitrate;
};
struct WavWriterConfig {
  // Absent: sample rate and channels come from the first frame.
  std::optional<AudioFormat> input_format;
  WavSampleFormat output = WavSampleFormat::Pcm16;
};

using AudioFileWriterConfig =
    std::variant<AacAdtsWriterConfig, FlacWriterConfig, Mp3WriterConfig, OpusOggWriterConfig, WavWriterConfig>;

}  // namespace kestrune

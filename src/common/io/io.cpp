#include "common/io/io.hpp"

#include <system_error>

namespace kestrune {

AudioIOError AudioIOError::from_errno(int err) { return io(std::generic_category().message(err)); }

std::string AudioIOError::to_string() const {
  switch (kind) {
    case Kind::Io: return "io error: " + message;
    case Kind::Codec: return "codec error: " + (codec ? codec->to_string() : std::string());
    case Kind::Format: return "format error: " + message;
  }
  return message;
}

const char* audio_file_format_name(AudioFileFormat f) {
  switch (f) {
    case AudioFileFormat::AacAdts: return "aac_adts";
    case AudioFileFormat::Flac: return "flac";
    case AudioFileFormat::Mp3: return "mp3";
    case AudioFileFormat::OpusOgg: return "opus_ogg";
    case AudioFileFormat::Wav: return "wav";
  }
  return "?";
}

}  // namespace kestrune

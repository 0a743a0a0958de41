#include "common/io/io.hpp"

namespace kestrune {

std::string AudioIOError::to_string() const {
  switch (kind) {
    case Kind::Io: return "io error: " + message;
    case Kind::Codec: return "codec error: " + (codec ? codec->to_string() : std::string());
    case Kind::Format: return "format error: " + message;
  }
  return message;
}

}  // namespace kestrune

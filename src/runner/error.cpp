#include "runner/error.hpp"

namespace kestrune {

std::string RunnerError::to_string() const {
  switch (kind) {
    case Kind::Codec: return "codec error: " + (codec ? codec->to_string() : std::string());
    case Kind::Io: return "io error: " + (io ? io->to_string() : std::string());
    case Kind::InvalidData: return "invalid data: " + message;
    case Kind::InvalidState: return "invalid state: " + message;
  }
  return message;
}

}  // namespace kestrune

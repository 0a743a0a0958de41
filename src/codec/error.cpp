#include "codec/error.hpp"

namespace kestrune {

std::string CodecError::to_string() const {
  switch (kind) {
    case Kind::Again: return "again (EAGAIN): need to drive codec state machine";
    case Kind::Eof: return "end of stream (EOF)";
    case Kind::InvalidState: return "invalid state: " + message;
    case Kind::InvalidData: return "invalid data: " + message;
    case Kind::Unsupported: return "unsupported: " + message;
    case Kind::Other: return message;
  }
  return message;
}

}  // namespace kestrune

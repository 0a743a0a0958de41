// File reading and writing: the error type shared by readers and writers.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <system_error>

#include "codec/error.hpp"

namespace kestrune {

struct AudioIOError {
  enum class Kind { Io, Codec, Format };

  Kind kind = Kind::Io;
  std::string message;             // Io: OS description; Format: the message
  std::optional<CodecError> codec; // Codec

  static AudioIOError io(std::string description) { return {Kind::Io, std::move(description), {}}; }
  // From an errno value.
  static AudioIOError from_errno(int err) { return io(std::generic_category().message(err)); }
  static AudioIOError short_read() { return io("failed to fill whole buffer"); }
  static AudioIOError short_write() { return io("failed to write whole buffer"); }
  static AudioIOError from_codec(CodecError e) { return {Kind::Codec, {}, std::move(e)}; }
  static AudioIOError format(const char* m) { return {Kind::Format, m, {}}; }

  std::string to_string() const;
};

template <class T>
using IoResult = std::expected<T, AudioIOError>;
using IoStatus = std::expected<void, AudioIOError>;

}  // namespace kestrune

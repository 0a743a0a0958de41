// The error of sinks, sources and the runner.
#pragma once

#include <expected>
#include <optional>
#include <string>

#include "codec/error.hpp"
#include "common/io/io.hpp"

namespace kestrune {

struct RunnerError {
  enum class Kind { Codec, Io, InvalidData, InvalidState };

  Kind kind = Kind::InvalidState;
  std::string message;               // InvalidData / InvalidState
  std::optional<CodecError> codec;   // Codec
  std::optional<AudioIOError> io;    // Io

  static RunnerError from_codec(CodecError e) { return {Kind::Codec, {}, std::move(e), {}}; }
  static RunnerError from_io(AudioIOError e) { return {Kind::Io, {}, {}, std::move(e)}; }
  static RunnerError invalid_data(const char* m) { return {Kind::InvalidData, m, {}, {}}; }
  static RunnerError invalid_state(const char* m) { return {Kind::InvalidState, m, {}, {}}; }

  std::string to_string() const;
};

template <class T>
using RunnerResult = std::expected<T, RunnerError>;
using RunnerStatus = std::expected<void, RunnerError>;

}  // namespace kestrune

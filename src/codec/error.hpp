// The general error of codecs, processors, nodes and pipelines.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace kestrune {

struct CodecError {
  enum class Kind { Again, Eof, InvalidState, InvalidData, Unsupported, Other };

  Kind kind = Kind::Other;
  std::string message;  // payload of InvalidState/InvalidData/Unsupported/Other

  static CodecError again() { return {Kind::Again, {}}; }
  static CodecError eof() { return {Kind::Eof, {}}; }
  static CodecError invalid_state(const char* m) { return {Kind::InvalidState, m}; }
  static CodecError invalid_data(const char* m) { return {Kind::InvalidData, m}; }
  static CodecError unsupported(const char* m) { return {Kind::Unsupported, m}; }
  static CodecError other(std::string m) { return {Kind::Other, std::move(m)}; }

  bool is_again() const { return kind == Kind::Again; }
  bool is_eof() const { return kind == Kind::Eof; }

  std::string to_string() const;
  friend bool operator==(const CodecError&, const CodecError&) = default;
};

template <class T>
using CodecResult = std::expected<T, CodecError>;
// Ok-or-error.
using CodecStatus = std::expected<void, CodecError>;

}  // namespace kestrune

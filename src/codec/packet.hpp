// One encoded access unit.
#pragma once

#include <cstdint>
#include <optional>

#include "common/audio/audio.hpp"

namespace kestrune {

struct CodecPacket {
  std::optional<std::int64_t> pts;
  std::optional<std::int64_t> dts;
  std::optional<std::int64_t> duration;
  Bytes data;
  TimeBase time_base{1, 1};
  std::uint32_t flags = 0;
};

}  // namespace kestrune

// The node contract every pipeline node implements.
#pragma once

#include <memory>
#include <optional>

#include "codec/error.hpp"
#include "pipeline/node/node_interface.hpp"

namespace kestrune {

class DynNode {
 public:
  virtual ~DynNode() = default;
  virtual const char* name() const = 0;
  virtual NodeKind input_kind() const = 0;
  virtual NodeKind output_kind() const = 0;
  // Consumes the buffer whatever the result; nullopt is the flush.
  virtual CodecStatus push(std::optional<NodeBuffer> buf) = 0;
  virtual CodecResult<NodeBuffer> pull() = 0;
  virtual CodecStatus reset() { return {}; }
};

using BoxedDynNode = std::unique_ptr<DynNode>;

}  // namespace kestrune

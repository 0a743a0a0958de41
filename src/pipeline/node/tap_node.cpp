#include "pipeline/node/tap_node.hpp"

namespace kestrune {

CodecStatus IdentityNode::push(std::optional<NodeBuffer> buf) {
  if (flushed_) return std::unexpected(CodecError::invalid_state("already flushed"));
  if (!buf) {
    flushed_ = true;
    return {};
  }
  if (buf->kind() != kind_) return std::unexpected(CodecError::invalid_data("identity node buffer kind mismatch"));
  queue_.push_back(std::move(*buf));
  return {};
}

CodecResult<NodeBuffer> IdentityNode::pull() {
  if (queue_.empty()) return std::unexpected(flushed_ ? CodecError::eof() : CodecError::again());
  NodeBuffer b = std::move(queue_.front());
  queue_.pop_front();
  return b;
}

CodecStatus IdentityNode::reset() {
  queue_.clear();
  flushed_ = false;
  return {};
}

CodecError map_sink_err(const RunnerError& e) { return CodecError::other("tap node sink error: " + e.to_string()); }

}  // namespace kestrune

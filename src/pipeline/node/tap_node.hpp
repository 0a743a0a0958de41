// Built-in pass-through nodes: IdentityNode, and TapNode, which also hands
// a deep copy of every buffer to a synchronous sink (a tee).
#pragma once

#include <concepts>
#include <deque>
#include <string>
#include <utility>

#include "pipeline/node/dynamic_node_interface.hpp"
#include "runner/error.hpp"

namespace kestrune {

class IdentityNode final : public DynNode {
 public:
  explicit IdentityNode(NodeKind kind) : kind_(kind) {}
  const char* name() const override { return "identity"; }
  NodeKind input_kind() const override { return kind_; }
  NodeKind output_kind() const override { return kind_; }
  CodecStatus push(std::optional<NodeBuffer> buf) override;
  CodecResult<NodeBuffer> pull() override;
  CodecStatus reset() override;

 private:
  std::deque<NodeBuffer> queue_;
  NodeKind kind_;
  bool flushed_ = false;
};

// What a tap needs of its sink: the synchronous sink operations.
template <class S>
concept TapSink = requires(S& s, NodeBuffer b) {
  { s.push(std::move(b)) } -> std::same_as<RunnerStatus>;
  { s.finalize() } -> std::same_as<RunnerStatus>;
};

// A sink failure as a node error: "tap node sink error: <display text>".
CodecError map_sink_err(const RunnerError& e);

template <TapSink S>
class TapNode final : public DynNode {
 public:
  TapNode(S sink, NodeKind kind) : sink_(std::move(sink)), kind_(kind) {}
  const char* name() const override { return "tap"; }
  NodeKind input_kind() const override { return kind_; }
  NodeKind output_kind() const override { return kind_; }

  CodecStatus push(std::optional<NodeBuffer> buf) override {
    if (flushed_) return std::unexpected(CodecError::invalid_state("tap node already flushed"));
    if (!buf) {
      flushed_ = true;
      if (!sink_finalized_) {
        auto r = sink_.finalize();
        if (!r) return std::unexpected(map_sink_err(r.error()));
        sink_finalized_ = true;
      }
      return {};
    }
    if (buf->kind() != kind_) return std::unexpected(CodecError::invalid_data("tap node buffer kind mismatch"));
    auto r = sink_.push(buf->clone());
    if (!r) return std::unexpected(map_sink_err(r.error()));  // refused: not forwarded either
    queue_.push_back(std::move(*buf));
    return {};
  }

  CodecResult<NodeBuffer> pull() override {
    if (queue_.empty()) return std::unexpected(flushed_ ? CodecError::eof() : CodecError::again());
    NodeBuffer b = std::move(queue_.front());
    queue_.pop_front();
    return b;
  }

  // The sink itself is not reset; the next flush finalizes it again.
  CodecStatus reset() override {
    queue_.clear();
    flushed_ = false;
    sink_finalized_ = false;
    return {};
  }

  S& sink() { return sink_; }

 private:
  std::deque<NodeBuffer> queue_;
  S sink_;
  NodeKind kind_;
  bool flushed_ = false;
  bool sink_finalized_ = false;
};

}  // namespace kestrune

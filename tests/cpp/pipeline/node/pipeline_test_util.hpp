// Small helpers shared by the node and pipeline tests.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/node/async_dynamic_node_interface.hpp"
#include "runtime/runtime.hpp"

namespace kestrune::testing_util {

// A packet buffer identified by its pts.
inline NodeBuffer pkt(std::int64_t tag) {
  CodecPacket p;
  p.pts = tag;
  p.data = {static_cast<std::uint8_t>(tag & 0xff)};
  return NodeBuffer(std::move(p));
}

inline NodeBuffer pcm(std::int64_t tag, std::size_t samples = 8) {
  AudioFormat f{48000, SampleFormat::F32(true), 2, 3};
  auto frame = AudioFrame::new_alloc(f, samples);
  EXPECT_TRUE(frame.has_value());
  frame->set_pts(tag);
  return NodeBuffer(std::move(*frame));
}

inline std::int64_t tag_of(const NodeBuffer& b) {
  return b.is_pcm() ? b.pcm().pts().value_or(-1) : b.packet().pts.value_or(-1);
}

// Owns a runtime and a pipeline built in it; drops the pipeline first (its
// stages end once its input closes), then the runtime (which waits for them).
struct PipelineHarness {
  std::unique_ptr<rt::Runtime> runtime;
  std::optional<AsyncDynPipeline> pipeline;

  explicit PipelineHarness(rt::RuntimeOptions o = {}) : runtime(std::move(*rt::Runtime::create(o))) {}
  ~PipelineHarness() { shutdown(); }

  CodecStatus build(std::vector<BoxedDynNode> nodes) {
    auto ctx = runtime->enter();
    auto p = AsyncDynPipeline::create(std::move(nodes));
    if (!p) return std::unexpected(p.error());
    pipeline.emplace(std::move(*p));
    return {};
  }
  AsyncDynPipeline& p() { return *pipeline; }
  PipelineOutput get() { return runtime->block_on(pipeline->get_frame()); }
  CodecStatus reset(bool force) { return runtime->block_on(pipeline->reset(force)); }
  void shutdown() {
    pipeline.reset();
    runtime.reset();
  }
};

template <class... N>
std::vector<BoxedDynNode> nodes(std::unique_ptr<N>... n) {
  std::vector<BoxedDynNode> v;
  (v.push_back(std::move(n)), ...);
  return v;
}

inline void expect_tag(const PipelineOutput& r, std::int64_t tag) {
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  EXPECT_EQ(tag_of(*r), tag);
}

inline void expect_err(const PipelineOutput& r, const CodecError& e) {
  ASSERT_FALSE(r.has_value()) << "expected an error, got buffer " << tag_of(*r);
  EXPECT_EQ(r.error(), e) << r.error().to_string();
}

}  // namespace kestrune::testing_util

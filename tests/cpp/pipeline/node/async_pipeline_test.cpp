#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "pipeline/node/async_dynamic_node_interface.hpp"
#include "pipeline/node/pipeline_test_util.hpp"
#include "pipeline/node/tap_node.hpp"
#include "test_deadline.hpp"

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using testing_util::expect_err;
using testing_util::expect_tag;
using testing_util::kDeadline;
using testing_util::nodes;
using testing_util::PipelineHarness;
using testing_util::pkt;
using testing_util::pcm;
using testing_util::tag_of;
using testing_util::within;

std::unique_ptr<IdentityNode> ident(NodeKind k = NodeKind::Packet) { return std::make_unique<IdentityNode>(k); }

const CodecError kFlushed = CodecError::invalid_state("already flushed");

TEST(AsyncDynPipeline, OneIdentityNodePassesBuffersThrough) {
  within(kDeadline, [] {
    PipelineHarness h;
    ASSERT_TRUE(h.build(nodes(ident())).has_value());
    EXPECT_EQ(h.p().try_get_frame().error(), CodecError::again());
    ASSERT_TRUE(h.p().push_frame(pkt(1)).has_value());
    expect_tag(h.get(), 1);
    EXPECT_EQ(h.p().input_kind(), NodeKind::Packet);
    EXPECT_EQ(h.p().output_kind(), NodeKind::Packet);
  });
}

TEST(AsyncDynPipeline, FlushEmitsEverythingThenOneEofPerFlush) {
  within(kDeadline, [] {
    for (int n_nodes : {1, 2, 4}) {
      PipelineHarness h;
      std::vector<BoxedDynNode> ns;
      for (int i = 0; i < n_nodes; ++i) ns.push_back(ident());
      ASSERT_TRUE(h.build(std::move(ns)).has_value());
      for (int i = 0; i < 5; ++i) ASSERT_TRUE(h.p().push_frame(pkt(i)).has_value());
      ASSERT_TRUE(h.p().flush().has_value());
      ASSERT_TRUE(h.p().flush().has_value());  // harmless: flush errors are ignored
      for (int i = 0; i < 5; ++i) expect_tag(h.get(), i);
      expect_err(h.get(), CodecError::eof());
      expect_err(h.get(), CodecError::eof());
      EXPECT_EQ(h.p().try_get_frame().error(), CodecError::again()) << "stages stay alive after a flush";
    }
  });
}

TEST(AsyncDynPipeline, GetAfterEofWaitsForMoreOrForTheEnd) {
  within(kDeadline, [] {
    PipelineHarness h;
    ASSERT_TRUE(h.build(nodes(ident(), ident())).has_value());
    ASSERT_TRUE(h.p().flush().has_value());
    expect_err(h.get(), CodecError::eof());
    auto [producer, consumer] = std::move(h.p()).split();
    std::atomic<bool> dropping{false};
    std::thread closer([p = std::move(producer), &dropping]() mutable {
      std::this_thread::sleep_for(50ms);
      dropping = true;
      auto gone = std::move(p);  // dropping the input ends the stages
    });
    // Stage 2 flushes again on the closing Flush ("already flushed" is
    // ignored); then the last stage ends: Eof for good.
    expect_err(h.runtime->block_on(consumer.get_frame()), CodecError::eof());
    EXPECT_TRUE(dropping.load()) << "get_frame returned before the input was dropped";
    expect_err(h.runtime->block_on(consumer.get_frame()), CodecError::eof());
    closer.join();
  });
}

TEST(AsyncDynPipeline, PushAfterFlushInTwoNodesEndsTheChainWithFirstError) {
  within(kDeadline, [] {
    PipelineHarness h;
    ASSERT_TRUE(h.build(nodes(ident(), ident())).has_value());
    ASSERT_TRUE(h.p().push_frame(pkt(1)).has_value());
    ASSERT_TRUE(h.p().flush().has_value());
    expect_tag(h.get(), 1);
    expect_err(h.get(), CodecError::eof());
    ASSERT_TRUE(h.p().push_frame(pkt(2)).has_value());  // stage 1 still alive when sent
    expect_err(h.get(), kFlushed);
    expect_err(h.get(), CodecError::eof());
    expect_err(h.get(), CodecError::eof());
    // Stage 1 ends right after forwarding the error: from then on every
    // push, flush and reset reports the first recorded error.
    CodecStatus r;
    auto until = std::chrono::steady_clock::now() + 5s;
    while ((r = h.p().push_frame(pkt(3))) && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), kFlushed);
    EXPECT_EQ(h.p().flush().error(), kFlushed);
    EXPECT_EQ(h.reset(false).error(), kFlushed);
  });
}

TEST(AsyncDynPipeline, PushAfterFlushInOneNodeIsAnOutputItemAndKeepsRunning) {
  within(kDeadline, [] {
    PipelineHarness h;
    ASSERT_TRUE(h.build(nodes(ident())).has_value());
    ASSERT_TRUE(h.p().flush().has_value());
    expect_err(h.get(), CodecError::eof());
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(h.p().push_frame(pkt(i)).has_value());
      expect_err(h.get(), kFlushed);
    }
    ASSERT_TRUE(h.reset(false).has_value());
    ASSERT_TRUE(h.p().push_frame(pkt(7)).has_value());
    expect_tag(h.get(), 7);
  });
}

TEST(AsyncDynPipeline, LastStagePushErrorIsNextItemAndPipelineGoesOn) {
  within(kDeadline, [] {
    PipelineHarness h;
    ASSERT_TRUE(h.build(nodes(ident(NodeKind::Pcm))).has_value());
    ASSERT_TRUE(h.p().push_frame(pkt(1)).has_value());  // the node checks kinds, not the pipeline
    expect_err(h.get(), CodecError::invalid_data("identity node buffer kind mismatch"));
    ASSERT_TRUE(h.p().push_frame(pcm(2)).has_value());
    expect_tag(h.get(), 2);
  });
}

TEST(AsyncDynPipeline, ConstructionErrorsStartNoThread) {
  PipelineHarness h;
  EXPECT_EQ(h.build({}).error(), CodecError::invalid_data("pipeline requires at least 1 node"));
  EXPECT_EQ(h.build(nodes(ident(NodeKind::Pcm), ident(NodeKind::Packet))).error(),
            CodecError::invalid_data("pipeline node kind mismatch"));
  EXPECT_EQ(h.runtime->blocking_in_use(), 0u);
  auto outside = AsyncDynPipeline::create(nodes(ident()));
  EXPECT_EQ(outside.error(), CodecError::invalid_state("AsyncDynPipeline must be created inside a runtime"));
}

TEST(AsyncDynPipeline, RefusesPipelinesBeyondTheThreadLimit) {
  within(kDeadline, [] {
    PipelineHarness h({.max_blocking_threads = 4});
    auto five = h.build(nodes(ident(), ident(), ident(), ident(), ident()));
    ASSERT_FALSE(five.has_value());
    EXPECT_EQ(five.error().kind, CodecError::Kind::InvalidState);
    EXPECT_EQ(five.error().message,
              "pipeline of 5 nodes cannot start: needs 5 threads but only 4 of the runtime's 4 blocking threads are free");
    ASSERT_TRUE(h.build(nodes(ident(), ident(), ident())).has_value());
    auto ctx = h.runtime->enter();
    auto two = AsyncDynPipeline::create(nodes(ident(), ident()));
    ASSERT_FALSE(two.has_value());
    EXPECT_EQ(two.error().message,
              "pipeline of 2 nodes cannot start: needs 2 threads but only 1 of the runtime's 4 blocking threads are free");
    auto one = AsyncDynPipeline::create(nodes(ident()));
    ASSERT_TRUE(one.has_value());
    ASSERT_TRUE(one->push_frame(pkt(4)).has_value());
    expect_tag(h.runtime->block_on(one->get_frame()), 4);
  });
}

// Holds each output back for one pull: after a push, the drain that follows
// sees Again, so the output is still inside the node at the next reset.
class LaggingNode final : public DynNode {
 public:
  const char* name() const override { return "lagging"; }
  NodeKind input_kind() const override { return NodeKind::Packet; }
  NodeKind output_kind() const override { return NodeKind::Packet; }
  CodecStatus push(std::optional<NodeBuffer> buf) override {
    if (!buf) {
      flushed_ = true;
      return {};
    }
    q_.push_back({std::move(*buf), true});
    return {};
  }
  CodecResult<NodeBuffer> pull() override {
    if (q_.empty()) return std::unexpected(flushed_ ? CodecError::eof() : CodecError::again());
    if (q_.front().second && !flushed_) {
      q_.front().second = false;
      return std::unexpected(CodecError::again());
    }
    NodeBuffer b = std::move(q_.front().first);
    q_.pop_front();
    return b;
  }
  CodecStatus reset() override {
    q_.clear();
    flushed_ = false;
    return {};
  }

 private:
  std::deque<std::pair<NodeBuffer, bool>> q_;
  bool flushed_ = false;
};

TEST(AsyncDynPipeline, ResetForwardsHeldOutputsUnlessForced) {
  within(kDeadline, [] {
    for (int n_nodes : {1, 2}) {
      for (bool force : {false, true}) {
        SCOPED_TRACE(testing::Message() << n_nodes << " nodes, force=" << force);
        PipelineHarness h;
        std::vector<BoxedDynNode> ns;
        ns.push_back(std::make_unique<LaggingNode>());
        if (n_nodes == 2) ns.push_back(ident());
        ASSERT_TRUE(h.build(std::move(ns)).has_value());
        ASSERT_TRUE(h.p().push_frame(pkt(1)).has_value());
        ASSERT_TRUE(h.p().push_frame(pkt(2)).has_value());  // releases 1, holds 2
        expect_tag(h.get(), 1);
        ASSERT_TRUE(h.p().push_frame(pkt(3)).has_value());  // releases 2 into the output, holds 3
        ASSERT_TRUE(h.reset(force).has_value());
        expect_tag(h.get(), 2);  // already in the output channel: survives either reset
        if (!force) expect_tag(h.get(), 3);
        EXPECT_EQ(h.p().try_get_frame().error(), CodecError::again());
        ASSERT_TRUE(h.p().flush().has_value());
        expect_err(h.get(), CodecError::eof());
      }
    }
  });
}

// Holds everything until flushed, then answers Again a few times before
// giving its outputs, like a node waiting for work of its own.
class SlowFlushNode final : public DynNode {
 public:
  const char* name() const override { return "slow-flush"; }
  NodeKind input_kind() const override { return NodeKind::Packet; }
  NodeKind output_kind() const override { return NodeKind::Packet; }
  CodecStatus push(std::optional<NodeBuffer> buf) override {
    if (buf) q_.push_back(std::move(*buf));
    else flushed_ = true;
    return {};
  }
  CodecResult<NodeBuffer> pull() override {
    if (!flushed_ || not_yet_-- > 0) return std::unexpected(CodecError::again());
    if (q_.empty()) return std::unexpected(CodecError::eof());
    NodeBuffer b = std::move(q_.front());
    q_.pop_front();
    return b;
  }

 private:
  std::deque<NodeBuffer> q_;
  bool flushed_ = false;
  int not_yet_ = 5;
};

TEST(AsyncDynPipeline, FlushedOutputsOfAnIntermediateNodePrecedeTheEndOfStream) {
  within(kDeadline, [] {
    PipelineHarness h;
    ASSERT_TRUE(h.build(nodes(std::make_unique<SlowFlushNode>(), ident())).has_value());
    ASSERT_TRUE(h.p().push_frame(pkt(1)).has_value());
    ASSERT_TRUE(h.p().push_frame(pkt(2)).has_value());
    ASSERT_TRUE(h.p().flush().has_value());
    expect_tag(h.get(), 1);
    expect_tag(h.get(), 2);
    expect_err(h.get(), CodecError::eof());
  });
}

// Fails on chosen operations; counts calls.
class FaultyNode final : public DynNode {
 public:
  int fail_push_at = -1;  // index of the data push that fails
  bool fail_reset = false;
  bool throw_on_push = false;
  const char* name() const override { return "faulty"; }
  NodeKind input_kind() const override { return NodeKind::Packet; }
  NodeKind output_kind() const override { return NodeKind::Packet; }
  CodecStatus push(std::optional<NodeBuffer> buf) override {
    if (!buf) return inner_.push(std::nullopt);
    if (throw_on_push) throw std::runtime_error("exploded");
    if (pushes_++ == fail_push_at) return std::unexpected(CodecError::other("boom"));
    return inner_.push(std::move(buf));
  }
  CodecResult<NodeBuffer> pull() override { return inner_.pull(); }
  CodecStatus reset() override {
    if (fail_reset) return std::unexpected(CodecError::invalid_state("cannot reset"));
    return inner_.reset();
  }

 private:
  IdentityNode inner_{NodeKind::Packet};
  int pushes_ = 0;
};

TEST(AsyncDynPipeline, IntermediateFailureEndsChainFromThereDown) {
  within(kDeadline, [] {
    PipelineHarness h;
    auto faulty = std::make_unique<FaultyNode>();
    faulty->fail_push_at = 1;
    ASSERT_TRUE(h.build(nodes(ident(), std::move(faulty), ident())).has_value());
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(h.p().push_frame(pkt(i)).has_value());
    expect_tag(h.get(), 0);
    expect_err(h.get(), CodecError::other("boom"));
    expect_err(h.get(), CodecError::eof());
    // Stage 1 keeps running; its sends now fail and buffers are dropped.
    EXPECT_TRUE(h.p().push_frame(pkt(9)).has_value());
    EXPECT_EQ(h.p().try_get_frame().error(), CodecError::eof());
  });
}

TEST(AsyncDynPipeline, FailedResetAnswersWithTheRecordedError) {
  within(kDeadline, [] {
    PipelineHarness h;
    auto faulty = std::make_unique<FaultyNode>();
    faulty->fail_reset = true;
    ASSERT_TRUE(h.build(nodes(std::move(faulty), ident())).has_value());
    EXPECT_EQ(h.reset(true).error(), CodecError::invalid_state("cannot reset"));
    expect_err(h.get(), CodecError::invalid_state("cannot reset"));
    expect_err(h.get(), CodecError::eof());

    PipelineHarness last;
    auto faulty_last = std::make_unique<FaultyNode>();
    faulty_last->fail_reset = true;
    ASSERT_TRUE(last.build(nodes(ident(), std::move(faulty_last))).has_value());
    EXPECT_EQ(last.reset(false).error(), CodecError::invalid_state("cannot reset"));
    expect_err(last.get(), CodecError::invalid_state("cannot reset"));
    ASSERT_TRUE(last.p().push_frame(pkt(1)).has_value());  // the last stage keeps running
    expect_tag(last.get(), 1);
  });
}

TEST(AsyncDynPipeline, NodeExceptionBecomesAStageError) {
  within(kDeadline, [] {
    PipelineHarness h;
    auto faulty = std::make_unique<FaultyNode>();
    faulty->throw_on_push = true;
    ASSERT_TRUE(h.build(nodes(std::move(faulty), ident())).has_value());
    ASSERT_TRUE(h.p().push_frame(pkt(1)).has_value());
    expect_err(h.get(), CodecError::other("pipeline stage faulty failed: exploded"));
    expect_err(h.get(), CodecError::eof());
  });
}

struct CountingSink {
  std::shared_ptr<std::atomic<int>> pushes, finalizes;
  RunnerStatus push(NodeBuffer) {
    ++*pushes;
    return {};
  }
  RunnerStatus finalize() {
    ++*finalizes;
    return {};
  }
};

TEST(AsyncDynPipeline, DropFlushesEveryNodeButTheFirst) {
  within(kDeadline, [] {
    for (bool tap_first : {false, true}) {
      SCOPED_TRACE(tap_first ? "tap first" : "tap second");
      auto pushes = std::make_shared<std::atomic<int>>(0);
      auto finalizes = std::make_shared<std::atomic<int>>(0);
      auto tap = std::make_unique<TapNode<CountingSink>>(CountingSink{pushes, finalizes}, NodeKind::Packet);
      PipelineHarness h;
      if (tap_first) {
        ASSERT_TRUE(h.build(nodes(std::move(tap), ident())).has_value());
      } else {
        ASSERT_TRUE(h.build(nodes(ident(), std::move(tap))).has_value());
      }
      for (int i = 0; i < 3; ++i) ASSERT_TRUE(h.p().push_frame(pkt(i)).has_value());
      h.shutdown();  // returns only once both stages ended
      EXPECT_EQ(pushes->load(), 3);
      EXPECT_EQ(finalizes->load(), tap_first ? 0 : 1);
    }
  });
}

TEST(AsyncDynPipeline, ManyBuffersFromTwoThreadsThroughFourStages) {
  within(std::chrono::milliseconds(60000), [] {
    constexpr int kPerThread = 20000;
    PipelineHarness h;
    ASSERT_TRUE(h.build(nodes(ident(), std::make_unique<LaggingNode>(), ident(), ident())).has_value());
    auto [producer, consumer] = std::move(h.p()).split();
    auto shared = std::make_shared<AsyncDynPipelineProducer>(std::move(producer));
    std::mutex mu;  // producers are one owner: serialise their pushes
    auto feed = [&](int base) {
      for (int i = 0; i < kPerThread; ++i) {
        std::lock_guard lock(mu);
        ASSERT_TRUE(shared->push_frame(pkt(base + i)).has_value());
      }
    };
    std::thread a(feed, 0), b(feed, 1'000'000);
    std::vector<std::int64_t> next = {0, 1'000'000};
    int received = 0;
    auto consume = [&]() -> rt::Task<void> {
      while (received < 2 * kPerThread) {
        auto r = co_await consumer.get_frame();
        if (!r) {
          ADD_FAILURE() << r.error().to_string();
          co_return;
        }
        std::int64_t t = tag_of(*r);
        auto& n = next[t >= 1'000'000];
        EXPECT_EQ(t, n) << "lost or reordered";
        n = t + 1;
        ++received;
      }
    };
    std::thread flusher([&] {
      a.join();
      b.join();
      std::lock_guard lock(mu);
      ASSERT_TRUE(shared->flush().has_value());  // releases the lagging node's last buffer
    });
    h.runtime->block_on(consume());
    flusher.join();
    EXPECT_EQ(received, 2 * kPerThread);
    expect_err(h.runtime->block_on(consumer.get_frame()), CodecError::eof());
    shared.reset();
  });
}

}  // namespace
}  // namespace kestrune

#include "pipeline/node/tap_node.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "pipeline/node/pipeline_test_util.hpp"

namespace kestrune {
namespace {

using testing_util::pcm;
using testing_util::pkt;
using testing_util::tag_of;

TEST(IdentityNode, OpenFlushedReset) {
  IdentityNode n(NodeKind::Pcm);
  EXPECT_EQ(n.pull().error(), CodecError::again());
  ASSERT_TRUE(n.push(pcm(1)).has_value());
  auto refused = n.push(pkt(2));
  EXPECT_EQ(refused.error(), CodecError::invalid_data("identity node buffer kind mismatch"));
  ASSERT_TRUE(n.push(std::nullopt).has_value());
  EXPECT_EQ(n.push(std::nullopt).error(), CodecError::invalid_state("already flushed"));
  EXPECT_EQ(n.push(pcm(3)).error(), CodecError::invalid_state("already flushed"));
  auto first = n.pull();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(tag_of(*first), 1);  // the queue kept only the accepted buffer
  EXPECT_EQ(n.pull().error(), CodecError::eof());
  EXPECT_EQ(n.pull().error(), CodecError::eof());
  ASSERT_TRUE(n.reset().has_value());
  EXPECT_EQ(n.pull().error(), CodecError::again());
  EXPECT_TRUE(n.push(std::nullopt).has_value());
  EXPECT_EQ(n.pull().error(), CodecError::eof());
}

struct RecordingSink {
  std::vector<std::int64_t>* pushed;
  int* finalized;
  int refuse_at = -1;  // index of the push to refuse
  int pushes = 0;
  std::vector<NodeBuffer>* copies = nullptr;

  RunnerStatus push(NodeBuffer b) {
    if (pushes++ == refuse_at) return std::unexpected(RunnerError::invalid_data("sink is full"));
    pushed->push_back(tag_of(b));
    if (copies) copies->push_back(std::move(b));
    return {};
  }
  RunnerStatus finalize() {
    ++*finalized;
    return {};
  }
};

TEST(TapNode, SinkGetsCopiesAndRefusedBuffersAreNotForwarded) {
  std::vector<std::int64_t> pushed;
  std::vector<NodeBuffer> copies;
  int finalized = 0;
  TapNode<RecordingSink> tap(RecordingSink{&pushed, &finalized, 1, 0, &copies}, NodeKind::Pcm);
  EXPECT_STREQ(tap.name(), "tap");
  ASSERT_TRUE(tap.push(pcm(1)).has_value());
  auto refused = tap.push(pcm(2));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind, CodecError::Kind::Other);
  EXPECT_EQ(refused.error().message, "tap node sink error: invalid data: sink is full");
  EXPECT_EQ(tap.push(pkt(3)).error(), CodecError::invalid_data("tap node buffer kind mismatch"));
  auto out = tap.pull();
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(tag_of(*out), 1);
  EXPECT_EQ(tap.pull().error(), CodecError::again());
  EXPECT_EQ(pushed, (std::vector<std::int64_t>{1}));
  // The sink's copy shares no bytes with the forwarded buffer.
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_NE(copies[0].pcm().planes()[0].data(), out->pcm().planes()[0].data());
  EXPECT_EQ(copies[0].pcm().planes(), out->pcm().planes());
}

TEST(TapNode, FinalizesOncePerFlushCycle) {
  std::vector<std::int64_t> pushed;
  int finalized = 0;
  TapNode<RecordingSink> tap(RecordingSink{&pushed, &finalized}, NodeKind::Packet);
  ASSERT_TRUE(tap.push(pkt(1)).has_value());
  ASSERT_TRUE(tap.push(std::nullopt).has_value());
  EXPECT_EQ(tap.push(std::nullopt).error(), CodecError::invalid_state("tap node already flushed"));
  EXPECT_EQ(tap.push(pkt(2)).error(), CodecError::invalid_state("tap node already flushed"));
  EXPECT_EQ(finalized, 1);
  EXPECT_EQ(tag_of(*tap.pull()), 1);
  EXPECT_EQ(tap.pull().error(), CodecError::eof());
  ASSERT_TRUE(tap.reset().has_value());
  ASSERT_TRUE(tap.push(std::nullopt).has_value());
  EXPECT_EQ(finalized, 2);
}

struct FailingFinalizeSink {
  int* calls;
  RunnerStatus push(NodeBuffer) { return {}; }
  RunnerStatus finalize() {
    ++*calls;
    return std::unexpected(RunnerError::invalid_state("disk gone"));
  }
};

TEST(TapNode, FailedFinalizeStillMarksFlushed) {
  int calls = 0;
  TapNode<FailingFinalizeSink> tap(FailingFinalizeSink{&calls}, NodeKind::Pcm);
  auto r = tap.push(std::nullopt);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, "tap node sink error: invalid state: disk gone");
  EXPECT_EQ(tap.push(std::nullopt).error(), CodecError::invalid_state("tap node already flushed"));
  EXPECT_EQ(tap.pull().error(), CodecError::eof());
  EXPECT_EQ(calls, 1);
}

TEST(NodeBuffer, CloneSharesNoBytes) {
  NodeBuffer a = pcm(5, 16);
  a.pcm().planes()[0][0] = 0x7f;
  NodeBuffer b = a.clone();
  EXPECT_EQ(b.pcm().planes(), a.pcm().planes());
  b.pcm().planes()[0][0] = 0x01;
  EXPECT_EQ(a.pcm().planes()[0][0], 0x7f);
  NodeBuffer p = pkt(9);
  NodeBuffer q = p.clone();
  q.packet().data[0] = 0xee;
  EXPECT_EQ(p.packet().data[0], 9);
  EXPECT_EQ(q.packet().pts, 9);
}

}  // namespace
}  // namespace kestrune

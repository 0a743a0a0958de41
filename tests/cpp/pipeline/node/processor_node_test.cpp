#include "pipeline/node/processor_node.hpp"

#include <gtest/gtest.h>

#include "../../codec/processor/pcm_test_util.hpp"
#include "codec/processor/gain_processor.hpp"
#include "codec/processor/identity_processor.hpp"
#include "codec/processor/resample_processor.hpp"

namespace kestrune {
namespace {

using namespace kestrune::test;

const AudioFormat kFmt = format_of<std::int16_t>(48000, 1, true);

// Both adapters behave the same; run the same script over each.
void check_node(DynNode& node, const char* name) {
  EXPECT_STREQ(node.name(), name);
  EXPECT_EQ(node.input_kind(), NodeKind::Pcm);
  EXPECT_EQ(node.output_kind(), NodeKind::Pcm);
  EXPECT_EQ(node.pull().error(), CodecError::again());

  CodecPacket pkt;
  pkt.data = {1, 2, 3};
  EXPECT_EQ(node.push(NodeBuffer(std::move(pkt))).error(), CodecError::invalid_data("processor expects PCM input"));

  ASSERT_TRUE(node.push(NodeBuffer(make_frame<std::int16_t>(kFmt, {{10, -10}}, 5, {1, 48000}))));
  // The processor's own answers come back unchanged.
  EXPECT_EQ(node.push(NodeBuffer(make_frame<std::int16_t>(kFmt, {{1}}))).error(), CodecError::again());
  auto out = node.pull();
  ASSERT_TRUE(out);
  ASSERT_TRUE(out->is_pcm());
  EXPECT_EQ(out->pcm().pts(), 5);
  EXPECT_EQ(channels_of<std::int16_t>(out->pcm())[0], (std::vector<std::int16_t>{20, -20}));
  ASSERT_TRUE(node.push(std::nullopt));
  EXPECT_EQ(node.pull().error(), CodecError::eof());
  EXPECT_EQ(node.push(std::nullopt).error(), CodecError::invalid_state("already flushed"));
  ASSERT_TRUE(node.reset());
  ASSERT_TRUE(node.push(NodeBuffer(make_frame<std::int16_t>(kFmt, {{1}}))));
}

TEST(ProcessorNode, ForwardsToItsProcessor) {
  ProcessorNode<GainProcessor> node(*GainProcessor::create(kFmt, 2.0));
  check_node(node, "gain");
  EXPECT_EQ(node.processor().gain(), 2.0);
}

TEST(BoxedProcessorNode, ForwardsToItsProcessor) {
  BoxedProcessorNode node(std::make_unique<GainProcessor>(*GainProcessor::create(std::nullopt, 2.0)));
  check_node(node, "gain");
}

TEST(ProcessorNode, NameFollowsTheProcessor) {
  BoxedDynNode id = std::make_unique<BoxedProcessorNode>(std::make_unique<IdentityProcessor>());
  EXPECT_STREQ(id->name(), "identity");
  ProcessorNode<ResampleProcessor> rs(ResampleProcessor::create_deferred(format_of<float>(16000, 1, true)));
  EXPECT_STREQ(rs.name(), "resample(linear)");
  ASSERT_TRUE(rs.push(NodeBuffer(make_frame<float>(format_of<float>(48000, 1, true), {std::vector<float>(48, 0.0f)}))));
  EXPECT_STREQ(rs.name(), "resample(ffmpeg)");
}

}  // namespace
}  // namespace kestrune

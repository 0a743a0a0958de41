#include "pipeline/node/codec_node.hpp"

#include <gtest/gtest.h>

#include "codec/decoder/mp3_decoder.hpp"
#include "codec/decoder/wav_decoder.hpp"
#include "codec/encoder/wav_encoder.hpp"

namespace kestrune {
namespace {

const AudioFormat kFmt{8000, SampleFormat::I16(false), 1, 0x4};

AudioFrame frame_of(std::size_t n) { return *AudioFrame::from_planes(kFmt, n, 1, 8000, 0, {Bytes(2 * n, 7)}); }

CodecPacket packet_of(std::size_t bytes) {
  CodecPacket p;
  p.data.assign(bytes, 7);
  p.time_base = {1, 8000};
  return p;
}

TEST(CodecNodes, PassItemsStraightThrough) {
  BoxedEncoderNode enc(std::make_unique<WavEncoder>());
  BoxedDecoderNode dec(std::make_unique<WavDecoder>(kFmt));
  EXPECT_EQ(enc.name(), std::string("pcm(wav)"));
  EXPECT_EQ(enc.input_kind(), NodeKind::Pcm);
  EXPECT_EQ(enc.output_kind(), NodeKind::Packet);
  EXPECT_EQ(dec.input_kind(), NodeKind::Packet);
  EXPECT_EQ(dec.output_kind(), NodeKind::Pcm);
  EXPECT_EQ(BoxedDecoderNode(*ffmpeg_backend::Mp3Decoder::create()).name(), std::string("mp3(ffmpeg)"));

  // No re-chunking: a 300-sample frame comes back as one 300-sample frame.
  ASSERT_TRUE(enc.push(NodeBuffer(frame_of(300))));
  auto pkt = enc.pull();
  ASSERT_TRUE(pkt && pkt->is_packet());
  EXPECT_EQ(pkt->packet().data.size(), 600u);
  EXPECT_EQ(enc.pull().error().kind, CodecError::Kind::Again);
  ASSERT_TRUE(dec.push(std::move(*pkt)));
  auto pcm = dec.pull();
  ASSERT_TRUE(pcm && pcm->is_pcm());
  EXPECT_EQ(pcm->pcm().nb_samples(), 300u);

  ASSERT_TRUE(enc.push(std::nullopt));
  EXPECT_EQ(enc.pull().error().kind, CodecError::Kind::Eof);
  ASSERT_TRUE(dec.push(std::nullopt));
  EXPECT_EQ(dec.pull().error().kind, CodecError::Kind::Eof);
}

TEST(CodecNodes, WrongKindIsRefused) {
  BoxedEncoderNode enc(std::make_unique<WavEncoder>());
  BoxedDecoderNode dec(std::make_unique<WavDecoder>(kFmt));
  EXPECT_EQ(enc.push(NodeBuffer(packet_of(4))).error(), CodecError::invalid_data("encoder expects PCM input"));
  EXPECT_EQ(dec.push(NodeBuffer(frame_of(4))).error(), CodecError::invalid_data("decoder expects Packet input"));
  // Nothing reached the codecs.
  EXPECT_EQ(enc.pull().error().kind, CodecError::Kind::Again);
  EXPECT_EQ(dec.pull().error().kind, CodecError::Kind::Again);
}

TEST(CodecNodes, NodeResetLeavesTheCodecAlone) {
  BoxedEncoderNode enc(std::make_unique<WavEncoder>());
  BoxedDecoderNode dec(std::make_unique<WavDecoder>(kFmt));
  ASSERT_TRUE(enc.push(std::nullopt));
  ASSERT_TRUE(dec.push(std::nullopt));
  ASSERT_TRUE(enc.reset());
  ASSERT_TRUE(dec.reset());
  EXPECT_EQ(enc.push(NodeBuffer(frame_of(4))).error(), CodecError::invalid_state("already flushed"));
  EXPECT_EQ(dec.push(NodeBuffer(packet_of(4))).error(), CodecError::invalid_state("already flushed"));
}

}  // namespace
}  // namespace kestrune

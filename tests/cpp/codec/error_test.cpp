#include "codec/error.hpp"

#include <gtest/gtest.h>

#include "common/ffmpeg_util.hpp"
#include "common/io/io.hpp"
#include "runner/error.hpp"

extern "C" {
#include <libavutil/error.h>
}

namespace kestrune {
namespace {

TEST(ErrorDisplay, CodecErrorTexts) {
  EXPECT_EQ(CodecError::again().to_string(), "again (EAGAIN): need to drive codec state machine");
  EXPECT_EQ(CodecError::eof().to_string(), "end of stream (EOF)");
  EXPECT_EQ(CodecError::invalid_state("already flushed").to_string(), "invalid state: already flushed");
  EXPECT_EQ(CodecError::invalid_data("x").to_string(), "invalid data: x");
  EXPECT_EQ(CodecError::unsupported("no lame").to_string(), "unsupported: no lame");
  EXPECT_EQ(CodecError::other("free text").to_string(), "free text");
}

TEST(ErrorDisplay, IoAndRunnerWrapping) {
  EXPECT_EQ(AudioIOError::format("not RIFF").to_string(), "format error: not RIFF");
  EXPECT_EQ(AudioIOError::short_read().to_string(), "io error: failed to fill whole buffer");
  EXPECT_EQ(AudioIOError::from_codec(CodecError::eof()).to_string(), "codec error: end of stream (EOF)");
  EXPECT_EQ(RunnerError::invalid_state("x").to_string(), "invalid state: x");
  EXPECT_EQ(RunnerError::invalid_data("y").to_string(), "invalid data: y");
  EXPECT_EQ(RunnerError::from_codec(CodecError::eof()).to_string(), "codec error: end of stream (EOF)");
  EXPECT_EQ(RunnerError::from_io(AudioIOError::format("not RIFF")).to_string(),
            "io error: format error: not RIFF");
}

TEST(FfmpegUtil, ErrorRule) {
  using namespace ffmpeg_backend;
  EXPECT_EQ(ff_error(AVERROR_EOF), CodecError::eof());
  EXPECT_EQ(ff_error(AVERROR(EAGAIN)), CodecError::again());
  EXPECT_TRUE(ff_check(0));
  EXPECT_TRUE(ff_check(7));
  for (int code : {AVERROR_INVALIDDATA, AVERROR(ENOMEM), -123456789}) {
    char buf[256] = {};
    av_strerror(code, buf, sizeof buf);
    EXPECT_EQ(ff_err_to_string(code), buf);
    EXPECT_EQ(ff_error(code), CodecError::other(buf));
  }
}

}  // namespace
}  // namespace kestrune

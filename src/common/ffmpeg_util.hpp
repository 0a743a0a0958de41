// FFmpeg glue shared by every FFmpeg-backed component: error texts, the
// return-code rule, single-owner handles for FFmpeg objects, and log muting.
#pragma once

#include <memory>
#include <string>

#include "codec/error.hpp"

extern "C" {
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct AVFormatContext;
struct AVCodecParserContext;
struct SwrContext;
}

namespace kestrune::ffmpeg_backend {

// The text av_strerror writes for `code`.
std::string ff_err_to_string(int code);

// AVERROR_EOF -> Eof, AVERROR(EAGAIN) -> Again, other negatives -> Other.
CodecError ff_error(int code);
// Ok for non-negative codes, the mapped error otherwise.
CodecStatus ff_check(int code);

// FFmpeg logs to stderr by default; this library reports through its own
// error values only. Idempotent and thread-safe.
void silence_ffmpeg_log();

struct CodecContextDeleter { void operator()(AVCodecContext* p) const; };
struct FrameDeleter { void operator()(AVFrame* p) const; };
struct PacketDeleter { void operator()(AVPacket* p) const; };
struct ParserDeleter { void operator()(AVCodecParserContext* p) const; };
struct SwrDeleter { void operator()(SwrContext* p) const; };
// Input contexts (opened with avformat_open_input).
struct InputFormatDeleter { void operator()(AVFormatContext* p) const; };
// Output contexts: closes the AVIO handle (if any) and frees the context.
struct OutputFormatDeleter { void operator()(AVFormatContext* p) const; };

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatDeleter>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;

// Allocation helpers returning the fixed "... failed" errors.
CodecResult<FramePtr> alloc_frame();
CodecResult<PacketPtr> alloc_packet();

}  // namespace kestrune::ffmpeg_backend

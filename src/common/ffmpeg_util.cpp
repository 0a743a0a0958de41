#include "common/ffmpeg_util.hpp"

#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

namespace kestrune::ffmpeg_backend {

namespace {
// Replaces invalid UTF-8 sequences with U+FFFD.
std::string sanitize_utf8(const char* s, std::size_t n) {
  std::string out;
  out.reserve(n);
  std::size_t i = 0;
  auto cont = [&](std::size_t k) { return k < n && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80; };
  while (i < n) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool ok = len > 0 && (len == 1 || c >= 0xC2);
    for (std::size_t k = 1; ok && k < len; ++k) ok = cont(i + k);
    if (ok) {
      out.append(s + i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}
}  // namespace

std::string ff_err_to_string(int code) {
  char buf[256];
  std::memset(buf, 0, sizeof buf);
  av_strerror(code, buf, sizeof buf);
  const void* nul = std::memchr(buf, 0, sizeof buf);
  if (!nul) return "ffmpeg error " + std::to_string(code);
  return sanitize_utf8(buf, static_cast<const char*>(nul) - buf);
}

CodecError ff_error(int code) {
  if (code == AVERROR_EOF) return CodecError::eof();
  if (code == AVERROR(EAGAIN)) return CodecError::again();
  return CodecError::other(ff_err_to_string(code));
}

CodecStatus ff_check(int code) {
  if (code >= 0) return {};
  return std::unexpected(ff_error(code));
}

void silence_ffmpeg_log() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

void CodecContextDeleter::operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
void FrameDeleter::operator()(AVFrame* p) const { av_frame_free(&p); }
void PacketDeleter::operator()(AVPacket* p) const { av_packet_free(&p); }
void ParserDeleter::operator()(AVCodecParserContext* p) const { av_parser_close(p); }
void SwrDeleter::operator()(SwrContext* p) const { swr_free(&p); }
void InputFormatDeleter::operator()(AVFormatContext* p) const { avformat_close_input(&p); }
void OutputFormatDeleter::operator()(AVFormatContext* p) const {
  if (p->pb && !(p->oformat->flags & AVFMT_NOFILE)) avio_closep(&p->pb);
  avformat_free_context(p);
}

CodecResult<FramePtr> alloc_frame() {
  FramePtr f(av_frame_alloc());
  if (!f) return std::unexpected(CodecError::other("av_frame_alloc failed"));
  return f;
}

CodecResult<PacketPtr> alloc_packet() {
  PacketPtr p(av_packet_alloc());
  if (!p) return std::unexpected(CodecError::other("av_packet_alloc failed"));
  return p;
}

}  // namespace kestrune::ffmpeg_backend

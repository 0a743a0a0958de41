// Test helpers for the codec tests: signals, temporary files, the ffmpeg
// command-line tool, and a small libavformat demuxer/muxer so packets can be
// exchanged with FFmpeg's own container code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "codec/packet.hpp"
#include "common/audio/audio.hpp"

namespace kestrune::testutil {

// A sine of `freq` Hz and peak amplitude `amp` (full scale 1.0), the same in
// every channel except for a small per-channel phase shift, in `f`'s layout
// and sample type. pts = `pts`, time base 1/sample rate.
AudioFrame sine_frame(const AudioFormat& f, std::size_t n, double freq = 440.0, double amp = 0.5,
                      std::size_t start = 0, std::optional<std::int64_t> pts = std::nullopt);

// Sample i of channel c as a double in [-1, 1) (any layout, any type).
double sample_at(const AudioFrameView& f, std::size_t c, std::size_t i);
// Root mean square of channel c.
double rms(const AudioFrameView& f, std::size_t c);

// A fresh directory under the system temp dir, removed on destruction.
struct TempDir {
  TempDir();
  ~TempDir();
  std::filesystem::path path;
  std::string file(const std::string& name) const { return (path / name).string(); }
};

// Runs a shell command with stdout/stderr discarded; returns its exit code.
int run(const std::string& cmd);
std::vector<std::uint8_t> read_file(const std::string& path);

struct Demuxed {
  std::vector<CodecPacket> packets;
  Bytes extradata;
  int sample_rate = 0;
  int channels = 0;
};
// The packets of the first audio stream of `path` (pts in the stream's time
// base), via libavformat.
Demuxed demux(const std::string& path);

// Writes `packets` into a container ("adts", "mp3", "flac", "ogg") via
// libavformat, so that the ffmpeg tool can read them. Returns false on any
// FFmpeg failure.
bool mux(const std::string& path, const char* format, const char* codec_name, int sample_rate, int channels,
         ByteSpan extradata, const std::vector<CodecPacket>& packets);

// Decodes `path` with the ffmpeg tool to interleaved f32 at its own rate and
// channel count; nullopt when ffmpeg reports an error.
std::optional<std::vector<float>> ffmpeg_decode_f32(const std::string& path, int channels);
std::optional<std::vector<std::int16_t>> ffmpeg_decode_s16(const std::string& path, int channels);

}  // namespace kestrune::testutil

// Raw AAC in ADTS framing. The ADTS layer is our own: the reader scans for
// headers, strips them and configures the decoder from the first one; the
// writer puts a 7-byte header built from the encoder's AudioSpecificConfig
// in front of every access unit.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "codec/encoder/aac_encoder.hpp"
#include "common/audio/fifo.hpp"
#include "common/io/file/file_stream.hpp"
#include "common/io/io.hpp"

namespace kestrune {

namespace ffmpeg_backend {
class AacDecoder;
}

struct AdtsHeader {
  std::size_t offset = 0;        // of the sync word
  std::size_t header_len = 7;    // 7, or 9 with CRC
  std::size_t frame_len = 0;     // whole frame including the header
  std::uint8_t profile = 0;      // audio object type - 1
  std::uint8_t sf_index = 0;     // sampling_frequency_index
  std::uint8_t channel_config = 0;
  std::uint8_t raw_blocks = 0;   // number_of_raw_data_blocks (blocks - 1)
};

// The first plausible ADTS header at or after `start` (sync word and a
// frame length covering at least the header), or nullopt.
std::optional<AdtsHeader> find_next_adts(ByteSpan data, std::size_t start);

// MPEG-4 sampling frequency of index 0..12, 0 for any other index.
std::uint32_t adts_sample_rate(std::uint8_t index);

class AacAdtsReader final : public AudioReader {
 public:
  static IoResult<AacAdtsReader> open(const std::string& path);

  AacAdtsReader(AacAdtsReader&&) noexcept;
  AacAdtsReader& operator=(AacAdtsReader&&) noexcept;
  ~AacAdtsReader() override;

  IoResult<std::optional<AudioFrame>> next_frame() override;

 private:
  AacAdtsReader();

  FileImage file_;
  std::size_t pos_ = 0;
  std::unique_ptr<ffmpeg_backend::AacDecoder> decoder_;
  TimeBase packet_time_base_{1, 1};
  std::int64_t next_pts_ = 0;
  bool flushed_ = false;
};

class AacAdtsWriter final : public AudioWriter {
 public:
  // The file is created by the caller (AudioFileWriter::create).
  AacAdtsWriter(OutputFile out, const AacAdtsWriterConfig& config) : output_(std::move(out)), config_(config) {}

  IoStatus write_frame(const AudioFrameView& frame) override;
  IoStatus finalize() override;

  static constexpr std::size_t kFrameSamples = 1024;
  // Samples per channel waiting in the re-chunking FIFO for a full frame.
  std::size_t buffered_samples() const { return inner_ ? inner_->fifo.available_samples() : 0; }

  struct Inner {
    std::unique_ptr<ffmpeg_backend::AacEncoder> encoder;
    AudioFifo fifo;
    std::size_t frame_size = kFrameSamples;
    Bytes asc;  // the encoder's AudioSpecificConfig
  };

 private:
  IoStatus initialize(const AudioFrameView& frame);
  IoStatus send(const AudioFrameView& frame);

  OutputFile output_;
  AacAdtsWriterConfig config_;
  std::optional<Inner> inner_;
  Bytes scratch_;
};

// The 7-byte ADTS header (no CRC) for a payload of `payload_len` bytes, from
// the first two bytes of an AudioSpecificConfig; Format "invalid ASC" when
// the config cannot be expressed in ADTS.
IoResult<std::array<std::uint8_t, 7>> adts_header_for(ByteSpan asc, std::size_t payload_len);

// Moves every ready packet into the file, each behind its ADTS header.
IoStatus drain_packets_inner(AacAdtsWriter::Inner& inner, OutputFile& file, Bytes& scratch, bool until_eof = false);
// One ADTS header plus the packet bytes, written and pushed to the file.
IoStatus write_one_packet_inner(ByteSpan asc, OutputFile& file, const CodecPacket& packet, Bytes& scratch);

}  // namespace kestrune

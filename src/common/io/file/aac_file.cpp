#include "common/io/file/aac_file.hpp"

#include "codec/decoder/aac_decoder.hpp"
#include "codec/format_report.hpp"

namespace kestrune {

namespace {

IoStatus codec_err(CodecError e) { return std::unexpected(AudioIOError::from_codec(std::move(e))); }
IoStatus format_err(const char* m) { return std::unexpected(AudioIOError::format(m)); }

constexpr std::uint32_t kSampleRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                            22050, 16000, 12000, 11025, 8000,  7350};

// ADTS frame_length is a 13-bit field.
constexpr std::size_t kMaxAdtsFrame = 8191;
constexpr int kMaxDrainRetries = 1000;

}  // namespace

std::uint32_t adts_sample_rate(std::uint8_t index) { return index < 13 ? kSampleRates[index] : 0; }

std::optional<AdtsHeader> find_next_adts(ByteSpan d, std::size_t start) {
  for (std::size_t i = start; i + 7 <= d.size(); ++i) {
    if (d[i] != 0xFF || d[i + 1] < 0xF0) continue;
    AdtsHeader h;
    h.offset = i;
    h.header_len = (d[i + 1] & 1) ? 7 : 9;
    h.frame_len = (static_cast<std::size_t>(d[i + 3] & 0x03) << 11) | (static_cast<std::size_t>(d[i + 4]) << 3) |
                  (d[i + 5] >> 5);
    if (h.frame_len < h.header_len) continue;
    h.profile = static_cast<std::uint8_t>(d[i + 2] >> 6);
    h.sf_index = static_cast<std::uint8_t>((d[i + 2] >> 2) & 0x0F);
    h.channel_config = static_cast<std::uint8_t>(((d[i + 2] & 1) << 2) | (d[i + 3] >> 6));
    h.raw_blocks = static_cast<std::uint8_t>(d[i + 6] & 0x03);
    return h;
  }
  return std::nullopt;
}

AacAdtsReader::AacAdtsReader() = default;
AacAdtsReader::AacAdtsReader(AacAdtsReader&&) noexcept = default;
AacAdtsReader& AacAdtsReader::operator=(AacAdtsReader&&) noexcept = default;
AacAdtsReader::~AacAdtsReader() = default;

IoResult<AacAdtsReader> AacAdtsReader::open(const std::string& path) {
  auto file = read_whole_file(path);
  if (!file) return std::unexpected(file.error());
  AacAdtsReader r;
  r.file_ = std::move(*file);
  const ByteSpan data(r.file_.bytes.data(), r.file_.size);
  const auto h = find_next_adts(data, 0);
  if (!h) return std::unexpected(AudioIOError::format("no ADTS header found"));
  if (h->sf_index >= 13) return std::unexpected(AudioIOError::format("invalid samplingFrequencyIndex"));
  const std::uint32_t rate = kSampleRates[h->sf_index];
  Bytes asc{static_cast<std::uint8_t>(((h->profile + 1) << 3) | (h->sf_index >> 1)),
            static_cast<std::uint8_t>(((h->sf_index & 1) << 7) | (h->channel_config << 3))};
  auto decoder = ffmpeg_backend::AacDecoder::create(std::move(asc));
  if (!decoder) return std::unexpected(AudioIOError::from_codec(std::move(decoder.error())));
  r.decoder_ = std::move(*decoder);
  r.packet_time_base_ = {1, static_cast<std::int32_t>(rate)};
  return r;
}

IoResult<std::optional<AudioFrame>> AacAdtsReader::next_frame() {
  const ByteSpan data(file_.bytes.data(), file_.size);
  for (;;) {
    auto frame = decoder_->receive_frame();
    if (frame) return std::optional<AudioFrame>(std::move(*frame));
    if (frame.error().is_eof()) return std::optional<AudioFrame>{};
    if (!frame.error().is_again()) return std::unexpected(AudioIOError::from_codec(std::move(frame.error())));

    if (pos_ < data.size()) {
      const auto h = find_next_adts(data, pos_);
      if (h && h->offset + h->frame_len <= data.size()) {
        CodecPacket p;
        p.data.assign(data.begin() + static_cast<std::ptrdiff_t>(h->offset + h->header_len),
                      data.begin() + static_cast<std::ptrdiff_t>(h->offset + h->frame_len));
        pos_ = h->offset + h->frame_len;
        const std::int64_t duration = (static_cast<std::int64_t>(h->raw_blocks) + 1) * 1024;
        p.time_base = packet_time_base_;
        p.pts = next_pts_;
        p.duration = duration;
        next_pts_ += duration;
        if (auto s = decoder_->send_packet(std::move(p)); !s)
          return std::unexpected(AudioIOError::from_codec(std::move(s.error())));
        continue;
      }
      // No further header, or a frame cut short by the end of the file.
      pos_ = data.size();
    }
    if (flushed_) return std::optional<AudioFrame>{};
    flushed_ = true;
    if (auto s = decoder_->send_packet(std::nullopt); !s)
      return std::unexpected(AudioIOError::from_codec(std::move(s.error())));
  }
}

IoResult<std::array<std::uint8_t, 7>> adts_header_for(ByteSpan asc, std::size_t payload_len) {
  if (asc.size() < 2) return std::unexpected(AudioIOError::format("invalid ASC"));
  const unsigned object_type = asc[0] >> 3;
  const unsigned sf_index = ((asc[0] & 7u) << 1) | (asc[1] >> 7);
  const unsigned channels = (asc[1] >> 3) & 15u;
  // The profile field holds object types 1..4 only; anything else would be
  // written as a different profile.
  if (object_type < 1 || object_type > 4 || sf_index == 15) return std::unexpected(AudioIOError::format("invalid ASC"));
  const std::size_t len = payload_len + 7;
  if (len > kMaxAdtsFrame) return std::unexpected(AudioIOError::format("AAC packet too large for an ADTS frame"));
  return std::array<std::uint8_t, 7>{
      0xFF,
      0xF1,
      static_cast<std::uint8_t>(((object_type - 1) << 6) | (sf_index << 2) | (channels >> 2)),
      static_cast<std::uint8_t>(((channels & 3) << 6) | ((len >> 11) & 3)),
      static_cast<std::uint8_t>((len >> 3) & 0xFF),
      static_cast<std::uint8_t>(((len & 7) << 5) | 0x1F),
      0xFC,
  };
}

IoStatus write_one_packet_inner(ByteSpan asc, OutputFile& file, const CodecPacket& packet, Bytes& scratch) {
  auto header = adts_header_for(asc, packet.data.size());
  if (!header) return std::unexpected(header.error());
  // Header and payload go out in one write, straight to the file.
  scratch.assign(header->begin(), header->end());
  scratch.insert(scratch.end(), packet.data.begin(), packet.data.end());
  if (auto s = file.write_all(scratch.data(), scratch.size()); !s) return s;
  return file.flush();
}

IoStatus drain_packets_inner(AacAdtsWriter::Inner& inner, OutputFile& file, Bytes& scratch, bool until_eof) {
  int retries = 0;
  for (;;) {
    auto p = inner.encoder->receive_packet();
    if (p) {
      retries = 0;
      if (auto s = write_one_packet_inner(inner.asc, file, *p, scratch); !s) return s;
      continue;
    }
    if (p.error().is_again()) {
      if (!until_eof) return {};
      if (++retries > kMaxDrainRetries) return codec_err(CodecError::other("encoder stalled after end of input"));
      continue;
    }
    if (until_eof && p.error().is_eof()) return {};
    return codec_err(std::move(p.error()));
  }
}

IoStatus AacAdtsWriter::initialize(const AudioFrameView& frame) {
  const AudioFormat f = frame.format();
  if (config_.input_format != f) {
    report_input_format_mismatch("AAC-ADTS writer", config_.input_format, f);
    return format_err("AAC-ADTS writer input AudioFormat mismatch");
  }
  auto encoder = ffmpeg_backend::AacEncoder::create({config_.input_format, config_.bitrate});
  if (!encoder) return codec_err(std::move(encoder.error()));
  const ByteSpan asc = (*encoder)->is_initialized() ? (*encoder)->extradata() : ByteSpan{};
  if (asc.empty())
    return codec_err(CodecError::unsupported("AAC encoder did not provide ASC/extradata (need ffmpeg backend)"));
  Bytes asc_copy(asc.begin(), asc.end());
  const AudioFormat& fmt = config_.input_format;
  auto fifo = AudioFifo::create(fmt, 1, static_cast<std::int32_t>(fmt.sample_rate));
  if (!fifo || fmt.sample_rate == 0) return format_err("failed to create AudioFifo");
  inner_.emplace(Inner{std::move(*encoder), std::move(*fifo), kFrameSamples, std::move(asc_copy)});
  return {};
}

IoStatus AacAdtsWriter::send(const AudioFrameView& frame) {
  if (auto s = inner_->encoder->send_frame(&frame); !s) return codec_err(std::move(s.error()));
  return drain_packets_inner(*inner_, output_, scratch_);
}

IoStatus AacAdtsWriter::write_frame(const AudioFrameView& frame) {
  if (frame.nb_samples() == 0) return {};
  if (!inner_)
    if (auto s = initialize(frame); !s) return s;
  if (!inner_->fifo.push_frame(frame)) return format_err("AudioFifo push failed (format mismatch?)");
  for (;;) {
    auto popped = inner_->fifo.pop_frame(inner_->frame_size);
    if (!popped) return format_err("AudioFifo pop failed");
    if (!*popped) return {};
    if (auto s = send(**popped); !s) return s;
  }
}

IoStatus AacAdtsWriter::finalize() {
  if (!inner_) return {};
  if (const std::size_t n = inner_->fifo.available_samples(); n > 0) {
    auto popped = inner_->fifo.pop_frame(n);
    if (!popped || !*popped) return format_err("AudioFifo pop last failed");
    if (auto s = send(**popped); !s) return s;
  }
  if (auto s = inner_->encoder->send_frame(nullptr); !s) return codec_err(std::move(s.error()));
  return drain_packets_inner(*inner_, output_, scratch_, true);
}

}  // namespace kestrune

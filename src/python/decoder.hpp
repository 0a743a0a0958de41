// Python Decoder, its five configuration classes and make_decoder_node.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>

#include "codec/decoder/decoder_interface.hpp"
#include "common/audio/fifo.hpp"
#include "python/format.hpp"
#include "python/guards.hpp"

namespace kestrune::python {

namespace py = pybind11;

// Shared by the AAC, MP3 and FLAC configurations (Opus adds extradata).
struct CompressedDecoderConfigFields {
  std::size_t chunk_samples = 0;
  std::int32_t packet_time_base_den = 48000;
};
struct AacDecoderConfigPy : CompressedDecoderConfigFields {};
struct Mp3DecoderConfigPy : CompressedDecoderConfigFields {};
struct FlacDecoderConfigPy : CompressedDecoderConfigFields {};
struct OpusDecoderConfigPy : CompressedDecoderConfigFields {
  std::optional<Bytes> extradata;
};
struct WavDecoderConfigPy {
  AudioFormat output_format;
  std::size_t chunk_samples = 0;
};

// Packets in, PCM re-chunked to chunk_samples out, always through a planar
// FIFO.
class Decoder {
 public:
  Decoder(const std::string& codec, py::handle config);

  void put_frame(py::handle frame);
  void put_packet(const CodecPacket& packet);
  void reset();
  py::object get_frame(bool force, const std::string& layout);
  py::object get_frame_info(bool force, const std::string& layout);
  std::size_t pending_samples() const;
  const char* state() const;
  py::object output_format() const;

  const std::string& codec() const { return codec_; }
  std::size_t chunk_samples() const { return chunk_samples_; }

 private:
  void drain();
  // The popped frame under the get_frame rules, or nullopt.
  std::optional<AudioFrame> take(bool force);

  std::optional<AudioFifo> fifo_;
  std::string codec_;
  BoxedDecoder decoder_;
  std::size_t chunk_samples_ = 0;
  TimeBase packet_time_base_{1, 48000};
  BusyFlag busy_;
};

void bind_decoder(py::module_& m);

}  // namespace kestrune::python

// Python Encoder, its five configuration classes and make_encoder_node.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "codec/encoder/encoder_interface.hpp"
#include "common/audio/fifo.hpp"
#include "python/format.hpp"
#include "python/guards.hpp"

namespace kestrune::python {

namespace py = pybind11;

struct WavEncoderConfigPy {
  std::optional<AudioFormat> input_format;
  std::size_t chunk_samples = 1024;
};
struct AacEncoderConfigPy {
  std::optional<AudioFormat> input_format;
  std::size_t chunk_samples = 1024;
  std::optional<std::uint32_t> bitrate;
};
struct Mp3EncoderConfigPy {
  std::optional<AudioFormat> input_format;
  std::size_t chunk_samples = 1152;
  std::optional<std::uint32_t> bitrate = 128000;
};
struct FlacEncoderConfigPy {
  std::optional<AudioFormat> input_format;
  std::size_t chunk_samples = 4096;
  std::optional<std::int32_t> compression_level;
};
struct OpusEncoderConfigPy {
  std::optional<AudioFormat> input_format;
  std::size_t chunk_samples = 960;
  std::optional<std::uint32_t> bitrate = 96000;
};

// Encodes everything in `fifo` that forms whole chunks of `chunk_samples`
// (and, with `force`, the partial rest), appending the packets to `out`.
CodecStatus push_encoder_from_fifo(AudioEncoder& encoder, AudioFifo& fifo, std::size_t chunk_samples,
                                   std::deque<CodecPacket>& out, bool force);

// PCM in (buffered in a FIFO in the locked layout), packets out; nothing is
// encoded until a packet is taken.
class Encoder {
 public:
  Encoder(const std::string& codec, py::handle config);

  void put_frame(py::handle pcm, std::optional<std::int64_t> pts, std::optional<AudioFormat> format);
  void reset();
  py::object get_frame(bool force);
  py::object get_packet(bool force);
  std::size_t pending_samples() const;
  const char* state() const;

  const std::string& codec() const { return codec_; }
  std::size_t chunk_samples() const { return chunk_samples_; }

 private:
  std::optional<CodecPacket> take(bool force);

  std::optional<AudioFifo> fifo_;
  std::string codec_;
  std::deque<CodecPacket> out_q_;
  std::optional<CoreFormat> locked_format_;
  std::optional<SampleType> locked_type_;
  BoxedEncoder encoder_;
  std::size_t chunk_samples_ = 0;
  bool flushed_ = false;
  bool format_fixed_ = false;
  BusyFlag busy_;
};

void bind_encoder(py::module_& m);

}  // namespace kestrune::python

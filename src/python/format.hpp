// The Python AudioFormat record and every conversion between NumPy arrays,
// Python formats and core frames.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/audio/audio.hpp"

namespace kestrune::python {

namespace py = pybind11;
using CoreFormat = ::kestrune::AudioFormat;

// Python-facing format record; fields are read-only from Python.
struct AudioFormat {
  std::uint32_t sample_rate = 0;
  std::uint16_t channels = 0;
  std::string sample_type;  // as given, not normalised
  bool planar = true;
  std::uint64_t channel_layout_mask = 0;
};

std::optional<SampleType> parse_sample_type(std::string_view text);
// "u8", "i16", ... (canonical lower case)
const char* sample_type_str(SampleType t);
// NumPy dtype attribute name: "uint8", "int16", ...
const char* numpy_dtype_name(SampleType t);

// Both raise ValueError("invalid sample_type") on an unparseable type.
SampleType core_sample_type(const AudioFormat& f);
CoreFormat to_core(const AudioFormat& f);
AudioFormat audio_format_from_core(const CoreFormat& f);
// 0x4 for mono, 0x3 for stereo, 0 otherwise.
std::uint64_t default_layout_mask(std::uint16_t channels);

// "planar" -> true, "interleaved" -> false (ASCII case-insensitive); else
// ValueError("layout 仅支持: planar/interleaved").
bool parse_layout(std::string_view layout);

// numpy.ascontiguousarray(pcm, dtype=numpy.<dtype_name>)
py::object ascontig_cast_2d(py::handle pcm, const char* dtype_name);
AudioFrame ndarray_to_frame_planar(py::handle array, const CoreFormat& f);
AudioFrame ndarray_to_frame_interleaved(py::handle array, const CoreFormat& f);
// The whole recipe: cast to the format's dtype, then convert by layout.
// The frame has no pts and time base 1/sample_rate.
AudioFrame numpy_to_frame(py::handle pcm, const CoreFormat& f);

// A new C-ordered array: (channels, samples) when planar_output, else
// (samples, channels).
py::array frame_to_numpy(const AudioFrameView& frame, bool planar_output);

// Interleaved frames are de-interleaved; planar frames pass through.
AudioResult<AudioFrame> ensure_planar_frame(AudioFrame frame);

// warnings.warn(text); a Python failure propagates as error_already_set.
void warnings_warn(const std::string& text);

// "wav"/"pcm" -> "wav", "mp3", "aac", "opus", "flac"; else nullopt.
std::optional<std::string> codec_from_str(std::string_view text);

void bind_format(py::module_& m);

}  // namespace kestrune::python

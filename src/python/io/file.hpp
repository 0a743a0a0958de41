// Python AudioFileReader and AudioFileWriter, and the hand-over of a file
// writer to the composite writers and sinks that take it.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/io/file/file.hpp"
#include "common/io/io.hpp"
#include "python/guards.hpp"

namespace kestrune::python {

namespace py = pybind11;

// "wav", "mp3", "aac"/"adts"/"aac_adts", "flac", "opus"/"opus_ogg"/"ogg_opus"
// (ASCII case-insensitive); else ValueError.
AudioFileFormat file_format_from_str(std::string_view text);

// The writer configuration for `format`, PCM of `input` and the options
// (those of other formats are ignored); ValueError on a rule violation.
AudioFileWriterConfig build_file_writer_cfg(AudioFileFormat format, const ::kestrune::AudioFormat& input,
                                            std::optional<std::uint32_t> bitrate,
                                            std::optional<std::int32_t> compression_level,
                                            const std::optional<std::string>& wav_output_format);

// Both classes are bound to the thread that created them: `owner_thread`
// is checked on every call, and a release on another thread leaks the file
// object (reported as unraisable) rather than closing it there.
struct AudioFileReaderPy {
  std::optional<AudioFileReader> reader;
  BusyFlag busy;
  std::uint64_t owner_thread = current_thread_token();

  AudioFileReaderPy() = default;
  AudioFileReaderPy(AudioFileReaderPy&&) = default;
  ~AudioFileReaderPy();
};

struct AudioFileWriterPy {
  std::optional<AudioFileWriter> writer;  // absent before lazy creation and after being taken
  std::string path;
  AudioFileFormat format = AudioFileFormat::Wav;
  std::optional<std::string> wav_output_format;
  std::optional<std::uint32_t> bitrate;
  std::optional<std::int32_t> compression_level;
  std::optional<::kestrune::AudioFormat> input_format;
  BusyFlag busy;
  std::uint64_t owner_thread = current_thread_token();

  AudioFileWriterPy() = default;
  AudioFileWriterPy(AudioFileWriterPy&&) = default;
  ~AudioFileWriterPy();

  // Moves the file writer out; RuntimeError "AudioFileWriter is not
  // initialized or already taken by ParallelAudioWriter" when there is none.
  BoxedAudioWriter take();
};

// The file writer of an AudioFileWriter object, moved out (the rule shared by
// ParallelAudioWriter, LineAudioWriter and AsyncPipelineAudioSink). Other
// objects: ValueError "ParallelAudioWriter only supports AudioFileWriter /
// LineAudioWriter". The line writer adds its own branch here.
BoxedAudioWriter take_any_audio_writer(py::handle obj);

void bind_file(py::module_& m);

}  // namespace kestrune::python

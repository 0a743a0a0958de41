#include "python/io/file.hpp"

#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>

#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/format.hpp"
#include "python/io/buffer.hpp"

namespace kestrune::python {

namespace {

using CoreAudioFormat = ::kestrune::AudioFormat;

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Every method of the two classes enters through this scope: the object
// must be used from the thread that created it, and the call gets exclusive
// access to its receiver.
void check_thread(std::uint64_t owner_thread, const char* class_name) {
  if (current_thread_token() != owner_thread) raise_foreign_thread(class_name);
}

// A file object released on a foreign thread is leaked, not closed there.
template <class T>
void leak_if_foreign(std::optional<T>& value, std::uint64_t owner_thread, const char* class_name) {
  if (!value || current_thread_token() == owner_thread) return;
  report_foreign_release(class_name);
  new std::optional<T>(std::move(value));  // intentionally never freed
  value.reset();
}

class CallScope {
 public:
  CallScope(BusyFlag& busy, std::uint64_t owner_thread, const char* class_name)
      : guard_((check_thread(owner_thread, class_name), busy.enter(class_name))) {}

 private:
  BusyFlag::Guard guard_;
};

template <class T>
T unwrap_file(IoResult<T> r) {
  if (!r) map_file_err(r.error());
  return std::move(*r);
}
void unwrap_file(IoStatus r) {
  if (!r) map_file_err(r.error());
}

void create_writer(AudioFileWriterPy& self, const CoreAudioFormat& input) {
  const AudioFileWriterConfig cfg =
      build_file_writer_cfg(self.format, input, self.bitrate, self.compression_level, self.wav_output_format);
  self.writer.emplace(unwrap_file(AudioFileWriter::create(self.path, cfg)));
  self.input_format = input;
}

AudioFileReaderPy* new_reader(const std::string& path, const std::string& format,
                              std::optional<std::size_t> chunk_samples) {
  const AudioFileFormat f = file_format_from_str(format);
  std::size_t chunk = chunk_samples.value_or(1024);
  if (chunk == 0) chunk = 1;
  auto r = std::make_unique<AudioFileReaderPy>();
  r->reader.emplace(unwrap_file(AudioFileReader::open(path, f, chunk)));
  return r.release();
}

AudioFileWriterPy* new_writer(const std::string& path, const std::string& format,
                              const std::optional<AudioFormat>& input_format, std::optional<std::uint32_t> bitrate,
                              std::optional<std::int32_t> compression_level,
                              std::optional<std::string> wav_output_format) {
  auto w = std::make_unique<AudioFileWriterPy>();
  w->path = path;
  w->format = file_format_from_str(format);
  w->bitrate = bitrate;
  w->compression_level = compression_level;
  w->wav_output_format = std::move(wav_output_format);
  if (input_format) create_writer(*w, to_core(*input_format));
  return w.release();
}

std::optional<AudioFrame> read_next(AudioFileReaderPy& self) { return unwrap_file(self.reader->next_frame()); }

void write_pcm(AudioFileWriterPy& self, py::handle pcm) {
  CallScope scope(self.busy, self.owner_thread, "AudioFileWriter");
  if (!self.input_format)
    throw py::value_error(
        "input_format=None 时无法从裸 numpy 推断 sample_rate/format；请在构造时提供 input_format，或改用 "
        "push(NodeBuffer) 让首帧自动推断");
  AudioFrame frame = numpy_to_frame(pcm, *self.input_format);
  if (!self.writer) throw py::value_error("writer not initialized");
  unwrap_file(self.writer->write_frame(frame));
}

void push(AudioFileWriterPy& self, NodeBufferPy& buf) {
  CallScope scope(self.busy, self.owner_thread, "AudioFileWriter");
  NodeBuffer item = buf.take();
  if (!item.is_pcm()) throw py::value_error("AudioFileWriter.push 仅支持 PCM（NodeBuffer kind=pcm）");
  const AudioFrame& frame = item.pcm();
  if (!self.writer) {
    if (self.input_format) throw py::value_error("writer not initialized");
    create_writer(self, frame.format());
  } else if (frame.format() != *self.input_format) {
    throw std::runtime_error("PCM format is not consistent with the input_format of the writer");
  }
  unwrap_file(self.writer->write_frame(frame));
}

void finalize(AudioFileWriterPy& self) {
  CallScope scope(self.busy, self.owner_thread, "AudioFileWriter");
  if (self.writer) unwrap_file(self.writer->finalize());
}

}  // namespace

AudioFileFormat file_format_from_str(std::string_view text) {
  const std::string s = ascii_lower(text);
  if (s == "wav") return AudioFileFormat::Wav;
  if (s == "mp3") return AudioFileFormat::Mp3;
  if (s == "aac" || s == "adts" || s == "aac_adts") return AudioFileFormat::AacAdts;
  if (s == "flac") return AudioFileFormat::Flac;
  if (s == "opus" || s == "opus_ogg" || s == "ogg_opus") return AudioFileFormat::OpusOgg;
  throw py::value_error("format 仅支持: wav/mp3/aac_adts/flac/opus_ogg");
}

AudioFileWriterConfig build_file_writer_cfg(AudioFileFormat format, const CoreAudioFormat& input,
                                            std::optional<std::uint32_t> bitrate,
                                            std::optional<std::int32_t> compression_level,
                                            const std::optional<std::string>& wav_output_format) {
  switch (format) {
    case AudioFileFormat::AacAdts: return AacAdtsWriterConfig{input, bitrate};
    case AudioFileFormat::OpusOgg:
      if (input.sample_rate != 48000) throw py::value_error("opus_ogg writer 需要 48kHz input_format（请先重采样）");
      if (input.is_planar())
        throw py::value_error("opus_ogg writer 需要 interleaved samples（input_format.planar=False）");
      return OpusOggWriterConfig{input, bitrate};
    case AudioFileFormat::Flac: return FlacWriterConfig{input, compression_level};
    case AudioFileFormat::Mp3: return Mp3WriterConfig{input, bitrate.value_or(128000)};
    case AudioFileFormat::Wav: {
      WavSampleFormat out = WavSampleFormat::Pcm16;
      if (wav_output_format && *wav_output_format == "f32le")
        out = WavSampleFormat::F32;
      else if (wav_output_format && *wav_output_format != "pcm16le")
        throw py::value_error("wav_output_format 仅支持: pcm16le/f32le");
      return WavWriterConfig{input, out};
    }
  }
  throw py::value_error("format 仅支持: wav/mp3/aac_adts/flac/opus_ogg");
}

AudioFileReaderPy::~AudioFileReaderPy() { leak_if_foreign(reader, owner_thread, "AudioFileReader"); }

AudioFileWriterPy::~AudioFileWriterPy() { leak_if_foreign(writer, owner_thread, "AudioFileWriter"); }

BoxedAudioWriter AudioFileWriterPy::take() {
  if (!writer) throw std::runtime_error("AudioFileWriter is not initialized or already taken by ParallelAudioWriter");
  auto out = std::make_unique<AudioFileWriter>(std::move(*writer));
  writer.reset();
  return out;
}

BoxedAudioWriter take_any_audio_writer(py::handle obj) {
  if (py::isinstance<AudioFileWriterPy>(obj)) {
    auto& w = obj.cast<AudioFileWriterPy&>();
    CallScope scope(w.busy, w.owner_thread, "AudioFileWriter");
    return w.take();
  }
  throw py::value_error("ParallelAudioWriter only supports AudioFileWriter / LineAudioWriter");
}

void bind_file(py::module_& m) {
  py::class_<AudioFileReaderPy>(
      m, "AudioFileReader",
      class_doc("AudioFileReader", "(path, format, chunk_samples=None)",
                "Python 侧 AudioFileReader：可作为 `AsyncDynRunner` 的 source（实现 pull()）。")
          .c_str())
      .def(py::init(&new_reader), py::arg("path"), py::arg("format"), py::arg("chunk_samples") = py::none(),
           keep(sig_doc("__init__(self, path, format, chunk_samples=None)")))
      .def(
          "next_frame",
          [](AudioFileReaderPy& self, const std::string& layout) -> py::object {
            CallScope scope(self.busy, self.owner_thread, "AudioFileReader");
            const bool planar = parse_layout(layout);
            auto frame = read_next(self);
            if (!frame) return py::none();
            return frame_to_numpy(*frame, planar);
          },
          py::arg("layout") = "planar",
          keep(sig_doc("next_frame($self, layout=\"planar\")", "读取下一帧 PCM（numpy），EOF 返回 None。")))
      .def(
          "pull",
          [](AudioFileReaderPy& self) -> py::object {
            CallScope scope(self.busy, self.owner_thread, "AudioFileReader");
            auto frame = read_next(self);
            if (!frame) return py::none();
            return make_node_buffer_object(NodeBuffer(std::move(*frame)));
          },
          keep(sig_doc("pull($self)", "`AsyncDynRunner` 兼容：pull() -> Optional[NodeBuffer]（输出为 PCM）。")));

  py::class_<AudioFileWriterPy>(
      m, "AudioFileWriter",
      class_doc("AudioFileWriter",
                "(path, format, input_format=None, bitrate=None, compression_level=None, wav_output_format=None)",
                "Python 侧 AudioFileWriter：可作为 `AsyncDynRunner` 的 sink（实现 push/finalize）。")
          .c_str())
      .def(py::init(&new_writer), py::arg("path"), py::arg("format"), py::arg("input_format") = py::none(),
           py::arg("bitrate") = py::none(), py::arg("compression_level") = py::none(),
           py::arg("wav_output_format") = py::none(),
           keep(sig_doc("__init__(self, path, format, input_format=None, bitrate=None, compression_level=None, "
                        "wav_output_format=None)")))
      .def("write_pcm", &write_pcm, py::arg("pcm"), keep(sig_doc("write_pcm($self, pcm)", "直接写入一帧 PCM（numpy）")))
      .def("push", &push, py::arg("buf"),
           keep(sig_doc("push($self, buf)", "`AsyncDynRunner` 兼容：push(buf: NodeBuffer)（仅支持 PCM）。")))
      .def("finalize", &finalize, keep(sig_doc("finalize($self)")));
}

}  // namespace kestrune::python

#include "python/decoder.hpp"

#include <pybind11/stl.h>

#include <memory>

#include "codec/decoder/aac_decoder.hpp"
#include "codec/decoder/flac_decoder.hpp"
#include "codec/decoder/mp3_decoder.hpp"
#include "codec/decoder/opus_decoder.hpp"
#include "codec/decoder/wav_decoder.hpp"
#include "pipeline/node/codec_node.hpp"
#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/io/buffer.hpp"
#include "python/guards.hpp"

namespace kestrune::python {

namespace {

const char* const kCodecList = "codec 仅支持: wav/mp3/aac/opus/flac";

template <class T>
BoxedDecoder boxed(CodecResult<std::unique_ptr<T>> r) {
  return BoxedDecoder(unwrap_codec(std::move(r)));
}

// The codec of `codec`, built from the matching configuration object (the
// caller has checked its class).
BoxedDecoder build_compressed(const std::string& codec, const OpusDecoderConfigPy* opus) {
  using namespace ffmpeg_backend;
  if (codec == "aac") return boxed(AacDecoder::create());  // packets must carry ADTS headers
  if (codec == "mp3") return boxed(Mp3Decoder::create());
  if (codec == "flac") return boxed(FlacDecoder::create());
  return boxed(OpusDecoder::create(opus ? opus->extradata : std::nullopt));
}

template <class C>
const C& config_as(py::handle config, const char* codec) {
  if (!py::isinstance<C>(config))
    throw py::type_error(std::string("config for codec '") + codec + "' must be a " +
                         py::str(py::type::of<C>().attr("__name__")).cast<std::string>() + ", not " +
                         py::str(py::type::of(config).attr("__name__")).cast<std::string>());
  return config.cast<const C&>();
}

// Copies a bytes-like object (or a sequence of ints 0..255) into Bytes.
Bytes frame_bytes(py::handle frame) {
  if (py::isinstance<py::str>(frame)) throw py::type_error("put_frame(): argument 'frame' must be bytes, not str");
  if (PyObject_CheckBuffer(frame.ptr())) {
    Py_buffer view;
    if (PyObject_GetBuffer(frame.ptr(), &view, PyBUF_C_CONTIGUOUS) == 0) {
      const auto* p = static_cast<const std::uint8_t*>(view.buf);
      Bytes out(p, p + view.len);
      PyBuffer_Release(&view);
      return out;
    }
    PyErr_Clear();
  }
  PyObject* b = PyBytes_FromObject(frame.ptr());
  if (!b) {
    PyErr_Clear();
    throw py::type_error("frame 需要是 bytes");
  }
  py::bytes owned = py::reinterpret_steal<py::bytes>(b);
  const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(b));
  return Bytes(p, p + PyBytes_GET_SIZE(b));
}

void check_chunk(std::size_t chunk) {
  if (chunk == 0) throw py::value_error("chunk_samples must be greater than 0");
}

void check_den(std::int32_t den) {
  if (den <= 0) throw py::value_error("packet_time_base_den must be greater than 0");
}

}  // namespace

Decoder::Decoder(const std::string& codec, py::handle config) {
  auto name = codec_from_str(codec);
  if (!name) throw py::value_error(kCodecList);
  codec_ = *name;
  if (codec_ == "wav") {
    const auto& c = config_as<WavDecoderConfigPy>(config, "wav");
    const CoreFormat f = to_core(c.output_format);
    if (f.is_planar())
      throw py::value_error("WAV/PCM decoder's output_format.planar must be False (packet is interleaved bytes)");
    decoder_ = std::make_unique<WavDecoder>(f);
    CoreFormat planar = f;
    planar.sample_format.planar = true;
    const auto rate = static_cast<std::int32_t>(f.sample_rate);
    fifo_.emplace(unwrap_audio(AudioFifo::create(planar, 1, rate)));
    chunk_samples_ = c.chunk_samples;
    packet_time_base_ = {1, rate};
    return;
  }
  const CompressedDecoderConfigFields* fields = nullptr;
  const OpusDecoderConfigPy* opus = nullptr;
  if (codec_ == "aac") fields = &config_as<AacDecoderConfigPy>(config, "aac");
  if (codec_ == "mp3") fields = &config_as<Mp3DecoderConfigPy>(config, "mp3");
  if (codec_ == "flac") fields = &config_as<FlacDecoderConfigPy>(config, "flac");
  if (codec_ == "opus") fields = opus = &config_as<OpusDecoderConfigPy>(config, "opus");
  decoder_ = build_compressed(codec_, opus);
  chunk_samples_ = fields->chunk_samples;
  packet_time_base_ = {1, fields->packet_time_base_den};
}

void Decoder::put_frame(py::handle frame) {
  auto guard = busy_.enter("Decoder");
  CodecPacket p;
  p.data = frame_bytes(frame);
  p.time_base = packet_time_base_;
  unwrap_codec(decoder_->send_packet(std::move(p)));
  drain();
}

void Decoder::put_packet(const CodecPacket& packet) {
  auto guard = busy_.enter("Decoder");
  unwrap_codec(decoder_->send_packet(packet));  // the Python Packet keeps its own copy
  drain();
}

void Decoder::drain() {
  for (;;) {
    auto frame = decoder_->receive_frame();
    if (!frame) {
      if (frame.error().is_again()) return;
      map_codec_err(frame.error());  // Eof included: this class never ends the decoder's input
    }
    AudioFrame planar = unwrap_audio(ensure_planar_frame(std::move(*frame)));
    if (!fifo_) {
      const TimeBase tb = planar.time_base();
      fifo_.emplace(unwrap_audio(AudioFifo::create(planar.format(), tb.num, tb.den)));
    } else if (planar.format() != fifo_->format()) {
      throw std::runtime_error("decoder's output format changed unexpectedly");
    }
    unwrap_audio(fifo_->push_frame(planar));
  }
}

std::optional<AudioFrame> Decoder::take(bool force) {
  if (!fifo_) return std::nullopt;
  const std::size_t n = fifo_->available_samples();
  std::size_t want = 0;
  if (n >= chunk_samples_) {
    want = chunk_samples_;
  } else if (force && n > 0) {
    want = n;
  } else {
    if (n > 0)
      warnings_warn(
          "not enough samples: last frame is not full, default not return; if you want to return, please "
          "get_frame(force=True)");
    return std::nullopt;
  }
  auto popped = unwrap_audio(fifo_->pop_frame(want));
  return std::move(popped);
}

py::object Decoder::get_frame(bool force, const std::string& layout) {
  const bool planar = parse_layout(layout);
  auto guard = busy_.enter("Decoder");
  auto frame = take(force);
  if (!frame) return py::none();
  return frame_to_numpy(*frame, planar);
}

py::object Decoder::get_frame_info(bool force, const std::string& layout) {
  const bool planar = parse_layout(layout);
  auto guard = busy_.enter("Decoder");
  auto frame = take(force);
  if (!frame) return py::none();
  const TimeBase tb = frame->time_base();
  return py::make_tuple(frame_to_numpy(*frame, planar), py::cast(frame->pts()), py::make_tuple(tb.num, tb.den));
}

std::size_t Decoder::pending_samples() const { return fifo_ ? fifo_->available_samples() : 0; }

const char* Decoder::state() const {
  const std::size_t n = pending_samples();
  if (n == 0) return "empty";
  return n < chunk_samples_ ? "need_more" : "ready";
}

py::object Decoder::output_format() const {
  if (!fifo_) return py::none();
  return py::cast(audio_format_from_core(fifo_->format()));
}

void Decoder::reset() {
  auto guard = busy_.enter("Decoder");
  unwrap_codec(decoder_->reset());
  fifo_.reset();
}

namespace {

py::object make_decoder_node(const std::string& codec, py::handle config) {
  auto name = codec_from_str(codec);
  if (!name) throw py::value_error("codec only supports: wav, mp3, aac, opus, flac");
  BoxedDecoder dec;
  if (*name == "wav") {
    // No planar check here: such a node fails on multi-channel packets.
    dec = std::make_unique<WavDecoder>(to_core(config_as<WavDecoderConfigPy>(config, "wav").output_format));
  } else if (*name == "opus") {
    dec = build_compressed(*name, &config_as<OpusDecoderConfigPy>(config, "opus"));
  } else {
    dec = build_compressed(*name, nullptr);  // the configuration carries nothing these need
  }
  return make_dyn_node_object(std::make_unique<BoxedDecoderNode>(std::move(dec)));
}

template <class C>
void bind_compressed_config(py::module_& m, const char* name) {
  py::class_<C>(m, name, class_doc(name, "(chunk_samples, packet_time_base_den=48000)").c_str())
      .def(py::init([](std::size_t chunk, std::int32_t den) {
             check_chunk(chunk);
             check_den(den);
             C c;
             c.chunk_samples = chunk;
             c.packet_time_base_den = den;
             return c;
           }),
           py::arg("chunk_samples"), py::arg("packet_time_base_den") = 48000,
           keep(sig_doc("__init__(self, chunk_samples, packet_time_base_den=48000)")))
      .def_property_readonly("chunk_samples", [](const C& c) { return c.chunk_samples; })
      .def_property_readonly("packet_time_base_den", [](const C& c) { return c.packet_time_base_den; });
}

}  // namespace

void bind_decoder(py::module_& m) {
  py::class_<WavDecoderConfigPy>(m, "WavDecoderConfig",
                                 class_doc("WavDecoderConfig", "(output_format, chunk_samples)").c_str())
      .def(py::init([](const AudioFormat& output_format, std::size_t chunk) {
             check_chunk(chunk);
             return WavDecoderConfigPy{output_format, chunk};
           }),
           py::arg("output_format"), py::arg("chunk_samples"),
           keep(sig_doc("__init__(self, output_format, chunk_samples)")))
      .def_property_readonly("output_format", [](const WavDecoderConfigPy& c) { return c.output_format; })
      .def_property_readonly("chunk_samples", [](const WavDecoderConfigPy& c) { return c.chunk_samples; });
  bind_compressed_config<Mp3DecoderConfigPy>(m, "Mp3DecoderConfig");
  bind_compressed_config<AacDecoderConfigPy>(m, "AacDecoderConfig");
  py::class_<OpusDecoderConfigPy>(
      m, "OpusDecoderConfig",
      class_doc("OpusDecoderConfig", "(chunk_samples, packet_time_base_den=48000, extradata=None)").c_str())
      .def(py::init([](std::size_t chunk, std::int32_t den, std::optional<py::bytes> extradata) {
             check_chunk(chunk);
             check_den(den);
             OpusDecoderConfigPy c;
             c.chunk_samples = chunk;
             c.packet_time_base_den = den;
             if (extradata) {
               const std::string s = *extradata;
               c.extradata = Bytes(s.begin(), s.end());
             }
             return c;
           }),
           py::arg("chunk_samples"), py::arg("packet_time_base_den") = 48000, py::arg("extradata") = py::none(),
           keep(sig_doc("__init__(self, chunk_samples, packet_time_base_den=48000, extradata=None)")))
      .def_property_readonly("chunk_samples", [](const OpusDecoderConfigPy& c) { return c.chunk_samples; })
      .def_property_readonly("packet_time_base_den",
                             [](const OpusDecoderConfigPy& c) { return c.packet_time_base_den; })
      .def_property_readonly("extradata", [](const OpusDecoderConfigPy& c) -> py::object {
        if (!c.extradata) return py::none();
        return py::bytes(reinterpret_cast<const char*>(c.extradata->data()), c.extradata->size());
      });
  bind_compressed_config<FlacDecoderConfigPy>(m, "FlacDecoderConfig");

  py::class_<Decoder>(m, "Decoder", class_doc("Decoder", "(codec, config)").c_str())
      .def(py::init([](const std::string& codec, py::object config) { return new Decoder(codec, config); }),
           py::arg("codec"), py::arg("config"), keep(sig_doc("__init__(self, codec, config)")))
      .def("put_frame", &Decoder::put_frame, py::arg("frame"),
           keep(sig_doc("put_frame($self, frame)", "输入一个编码 frame（bytes）。")))
      .def(
          "put_packet", [](Decoder& d, const PacketPy& pkt) { d.put_packet(pkt.packet); }, py::arg("pkt"),
          keep(sig_doc("put_packet($self, pkt)", "输入一个 packet（支持 pts/dts/duration/time_base/flags）。")))
      .def("reset", &Decoder::reset,
           keep(sig_doc("reset($self)", "重置内部状态（清空缓存、回到初始态），可继续接收新的流。")))
      .def("get_frame", &Decoder::get_frame, py::arg("force") = false, py::arg("layout") = "planar",
           keep(sig_doc("get_frame($self, force=False, layout=\"planar\")",
                        "取出一帧 PCM：numpy ndarray\n\n"
                        "- 默认：如果 FIFO 剩余不够一个 chunk，则返回 None 并 warnings.warn\n"
                        "- force=True：强制把最后不足一个 chunk 的残留也返回（作为最后一帧）")))
      .def("get_frame_info", &Decoder::get_frame_info, py::arg("force") = false, py::arg("layout") = "planar",
           keep(sig_doc("get_frame_info($self, force=False, layout=\"planar\")",
                        "取出一帧 PCM + 元信息：返回 (numpy, pts, (time_base_num,time_base_den))")))
      .def("pending_samples", &Decoder::pending_samples,
           keep(sig_doc("pending_samples($self)", "当前输出 FIFO 内累计的 PCM 样本数（每声道）。")))
      .def("state", &Decoder::state,
           keep(sig_doc("state($self)",
                        "当前状态：\n"
                        "- \"ready\": FIFO 已攒够一个 chunk\n"
                        "- \"need_more\": FIFO 有残留但不足一个 chunk\n"
                        "- \"empty\": 还没解出任何 PCM 或已完全取空")))
      .def("output_format", &Decoder::output_format,
           keep(sig_doc("output_format($self)", "输出格式（若已知）。")))
      .def_property_readonly("codec", &Decoder::codec)
      .def_property_readonly("chunk_samples", &Decoder::chunk_samples);

  m.def("make_decoder_node", &make_decoder_node, py::arg("codec"), py::arg("config"),
        keep(sig_doc("make_decoder_node(codec, config)",
                     "创建一个 decoder 节点（Packet->PCM）。注意：此处的 config 里 `chunk_samples` "
                     "会被忽略（由下游取帧决定）。")));
}

}  // namespace kestrune::python

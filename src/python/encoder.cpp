#include "python/encoder.hpp"

#include <pybind11/stl.h>

#include <memory>

#include "codec/encoder/aac_encoder.hpp"
#include "codec/encoder/flac_encoder.hpp"
#include "codec/encoder/mp3_encoder.hpp"
#include "codec/encoder/opus_encoder.hpp"
#include "codec/encoder/wav_encoder.hpp"
#include "pipeline/node/codec_node.hpp"
#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/io/buffer.hpp"
#include "python/guards.hpp"

namespace kestrune::python {

namespace {

const char* const kCodecList = "codec 仅支持: wav/mp3/aac/opus/flac";

// Sends one frame and collects packets until the encoder wants more input.
CodecStatus send_and_collect(AudioEncoder& enc, const AudioFrame& frame, std::deque<CodecPacket>& out) {
  if (auto st = enc.send_frame(&frame); !st) return st;
  for (;;) {
    auto p = enc.receive_packet();
    if (!p) {
      if (p.error().is_again()) return {};
      return std::unexpected(p.error());
    }
    out.push_back(std::move(*p));
  }
}

template <class C>
const C& config_as(py::handle config, const char* codec) {
  if (!py::isinstance<C>(config))
    throw py::type_error(std::string("config for codec '") + codec + "' must be a " +
                         py::str(py::type::of<C>().attr("__name__")).cast<std::string>() + ", not " +
                         py::str(py::type::of(config).attr("__name__")).cast<std::string>());
  return config.cast<const C&>();
}

std::optional<CoreFormat> core_of(const std::optional<AudioFormat>& f) {
  if (!f) return std::nullopt;
  return to_core(*f);
}

template <class T>
BoxedEncoder boxed(CodecResult<std::unique_ptr<T>> r) {
  return BoxedEncoder(unwrap_codec(std::move(r)));
}

struct Built {
  BoxedEncoder encoder;
  std::optional<AudioFormat> input_format;
  std::size_t chunk_samples = 0;
};

// Builds the codec from the matching configuration; a given input format
// opens the FFmpeg encoder now (its failure is raised).
Built build_encoder(const std::string& codec, py::handle config) {
  using namespace ffmpeg_backend;
  if (codec == "wav") {
    const auto& c = config_as<WavEncoderConfigPy>(config, "wav");
    return {std::make_unique<WavEncoder>(core_of(c.input_format)), c.input_format, c.chunk_samples};
  }
  if (codec == "aac") {
    const auto& c = config_as<AacEncoderConfigPy>(config, "aac");
    return {boxed(AacEncoder::create({core_of(c.input_format), c.bitrate})), c.input_format, c.chunk_samples};
  }
  if (codec == "mp3") {
    const auto& c = config_as<Mp3EncoderConfigPy>(config, "mp3");
    return {boxed(Mp3Encoder::create({core_of(c.input_format), c.bitrate})), c.input_format, c.chunk_samples};
  }
  if (codec == "flac") {
    const auto& c = config_as<FlacEncoderConfigPy>(config, "flac");
    return {boxed(FlacEncoder::create({core_of(c.input_format), c.compression_level})), c.input_format,
            c.chunk_samples};
  }
  const auto& c = config_as<OpusEncoderConfigPy>(config, "opus");
  return {boxed(OpusEncoder::create({core_of(c.input_format), c.bitrate})), c.input_format, c.chunk_samples};
}

AudioFifo new_fifo(const CoreFormat& f) {
  return unwrap_audio(AudioFifo::create(f, 1, static_cast<std::int32_t>(f.sample_rate)));
}

}  // namespace

CodecStatus push_encoder_from_fifo(AudioEncoder& encoder, AudioFifo& fifo, std::size_t chunk_samples,
                                   std::deque<CodecPacket>& out, bool force) {
  while (chunk_samples > 0 && fifo.available_samples() >= chunk_samples) {
    auto popped = fifo.pop_frame(chunk_samples);
    if (!popped || !*popped) return std::unexpected(CodecError::invalid_data("failed to pop frame from fifo"));
    if (auto st = send_and_collect(encoder, **popped, out); !st) return st;
  }
  const std::size_t rest = fifo.available_samples();
  if (force && rest > 0) {
    auto popped = fifo.pop_frame(rest);
    if (!popped || !*popped) return std::unexpected(CodecError::invalid_data("failed to pop last frame from fifo"));
    if (auto st = send_and_collect(encoder, **popped, out); !st) return st;
  }
  return {};
}

Encoder::Encoder(const std::string& codec, py::handle config) {
  auto name = codec_from_str(codec);
  if (!name) throw py::value_error(kCodecList);
  codec_ = *name;
  // Checks the configuration class before anything is built.
  Built b = build_encoder(codec_, config);
  chunk_samples_ = b.chunk_samples;
  if (b.input_format) {
    const CoreFormat f = to_core(*b.input_format);
    locked_format_ = f;
    locked_type_ = f.sample_format.type;
    fifo_.emplace(new_fifo(f));
    format_fixed_ = true;
  }
  encoder_ = std::move(b.encoder);
}

void Encoder::put_frame(py::handle pcm, std::optional<std::int64_t> pts, std::optional<AudioFormat> format) {
  auto guard = busy_.enter("Encoder");
  CoreFormat f;
  if (!format) {
    if (!locked_format_) throw py::value_error("input_format=None 时，首次 put_frame 必须提供 format");
    if (!locked_type_) throw py::value_error("encoder not initialized (missing sample_type)");
    f = *locked_format_;
  } else {
    f = to_core(*format);
    if (locked_format_ && f != *locked_format_)
      throw py::value_error("format 与 Encoder 当前锁定的 input_format 不一致");
  }
  if (!fifo_) {
    fifo_.emplace(new_fifo(f));
    locked_format_ = f;
    locked_type_ = f.sample_format.type;
  }
  AudioFrame frame = numpy_to_frame(pcm, *locked_format_);
  if (pts) frame.set_pts(*pts);
  if (!fifo_) throw std::runtime_error("fifo not initialized");
  unwrap_audio(fifo_->push_frame(frame));
}

std::optional<CodecPacket> Encoder::take(bool force) {
  if (!fifo_ && !force && !format_fixed_ && out_q_.empty())
    warnings_warn("Encoder constructed with input_format=None: first put_frame must provide format=AudioFormat(...)");
  if (out_q_.empty() && fifo_) unwrap_codec(push_encoder_from_fifo(*encoder_, *fifo_, chunk_samples_, out_q_, force));
  if (force && out_q_.empty() && (!fifo_ || fifo_->available_samples() == 0) && !flushed_) {
    unwrap_codec(encoder_->send_frame(nullptr));
    for (;;) {
      auto p = encoder_->receive_packet();
      if (p) {
        out_q_.push_back(std::move(*p));
        continue;
      }
      if (p.error().is_again() || p.error().is_eof()) {
        flushed_ = true;
        break;
      }
      map_codec_err(p.error());
    }
  }
  if (out_q_.empty()) return std::nullopt;
  CodecPacket front = std::move(out_q_.front());
  out_q_.pop_front();
  return front;
}

py::object Encoder::get_packet(bool force) {
  auto guard = busy_.enter("Encoder");
  auto p = take(force);
  if (!p) return py::none();
  return py::cast(PacketPy{std::move(*p)});
}

py::object Encoder::get_frame(bool force) {
  auto guard = busy_.enter("Encoder");
  auto p = take(force);
  if (!p) {
    const std::size_t n = pending_samples();
    if (n > 0 && n < chunk_samples_)
      warnings_warn(
          "Not enough for one chunk: the last frame is incomplete and will not be returned by default; to "
          "return it, please call get_frame(force=True)");
    return py::none();
  }
  return py::bytes(reinterpret_cast<const char*>(p->data.data()), p->data.size());
}

std::size_t Encoder::pending_samples() const { return fifo_ ? fifo_->available_samples() : 0; }

const char* Encoder::state() const {
  if (!out_q_.empty()) return "ready";
  const std::size_t n = pending_samples();
  if (n == 0) return "empty";
  return n < chunk_samples_ ? "need_more" : "ready";
}

void Encoder::reset() {
  auto guard = busy_.enter("Encoder");
  unwrap_codec(encoder_->reset());
  if (format_fixed_) {
    fifo_.emplace(new_fifo(*locked_format_));  // emptied, same format
  } else {
    fifo_.reset();
    locked_format_.reset();
    locked_type_.reset();
  }
  out_q_.clear();
  flushed_ = false;
}

namespace {

py::object make_encoder_node(const std::string& codec, py::handle config) {
  auto name = codec_from_str(codec);
  if (!name) throw py::value_error(kCodecList);
  Built b = build_encoder(*name, config);
  return make_dyn_node_object(std::make_unique<BoxedEncoderNode>(std::move(b.encoder)));
}

void check_chunk(std::size_t chunk) {
  if (chunk == 0) throw py::value_error("chunk_samples 必须 > 0");
}

// `bitrate=...`: omitted gives the default, None gives no bitrate.
std::optional<std::uint32_t> bitrate_arg(py::handle v, std::uint32_t dflt) {
  if (v.is(py::ellipsis())) return dflt;
  if (v.is_none()) return std::nullopt;
  return v.cast<std::uint32_t>();
}

template <class C>
auto input_format_prop(const C& c) {
  return c.input_format;
}

}  // namespace

void bind_encoder(py::module_& m) {
  py::class_<WavEncoderConfigPy>(
      m, "WavEncoderConfig", class_doc("WavEncoderConfig", "(input_format=None, chunk_samples=1024)").c_str())
      .def(py::init([](std::optional<AudioFormat> f, std::size_t chunk) {
             check_chunk(chunk);
             return WavEncoderConfigPy{std::move(f), chunk};
           }),
           py::arg("input_format") = py::none(), py::arg("chunk_samples") = 1024,
           keep(sig_doc("__init__(self, input_format=None, chunk_samples=1024)")))
      .def_property_readonly("input_format", &input_format_prop<WavEncoderConfigPy>)
      .def_property_readonly("chunk_samples", [](const WavEncoderConfigPy& c) { return c.chunk_samples; });

  py::class_<Mp3EncoderConfigPy>(
      m, "Mp3EncoderConfig",
      class_doc("Mp3EncoderConfig", "(input_format=None, chunk_samples=1152, bitrate=...)").c_str())
      .def(py::init([](std::optional<AudioFormat> f, std::size_t chunk, py::object bitrate) {
             check_chunk(chunk);
             return Mp3EncoderConfigPy{std::move(f), chunk, bitrate_arg(bitrate, 128000)};
           }),
           py::arg("input_format") = py::none(), py::arg("chunk_samples") = 1152, py::arg("bitrate") = py::ellipsis(),
           keep(sig_doc("__init__(self, input_format=None, chunk_samples=1152, bitrate=...)")))
      .def_property_readonly("input_format", &input_format_prop<Mp3EncoderConfigPy>)
      .def_property_readonly("chunk_samples", [](const Mp3EncoderConfigPy& c) { return c.chunk_samples; })
      .def_property_readonly("bitrate", [](const Mp3EncoderConfigPy& c) { return c.bitrate; });

  py::class_<AacEncoderConfigPy>(
      m, "AacEncoderConfig",
      class_doc("AacEncoderConfig", "(input_format=None, chunk_samples=1024, bitrate=None)").c_str())
      .def(py::init([](std::optional<AudioFormat> f, std::size_t chunk, std::optional<std::uint32_t> bitrate) {
             check_chunk(chunk);
             return AacEncoderConfigPy{std::move(f), chunk, bitrate};
           }),
           py::arg("input_format") = py::none(), py::arg("chunk_samples") = 1024, py::arg("bitrate") = py::none(),
           keep(sig_doc("__init__(self, input_format=None, chunk_samples=1024, bitrate=None)")))
      .def_property_readonly("input_format", &input_format_prop<AacEncoderConfigPy>)
      .def_property_readonly("chunk_samples", [](const AacEncoderConfigPy& c) { return c.chunk_samples; })
      .def_property_readonly("bitrate", [](const AacEncoderConfigPy& c) { return c.bitrate; });

  py::class_<OpusEncoderConfigPy>(
      m, "OpusEncoderConfig",
      class_doc("OpusEncoderConfig", "(input_format=None, chunk_samples=960, bitrate=...)").c_str())
      .def(py::init([](std::optional<AudioFormat> f, std::size_t chunk, py::object bitrate) {
             check_chunk(chunk);
             return OpusEncoderConfigPy{std::move(f), chunk, bitrate_arg(bitrate, 96000)};
           }),
           py::arg("input_format") = py::none(), py::arg("chunk_samples") = 960, py::arg("bitrate") = py::ellipsis(),
           keep(sig_doc("__init__(self, input_format=None, chunk_samples=960, bitrate=...)")))
      .def_property_readonly("input_format", &input_format_prop<OpusEncoderConfigPy>)
      .def_property_readonly("chunk_samples", [](const OpusEncoderConfigPy& c) { return c.chunk_samples; })
      .def_property_readonly("bitrate", [](const OpusEncoderConfigPy& c) { return c.bitrate; });

  py::class_<FlacEncoderConfigPy>(
      m, "FlacEncoderConfig",
      class_doc("FlacEncoderConfig", "(input_format=None, chunk_samples=4096, compression_level=None)").c_str())
      .def(py::init([](std::optional<AudioFormat> f, std::size_t chunk, std::optional<std::int32_t> level) {
             check_chunk(chunk);
             return FlacEncoderConfigPy{std::move(f), chunk, level};
           }),
           py::arg("input_format") = py::none(), py::arg("chunk_samples") = 4096,
           py::arg("compression_level") = py::none(),
           keep(sig_doc("__init__(self, input_format=None, chunk_samples=4096, compression_level=None)")))
      .def_property_readonly("input_format", &input_format_prop<FlacEncoderConfigPy>)
      .def_property_readonly("chunk_samples", [](const FlacEncoderConfigPy& c) { return c.chunk_samples; })
      .def_property_readonly("compression_level", [](const FlacEncoderConfigPy& c) { return c.compression_level; });

  py::class_<Encoder>(m, "Encoder", class_doc("Encoder", "(codec, config)").c_str())
      .def(py::init([](const std::string& codec, py::object config) { return new Encoder(codec, config); }),
           py::arg("codec"), py::arg("config"), keep(sig_doc("__init__(self, codec, config)")))
      .def("put_frame", &Encoder::put_frame, py::arg("pcm"), py::arg("pts") = py::none(),
           py::arg("format") = py::none(),
           keep(sig_doc("put_frame($self, pcm, pts=None, format=None)",
                        "输入一段 PCM：\n"
                        "- input_format.planar=True  => numpy shape=(channels, samples)\n"
                        "- input_format.planar=False => numpy shape=(samples, channels)\n\n"
                        "注意：这里不会立刻保证产生输出；需要 get_frame() 去取。")))
      .def("reset", &Encoder::reset,
           keep(sig_doc("reset($self)", "重置内部状态（清空缓存、回到初始态），可继续接收新的流。")))
      .def("get_frame", &Encoder::get_frame, py::arg("force") = false,
           keep(sig_doc("get_frame($self, force=False)",
                        "取出一个编码后的 frame（bytes）。\n\n"
                        "- 默认：如果 FIFO 剩余不够一个 chunk，则返回 None 并 warnings.warn\n"
                        "- force=True：强制把最后不足一个 chunk 的残留也作为最后一帧输出（如果 codec 支持可变帧长）")))
      .def("get_packet", &Encoder::get_packet, py::arg("force") = false,
           keep(sig_doc("get_packet($self, force=False)",
                        "取出一个编码后的 packet（带 time_base/pts/dts/duration/flags）。")))
      .def("pending_samples", &Encoder::pending_samples,
           keep(sig_doc("pending_samples($self)",
                        "当前 FIFO 内累计的 PCM 样本数（每声道）。\n\n"
                        "- 0：已空\n"
                        "- 0 < x < chunk_samples：最后一个 chunk 未满\n"
                        "- x >= chunk_samples：至少可产出一帧（配合 get_frame()）")))
      .def("state", &Encoder::state,
           keep(sig_doc("state($self)",
                        "当前状态：\n"
                        "- \"ready\": 有可取的编码帧（out_q 非空）或 FIFO 已攒够一个 chunk\n"
                        "- \"need_more\": FIFO 有残留但不足一个 chunk\n"
                        "- \"empty\": out_q 为空且 FIFO 也为空")))
      .def_property_readonly("codec", &Encoder::codec)
      .def_property_readonly("chunk_samples", &Encoder::chunk_samples);

  m.def("make_encoder_node", &make_encoder_node, py::arg("codec"), py::arg("config"),
        keep(sig_doc("make_encoder_node(codec, config)",
                     "创建一个 encoder 节点（PCM->Packet）。注意：此处的 config 里 `chunk_samples` "
                     "会被忽略（由上游分帧决定）。")));
}

}  // namespace kestrune::python

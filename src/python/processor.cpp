#include "python/processor.hpp"

#include <pybind11/stl.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "codec/processor/compressor_processor.hpp"
#include "codec/processor/gain_processor.hpp"
#include "codec/processor/identity_processor.hpp"
#include "codec/processor/resample_processor.hpp"
#include "pipeline/node/processor_node.hpp"
#include "pipeline/node/tap_node.hpp"
#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/format.hpp"
#include "python/io/buffer.hpp"

namespace kestrune::python {

namespace {

constexpr const char* kMovedMessage = "Processor 已被 move（例如被 LineAudioWriter 使用），当前对象不可再用";

std::string ascii_lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::optional<CoreFormat> to_core_opt(const std::optional<AudioFormat>& f) {
  if (!f) return std::nullopt;
  return to_core(*f);
}

// --- node configs: plain records, validated only when a node is made ---

struct GainNodeConfig {
  std::optional<AudioFormat> format;
  double gain = 1.0;
};

struct IdentityNodeConfig {
  std::string kind;
};

struct ResampleNodeConfig {
  std::optional<AudioFormat> in_format;
  AudioFormat out_format;
  std::optional<std::size_t> out_chunk_samples;
  bool pad_final = true;
};

struct CompressorNodeConfig {
  std::optional<AudioFormat> format;
  std::optional<float> sample_rate;
  float threshold_db = -18.0f;
  float knee_width_db = 6.0f;
  float ratio = 4.0f;
  float expansion_ratio = 2.0f;
  float expansion_threshold_db = -60.0f;
  float attack_time = 0.01f;
  float release_time = 0.10f;
  float master_gain_db = 0.0f;
};

template <class P>
BoxedDynNode processor_node(P processor) {
  return std::make_unique<ProcessorNode<P>>(std::move(processor));
}

GainProcessor make_gain(const std::optional<AudioFormat>& format, double gain) {
  const auto core = to_core_opt(format);  // "invalid sample_type" first
  return unwrap_codec(GainProcessor::create(core, gain));
}

ResampleProcessor make_resample(const std::optional<AudioFormat>& in, const AudioFormat& out,
                                std::optional<std::size_t> chunk, bool pad_final) {
  const auto in_core = to_core_opt(in);
  const CoreFormat out_core = to_core(out);
  ResampleProcessor p = in_core ? unwrap_codec(ResampleProcessor::create(*in_core, out_core))
                                : ResampleProcessor::create_deferred(out_core);
  unwrap_codec(p.set_output_chunker(chunk, pad_final));
  return p;
}

CompressorProcessor make_compressor(const std::optional<CoreFormat>& format, const DynamicsParams& params) {
  if (format) return unwrap_codec(CompressorProcessor::create_with_format(*format, params));
  return CompressorProcessor::create_deferred(params);
}

template <class P>
ProcessorPy wrap(P processor, std::optional<CoreFormat> in, std::optional<CoreFormat> out) {
  return ProcessorPy{std::make_unique<P>(std::move(processor)), in, out, false};
}

// The binding layer's downcast failure, naming the class that was expected.
template <class T>
T& expect_config(py::handle config, const char* expected) {
  if (!py::isinstance<T>(config)) {
    const std::string got = py::str(py::type::handle_of(config).attr("__name__")).cast<std::string>();
    throw py::type_error("'" + got + "' object cannot be converted to '" + expected + "'");
  }
  return config.cast<T&>();
}

py::object make_processor_node(const std::string& kind_text, py::handle config) {
  const std::string kind = ascii_lower(kind_text);
  if (kind == "identity") {
    auto& c = expect_config<IdentityNodeConfig>(config, "IdentityNodeConfig");
    const auto k = parse_node_kind(c.kind);
    if (!k) throw py::value_error("IdentityNodeConfig.kind 仅支持: pcm/packet");
    return make_dyn_node_object(std::make_unique<IdentityNode>(*k));
  }
  if (kind == "resample") {
    auto& c = expect_config<ResampleNodeConfig>(config, "ResampleNodeConfig");
    return make_dyn_node_object(
        processor_node(make_resample(c.in_format, c.out_format, c.out_chunk_samples, c.pad_final)));
  }
  if (kind == "gain") {
    auto& c = expect_config<GainNodeConfig>(config, "GainNodeConfig");
    return make_dyn_node_object(processor_node(make_gain(c.format, c.gain)));
  }
  if (kind == "compressor") {
    auto& c = expect_config<CompressorNodeConfig>(config, "CompressorNodeConfig");
    std::optional<float> rate = c.sample_rate;
    if (!rate && c.format) rate = static_cast<float>(c.format->sample_rate);
    if (!rate) throw py::value_error("CompressorNodeConfig.sample_rate is required when format=None");
    const auto core = to_core_opt(c.format);
    const DynamicsParams params{*rate, c.threshold_db, c.knee_width_db, c.ratio, c.expansion_ratio,
                                c.expansion_threshold_db, c.attack_time, c.release_time, c.master_gain_db};
    return make_dyn_node_object(processor_node(make_compressor(core, params)));
  }
  throw py::value_error("kind only support: identity/resample/gain/compressor");
}

// Read-write attribute of a config record. The getter returns a new Python
// object (a copy for AudioFormat); the setter converts as the constructor.
template <class C, class T>
void rw(py::class_<C>& cls, const char* name, T C::*field) {
  cls.def_property(
      name, [field](const C& self) -> T { return self.*field; },
      [field](C& self, T value) { self.*field = std::move(value); });
}

}  // namespace

AudioProcessor& ProcessorPy::get() {
  if (!inner) throw std::runtime_error(kMovedMessage);
  return *inner;
}

BoxedProcessor ProcessorPy::take() {
  get();
  return std::move(inner);
}

BoxedProcessor take_processor(py::handle obj) {
  if (!py::isinstance<ProcessorPy>(obj)) {
    const std::string got = py::str(py::type::handle_of(obj).attr("__name__")).cast<std::string>();
    throw py::type_error("'" + got + "' object cannot be converted to 'Processor'");
  }
  return obj.cast<ProcessorPy&>().take();
}

void bind_processors(py::module_& m) {
  py::class_<ProcessorPy>(m, "Processor",
                          "Python 侧 Processor（PCM->PCM）：目前包含 IdentityProcessor / ResampleProcessor / "
                          "GainProcessor / CompressorProcessor。")
      .def_static(
          "identity",
          [](std::optional<AudioFormat> format) {
            const auto core = to_core_opt(format);
            return wrap(IdentityProcessor(core), core, core);
          },
          py::arg("format") = py::none(),
          keep(sig_doc("identity(format=None)",
                       "创建 identity processor：\n- format=None：不做格式约束\n- format=AudioFormat：严格要求输入匹配")))
      .def_static(
          "gain",
          [](std::optional<AudioFormat> format, double gain) {
            GainProcessor p = make_gain(format, gain);
            const auto core = p.input_format();
            return wrap(std::move(p), core, core);
          },
          py::arg("format") = py::none(), py::arg("gain") = 1.0,
          keep(sig_doc("gain(format=None, gain=1.0)", "创建 gain processor（线性增益，PCM->PCM，不改变格式）。")))
      .def_static(
          "resample",
          [](std::optional<AudioFormat> in_format, const AudioFormat& out_format,
             std::optional<std::size_t> out_chunk_samples, bool pad_final) {
            ResampleProcessor p = make_resample(in_format, out_format, out_chunk_samples, pad_final);
            const auto in = p.input_format();
            const auto out = p.output_format();
            return wrap(std::move(p), in, out);
          },
          py::arg("in_format"), py::arg("out_format"), py::arg("out_chunk_samples") = py::none(),
          py::arg("pad_final") = true,
          keep(sig_doc("resample(in_format, out_format, out_chunk_samples=None, pad_final=True)",
                       "创建 resample processor（自动选择后端：ffmpeg 优先，否则 linear）。\n\n"
                       "- in_format=None：首帧推断输入格式（更适合接入 NodeBuffer/文件 reader 等“自带格式”的场景）\n"
                       "- in_format=AudioFormat：严格要求输入匹配（channels/planar/sample_type 等）\n"
                       "- out_chunk_samples/pad_final 可用于“重分帧”")))
      .def_static(
          "compressor",
          [](std::optional<AudioFormat> format, float sample_rate, float threshold_db, float knee_width_db, float ratio,
             float expansion_ratio, float expansion_threshold_db, float attack_time, float release_time,
             float master_gain_db) {
            const auto core = to_core_opt(format);
            const DynamicsParams params{sample_rate,  threshold_db, knee_width_db, ratio,         expansion_ratio,
                                        expansion_threshold_db, attack_time, release_time, master_gain_db};
            return wrap(make_compressor(core, params), core, core);
          },
          py::arg("format"), py::arg("sample_rate"), py::arg("threshold_db"), py::arg("knee_width_db"),
          py::arg("ratio"), py::arg("expansion_ratio"), py::arg("expansion_threshold_db"), py::arg("attack_time"),
          py::arg("release_time"), py::arg("master_gain_db"),
          keep(sig_doc("compressor(format, sample_rate, threshold_db, knee_width_db, ratio, expansion_ratio, "
                       "expansion_threshold_db, attack_time, release_time, master_gain_db)",
                       "创建 compressor processor（动态压缩 + 扩展/门，PCM->PCM，不改变格式）。\n\n"
                       "- format=None：首帧推断输入格式并初始化 compressor（channels 由首帧推断）\n"
                       "- format=AudioFormat：严格要求输入匹配")))
      .def(
          "put_frame",
          [](ProcessorPy& self, py::object pcm, std::optional<std::int64_t> pts, std::optional<AudioFormat> format) {
            AudioProcessor& p = self.get();
            if (self.flushed)
              throw std::runtime_error("Processor 已 flush（输入结束），不能再 put_frame；如需继续输入，请新建一个 Processor");
            if (!self.in_format) {
              if (!format)
                throw py::value_error(
                    "Processor 输入格式未知：请在 put_frame(..., format=AudioFormat(...)) 里显式提供 format，"
                    "或在构造 Processor 时指定 format");
              self.in_format = to_core(*format);
              if (!self.out_format) self.out_format = self.in_format;
            }
            AudioFrame frame = numpy_to_frame(pcm, *self.in_format);
            if (pts) frame.set_pts(*pts);
            unwrap_codec(p.send_frame(&frame));
          },
          py::arg("pcm"), py::arg("pts") = py::none(), py::arg("format") = py::none(),
          keep(sig_doc("put_frame($self, pcm, pts=None, format=None)",
                       "输入一帧 PCM（numpy）。\n\n"
                       "- 当 Processor 输入格式未知（例如 Processor.identity(format=None) / "
                       "Processor.gain(format=None)）时，\n"
                       "  允许通过 `format=...` 在第一次 put_frame 时显式指定输入格式。")))
      .def(
          "get_frame",
          [](ProcessorPy& self, bool force, const std::string& layout) -> py::object {
            AudioProcessor& p = self.get();
            if (force && !self.flushed) {
              unwrap_codec(p.send_frame(nullptr));
              self.flushed = true;
            }
            const bool planar = parse_layout(layout);
            auto r = p.receive_frame();
            if (!r) {
              if (r.error().is_again() || r.error().is_eof()) return py::none();
              map_codec_err(r.error());
            }
            return frame_to_numpy(*r, planar);
          },
          py::arg("force") = false, py::arg("layout") = "planar",
          keep(sig_doc("get_frame($self, force=False, layout=\"planar\")",
                       "取出一帧输出 PCM：\n- 返回 numpy；无输出返回 None")))
      .def(
          "flush",
          [](ProcessorPy& self) {
            if (self.flushed) return;
            unwrap_codec(self.get().send_frame(nullptr));
            self.flushed = true;
          },
          keep(sig_doc("flush($self)", "flush：通知输入结束（之后继续 get_frame 直到 EOF）。")))
      .def(
          "reset",
          [](ProcessorPy& self) {
            unwrap_codec(self.get().reset());
            self.flushed = false;
          },
          keep(sig_doc("reset($self)", "重置内部状态（清空缓存、回到初始态），可继续接收新的流。")))
      .def(
          "output_format",
          [](const ProcessorPy& self) -> std::optional<AudioFormat> {
            if (!self.out_format) return std::nullopt;
            return audio_format_from_core(*self.out_format);
          },
          keep(sig_doc("output_format($self)", "输出格式（若已知）。")))
      .def_property_readonly("name", [](ProcessorPy& self) { return std::string(self.get().name()); });

  {
    py::class_<GainNodeConfig> cls(
        m, "GainNodeConfig",
        class_doc("GainNodeConfig", "(format=None, gain=1.0)", "pipeline 节点：GainProcessorNode 的 config").c_str());
    cls.def(py::init([](std::optional<AudioFormat> format, double gain) { return GainNodeConfig{std::move(format), gain}; }),
            py::arg("format") = py::none(), py::arg("gain") = 1.0, keep(sig_doc("__init__(self, format=None, gain=1.0)")));
    rw(cls, "format", &GainNodeConfig::format);
    rw(cls, "gain", &GainNodeConfig::gain);
  }
  {
    py::class_<IdentityNodeConfig> cls(
        m, "IdentityNodeConfig",
        class_doc("IdentityNodeConfig", "(kind)", "pipeline 节点：IdentityNode 的 config").c_str());
    cls.def(py::init([](std::string kind) { return IdentityNodeConfig{std::move(kind)}; }), py::arg("kind"),
            keep(sig_doc("__init__(self, kind)")));
    rw(cls, "kind", &IdentityNodeConfig::kind);
  }
  {
    static const char* const sig = "(in_format, out_format, out_chunk_samples=None, pad_final=True)";
    py::class_<ResampleNodeConfig> cls(
        m, "ResampleNodeConfig", class_doc("ResampleNodeConfig", sig, "pipeline 节点：ResampleProcessorNode 的 config").c_str());
    cls.def(py::init([](std::optional<AudioFormat> in_format, AudioFormat out_format,
                        std::optional<std::size_t> out_chunk_samples, bool pad_final) {
              return ResampleNodeConfig{std::move(in_format), std::move(out_format), out_chunk_samples, pad_final};
            }),
            py::arg("in_format"), py::arg("out_format"), py::arg("out_chunk_samples") = py::none(),
            py::arg("pad_final") = true,
            keep(sig_doc("__init__(self, in_format, out_format, out_chunk_samples=None, pad_final=True)")));
    rw(cls, "in_format", &ResampleNodeConfig::in_format);
    rw(cls, "out_format", &ResampleNodeConfig::out_format);
    rw(cls, "out_chunk_samples", &ResampleNodeConfig::out_chunk_samples);
    rw(cls, "pad_final", &ResampleNodeConfig::pad_final);
  }
  {
    // threshold_db and expansion_threshold_db default to -18.0 and -60.0;
    // the text signature shows negative defaults as "...".
    static const char* const params =
        "format, sample_rate=None, threshold_db=..., knee_width_db=6.0, ratio=4.0, expansion_ratio=2.0, "
        "expansion_threshold_db=..., attack_time=0.01, release_time=0.10, master_gain_db=0.0";
    py::class_<CompressorNodeConfig> cls(
        m, "CompressorNodeConfig",
        class_doc("CompressorNodeConfig", (std::string("(") + params + ")").c_str(),
                  "pipeline 节点：CompressorProcessorNode 的 config")
            .c_str());
    cls.def(py::init([](std::optional<AudioFormat> format, std::optional<float> sample_rate, float threshold_db,
                        float knee_width_db, float ratio, float expansion_ratio, float expansion_threshold_db,
                        float attack_time, float release_time, float master_gain_db) {
              return CompressorNodeConfig{std::move(format), sample_rate,     threshold_db,
                                          knee_width_db,     ratio,           expansion_ratio,
                                          expansion_threshold_db, attack_time, release_time,
                                          master_gain_db};
            }),
            py::arg("format"), py::arg("sample_rate") = py::none(), py::arg("threshold_db") = -18.0f,
            py::arg("knee_width_db") = 6.0f, py::arg("ratio") = 4.0f, py::arg("expansion_ratio") = 2.0f,
            py::arg("expansion_threshold_db") = -60.0f, py::arg("attack_time") = 0.01f,
            py::arg("release_time") = 0.10f, py::arg("master_gain_db") = 0.0f,
            keep(sig_doc((std::string("__init__(self, ") + params + ")").c_str())));
    rw(cls, "format", &CompressorNodeConfig::format);
    rw(cls, "sample_rate", &CompressorNodeConfig::sample_rate);
    rw(cls, "threshold_db", &CompressorNodeConfig::threshold_db);
    rw(cls, "knee_width_db", &CompressorNodeConfig::knee_width_db);
    rw(cls, "ratio", &CompressorNodeConfig::ratio);
    rw(cls, "expansion_ratio", &CompressorNodeConfig::expansion_ratio);
    rw(cls, "expansion_threshold_db", &CompressorNodeConfig::expansion_threshold_db);
    rw(cls, "attack_time", &CompressorNodeConfig::attack_time);
    rw(cls, "release_time", &CompressorNodeConfig::release_time);
    rw(cls, "master_gain_db", &CompressorNodeConfig::master_gain_db);
  }

  m.def("make_processor_node", &make_processor_node, py::arg("kind"), py::arg("config"),
        keep(sig_doc("make_processor_node(kind, config)",
                     "统一的 processor 节点工厂：通过字符串选择 processor，并用 *NodeConfig 提供参数。")));
}

}  // namespace kestrune::python

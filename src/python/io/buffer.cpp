#include "python/io/buffer.hpp"

#include <pybind11/stl.h>

#include <stdexcept>

#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/format.hpp"

namespace kestrune::python {

NodeBuffer& NodeBufferPy::get() {
  if (!inner) throw std::runtime_error("NodeBuffer 已被移动（不可再次使用）");
  return *inner;
}

NodeBuffer NodeBufferPy::take() {
  NodeBuffer buf = std::move(get());
  inner.reset();
  return buf;
}

DynNodePy::DynNodePy(BoxedDynNode n)
    : node(std::move(n)), name(node->name()), input_kind(node->input_kind()),
      output_kind(node->output_kind()) {}

BoxedDynNode DynNodePy::take() {
  if (!node) throw std::runtime_error("DynNode 已被移动（不可再次使用）");
  return std::move(node);
}

py::object make_dyn_node_object(BoxedDynNode node) {
  return py::cast(DynNodePy(std::move(node)));
}

py::object make_node_buffer_object(NodeBuffer buf) {
  return py::cast(NodeBufferPy{std::move(buf)});
}

std::optional<NodeKind> parse_node_kind(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return node_kind_from_str(lower);
}

namespace {

py::list bytes_to_list(const Bytes& data) {
  py::list out(data.size());
  for (std::size_t i = 0; i < data.size(); ++i) out[i] = py::int_(data[i]);
  return out;
}

// Accepts bytes-like objects directly and any other sequence of ints 0..255;
// str is refused like any non-sequence of ints.
Bytes bytes_from_object(py::handle data) {
  if (py::isinstance<py::str>(data))
    throw py::type_error("Packet(): argument 'data' must be a sequence of integers 0..255, not str");
  if (PyObject_CheckBuffer(data.ptr()) && (py::isinstance<py::bytes>(data) || py::isinstance<py::bytearray>(data))) {
    std::string s = py::isinstance<py::bytes>(data) ? data.cast<std::string>()
                                                    : std::string(PyByteArray_AsString(data.ptr()),
                                                                  PyByteArray_Size(data.ptr()));
    return Bytes(s.begin(), s.end());
  }
  try {
    return data.cast<std::vector<std::uint8_t>>();
  } catch (py::cast_error&) {
    throw py::type_error("Packet(): argument 'data' must be a sequence of integers 0..255");
  }
}

}  // namespace

void bind_buffers(py::module_& m) {
  static const char* const packet_sig =
      "(data, time_base_num=1, time_base_den=48000, pts=None, dts=None, duration=None, flags=0)";
  py::class_<PacketPy>(m, "Packet", class_doc("Packet", packet_sig).c_str())
      .def(py::init([](py::object data, std::int32_t num, std::int32_t den, std::optional<std::int64_t> pts,
                       std::optional<std::int64_t> dts, std::optional<std::int64_t> duration,
                       std::uint32_t flags) {
             Bytes bytes = bytes_from_object(data);
             if (num == 0 || den == 0) throw py::value_error("time_base_num/time_base_den 必须非 0");
             return PacketPy{CodecPacket{pts, dts, duration, std::move(bytes), {num, den}, flags}};
           }),
           py::arg("data"), py::arg("time_base_num") = 1, py::arg("time_base_den") = 48000,
           py::arg("pts") = py::none(), py::arg("dts") = py::none(), py::arg("duration") = py::none(),
           py::arg("flags") = 0,
           keep(sig_doc("__init__(self, data, time_base_num=1, time_base_den=48000, pts=None, dts=None, "
                        "duration=None, flags=0)")))
      .def_property_readonly("data", [](const PacketPy& p) { return bytes_to_list(p.packet.data); })
      .def_property_readonly("time_base_num", [](const PacketPy& p) { return p.packet.time_base.num; })
      .def_property_readonly("time_base_den", [](const PacketPy& p) { return p.packet.time_base.den; })
      .def_property_readonly("pts", [](const PacketPy& p) { return p.packet.pts; })
      .def_property_readonly("dts", [](const PacketPy& p) { return p.packet.dts; })
      .def_property_readonly("duration", [](const PacketPy& p) { return p.packet.duration; })
      .def_property_readonly("flags", [](const PacketPy& p) { return p.packet.flags; });

  py::class_<NodeBufferPy>(m, "NodeBuffer",
                           "Python 侧 NodeBuffer（pcm 或 packet），用于动态 pipeline/runner 交互。")
      .def_static(
          "pcm",
          [](py::object pcm, const AudioFormat& format, std::optional<std::int64_t> pts,
             std::optional<std::int32_t> tb_num, std::optional<std::int32_t> tb_den) {
            const CoreFormat core = to_core(format);
            AudioFrame frame = numpy_to_frame(pcm, core);
            if (pts) frame.set_pts(*pts);
            if (tb_num && tb_den) {
              if (*tb_den == 0) map_audio_err(AudioError::invalid_time_base(*tb_num, 0));
              frame.set_time_base({*tb_num, *tb_den});
            }
            return NodeBufferPy{NodeBuffer(std::move(frame))};
          },
          py::arg("pcm"), py::arg("format"), py::arg("pts") = py::none(), py::arg("time_base_num") = py::none(),
          py::arg("time_base_den") = py::none(),
          keep(sig_doc("pcm(pcm, format, pts=None, time_base_num=None, time_base_den=None)",
                       "构造 PCM buffer：\n\n- format.planar=True  => numpy shape=(channels, samples)\n"
                       "- format.planar=False => numpy shape=(samples, channels)")))
      .def_static(
          "packet", [](const PacketPy& pkt) { return NodeBufferPy{NodeBuffer(CodecPacket(pkt.packet))}; },
          py::arg("pkt"), keep(sig_doc("packet(pkt)", "构造 Packet buffer。")))
      .def_property_readonly("kind", [](NodeBufferPy& self) { return node_kind_name(self.get().kind()); })
      .def(
          "as_pcm",
          [](NodeBufferPy& self) -> py::object {
            NodeBuffer& buf = self.get();
            if (!buf.is_pcm()) return py::none();
            return frame_to_numpy(buf.pcm(), true);
          },
          keep(sig_doc("as_pcm($self)", "如果是 pcm，返回 numpy ndarray（默认 planar）；否则返回 None。")))
      .def(
          "as_pcm_with_layout",
          [](NodeBufferPy& self, const std::string& layout) -> py::object {
            NodeBuffer& buf = self.get();
            const bool planar = parse_layout(layout);
            if (!buf.is_pcm()) return py::none();
            return frame_to_numpy(buf.pcm(), planar);
          },
          py::arg("layout") = "planar",
          keep(sig_doc("as_pcm_with_layout($self, layout=\"planar\")",
                       "如果是 pcm，返回 numpy ndarray（可选输出 interleaved）；否则返回 None。")))
      .def(
          "as_packet",
          [](NodeBufferPy& self) -> py::object {
            NodeBuffer& buf = self.get();
            if (!buf.is_packet()) return py::none();
            return py::cast(PacketPy{buf.packet()});
          },
          keep(sig_doc("as_packet($self)", "如果是 packet，返回 Packet；否则返回 None。")))
      .def(
          "pcm_info",
          [](NodeBufferPy& self) -> py::object {
            NodeBuffer& buf = self.get();
            if (!buf.is_pcm()) return py::none();
            const AudioFrame& f = buf.pcm();
            const TimeBase tb = f.time_base();
            return py::make_tuple(audio_format_from_core(f.format()), f.pts(), py::make_tuple(tb.num, tb.den));
          },
          keep(sig_doc("pcm_info($self)",
                       "如果是 pcm，返回 (AudioFormat, pts, (time_base_num,time_base_den))；否则返回 None。")));

  py::class_<DynNodePy>(m, "DynNode", "")
      .def_property_readonly("name", [](const DynNodePy& n) { return n.name; })
      .def_property_readonly("input_kind", [](const DynNodePy& n) { return node_kind_name(n.input_kind); })
      .def_property_readonly("output_kind", [](const DynNodePy& n) { return node_kind_name(n.output_kind); });
}

}  // namespace kestrune::python

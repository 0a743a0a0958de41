#include "python/format.hpp"

#include <cstring>

#include "python/binding.hpp"
#include "python/errors.hpp"

namespace kestrune::python {

namespace {

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

template <class T>
struct SampleOf;
template <> struct SampleOf<std::uint8_t> { static constexpr SampleType value = SampleType::U8; };
template <> struct SampleOf<std::int16_t> { static constexpr SampleType value = SampleType::I16; };
template <> struct SampleOf<std::int32_t> { static constexpr SampleType value = SampleType::I32; };
template <> struct SampleOf<std::int64_t> { static constexpr SampleType value = SampleType::I64; };
template <> struct SampleOf<float> { static constexpr SampleType value = SampleType::F32; };
template <> struct SampleOf<double> { static constexpr SampleType value = SampleType::F64; };

// Calls f.template operator()<T>() with T the element type of `t`.
template <class F>
decltype(auto) dispatch_sample_type(SampleType t, F&& f) {
  switch (t) {
    case SampleType::U8: return f.template operator()<std::uint8_t>();
    case SampleType::I16: return f.template operator()<std::int16_t>();
    case SampleType::I32: return f.template operator()<std::int32_t>();
    case SampleType::I64: return f.template operator()<std::int64_t>();
    case SampleType::F32: return f.template operator()<float>();
    case SampleType::F64: break;
  }
  return f.template operator()<double>();
}

template <class T>
py::array_t<T> as_typed_2d(py::handle obj) {
  if (!py::isinstance<py::array_t<T>>(obj) || py::reinterpret_borrow<py::array>(obj).ndim() != 2) {
    throw py::type_error(std::string("expected a 2-D numpy.ndarray of dtype ") +
                         numpy_dtype_name(SampleOf<T>::value) + ", got " +
                         py::str(py::type::handle_of(obj).attr("__name__")).cast<std::string>());
  }
  return py::reinterpret_borrow<py::array_t<T>>(obj);
}

template <class T>
AudioFrame planar_impl(py::handle obj, const CoreFormat& f) {
  auto arr = as_typed_2d<T>(obj);
  const auto rows = static_cast<std::size_t>(arr.shape(0));
  const auto samples = static_cast<std::size_t>(arr.shape(1));
  if (rows != f.channels)
    throw py::value_error("pcm channels dimension does not match config.input_format.channels");
  if (rows > 0 && arr.strides(1) != static_cast<py::ssize_t>(sizeof(T)) && samples >= 2)
    throw py::value_error("pcm needs to be C contiguous (channels, samples)");
  std::vector<Bytes> planes;
  planes.reserve(rows);
  const auto* base = reinterpret_cast<const std::uint8_t*>(arr.data());
  for (std::size_t r = 0; r < rows; ++r) {
    const auto* src = base + static_cast<py::ssize_t>(r) * arr.strides(0);
    planes.emplace_back(src, src + samples * sizeof(T));
  }
  return unwrap_audio(AudioFrame::from_planes(f, samples, 1, static_cast<std::int32_t>(f.sample_rate),
                                              std::nullopt, std::move(planes)));
}

template <class T>
AudioFrame interleaved_impl(py::handle obj, const CoreFormat& f) {
  auto arr = as_typed_2d<T>(obj);
  const auto samples = static_cast<std::size_t>(arr.shape(0));
  const auto cols = static_cast<std::size_t>(arr.shape(1));
  if (cols != f.channels)
    throw py::value_error("pcm channels dimension does not match format.channels");
  const auto elem = static_cast<py::ssize_t>(sizeof(T));
  if (samples > 0 && cols > 0 &&
      ((cols != 1 && arr.strides(1) != elem) ||
       (samples != 1 && arr.strides(0) != static_cast<py::ssize_t>(cols) * elem)))
    throw py::value_error("pcm needs to be C contiguous (samples, channels)");
  const auto* src = reinterpret_cast<const std::uint8_t*>(arr.data());
  std::vector<Bytes> planes;
  planes.emplace_back(src, src + samples * cols * sizeof(T));
  return unwrap_audio(AudioFrame::from_planes(f, samples, 1, static_cast<std::int32_t>(f.sample_rate),
                                              std::nullopt, std::move(planes)));
}

template <class T>
void fill_array(const AudioFrameView& frame, bool planar_output, py::array_t<T>& out) {
  const std::size_t ch = frame.channels();
  const std::size_t n = frame.nb_samples();
  T* dst = out.mutable_data();
  auto load = [](const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
  };
  if (frame.is_planar()) {
    for (std::size_t c = 0; c < ch; ++c) {
      auto plane = frame.plane(c);
      if (!plane) throw std::runtime_error("missing plane");
      const std::uint8_t* src = plane->data();
      if (planar_output) {
        std::memcpy(dst + c * n, src, n * sizeof(T));
      } else {
        for (std::size_t s = 0; s < n; ++s) dst[s * ch + c] = load(src + s * sizeof(T));
      }
    }
  } else {
    auto plane = frame.plane(0);
    if (!plane) throw std::runtime_error("missing plane 0");
    const std::uint8_t* src = plane->data();
    if (!planar_output) {
      std::memcpy(dst, src, n * ch * sizeof(T));
    } else {
      for (std::size_t s = 0; s < n; ++s)
        for (std::size_t c = 0; c < ch; ++c) dst[c * n + s] = load(src + (s * ch + c) * sizeof(T));
    }
  }
}

}  // namespace

std::optional<SampleType> parse_sample_type(std::string_view text) {
  const std::string t = ascii_lower(text);
  if (t == "u8") return SampleType::U8;
  if (t == "i16") return SampleType::I16;
  if (t == "i32") return SampleType::I32;
  if (t == "i64") return SampleType::I64;
  if (t == "f32") return SampleType::F32;
  if (t == "f64") return SampleType::F64;
  return std::nullopt;
}

const char* sample_type_str(SampleType t) {
  static const char* names[] = {"u8", "i16", "i32", "i64", "f32", "f64"};
  return names[static_cast<std::size_t>(t)];
}

const char* numpy_dtype_name(SampleType t) {
  static const char* names[] = {"uint8", "int16", "int32", "int64", "float32", "float64"};
  return names[static_cast<std::size_t>(t)];
}

SampleType core_sample_type(const AudioFormat& f) {
  auto t = parse_sample_type(f.sample_type);
  if (!t) throw py::value_error("invalid sample_type");
  return *t;
}

std::uint64_t default_layout_mask(std::uint16_t channels) {
  return channels == 1 ? 0x4 : channels == 2 ? 0x3 : 0;
}

CoreFormat to_core(const AudioFormat& f) {
  CoreFormat c;
  c.sample_rate = f.sample_rate;
  c.sample_format = SampleFormat{core_sample_type(f), f.planar};
  c.channels = f.channels;
  c.channel_layout_mask = f.channel_layout_mask != 0 ? f.channel_layout_mask : default_layout_mask(f.channels);
  return c;
}

AudioFormat audio_format_from_core(const CoreFormat& f) {
  return AudioFormat{f.sample_rate, f.channels, sample_type_str(f.sample_format.type),
                     f.sample_format.planar, f.channel_layout_mask};
}

bool parse_layout(std::string_view layout) {
  const std::string l = ascii_lower(layout);
  if (l == "planar") return true;
  if (l == "interleaved") return false;
  throw py::value_error("layout 仅支持: planar/interleaved");
}

py::object ascontig_cast_2d(py::handle pcm, const char* dtype_name) {
  py::module_ np = py::module_::import("numpy");
  return np.attr("ascontiguousarray")(pcm, py::arg("dtype") = np.attr(dtype_name));
}

AudioFrame ndarray_to_frame_planar(py::handle array, const CoreFormat& f) {
  return dispatch_sample_type(f.sample_format.type,
                              [&]<class T>() { return planar_impl<T>(array, f); });
}

AudioFrame ndarray_to_frame_interleaved(py::handle array, const CoreFormat& f) {
  return dispatch_sample_type(f.sample_format.type,
                              [&]<class T>() { return interleaved_impl<T>(array, f); });
}

AudioFrame numpy_to_frame(py::handle pcm, const CoreFormat& f) {
  py::object arr = ascontig_cast_2d(pcm, numpy_dtype_name(f.sample_format.type));
  return f.is_planar() ? ndarray_to_frame_planar(arr, f) : ndarray_to_frame_interleaved(arr, f);
}

py::array frame_to_numpy(const AudioFrameView& frame, bool planar_output) {
  const CoreFormat f = frame.format();
  py::module_ np = py::module_::import("numpy");
  py::object dtype = np.attr(numpy_dtype_name(f.sample_format.type));
  const auto ch = static_cast<py::ssize_t>(f.channels);
  const auto n = static_cast<py::ssize_t>(frame.nb_samples());
  py::tuple shape = planar_output ? py::make_tuple(ch, n) : py::make_tuple(n, ch);
  py::object out = np.attr("empty")(shape, dtype);
  return dispatch_sample_type(f.sample_format.type, [&]<class T>() -> py::array {
    auto arr = as_typed_2d<T>(out);
    if (!(arr.flags() & py::array::c_style)) throw py::type_error("numpy.empty returned a non C-ordered array");
    fill_array<T>(frame, planar_output, arr);
    return arr;
  });
}

AudioResult<AudioFrame> ensure_planar_frame(AudioFrame frame) {
  if (frame.is_planar()) return frame;
  const CoreFormat f = frame.format();
  auto src_plane = frame.plane(0);
  if (!src_plane) return std::unexpected(AudioError::invalid_plane_count(1, 0));
  const std::size_t b = f.bytes_per_sample();
  const std::size_t ch = f.channels;
  const std::size_t n = frame.nb_samples();
  const std::uint8_t* src = src_plane->data();
  std::vector<Bytes> planes(ch, Bytes(n * b));
  dispatch_sample_type(f.sample_format.type, [&]<class T>() {
    for (std::size_t c = 0; c < ch; ++c) {
      std::uint8_t* dst = planes[c].data();
      for (std::size_t s = 0; s < n; ++s) std::memcpy(dst + s * b, src + (s * ch + c) * b, sizeof(T));
    }
  });
  CoreFormat pf = f;
  pf.sample_format.planar = true;
  const TimeBase tb = frame.time_base();
  return AudioFrame::from_planes(pf, n, tb.num, tb.den, frame.pts(), std::move(planes));
}

void warnings_warn(const std::string& text) {
  py::module_::import("warnings").attr("warn")(text);
}

std::optional<std::string> codec_from_str(std::string_view text) {
  const std::string t = ascii_lower(text);
  if (t == "wav" || t == "pcm") return "wav";
  if (t == "mp3" || t == "aac" || t == "opus" || t == "flac") return t;
  return std::nullopt;
}

void bind_format(py::module_& m) {
  static const char* const sig = "(sample_rate, channels, sample_type, planar=True, channel_layout_mask=0)";
  py::class_<AudioFormat>(
      m, "AudioFormat",
      class_doc("AudioFormat", sig,
                "Python 侧 AudioFormat（用于 ConfigStruct 里描述 PCM 格式）。\n\n"
                "注意：本 Python API 默认使用 planar PCM（numpy shape = (channels, samples)）。")
          .c_str())
      .def(py::init([](std::uint32_t sample_rate, std::uint16_t channels, std::string sample_type,
                       bool planar, std::uint64_t channel_layout_mask) {
             if (sample_rate == 0) throw py::value_error("sample_rate 必须 > 0");
             if (channels == 0) throw py::value_error("channels 必须 > 0");
             if (!parse_sample_type(sample_type))
               throw py::value_error("sample_type 仅支持: u8/i16/i32/i64/f32/f64");
             return AudioFormat{sample_rate, channels, std::move(sample_type), planar, channel_layout_mask};
           }),
           py::arg("sample_rate"), py::arg("channels"), py::arg("sample_type"), py::arg("planar") = true,
           py::arg("channel_layout_mask") = 0,
           keep(sig_doc("__init__(self, sample_rate, channels, sample_type, planar=True, channel_layout_mask=0)")))
      .def_readonly("sample_rate", &AudioFormat::sample_rate)
      .def_readonly("channels", &AudioFormat::channels)
      .def_readonly("sample_type", &AudioFormat::sample_type)
      .def_readonly("planar", &AudioFormat::planar)
      .def_readonly("channel_layout_mask", &AudioFormat::channel_layout_mask);
}

}  // namespace kestrune::python

import inspect
import math

import numpy as np
import pytest

import pykestrune as k

DTYPES = {"u8": np.uint8, "i16": np.int16, "i32": np.int32, "i64": np.int64, "f32": np.float32, "f64": np.float64}


def fmt(rate=48000, channels=2, sample_type="f32", planar=True):
    return k.AudioFormat(rate, channels, sample_type, planar)


def shaped(planar_data, planar):
    """planar_data has shape (channels, samples); return it in the layout's shape."""
    return planar_data if planar else np.ascontiguousarray(planar_data.T)


def compressor(format, sample_rate=48000.0, **kw):
    p = dict(threshold_db=-18.0, knee_width_db=6.0, ratio=4.0, expansion_ratio=2.0, expansion_threshold_db=-60.0,
             attack_time=0.01, release_time=0.1, master_gain_db=0.0)
    p.update(kw)
    return k.Processor.compressor(format, sample_rate, **p)


@pytest.mark.parametrize("sample_type", list(DTYPES))
@pytest.mark.parametrize("planar", [True, False])
def test_every_sample_type_in_both_layouts(sample_type, planar):
    dtype = DTYPES[sample_type]
    f = fmt(48000, 2, sample_type, planar)
    mid = 128 if dtype is np.uint8 else 0
    data = np.array([[1, 2, -3], [10, -20, 30]]) + mid
    pcm = shaped(data.astype(dtype), planar)

    ident = k.Processor.identity(f)
    ident.put_frame(pcm)
    out = ident.get_frame(layout="planar" if planar else "interleaved")
    assert out.dtype == dtype and np.array_equal(out, pcm)

    gain = k.Processor.gain(f, 2.0)
    gain.put_frame(pcm)
    np.testing.assert_array_equal(gain.get_frame(), ((data - mid) * 2 + mid).astype(dtype))

    # Ratio 1, no expander, 0 dB: the compressor leaves every sample alone.
    comp = compressor(f, ratio=1.0, expansion_ratio=1.0)
    comp.put_frame(pcm)
    np.testing.assert_array_equal(comp.get_frame(), data.astype(dtype))


@pytest.mark.parametrize("sample_type", ["u8", "i16", "i32", "f32"])
@pytest.mark.parametrize("planar", [True, False])
def test_resampler_keeps_a_dc_level(sample_type, planar):
    dtype = DTYPES[sample_type]
    level = {"u8": 200, "f32": 0.25}.get(sample_type, 1000)
    p = k.Processor.resample(fmt(48000, 2, sample_type, planar), fmt(24000, 2, sample_type, planar))
    assert p.name == "resample(ffmpeg)"
    p.put_frame(shaped(np.full((2, 4800), level, dtype=dtype), planar))
    p.flush()
    frames = []
    while (out := p.get_frame()) is not None:
        frames.append(out)
    got = np.concatenate(frames, axis=1)
    assert got.shape[0] == 2 and abs(got.shape[1] - 2400) <= 2
    np.testing.assert_allclose(got[:, 100:-100].astype(np.float64), level, atol=1e-3 if dtype is np.float32 else 1)


def test_format_given_at_first_put_frame():
    p = k.Processor.identity()
    x = np.zeros((2, 4), dtype=np.float32)
    with pytest.raises(ValueError, match="Processor 输入格式未知"):
        p.put_frame(x)
    assert p.output_format() is None
    p.put_frame(x, format=fmt())
    assert p.get_frame().shape == (2, 4)
    of = p.output_format()
    assert (of.sample_rate, of.channels, of.sample_type, of.planar, of.channel_layout_mask) == (48000, 2, "f32", True, 3)
    # Later calls may omit the format, and a different one is ignored.
    p.put_frame(x)
    p.get_frame()
    p.put_frame(x, format=fmt(8000, 1, "i16"))
    assert p.get_frame().dtype == np.float32


def test_pending_output_blocks_the_next_frame():
    p = k.Processor.gain(fmt(), 0.5)
    x = np.ones((2, 3), dtype=np.float32)
    p.put_frame(x)
    with pytest.raises(RuntimeError, match=r"^codec again \(EAGAIN\)$"):
        p.put_frame(x)
    np.testing.assert_array_equal(p.get_frame(), x * 0.5)
    # The resampler accepts more input while output waits.
    r = k.Processor.resample(fmt(), fmt(16000))
    r.put_frame(x)
    r.put_frame(x)


def test_flush_and_forced_get_frame():
    p = k.Processor.gain(fmt())
    assert p.get_frame() is None
    p.put_frame(np.zeros((2, 2), dtype=np.float32))
    # Pending output must be fetched before the end of input is accepted.
    with pytest.raises(RuntimeError, match=r"^codec again \(EAGAIN\)$"):
        p.flush()
    assert p.get_frame() is not None
    p.flush()
    p.flush()  # no-op the second time
    assert p.get_frame() is None
    assert p.get_frame() is None
    with pytest.raises(RuntimeError, match="Processor 已 flush（输入结束），不能再 put_frame"):
        p.put_frame(np.zeros((2, 2), dtype=np.float32))
    p.reset()
    p.put_frame(np.zeros((2, 2), dtype=np.float32))

    q = k.Processor.identity(fmt())
    with pytest.raises(ValueError, match="^layout 仅支持: planar/interleaved$"):
        q.get_frame(force=True, layout="bad")
    with pytest.raises(RuntimeError, match="已 flush"):
        q.put_frame(np.zeros((2, 1), dtype=np.float32))
    assert q.get_frame(layout="INTERLEAVED") is None


def test_layouts_convert_on_the_way_out():
    p = k.Processor.identity(fmt(planar=False))
    x = np.arange(6, dtype=np.float32).reshape(3, 2)  # (samples, channels)
    p.put_frame(x)
    np.testing.assert_array_equal(p.get_frame(layout="planar"), x.T)


def test_processor_errors_map_to_python():
    with pytest.raises(ValueError, match="^gain must be finite$"):
        k.Processor.gain(fmt(), math.inf)
    with pytest.raises(ValueError, match="DynamicsParams.sample_rate must match AudioFormat.sample_rate"):
        compressor(fmt(48000), sample_rate=44100.0)
    with pytest.raises(ValueError, match="^ratio must be >= 1$"):
        compressor(fmt(), ratio=0.5)
    with pytest.raises(ValueError, match="chunk_samples must be > 0"):
        k.Processor.resample(None, fmt(), out_chunk_samples=0)
    with pytest.raises(RuntimeError, match="linear resample supports only f32/i16/i32"):
        k.Processor.resample(fmt(sample_type="f64"), fmt(16000, sample_type="f64"))
    p = k.Processor.identity(fmt())
    with pytest.raises(ValueError, match="pcm channels dimension does not match"):
        p.put_frame(np.zeros((3, 1), dtype=np.float32))
    with pytest.raises(TypeError):
        k.Processor()


def test_deferred_compressor_validates_at_first_frame():
    p = compressor(None, sample_rate=44100.0)
    assert p.name == "compressor" and p.output_format() is None
    with pytest.raises(ValueError, match="DynamicsParams.sample_rate must match"):
        p.put_frame(np.zeros((1, 8), dtype=np.float32), format=fmt(48000, 1))
    # The format given there stays the Processor's input format.
    with pytest.raises(ValueError, match="DynamicsParams.sample_rate must match"):
        p.put_frame(np.zeros((1, 8), dtype=np.float32))
    q = compressor(None, sample_rate=44100.0)
    q.put_frame(np.zeros((1, 8), dtype=np.float32), format=fmt(44100, 1))
    np.testing.assert_array_equal(q.get_frame(), np.zeros((1, 8), dtype=np.float32))


def test_compressor_squashes_loud_input():
    p = compressor(fmt(48000, 1), attack_time=0.0)
    p.put_frame(np.ones((1, 16), dtype=np.float32))
    out = p.get_frame()
    # 0 dB in, threshold -18 dB, ratio 4: 13.5 dB of gain reduction.
    np.testing.assert_allclose(out, 10 ** (-13.5 / 20), rtol=1e-5)


def test_deferred_resampler_names_its_backend_after_the_first_frame():
    p = k.Processor.resample(None, fmt(16000, 1), out_chunk_samples=160, pad_final=True)
    assert p.name == "resample(linear)"
    p.put_frame(np.zeros((1, 480), dtype=np.float32), format=fmt(48000, 1))
    assert p.name == "resample(ffmpeg)"
    sizes = []
    p.flush()
    while (out := p.get_frame()) is not None:
        sizes.append(out.shape)
    assert sizes and all(s == (1, 160) for s in sizes)
    p.reset()
    assert p.name == "resample(linear)"
    of = p.output_format()
    assert (of.sample_rate, of.channels) == (16000, 1)


def test_node_configs_are_read_write_records():
    assert str(inspect.signature(k.GainNodeConfig)) == "(format=None, gain=1.0)"
    assert str(inspect.signature(k.IdentityNodeConfig)) == "(kind)"
    assert str(inspect.signature(k.ResampleNodeConfig)) == "(in_format, out_format, out_chunk_samples=None, pad_final=True)"
    assert k.GainNodeConfig.__doc__.endswith("pipeline 节点：GainProcessorNode 的 config")

    g = k.GainNodeConfig()
    assert g.format is None and g.gain == 1.0
    f = fmt(44100, 1, "i16")
    g.format = f
    g.gain = 2  # converted to float
    assert isinstance(g.gain, float) and g.gain == 2.0
    assert g.format is not g.format and g.format.sample_rate == 44100
    with pytest.raises(TypeError):
        g.gain = "loud"
    with pytest.raises(AttributeError):
        del g.gain

    c = k.CompressorNodeConfig(None)
    assert (c.threshold_db, c.knee_width_db, c.ratio, c.expansion_ratio, c.expansion_threshold_db) == (-18.0, 6.0, 4.0, 2.0, -60.0)
    assert c.attack_time == pytest.approx(0.01) and c.release_time == pytest.approx(0.1)
    assert c.sample_rate is None and c.master_gain_db == 0.0
    c.threshold_db = 0.1
    assert c.threshold_db == float(np.float32(0.1))  # stored in single precision

    r = k.ResampleNodeConfig(None, fmt(16000))
    assert r.in_format is None and r.out_chunk_samples is None and r.pad_final is True
    r.out_chunk_samples = 512
    assert r.out_chunk_samples == 512
    with pytest.raises(TypeError):
        r.out_chunk_samples = -1
    i = k.IdentityNodeConfig("pcm")
    i.kind = "packet"
    assert i.kind == "packet"


def test_make_processor_node():
    node = k.make_processor_node("IDENTITY", k.IdentityNodeConfig("PACKET"))
    assert isinstance(node, k.DynNode)
    assert (node.name, node.input_kind, node.output_kind) == ("identity", "packet", "packet")

    cfg = k.GainNodeConfig(fmt(), 0.5)
    a, b = k.make_processor_node("gain", cfg), k.make_processor_node("Gain", cfg)  # the config is only read
    assert (a.name, a.input_kind, a.output_kind) == ("gain", "pcm", "pcm") and b.name == "gain"
    assert k.make_processor_node("resample", k.ResampleNodeConfig(None, fmt(16000))).name == "resample(linear)"
    assert k.make_processor_node("resample", k.ResampleNodeConfig(fmt(), fmt(16000))).name == "resample(ffmpeg)"
    assert k.make_processor_node("compressor", k.CompressorNodeConfig(fmt())).name == "compressor"
    assert k.make_processor_node("compressor", k.CompressorNodeConfig(None, sample_rate=8000.0)).name == "compressor"

    with pytest.raises(ValueError, match="^gain must be finite$"):
        k.make_processor_node("GAIN", k.GainNodeConfig(None, math.nan))
    with pytest.raises(ValueError, match="^CompressorNodeConfig.sample_rate is required when format=None$"):
        k.make_processor_node("compressor", k.CompressorNodeConfig(None))
    with pytest.raises(ValueError, match="DynamicsParams.sample_rate must match"):
        k.make_processor_node("compressor", k.CompressorNodeConfig(fmt(48000), sample_rate=44100.0))
    with pytest.raises(ValueError, match="^IdentityNodeConfig.kind 仅支持: pcm/packet$"):
        k.make_processor_node("identity", k.IdentityNodeConfig("audio"))
    with pytest.raises(ValueError, match="^kind only support: identity/resample/gain/compressor$"):
        k.make_processor_node("delay", k.GainNodeConfig())
    with pytest.raises(TypeError, match="GainNodeConfig"):
        k.make_processor_node("gain", k.IdentityNodeConfig("pcm"))
    with pytest.raises(ValueError, match="chunk_samples must be > 0"):
        k.make_processor_node("resample", k.ResampleNodeConfig(None, fmt(), out_chunk_samples=0))

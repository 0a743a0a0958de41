import inspect

import numpy as np
import pytest

import pykestrune as pk
from conftest import SAMPLE_TYPES, random_pcm


def test_audio_format_fields_and_read_only():
    f = pk.AudioFormat(48000, 2, "F32")
    assert (f.sample_rate, f.channels, f.sample_type, f.planar, f.channel_layout_mask) == (
        48000, 2, "F32", True, 0)
    with pytest.raises(AttributeError):
        f.sample_rate = 1
    assert f != pk.AudioFormat(48000, 2, "F32")  # identity comparison only


@pytest.mark.parametrize(
    "args, message",
    [
        ((0, 0, "x"), "sample_rate 必须 > 0"),
        ((8000, 0, "u8"), "channels 必须 > 0"),
        ((8000, 1, "u16"), "sample_type 仅支持: u8/i16/i32/i64/f32/f64"),
    ],
)
def test_audio_format_validation(args, message):
    with pytest.raises(ValueError) as e:
        pk.AudioFormat(*args)
    assert str(e.value) == message


def test_audio_format_argument_conversion_errors():
    with pytest.raises(TypeError):
        pk.AudioFormat(-1, 1, "u8")
    with pytest.raises(TypeError):
        pk.AudioFormat(8000, 70000, "u8")


def test_signatures():
    assert pk.AudioFormat.__text_signature__ == (
        "(sample_rate, channels, sample_type, planar=True, channel_layout_mask=0)")
    assert str(inspect.signature(pk.AudioFormat)) == (
        "(sample_rate, channels, sample_type, planar=True, channel_layout_mask=0)")
    assert pk.AudioFormat.__doc__.startswith("Python 侧 AudioFormat")
    assert pk.NodeBuffer.pcm.__text_signature__ == (
        "(pcm, format, pts=None, time_base_num=None, time_base_den=None)")
    assert pk.NodeBuffer.as_pcm_with_layout.__text_signature__ == '($self, layout="planar")'
    assert str(inspect.signature(pk.NodeBuffer.as_pcm_with_layout)) == "(self, /, layout='planar')"
    buf = pk.NodeBuffer.pcm(np.zeros((1, 1)), pk.AudioFormat(8000, 1, "f32"))
    assert str(inspect.signature(buf.as_pcm_with_layout)) == "(layout='planar')"
    assert buf.as_pcm_with_layout.__doc__.startswith("如果是 pcm")


@pytest.mark.parametrize("channels, mask", [(1, 4), (2, 3), (6, 0)])
def test_default_layout_mask_round_trip(channels, mask):
    f = pk.AudioFormat(48000, channels, "F32")
    buf = pk.NodeBuffer.pcm(np.zeros((channels, 4), np.float32), f)
    back, pts, tb = buf.pcm_info()
    assert (back.sample_type, back.channel_layout_mask, pts, tb) == ("f32", mask, None, (1, 48000))


def test_explicit_mask_kept():
    f = pk.AudioFormat(48000, 2, "i16", channel_layout_mask=0x60)
    buf = pk.NodeBuffer.pcm(np.zeros((2, 1), np.int16), f)
    assert buf.pcm_info()[0].channel_layout_mask == 0x60


@pytest.mark.parametrize("stype", sorted(SAMPLE_TYPES))
@pytest.mark.parametrize("planar", [True, False])
def test_numpy_round_trip_is_bit_exact(stype, planar):
    dtype = SAMPLE_TYPES[stype]
    f = pk.AudioFormat(44100, 3, stype, planar=planar)
    planar_data = random_pcm(dtype, (3, 257), seed=hash((stype, planar)) & 0xFFFF)
    given = planar_data if planar else np.ascontiguousarray(planar_data.T)
    buf = pk.NodeBuffer.pcm(given, f)
    for layout, want in (("planar", planar_data), ("interleaved", planar_data.T)):
        out = buf.as_pcm_with_layout(layout)
        assert out.dtype == dtype and out.flags.c_contiguous
        assert out.tobytes() == np.ascontiguousarray(want).tobytes()
    assert buf.as_pcm().tobytes() == planar_data.tobytes()


def test_conversion_casts_and_accepts_non_contiguous():
    f = pk.AudioFormat(48000, 2, "i16")
    buf = pk.NodeBuffer.pcm(np.full((2, 480), 3.9), f)  # float64 -> int16 truncates
    assert buf.as_pcm().dtype == np.int16 and (buf.as_pcm() == 3).all()
    view = np.arange(20, dtype=np.int16).reshape(10, 2).T  # transposed view
    assert (pk.NodeBuffer.pcm(view, f).as_pcm() == view).all()
    assert pk.NodeBuffer.pcm([[1, 2], [3, 4]], f).as_pcm().tolist() == [[1, 2], [3, 4]]


@pytest.mark.parametrize(
    "planar, shape, exc, message",
    [
        (True, (480, 2), ValueError, "pcm channels dimension does not match config.input_format.channels"),
        (False, (2, 480), ValueError, "pcm channels dimension does not match format.channels"),
        (True, (960,), TypeError, None),
        (True, (2, 2, 2), TypeError, None),
    ],
)
def test_conversion_failures(planar, shape, exc, message):
    f = pk.AudioFormat(48000, 2, "f32", planar=planar)
    with pytest.raises(exc) as e:
        pk.NodeBuffer.pcm(np.zeros(shape), f)
    if message:
        assert str(e.value) == message


def test_zero_sample_frames():
    f = pk.AudioFormat(48000, 2, "f32")
    buf = pk.NodeBuffer.pcm(np.zeros((2, 0), np.float32), f)
    assert buf.as_pcm().shape == (2, 0)
    assert buf.as_pcm_with_layout("interleaved").shape == (0, 2)


def test_layout_words():
    buf = pk.NodeBuffer.pcm(np.zeros((2, 3), np.float32), pk.AudioFormat(48000, 2, "f32"))
    assert buf.as_pcm_with_layout("Interleaved").shape == (3, 2)
    assert buf.as_pcm_with_layout("PLANAR").shape == (2, 3)
    with pytest.raises(ValueError, match="^layout 仅支持: planar/interleaved$"):
        buf.as_pcm_with_layout("stacked")


def test_time_base_and_pts_on_pcm():
    f = pk.AudioFormat(48000, 1, "f32")
    data = np.zeros((1, 4), np.float32)
    assert pk.NodeBuffer.pcm(data, f, pts=7, time_base_num=1, time_base_den=1000).pcm_info()[1:] == (7, (1, 1000))
    # Only one half of a time base is ignored.
    assert pk.NodeBuffer.pcm(data, f, time_base_num=3).pcm_info()[2] == (1, 48000)
    with pytest.raises(ValueError, match="^invalid time_base: 5/0$"):
        pk.NodeBuffer.pcm(data, f, time_base_num=5, time_base_den=0)

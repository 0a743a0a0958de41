"""Decoder, Encoder, their configuration classes and the codec node factories."""

import inspect
import os
import subprocess
import warnings

import numpy as np
import pytest

import pykestrune as k

DECODER_WARN = ("not enough samples: last frame is not full, default not return; "
                "if you want to return, please get_frame(force=True)")
ENCODER_WARN = ("Not enough for one chunk: the last frame is incomplete and will not be "
                "returned by default; to return it, please call get_frame(force=True)")
NO_FORMAT_WARN = ("Encoder constructed with input_format=None: first put_frame must provide "
                  "format=AudioFormat(...)")

DTYPES = {"u8": np.uint8, "i16": np.int16, "i32": np.int32, "i64": np.int64,
          "f32": np.float32, "f64": np.float64}


def random_pcm(sample_type, shape, seed=0):
    rng = np.random.default_rng(seed)
    dt = np.dtype(DTYPES[sample_type])
    if dt.kind == "f":
        return rng.uniform(-1, 1, size=shape).astype(dt)
    info = np.iinfo(dt)
    return rng.integers(info.min, info.max, size=shape, dtype=dt, endpoint=True)


def sine(rate, channels, n, amp=0.5):
    t = np.arange(n) / rate
    return np.stack([amp * np.sin(2 * np.pi * 440 * t + 0.3 * c) for c in range(channels)]).astype(np.float32)


def drain_packets(enc):
    out = []
    while True:
        p = enc.get_packet(force=True)
        if p is None:
            return out
        out.append(p)


def drain_frames(dec, layout="planar"):
    out = []
    while True:
        f = dec.get_frame(force=True, layout=layout)
        if f is None:
            return out
        out.append(f)


# ------------------------------------------------------------ configurations

CONFIG_SIGNATURES = {
    "AacDecoderConfig": "(chunk_samples, packet_time_base_den=48000)",
    "Mp3DecoderConfig": "(chunk_samples, packet_time_base_den=48000)",
    "FlacDecoderConfig": "(chunk_samples, packet_time_base_den=48000)",
    "OpusDecoderConfig": "(chunk_samples, packet_time_base_den=48000, extradata=None)",
    "WavDecoderConfig": "(output_format, chunk_samples)",
    "AacEncoderConfig": "(input_format=None, chunk_samples=1024, bitrate=None)",
    "Mp3EncoderConfig": "(input_format=None, chunk_samples=1152, bitrate=...)",
    "WavEncoderConfig": "(input_format=None, chunk_samples=1024)",
    "FlacEncoderConfig": "(input_format=None, chunk_samples=4096, compression_level=None)",
    "OpusEncoderConfig": "(input_format=None, chunk_samples=960, bitrate=...)",
    "Decoder": "(codec, config)",
    "Encoder": "(codec, config)",
}


@pytest.mark.parametrize("name,sig", CONFIG_SIGNATURES.items())
def test_class_signatures(name, sig):
    cls = getattr(k, name)
    assert cls.__text_signature__ == sig
    if name.endswith("Config"):
        assert cls.__doc__ == ""  # the configuration classes carry no text of their own
    inspect.signature(cls)  # parseable


def test_method_signatures():
    assert k.Decoder.get_frame.__text_signature__ == '($self, force=False, layout="planar")'
    assert k.Encoder.put_frame.__text_signature__ == "($self, pcm, pts=None, format=None)"
    assert k.make_decoder_node.__text_signature__ == "(codec, config)"
    assert k.make_encoder_node.__doc__.endswith("（由上游分帧决定）。")
    assert k.Decoder.state.__doc__.endswith(
        '当前状态：\n- "ready": FIFO 已攒够一个 chunk\n- "need_more": FIFO 有残留但不足一个 chunk\n'
        '- "empty": 还没解出任何 PCM 或已完全取空')


def test_config_attributes_and_checks():
    fmt = k.AudioFormat(48000, 2, "f32")
    c = k.OpusDecoderConfig(960, extradata=b"OpusHead")
    assert (c.chunk_samples, c.packet_time_base_den, c.extradata) == (960, 48000, b"OpusHead")
    assert not hasattr(k.AacDecoderConfig(10), "extradata")
    assert k.OpusDecoderConfig(1).extradata is None
    with pytest.raises(TypeError):
        k.OpusDecoderConfig(960, extradata="OpusHead")
    with pytest.raises(AttributeError):
        c.chunk_samples = 5
    for cls in (k.AacDecoderConfig, k.Mp3DecoderConfig, k.FlacDecoderConfig, k.OpusDecoderConfig):
        with pytest.raises(ValueError, match="^chunk_samples must be greater than 0$"):
            cls(0)
        with pytest.raises(ValueError, match="^packet_time_base_den must be greater than 0$"):
            cls(1, packet_time_base_den=0)
        with pytest.raises(TypeError):
            cls(-1)
    with pytest.raises(ValueError, match="^chunk_samples must be greater than 0$"):
        k.WavDecoderConfig(fmt, 0)
    for cls in (k.AacEncoderConfig, k.Mp3EncoderConfig, k.WavEncoderConfig, k.FlacEncoderConfig,
                k.OpusEncoderConfig):
        with pytest.raises(ValueError, match="^chunk_samples 必须 > 0$"):
            cls(chunk_samples=0)
        assert cls().input_format is None
        assert cls(fmt).input_format.sample_rate == 48000
    assert k.Mp3EncoderConfig().bitrate == 128000
    assert k.Mp3EncoderConfig(bitrate=None).bitrate is None
    assert k.OpusEncoderConfig().bitrate == 96000
    assert k.OpusEncoderConfig(bitrate=64000).bitrate == 64000
    assert k.AacEncoderConfig().bitrate is None
    assert k.FlacEncoderConfig(compression_level=8).compression_level == 8
    assert [cls().chunk_samples for cls in (k.AacEncoderConfig, k.Mp3EncoderConfig, k.WavEncoderConfig,
                                            k.FlacEncoderConfig, k.OpusEncoderConfig)] == [1024, 1152, 1024,
                                                                                           4096, 960]


def test_codec_names_and_config_classes():
    fmt = k.AudioFormat(48000, 2, "i16", planar=False)
    d = k.Decoder("PCM", k.WavDecoderConfig(fmt, 1024))
    assert d.codec == "wav" and d.chunk_samples == 1024
    assert k.Decoder("Mp3", k.Mp3DecoderConfig(1152)).codec == "mp3"
    assert k.Encoder("pcm", k.WavEncoderConfig()).codec == "wav"
    with pytest.raises(ValueError, match="^codec 仅支持: wav/mp3/aac/opus/flac$"):
        k.Decoder("vorbis", k.Mp3DecoderConfig(1))
    with pytest.raises(ValueError, match="^codec 仅支持: wav/mp3/aac/opus/flac$"):
        k.Encoder("vorbis", k.Mp3EncoderConfig())
    with pytest.raises(TypeError):
        k.Decoder("aac", k.Mp3DecoderConfig(1))
    with pytest.raises(TypeError):
        k.Encoder("aac", k.Mp3EncoderConfig())
    with pytest.raises(ValueError, match=r"^WAV/PCM decoder's output_format\.planar must be False"):
        k.Decoder("wav", k.WavDecoderConfig(k.AudioFormat(48000, 2, "i16", planar=True), 1024))


# ------------------------------------------------------------ Decoder

def test_wav_decoder_chunk_walk():
    fmt = k.AudioFormat(48000, 2, "i16", planar=False)
    d = k.Decoder("wav", k.WavDecoderConfig(fmt, 1024))
    assert d.state() == "empty"
    assert d.output_format().planar is True  # the FIFO is planar from the start
    pcm = random_pcm("i16", (1500, 2))
    d.put_frame(pcm.tobytes())
    assert d.pending_samples() == 1500 and d.state() == "ready"
    first = d.get_frame()
    assert first.shape == (2, 1024)
    np.testing.assert_array_equal(first, pcm[:1024].T)
    assert d.state() == "need_more"
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        assert d.get_frame() is None
    assert [str(x.message) for x in w] == [DECODER_WARN] and w[0].category is UserWarning
    arr, pts, tb = d.get_frame_info(force=True, layout="INTERLEAVED")
    assert arr.shape == (476, 2)
    np.testing.assert_array_equal(arr, pcm[1024:])
    assert pts is None and tb == (1, 48000)
    assert d.state() == "empty" and d.get_frame(force=True) is None


def test_decoder_layout_is_checked_first():
    d = k.Decoder("wav", k.WavDecoderConfig(k.AudioFormat(8000, 1, "u8", planar=False), 4))
    d.put_frame(bytes(range(6)))
    with pytest.raises(ValueError, match="^layout 仅支持: planar/interleaved$"):
        d.get_frame(layout="rows")
    with pytest.raises(ValueError):
        d.get_frame_info(layout="")
    assert d.pending_samples() == 6  # untouched
    assert d.get_frame(layout="Planar").shape == (1, 4)


def test_decoder_put_frame_inputs_and_errors():
    fmt = k.AudioFormat(8000, 2, "i16", planar=False)
    d = k.Decoder("wav", k.WavDecoderConfig(fmt, 2))
    d.put_frame(bytearray(8))
    d.put_frame(memoryview(bytes(8)))
    d.put_frame([0] * 8)
    assert d.pending_samples() == 6
    with pytest.raises(TypeError):
        d.put_frame("abcd")
    with pytest.raises(TypeError, match="^frame 需要是 bytes$"):
        d.put_frame(3.5)
    with pytest.raises(ValueError, match="^packet size not aligned to channels\\*bps$"):
        d.put_frame(bytes(10))
    assert d.pending_samples() == 6  # a failed call leaves the buffered PCM
    d.put_packet(k.Packet(bytes(4), 1, 8000, pts=100))
    d.reset()
    assert d.output_format() is None and d.state() == "empty" and d.get_frame() is None
    d.put_frame(bytes(4))
    assert d.pending_samples() == 1


def test_decoder_garbage_gives_errors_not_crashes():
    rng = np.random.default_rng(3)
    for codec, cfg in [("aac", k.AacDecoderConfig(1024)), ("mp3", k.Mp3DecoderConfig(1152)),
                       ("flac", k.FlacDecoderConfig(4096)), ("opus", k.OpusDecoderConfig(960))]:
        d = k.Decoder(codec, cfg)
        for i in range(40):
            data = rng.integers(0, 256, size=int(rng.integers(0, 1500)), dtype=np.uint8).tobytes()
            try:
                d.put_frame(data)
            except (ValueError, RuntimeError):
                pass
        d.reset()


# ------------------------------------------------------------ Encoder

def test_encoder_needs_a_format():
    e = k.Encoder("opus", k.OpusEncoderConfig())
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        assert e.get_packet() is None
    assert [str(x.message) for x in w] == [NO_FORMAT_WARN]
    with pytest.raises(ValueError, match="首次 put_frame 必须提供 format"):
        e.put_frame(np.zeros((2, 960), np.float32))
    e.put_frame(np.zeros((2, 960), np.float32), format=k.AudioFormat(48000, 2, "f32"))
    with pytest.raises(ValueError, match="^format 与 Encoder 当前锁定的 input_format 不一致$"):
        e.put_frame(np.zeros((1, 960), np.float32), format=k.AudioFormat(48000, 1, "f32"))
    e.put_frame(np.zeros((2, 960), np.float32))  # the locked format is used
    assert e.pending_samples() == 1920


def test_opus_encoder_refuses_44100():
    msg = r"^Opus encoder requires 48kHz input \(no resample layer yet\)$"
    with pytest.raises(ValueError, match=msg):
        k.Encoder("opus", k.OpusEncoderConfig(k.AudioFormat(44100, 2, "f32", planar=False)))
    e = k.Encoder("opus", k.OpusEncoderConfig())
    e.put_frame(np.zeros((960, 2), np.float32), format=k.AudioFormat(44100, 2, "f32", planar=False))
    with pytest.raises(ValueError, match=msg):
        e.get_packet()


def test_encoder_chunking_walk():
    """2500 samples at chunk 1024: two frames now, 452 at the first forced
    take on an empty queue, end of input at the next one."""
    fmt = k.AudioFormat(48000, 2, "i16")
    e = k.Encoder("wav", k.WavEncoderConfig(fmt, 1024))
    pcm = random_pcm("i16", (2, 2500))
    e.put_frame(pcm, pts=0)
    assert e.state() == "ready"
    first = e.get_packet()
    assert first.duration == 1024 and first.pts == 0
    assert e.pending_samples() == 452 and e.state() == "ready"  # one packet still queued
    second = e.get_packet(force=True)
    assert second.duration == 1024 and second.pts == 1024
    assert e.state() == "need_more"
    last = e.get_packet(force=True)
    assert last.duration == 452 and last.pts == 2048
    assert e.state() == "empty"
    assert e.get_packet(force=True) is None  # sends end of input, nothing left
    assert e.get_packet(force=True) is None
    assert e.get_frame(force=True) is None
    data = b"".join(bytes(p.data) for p in (first, second, last))
    assert data == pcm.T.tobytes()


def test_encoder_get_frame_and_warning():
    fmt = k.AudioFormat(8000, 1, "i16", planar=False)
    e = k.Encoder("wav", k.WavEncoderConfig(fmt, 4))
    e.put_frame(np.arange(6, dtype=np.int16).reshape(6, 1))
    assert e.get_frame() == np.arange(4, dtype=np.int16).tobytes()
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        assert e.get_frame() is None
    assert [str(x.message) for x in w] == [ENCODER_WARN]
    assert e.state() == "need_more"
    assert e.get_frame(force=True) == np.arange(4, 6, dtype=np.int16).tobytes()


def test_encoder_reset():
    fixed_fmt = k.AudioFormat(8000, 1, "i16")
    e = k.Encoder("wav", k.WavEncoderConfig(fixed_fmt, 4))
    e.put_frame(np.zeros((1, 10), np.int16))
    e.get_packet()
    e.reset()
    assert e.pending_samples() == 0 and e.state() == "empty"
    e.put_frame(np.zeros((1, 4), np.int16))  # still locked: no format needed
    assert e.get_packet().duration == 4

    free = k.Encoder("wav", k.WavEncoderConfig(chunk_samples=4))
    free.put_frame(np.zeros((1, 4), np.int16), format=fixed_fmt)
    free.reset()
    with pytest.raises(ValueError, match="首次 put_frame 必须提供 format"):
        free.put_frame(np.zeros((1, 4), np.int16))
    other = k.AudioFormat(16000, 2, "f32", planar=False)
    free.put_frame(np.zeros((4, 2), np.float32), format=other)
    p = free.get_packet()
    assert p.duration == 4 and len(p.data) == 32 and p.time_base_den == 16000


@pytest.mark.parametrize("sample_type", list(DTYPES))
@pytest.mark.parametrize("planar", [True, False])
def test_wav_round_trip_exact(sample_type, planar):
    fmt = k.AudioFormat(44100, 3, sample_type, planar=planar)
    e = k.Encoder("wav", k.WavEncoderConfig(fmt, 100))
    pcm = random_pcm(sample_type, (3, 250) if planar else (250, 3), seed=7)
    e.put_frame(pcm)
    packets = drain_packets(e)
    assert [p.duration for p in packets] == [100, 100, 50]
    d = k.Decoder("wav", k.WavDecoderConfig(k.AudioFormat(44100, 3, sample_type, planar=False), 100))
    for p in packets:
        d.put_packet(p)
    out = np.concatenate(drain_frames(d, "planar" if planar else "interleaved"), axis=1 if planar else 0)
    assert out.dtype == pcm.dtype
    np.testing.assert_array_equal(out, pcm)


def test_flac_round_trip_exact_for_16_bit():
    fmt = k.AudioFormat(44100, 2, "i16", planar=False)
    e = k.Encoder("flac", k.FlacEncoderConfig(fmt, compression_level=5))
    pcm = (sine(44100, 2, 10000) * 32767).astype(np.int16).T.copy()
    e.put_frame(pcm)
    packets = drain_packets(e)
    d = k.Decoder("flac", k.FlacDecoderConfig(4096, packet_time_base_den=44100))
    for p in packets:
        d.put_packet(p)
    out = np.concatenate(drain_frames(d, "interleaved"))
    np.testing.assert_array_equal(out, pcm)


# ------------------------------------------------------------ lossy and the ffmpeg tool

ADTS_RATES = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350]


def adts_header(payload_len, rate, channels, profile=1):
    """The 7-byte ADTS header (no CRC) of one AAC-LC access unit."""
    idx = ADTS_RATES.index(rate)
    n = payload_len + 7
    return bytes([0xFF, 0xF1, (profile << 6) | (idx << 2) | (channels >> 2),
                  ((channels & 3) << 6) | (n >> 11), (n >> 3) & 0xFF, ((n & 7) << 5) | 0x1F, 0xFC])


def split_adts(data):
    units, pos = [], 0
    while pos + 7 <= len(data):
        assert data[pos] == 0xFF and data[pos + 1] & 0xF0 == 0xF0
        n = ((data[pos + 3] & 3) << 11) | (data[pos + 4] << 3) | (data[pos + 5] >> 5)
        units.append(data[pos:pos + n])
        pos += n
    return units


def ffmpeg_decode(path, channels):
    out = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-xerror", "-i", str(path), "-ac", str(channels),
                          "-f", "f32le", "-"], capture_output=True, check=True, timeout=60)
    return np.frombuffer(out.stdout, np.float32).reshape(-1, channels)


@pytest.mark.parametrize("codec,rate,chunk", [("aac", 44100, 1024), ("mp3", 44100, 1152), ("opus", 48000, 960)])
def test_lossy_round_trip(codec, rate, chunk, tmp_path):
    cfg = {"aac": k.AacEncoderConfig, "mp3": k.Mp3EncoderConfig, "opus": k.OpusEncoderConfig}[codec]
    fmt = k.AudioFormat(rate, 2, "f32", planar=(codec != "opus"))
    e = k.Encoder(codec, cfg(fmt))
    pcm = sine(rate, 2, rate)
    e.put_frame(pcm if fmt.planar else pcm.T.copy())
    packets = drain_packets(e)
    assert packets and all(p.flags == 0 and p.time_base_den == rate for p in packets)
    dcfg = {"aac": k.AacDecoderConfig, "mp3": k.Mp3DecoderConfig, "opus": k.OpusDecoderConfig}[codec]
    d = k.Decoder(codec, dcfg(chunk, packet_time_base_den=rate))
    for p in packets:
        data = bytes(p.data)
        if codec == "aac":  # the decoder reads its configuration from ADTS headers
            data = adts_header(len(data), rate, 2) + data
        d.put_frame(data)
    out = d.output_format()
    assert (out.sample_rate, out.channels, out.planar) == (rate, 2, True)
    frames = drain_frames(d)
    total = sum(f.shape[1] for f in frames)
    assert rate <= total <= rate + 4 * chunk
    mid = np.concatenate(frames, axis=1)[:, rate // 4: 3 * rate // 4].astype(np.float64)
    if out.sample_type == "i16":  # FFmpeg's MP3 decoder is fixed-point
        mid /= 32768.0
    assert np.sqrt(np.mean(mid ** 2)) == pytest.approx(0.354, abs=0.06)

    if codec == "opus":
        return  # needs an Ogg container; covered by the core tests
    path = tmp_path / ("ours.aac" if codec == "aac" else "ours.mp3")
    with open(path, "wb") as f:
        for p in packets:
            data = bytes(p.data)
            f.write(adts_header(len(data), rate, 2) + data if codec == "aac" else data)
    decoded = ffmpeg_decode(path, 2)
    assert rate - chunk <= decoded.shape[0] <= rate + 4 * chunk


def test_decode_adts_made_by_ffmpeg(tmp_path):
    path = tmp_path / "tone.aac"
    subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                    "sine=frequency=440:sample_rate=44100:duration=1", "-ac", "2", "-c:a", "aac", str(path)],
                   check=True, timeout=60)
    d = k.Decoder("aac", k.AacDecoderConfig(1024, packet_time_base_den=44100))
    for unit in split_adts(path.read_bytes()):
        d.put_frame(unit)
    fmt = d.output_format()
    assert (fmt.sample_rate, fmt.channels, fmt.channel_layout_mask) == (44100, 2, 3)
    frames = drain_frames(d)
    assert all(f.shape[1] == 1024 for f in frames[:-1])
    assert 44100 <= sum(f.shape[1] for f in frames) <= 44100 + 3072


# ------------------------------------------------------------ nodes

def test_node_factories():
    n = k.make_decoder_node("mp3", None)
    assert (n.name, n.input_kind, n.output_kind) == ("mp3(ffmpeg)", "packet", "pcm")
    assert k.make_decoder_node("AAC", object()).name == "aac(ffmpeg)"
    assert k.make_decoder_node("flac", 42).name == "flac(ffmpeg)"
    assert k.make_decoder_node("opus", k.OpusDecoderConfig(960)).name == "opus(ffmpeg)"
    with pytest.raises(TypeError):
        k.make_decoder_node("opus", None)
    with pytest.raises(TypeError):
        k.make_decoder_node("wav", None)
    # No planar check for the node.
    planar = k.AudioFormat(48000, 2, "i16", planar=True)
    assert k.make_decoder_node("wav", k.WavDecoderConfig(planar, 1)).name == "pcm(wav)"
    with pytest.raises(ValueError, match="^codec only supports: wav, mp3, aac, opus, flac$"):
        k.make_decoder_node("ogg", None)

    e = k.make_encoder_node("opus", k.OpusEncoderConfig())
    assert (e.name, e.input_kind, e.output_kind) == ("opus(ffmpeg)", "pcm", "packet")
    assert k.make_encoder_node("pcm", k.WavEncoderConfig()).name == "pcm(wav)"
    with pytest.raises(ValueError, match="^codec 仅支持: wav/mp3/aac/opus/flac$"):
        k.make_encoder_node("ogg", k.WavEncoderConfig())
    with pytest.raises(TypeError):
        k.make_encoder_node("mp3", k.WavEncoderConfig())
    with pytest.raises(ValueError, match="48kHz"):
        k.make_encoder_node("opus", k.OpusEncoderConfig(k.AudioFormat(44100, 2, "f32", planar=False)))

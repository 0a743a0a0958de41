"""AudioFileReader / AudioFileWriter: the Python surface, round trips, and
interoperability with the ffmpeg and ffprobe tools in both directions."""
import inspect
import json
import shutil
import subprocess

import numpy as np
import pytest

import pykestrune as pk

HAVE_FFMPEG = shutil.which("ffmpeg") and shutil.which("ffprobe")
needs_ffmpeg = pytest.mark.skipif(not HAVE_FFMPEG, reason="ffmpeg/ffprobe not installed")


def tone(n, rate=48000, channels=2, amp=0.5):
    t = np.arange(n) / rate
    return np.stack([amp * np.sin(2 * np.pi * (440 + 220 * c) * t) for c in range(channels)]).astype(np.float32)


def write_all(writer, pcm, chunk=1000, planar=True):
    n = pcm.shape[1] if planar else pcm.shape[0]
    for i in range(0, n, chunk):
        writer.write_pcm(pcm[:, i:i + chunk] if planar else pcm[i:i + chunk])
    writer.finalize()


def read_all(path, fmt, layout="planar", **kw):
    r = pk.AudioFileReader(str(path), fmt, **kw)
    frames = []
    while (f := r.next_frame(layout)) is not None:
        frames.append(f)
    return np.concatenate(frames, axis=1 if layout == "planar" else 0)


def ffprobe(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries", "stream=codec_name,sample_rate,channels:format=duration",
         "-of", "json", str(path)], capture_output=True, text=True, check=True).stdout
    info = json.loads(out)
    s = info["streams"][0]
    return s["codec_name"], int(s["sample_rate"]), int(s["channels"]), float(info["format"]["duration"])


def ffmpeg_decode(path, channels):
    p = subprocess.run(["ffmpeg", "-v", "error", "-xerror", "-i", str(path), "-f", "f32le", "-ac", str(channels), "-"],
                       capture_output=True)
    return p.returncode, p.stderr.decode(errors="replace"), np.frombuffer(p.stdout, np.float32).reshape(-1, channels)


# (format name, file name, input format, codec ffprobe reports, writer options)
WRITE_CASES = [
    ("wav", "o.wav", pk.AudioFormat(48000, 2, "f32"), "pcm_s16le", {}),
    ("wav", "o32.wav", pk.AudioFormat(48000, 2, "f32"), "pcm_f32le", {"wav_output_format": "f32le"}),
    ("mp3", "o.mp3", pk.AudioFormat(44100, 2, "f32"), "mp3", {"bitrate": 192000}),
    ("aac_adts", "o.aac", pk.AudioFormat(48000, 2, "f32"), "aac", {"bitrate": 128000}),
    ("flac", "o.flac", pk.AudioFormat(44100, 2, "i16", planar=False), "flac", {"compression_level": 5}),
    ("opus_ogg", "o.opus", pk.AudioFormat(48000, 2, "f32", planar=False), "opus", {"bitrate": 96000}),
]


def pcm_for(fmt_obj, n):
    pcm = tone(n, fmt_obj.sample_rate, fmt_obj.channels)
    if fmt_obj.sample_type == "i16":
        pcm = np.round(pcm * 32767).astype(np.int16)
    return pcm if fmt_obj.planar else np.ascontiguousarray(pcm.T)


@needs_ffmpeg
@pytest.mark.parametrize("fmt,name,af,codec,opts", WRITE_CASES, ids=[c[1] for c in WRITE_CASES])
def test_written_files_are_read_by_ffmpeg(tmp_path, fmt, name, af, codec, opts):
    seconds = 1.5
    n = int(seconds * af.sample_rate)
    path = tmp_path / name
    write_all(pk.AudioFileWriter(str(path), fmt, input_format=af, **opts), pcm_for(af, n), planar=af.planar)
    got_codec, rate, channels, duration = ffprobe(path)
    assert (got_codec, rate, channels) == (codec, af.sample_rate, 2)
    assert duration == pytest.approx(seconds, abs=0.08)
    rc, err, pcm = ffmpeg_decode(path, 2)
    assert rc == 0 and err == ""
    assert pcm.shape[0] == pytest.approx(n, abs=0.05 * af.sample_rate)
    assert np.sqrt(np.mean(pcm[: n // 2] ** 2)) > 0.2


@needs_ffmpeg
@pytest.mark.parametrize("fmt,ext,args", [
    ("wav", "wav", ["-c:a", "pcm_s16le"]),
    ("mp3", "mp3", ["-c:a", "libmp3lame", "-b:a", "128k"]),  # with ID3v2 tag and Xing frame
    ("aac", "aac", ["-c:a", "aac", "-f", "adts"]),
    ("flac", "flac", ["-c:a", "flac"]),
    ("flac", "flac", ["-c:a", "flac", "-sample_fmt", "s32"]),
    ("opus", "opus", ["-c:a", "libopus", "-b:a", "96k"]),
    ("ogg_opus", "ogg", ["-c:a", "libopus"]),
])
def test_files_written_by_ffmpeg_are_read(tmp_path, fmt, ext, args):
    rate = 48000
    path = tmp_path / f"in.{ext}"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate={rate}:duration=2",
                    "-ac", "2", *args, "-y", str(path)], check=True)
    r = pk.AudioFileReader(str(path), fmt)
    total, fmt_seen = 0, None
    while (buf := r.pull()) is not None:
        info, _, tb = buf.pcm_info()
        fmt_seen = (info.sample_rate, info.channels)
        total += buf.as_pcm().shape[1]
    assert fmt_seen == (rate, 2)
    # Raw MP3 reading decodes the encoder's info frame and delay too.
    assert total == pytest.approx(2 * rate, abs=(0.08 if fmt == "mp3" else 0.03) * rate)
    ours = read_all(path, fmt).astype(np.float64)
    if ours.dtype.kind != "f" or np.abs(ours).max() > 2:
        ours = ours / np.abs(ours).max()
    assert np.sqrt(np.mean(ours[:, 4800:-4800] ** 2)) > 0.05
    if fmt == "wav":
        rc, err, theirs = ffmpeg_decode(path, 2)
        assert rc == 0
        np.testing.assert_allclose(ours.T, theirs, atol=1e-6)


@needs_ffmpeg
def test_extensible_wav_is_refused_at_first_read(tmp_path):
    # ffmpeg stores 32-bit float WAV with the extensible format code, which
    # the reader does not take (only the plain codes 1 and 3).
    path = tmp_path / "ext.wav"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=sample_rate=48000:duration=0.1", "-ac", "2",
                    "-c:a", "pcm_f32le", "-y", str(path)], check=True)
    r = pk.AudioFileReader(str(path), "wav")
    with pytest.raises(RuntimeError, match=r"^format error: unsupported WAV format \(only PCM16LE / Float32LE\)$"):
        r.next_frame()


def test_float_wav_round_trip_is_bit_exact(tmp_path):
    rng = np.random.default_rng(7)
    pcm = rng.standard_normal((2, 5000)).astype(np.float32)
    pcm[0, :4] = [np.inf, -0.0, 1e-40, 3.0]
    path = tmp_path / "f.wav"
    write_all(pk.AudioFileWriter(str(path), "wav", input_format=pk.AudioFormat(48000, 2, "f32"),
                                 wav_output_format="f32le"), pcm, chunk=777)
    back = read_all(path, "wav", chunk_samples=4096)
    assert back.dtype == np.float32
    assert back.tobytes() == pcm.tobytes()


def test_pcm16_wav_read_and_written_back_stays_within_one_step(tmp_path):
    rng = np.random.default_rng(8)
    ints = rng.integers(-32768, 32768, size=(9000, 2), dtype=np.int16)
    ints[:4, 0] = [-32768, 32767, 0, -1]
    src = tmp_path / "src.wav"
    write_all(pk.AudioFileWriter(str(src), "wav", input_format=pk.AudioFormat(44100, 2, "i16", planar=False)),
              ints, planar=False)
    floats = read_all(src, "wav")
    dst = tmp_path / "dst.wav"
    write_all(pk.AudioFileWriter(str(dst), "wav", input_format=pk.AudioFormat(44100, 2, "f32"),
                                 wav_output_format="pcm16le"), floats)
    raw = np.frombuffer(dst.read_bytes()[44:], np.int16).reshape(-1, 2)
    assert raw.shape == ints.shape
    assert np.abs(raw.astype(np.int32) - ints).max() <= 1


def test_flac_round_trip_is_bit_exact(tmp_path):
    rng = np.random.default_rng(9)
    ints = rng.integers(-32768, 32768, size=(20000, 2), dtype=np.int16)
    path = tmp_path / "x.flac"
    write_all(pk.AudioFileWriter(str(path), "flac", input_format=pk.AudioFormat(48000, 2, "i16", planar=False)),
              ints, chunk=3000, planar=False)
    back = read_all(path, "flac", layout="interleaved")
    assert back.dtype == np.int16
    np.testing.assert_array_equal(back, ints)


def test_wav_read_walk_with_pts(tmp_path):
    path = tmp_path / "w.wav"
    ints = np.arange(5000, dtype=np.int16).reshape(2500, 2)
    write_all(pk.AudioFileWriter(str(path), "wav", input_format=pk.AudioFormat(44100, 2, "i16", planar=False)),
              ints, planar=False)
    r = pk.AudioFileReader(str(path), "WAV", chunk_samples=1024)
    walk = []
    while (buf := r.pull()) is not None:
        info, pts, tb = buf.pcm_info()
        assert buf.kind == "pcm"
        assert (info.sample_rate, info.channels, info.sample_type, info.planar) == (44100, 2, "f32", True)
        assert tb == (1, 44100)
        walk.append((buf.as_pcm().shape[1], pts))
    assert walk == [(1024, 0), (1024, 1024), (452, 2048)]
    assert r.pull() is None and r.next_frame() is None and r.next_frame() is None
    one = pk.AudioFileReader(str(path), "wav", chunk_samples=0)
    assert one.next_frame().shape == (2, 1)
    assert one.next_frame("interleaved").shape == (1, 2)


def test_format_names_and_signatures(tmp_path):
    assert str(inspect.signature(pk.AudioFileReader)) == "(path, format, chunk_samples=None)"
    assert str(inspect.signature(pk.AudioFileWriter)) == (
        "(path, format, input_format=None, bitrate=None, compression_level=None, wav_output_format=None)")
    assert str(inspect.signature(pk.AudioFileReader.next_frame)) == "(self, /, layout='planar')"
    assert pk.AudioFileReader.__doc__.endswith("可作为 `AsyncDynRunner` 的 source（实现 pull()）。")
    path = tmp_path / "w.wav"
    for name in ["wav", "Mp3", "AAC", "adts", "aac_adts", "FLAC", "opus", "Opus_Ogg", "ogg_opus"]:
        pk.AudioFileWriter(str(path), name)  # parsed; nothing created without an input format
    assert not path.exists()
    for bad in ["ogg", "pcm", "", "wave"]:
        with pytest.raises(ValueError, match="^format 仅支持: wav/mp3/aac_adts/flac/opus_ogg$"):
            pk.AudioFileReader(str(path), bad)
        with pytest.raises(ValueError, match="^format 仅支持"):
            pk.AudioFileWriter(str(path), bad)


def test_reader_errors(tmp_path):
    with pytest.raises(RuntimeError, match="^io error: "):
        pk.AudioFileReader(str(tmp_path / "missing.wav"), "wav")
    (tmp_path / "junk.wav").write_bytes(b"RIFX" + b"\0" * 40)
    with pytest.raises(RuntimeError, match="^format error: not RIFF$"):
        pk.AudioFileReader(str(tmp_path / "junk.wav"), "wav")
    (tmp_path / "junk.aac").write_bytes(b"\x00" * 100)
    with pytest.raises(RuntimeError, match="^format error: no ADTS header found$"):
        pk.AudioFileReader(str(tmp_path / "junk.aac"), "aac")
    (tmp_path / "junk.bin").write_bytes(b"\x00" * 100)
    with pytest.raises(RuntimeError, match="^codec error: "):
        pk.AudioFileReader(str(tmp_path / "junk.bin"), "flac")
    # With a .flac name FFmpeg takes the file for FLAC by its extension; the
    # stream then simply has no frames.
    (tmp_path / "junk.flac").write_bytes(b"\x00" * 100)
    assert pk.AudioFileReader(str(tmp_path / "junk.flac"), "flac").next_frame() is None
    r = pk.AudioFileReader(str(tmp_path / "junk.wav").replace("junk", "junk"), "mp3")  # not MP3 at all
    assert r.next_frame() is None
    with pytest.raises(ValueError, match="^layout 仅支持: planar/interleaved$"):
        r.next_frame("columns")


def test_lazy_writer_creation_and_push_rules(tmp_path):
    path = tmp_path / "lazy.mp3"
    w = pk.AudioFileWriter(str(path), "mp3")
    assert not path.exists()
    with pytest.raises(ValueError, match="^input_format=None 时无法从裸 numpy 推断"):
        w.write_pcm(tone(100))
    w.finalize()  # nothing to finalize yet
    fmt = pk.AudioFormat(48000, 2, "f32")
    with pytest.raises(ValueError, match="^AudioFileWriter.push 仅支持 PCM（NodeBuffer kind=pcm）$"):
        w.push(pk.NodeBuffer.packet(pk.Packet(b"\x01\x02")))
    buf = pk.NodeBuffer.pcm(tone(3000), fmt, pts=0)
    w.push(buf)
    assert path.exists()
    with pytest.raises(RuntimeError, match="^NodeBuffer 已被移动（不可再次使用）$"):
        w.push(buf)
    with pytest.raises(RuntimeError, match="^PCM format is not consistent with the input_format of the writer$"):
        w.push(pk.NodeBuffer.pcm(tone(100, channels=1), pk.AudioFormat(48000, 1, "f32")))
    w.write_pcm(tone(2000))  # the format learnt from the first push serves write_pcm too
    w.finalize()
    with pytest.raises(RuntimeError, match="^codec error: invalid state: already flushed$"):
        w.finalize()
    assert read_all(path, "mp3").shape[1] >= 5000


def test_push_compares_the_channel_layout_too(tmp_path):
    # The constructor's format got the stereo default mask 0x3; a frame that
    # only differs in its mask is refused.
    w = pk.AudioFileWriter(str(tmp_path / "m.wav"), "wav", input_format=pk.AudioFormat(48000, 2, "f32"))
    w.push(pk.NodeBuffer.pcm(tone(10), pk.AudioFormat(48000, 2, "f32", channel_layout_mask=0x3), pts=0))
    other = pk.NodeBuffer.pcm(tone(10), pk.AudioFormat(48000, 2, "f32", channel_layout_mask=0x60))
    with pytest.raises(RuntimeError, match="^PCM format is not consistent with the input_format of the writer$"):
        w.push(other)
    w.finalize()
    assert read_all(tmp_path / "m.wav", "wav").shape == (2, 10)


def test_writer_configuration_errors(tmp_path):
    p = str(tmp_path / "x")
    with pytest.raises(ValueError, match="^opus_ogg writer 需要 48kHz input_format（请先重采样）$"):
        pk.AudioFileWriter(p + ".opus", "opus_ogg", input_format=pk.AudioFormat(44100, 2, "f32", planar=False))
    with pytest.raises(ValueError, match=r"^opus_ogg writer 需要 interleaved samples（input_format.planar=False）$"):
        pk.AudioFileWriter(p + ".opus", "opus_ogg", input_format=pk.AudioFormat(48000, 2, "f32", planar=True))
    for bad in ["F32LE", "pcm16", "s16le"]:
        with pytest.raises(ValueError, match="^wav_output_format 仅支持: pcm16le/f32le$"):
            pk.AudioFileWriter(p + ".wav", "wav", input_format=pk.AudioFormat(48000, 2, "f32"),
                               wav_output_format=bad)
    assert not (tmp_path / "x.opus").exists()
    # Options of other formats are ignored.
    pk.AudioFileWriter(p + ".wav", "wav", input_format=pk.AudioFormat(48000, 2, "f32"), bitrate=1,
                       compression_level=99).finalize()
    # Lazy creation applies the same rules at the first push.
    w = pk.AudioFileWriter(p + ".opus", "opus")
    with pytest.raises(ValueError, match="^opus_ogg writer 需要 48kHz"):
        w.push(pk.NodeBuffer.pcm(tone(10, 44100).T.copy(), pk.AudioFormat(44100, 2, "f32", planar=False)))
    with pytest.raises(RuntimeError, match="^format error: MP3 writer expects planar samples"):
        pk.AudioFileWriter(p + ".mp3", "mp3", input_format=pk.AudioFormat(48000, 2, "f32", planar=False)).write_pcm(
            tone(10).T.copy())


@pytest.mark.parametrize("fmt,name,af", [
    ("wav", "a.wav", pk.AudioFormat(48000, 2, "f32")),
    ("flac", "a.flac", pk.AudioFormat(48000, 2, "i16", planar=False)),
    ("opus", "a.opus", pk.AudioFormat(48000, 2, "f32", planar=False)),
    ("aac", "a.aac", pk.AudioFormat(48000, 2, "f32")),
])
def test_second_finalize_follows_the_format(tmp_path, fmt, name, af):
    w = pk.AudioFileWriter(str(tmp_path / name), fmt, input_format=af)
    w.write_pcm(pcm_for(af, 4000))
    w.finalize()
    if fmt == "aac":
        with pytest.raises(RuntimeError, match="^codec error: invalid state: already flushed$"):
            w.finalize()
    else:
        w.finalize()
    if fmt in ("flac", "opus"):
        with pytest.raises(RuntimeError, match="^codec error: invalid state: already finalized$"):
            w.write_pcm(pcm_for(af, 10))
    assert read_all(tmp_path / name, fmt).shape[1] >= 4000


@pytest.mark.parametrize("kind", ["random", "empty", "truncated", "garbage_prefix"])
@pytest.mark.parametrize("fmt", ["wav", "mp3", "aac", "flac", "opus"])
def test_damaged_input_never_crashes(tmp_path, fmt, kind):
    ext = {"aac": "aac", "opus": "opus"}.get(fmt, fmt)
    good = tmp_path / f"good.{ext}"
    af = {"flac": pk.AudioFormat(48000, 2, "i16", planar=False),
          "opus": pk.AudioFormat(48000, 2, "f32", planar=False)}.get(fmt, pk.AudioFormat(48000, 2, "f32"))
    # Noise, so that audio frames (not headers or padding) make up the file.
    pcm = pcm_for(af, 24000)
    noise = np.random.default_rng(4).standard_normal(pcm.shape) * 0.1
    pcm = (pcm + (noise * 32767 if pcm.dtype == np.int16 else noise)).astype(pcm.dtype)
    write_all(pk.AudioFileWriter(str(good), fmt, input_format=af), pcm, planar=af.planar)
    data = good.read_bytes()
    rng = np.random.default_rng(3)
    damaged = {
        "random": rng.integers(0, 256, 30000, dtype=np.uint8).tobytes(),
        "empty": b"",
        "truncated": data[: len(data) // 2],
        "garbage_prefix": rng.integers(0, 256, 500, dtype=np.uint8).tobytes() + data,
    }[kind]
    bad = tmp_path / f"bad.{ext}"
    bad.write_bytes(damaged)
    try:
        r = pk.AudioFileReader(str(bad), fmt)
    except RuntimeError as e:
        assert str(e).startswith(("io error: ", "format error: ", "codec error: "))
        return
    got = 0
    for _ in range(10000):
        try:
            f = r.next_frame()
        except (RuntimeError, ValueError) as e:
            assert str(e).startswith(("io error: ", "format error: ", "codec error: "))
            if str(e).startswith("io error: "):
                return
            continue
        if f is None:
            break
        got += f.shape[1]
    else:
        pytest.fail("reader never ended")
    assert r.next_frame() is None
    if kind == "truncated":
        assert got > 24000 * 0.3  # the headers take part of the first half


def test_file_objects_are_bound_to_their_thread(tmp_path):
    import threading

    wav = str(tmp_path / "bound.wav")
    writer = pk.AudioFileWriter(wav, "wav", input_format=pk.AudioFormat(8000, 1, "f32"))
    writer.write_pcm(np.zeros((1, 8), np.float32))
    writer.finalize()
    reader = pk.AudioFileReader(wav, "wav")
    errors = []

    def use_elsewhere():
        for call in (lambda: writer.write_pcm(np.zeros((1, 8), np.float32)), writer.finalize,
                     reader.next_frame, reader.pull):
            try:
                call()
            except RuntimeError as e:
                errors.append(str(e))

    t = threading.Thread(target=use_elsewhere)
    t.start()
    t.join(timeout=30)
    assert not t.is_alive()
    assert len(errors) == 4
    assert all("another thread" in e for e in errors)
    assert "AudioFileWriter" in errors[0] and "AudioFileReader" in errors[2]
    # Still fully usable on its own thread.
    assert reader.next_frame().shape == (1, 8)

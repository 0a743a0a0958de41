"""File reading and writing speed against FFmpeg's own tool and PyAV.

Reads a 10-minute stereo file in each format into NumPy arrays through
AudioFileReader, beside `ffmpeg -threads 1 -i FILE -f null -` and PyAV
decoding to NumPy on the same file; then writes each compressed format from
NumPy through AudioFileWriter, beside the ffmpeg command that encodes the
same input. Prints the times and the ratios of this one run.

Usage: .venv/bin/python bench/files_bench.py [--seconds 600] [--repeat 3]
PyAV is a benchmark-only dependency (bench/requirements.txt); it is
installed into the running interpreter's environment when missing.
"""
import argparse
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import pykestrune as pk

RATE = 48000
HERE = pathlib.Path(__file__).resolve().parent


def ensure_pyav():
    try:
        import av  # noqa: F401
    except ImportError:
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "-r", str(HERE / "requirements.txt")], check=True)
    import av
    return av


def best_of(repeat, fn):
    best = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        best = dt if best is None else min(best, dt)
    return best


def make_signal(seconds):
    n = seconds * RATE
    t = np.arange(n, dtype=np.float64) / RATE
    rng = np.random.default_rng(1)
    left = 0.3 * np.sin(2 * np.pi * 440 * t) + 0.05 * rng.standard_normal(n)
    right = 0.3 * np.sin(2 * np.pi * 554.37 * t * (1 + 0.001 * np.sin(t))) + 0.05 * rng.standard_normal(n)
    return np.stack([left, right]).astype(np.float32)


# name, file name, reader format, ffmpeg encode arguments, writer format, writer input, writer options
FORMATS = [
    ("wav", "src.wav", "wav", None, None, None, None),
    ("mp3", "src.mp3", "mp3", ["-c:a", "libmp3lame", "-b:a", "128k", "-f", "mp3"], "mp3", "f32p", {"bitrate": 128000}),
    ("aac", "src.aac", "aac_adts", ["-c:a", "aac", "-b:a", "128k", "-f", "adts"], "aac_adts", "f32p", {"bitrate": 128000}),
    ("flac", "src.flac", "flac", ["-c:a", "flac", "-compression_level", "5"], "flac", "i16", {"compression_level": 5}),
    ("opus", "src.opus", "opus_ogg", ["-c:a", "libopus", "-b:a", "96k"], "opus_ogg", "f32", {"bitrate": 96000}),
]


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-hide_banner", "-v", "error", "-nostdin", *args], check=True)


def read_ours(path, fmt, chunk):
    r = pk.AudioFileReader(str(path), fmt, chunk_samples=chunk)
    frames = []
    while (f := r.next_frame()) is not None:
        frames.append(f)
    return sum(f.shape[1] for f in frames)


def read_pyav(av, path):
    frames = []
    with av.open(str(path)) as c:
        stream = c.streams.audio[0]
        stream.thread_type = "NONE"
        stream.thread_count = 1
        for frame in c.decode(stream):
            frames.append(frame.to_ndarray())
    return sum(f.shape[-1] for f in frames)


def writer_input(signal, kind):
    if kind == "f32p":
        return pk.AudioFormat(RATE, 2, "f32"), signal
    if kind == "f32":
        return pk.AudioFormat(RATE, 2, "f32", planar=False), np.ascontiguousarray(signal.T)
    return pk.AudioFormat(RATE, 2, "i16", planar=False), np.ascontiguousarray((signal.T * 32767).astype(np.int16))


def write_ours(path, fmt, af, pcm, opts, chunk=48000):
    w = pk.AudioFileWriter(str(path), fmt, input_format=af, **opts)
    n = pcm.shape[1] if af.planar else pcm.shape[0]
    for i in range(0, n, chunk):
        w.write_pcm(pcm[:, i:i + chunk] if af.planar else pcm[i:i + chunk])
    w.finalize()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=int, default=600)
    ap.add_argument("--repeat", type=int, default=3, help="best of N for reads (writes run once)")
    # FFmpeg's WAV demuxer (so ffmpeg and PyAV) works in 4096-sample packets;
    # the reader's default chunk is 1024. Both are measured.
    ap.add_argument("--wav-chunks", type=int, nargs="+", default=[1024, 4096], help="chunk_samples for WAV")
    args = ap.parse_args()
    if not shutil.which("ffmpeg"):
        sys.exit("ffmpeg not found")
    av = ensure_pyav()

    tmp = pathlib.Path(tempfile.mkdtemp(prefix="kestrune_bench_"))
    try:
        signal = make_signal(args.seconds)
        src = tmp / "src.wav"
        write_ours(src, "wav", pk.AudioFormat(RATE, 2, "f32"), signal, {})
        for name, fname, _, enc, *_ in FORMATS:
            if enc:
                ffmpeg("-i", str(src), *enc, "-y", str(tmp / fname))
        print(f"{args.seconds} s stereo {RATE} Hz; reads best of {args.repeat}, writes once; "
              f"ffmpeg single-threaded; PyAV {av.__version__}\n")

        print("read to NumPy   ours [s]  ffmpeg [s]  PyAV [s]  ours/ffmpeg  ours/PyAV")
        rows = [(f"wav/{c}", "src.wav", "wav", c) for c in args.wav_chunks]
        rows += [(name, fname, fmt, 1024) for name, fname, fmt, *_ in FORMATS if fmt != "wav"]
        for name, fname, fmt, chunk in rows:
            path = tmp / fname
            t_ours = best_of(args.repeat, lambda: read_ours(path, fmt, chunk))
            t_ff = best_of(args.repeat, lambda: ffmpeg("-threads", "1", "-i", str(path), "-f", "null", "-"))
            t_av = best_of(args.repeat, lambda: read_pyav(av, path))
            print(f"{name:14s} {t_ours:9.3f} {t_ff:11.3f} {t_av:9.3f} {t_ours / t_ff:12.2f}x {t_ours / t_av:9.2f}x")
            if name == "mp3":
                # Our MP3 reader decodes with FFmpeg's decoder named "mp3" (the
                # fixed-point one); ffmpeg and PyAV pick the float decoder by
                # default. The same decoder on both sides, for comparison:
                t_same = best_of(args.repeat, lambda: ffmpeg("-threads", "1", "-c:a", "mp3", "-i", str(path),
                                                             "-f", "null", "-"))
                print(f"  ffmpeg -c:a mp3 {'':>5s} {t_same:11.3f} {'':>9s} {t_ours / t_same:12.2f}x")

        print("\nwrite           ours [s]  ffmpeg [s]  ours/ffmpeg")
        for name, fname, _, enc, wfmt, kind, opts in FORMATS:
            if not enc:
                continue
            af, pcm = writer_input(signal, kind)
            out = tmp / ("out_" + fname)
            t_ours = best_of(1, lambda: write_ours(out, wfmt, af, pcm, opts))
            t_ff = best_of(1, lambda: ffmpeg("-threads", "1", "-i", str(src), *enc, "-y", str(tmp / ("ff_" + fname))))
            print(f"{name:14s} {t_ours:9.3f} {t_ff:11.3f} {t_ours / t_ff:12.2f}x")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

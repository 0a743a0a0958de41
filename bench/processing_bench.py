"""Throughput of the compressor and the resampler through the Python API,
next to ffmpeg's acompressor / aresample filters on the same input.

The input is a stereo float32 stream (48 kHz) written to a temporary raw
file; ffmpeg reads that file and discards its output (-f null), so its time
is dominated by the filter. Our side is timed from put_frame to the last
get_frame, NumPy conversions included.

Usage: python bench/processing_bench.py [--seconds 60] [--frame 4096]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import pykestrune as k

RATE = 48000


def make_input(seconds):
    n = int(seconds * RATE)
    t = np.arange(n, dtype=np.float64) / RATE
    rng = np.random.default_rng(1)
    # A tone whose level swings through the threshold, plus a little noise.
    env = 0.05 + 0.9 * (0.5 + 0.5 * np.sin(2 * np.pi * 0.5 * t))
    left = env * np.sin(2 * np.pi * 440.0 * t) + 0.01 * rng.standard_normal(n)
    right = env * np.sin(2 * np.pi * 660.0 * t) + 0.01 * rng.standard_normal(n)
    return np.stack([left, right]).astype(np.float32)  # (channels, samples)


def run_ours(proc, data, frame):
    n = data.shape[1]
    produced = 0
    start = time.perf_counter()
    for i in range(0, n, frame):
        proc.put_frame(data[:, i : i + frame])
        while (out := proc.get_frame()) is not None:
            produced += out.shape[1]
    proc.flush()
    while (out := proc.get_frame()) is not None:
        produced += out.shape[1]
    return time.perf_counter() - start, produced


def run_ffmpeg(ffmpeg, raw_path, af):
    cmd = [ffmpeg, "-hide_banner", "-nostats", "-loglevel", "error", "-f", "f32le", "-ar", str(RATE), "-ac", "2",
           "-i", raw_path, "-af", af, "-f", "null", "-"]
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdin=subprocess.DEVNULL)
    return time.perf_counter() - start


def report(label, n, ours, theirs, baseline):
    line = f"{label:<34} ours {ours:7.3f} s {n / ours / 1e6:7.2f} Msamples/s/ch"
    if theirs is not None:
        # ffmpeg's time includes start-up and reading the file; the anull
        # run measures that, so the filter alone is roughly the difference.
        filt = max(theirs - baseline, 1e-9)
        line += (f" | ffmpeg {theirs:7.3f} s (filter ~{filt:6.3f} s, {n / filt / 1e6:7.2f} Msamples/s/ch)"
                 f" | speed ours/ffmpeg: {theirs / ours:5.2f}x whole run, {filt / ours:5.2f}x filter only")
    print(line)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--frame", type=int, default=4096)
    args = ap.parse_args()

    data = make_input(args.seconds)
    n = data.shape[1]
    fmt_in = k.AudioFormat(RATE, 2, "f32", True)
    ffmpeg = shutil.which("ffmpeg")
    print(f"input: {args.seconds:g} s stereo f32 @ {RATE} Hz ({n} samples/channel), frames of {args.frame}")

    with tempfile.TemporaryDirectory() as tmp:
        raw = os.path.join(tmp, "input.f32le")
        np.ascontiguousarray(data.T).tofile(raw)  # interleaved little-endian float32

        baseline = run_ffmpeg(ffmpeg, raw, "anull") if ffmpeg else 0.0
        if ffmpeg:
            print(f"ffmpeg -af anull on the same input (start-up + I/O): {baseline:.3f} s")

        comp = k.Processor.compressor(fmt_in, float(RATE), -18.0, 6.0, 4.0, 2.0, -60.0, 0.01, 0.1, 0.0)
        t_comp, got = run_ours(comp, data, args.frame)
        assert got == n, (got, n)
        f_comp = run_ffmpeg(ffmpeg, raw, "acompressor=threshold=-18dB:ratio=4:knee=2:attack=10:release=100") if ffmpeg else None
        report("compressor (stereo f32)", n, t_comp, f_comp, baseline)

        res = k.Processor.resample(fmt_in, k.AudioFormat(44100, 2, "f32", True))
        t_res, got = run_ours(res, data, args.frame)
        f_res = run_ffmpeg(ffmpeg, raw, "aresample=44100") if ffmpeg else None
        report("resample 48k->44.1k (stereo f32)", n, t_res, f_res, baseline)
        print(f"resampler output: {got} samples/channel (expected about {n * 44100 // RATE})")
    if not ffmpeg:
        print("ffmpeg not found: no comparison", file=sys.stderr)


if __name__ == "__main__":
    main()

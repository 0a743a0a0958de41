"""End-to-end tour of pykestrune on a generated signal.

Builds a stereo test tone, writes it as WAV and reads it back, then writes
it as MP3, AAC (ADTS), FLAC and Ogg Opus, reads every file back and prints
what came out. Files go to a temporary directory (or the one given as the
first argument, which is kept).
"""
import pathlib
import sys
import tempfile

import numpy as np

import pykestrune as pk

RATE = 48000


def tone(seconds=2.0, rate=RATE):
    t = np.arange(int(seconds * rate)) / rate
    left = 0.5 * np.sin(2 * np.pi * 440 * t)
    right = 0.5 * np.sin(2 * np.pi * 660 * t)
    return np.stack([left, right]).astype(np.float32)


def write(path, fmt, input_format, pcm, chunk=4800, **options):
    writer = pk.AudioFileWriter(str(path), fmt, input_format=input_format, **options)
    n = pcm.shape[1] if input_format.planar else pcm.shape[0]
    for start in range(0, n, chunk):
        writer.write_pcm(pcm[:, start:start + chunk] if input_format.planar else pcm[start:start + chunk])
    writer.finalize()


def read(path, fmt):
    """All frames of a file as one planar array, with the format of the first."""
    reader = pk.AudioFileReader(str(path), fmt)
    frames, info = [], None
    while (buf := reader.pull()) is not None:
        if info is None:
            info = buf.pcm_info()[0]
        frames.append(buf.as_pcm())
    return np.concatenate(frames, axis=1), info


def report(path, pcm, info):
    rms = np.sqrt(np.mean(pcm.astype(np.float64) ** 2, axis=1))
    if info.sample_type != "f32":
        rms /= np.iinfo(pcm.dtype).max
    print(f"  {path.name:10s} {path.stat().st_size:8d} bytes  {pcm.shape[1] / info.sample_rate:6.3f} s  "
          f"{info.sample_rate} Hz x {info.channels} ch, {info.sample_type} "
          f"{'planar' if info.planar else 'interleaved'}  rms L/R {rms[0]:.3f}/{rms[1]:.3f}")


def run(out):
    pcm = tone()
    planar = pk.AudioFormat(RATE, 2, "f32")
    print(f"generated {pcm.shape[1] / RATE:.3f} s of stereo test tone at {RATE} Hz (440 Hz left, 660 Hz right)")

    wav = out / "tone.wav"
    write(wav, "wav", planar, pcm, wav_output_format="f32le")
    back, info = read(wav, "wav")
    print(f"WAV round trip bit-exact: {np.array_equal(back, pcm)}")

    interleaved = np.ascontiguousarray(back.T)
    targets = [
        ("tone.mp3", "mp3", planar, back, {"bitrate": 192000}),
        ("tone.aac", "aac_adts", planar, back, {"bitrate": 128000}),
        ("tone.flac", "flac", pk.AudioFormat(RATE, 2, "i16", planar=False),
         np.round(interleaved * 32767).astype(np.int16), {}),
        ("tone.opus", "opus_ogg", pk.AudioFormat(RATE, 2, "f32", planar=False), interleaved, {"bitrate": 96000}),
    ]
    for name, fmt, input_format, data, options in targets:
        write(out / name, fmt, input_format, data, **options)

    print("read back:")
    for path, fmt in [(wav, "wav")] + [(out / t[0], t[1]) for t in targets]:
        report(path, *read(path, fmt))

    # The same PCM as a pipeline item, in both NumPy layouts.
    buf = pk.NodeBuffer.pcm(pcm[:, :1024], planar, pts=0)
    print(f"NodeBuffer: kind {buf.kind}, interleaved shape {buf.as_pcm_with_layout('interleaved').shape}")


def main():
    if len(sys.argv) > 1:
        out = pathlib.Path(sys.argv[1])
        out.mkdir(parents=True, exist_ok=True)
        run(out)
        print(f"files kept in {out}")
    else:
        with tempfile.TemporaryDirectory(prefix="kestrune_demo_") as d:
            run(pathlib.Path(d))


if __name__ == "__main__":
    main()

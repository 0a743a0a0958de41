"""End-to-end tour of pykestrune on a generated signal.

Builds a stereo test tone, moves it through the library's PCM currency in
both NumPy layouts and prints what happened.
"""
import numpy as np

import pykestrune as pk


def tone(seconds=0.5, rate=48000):
    t = np.arange(int(seconds * rate)) / rate
    left = 0.5 * np.sin(2 * np.pi * 440 * t)
    right = 0.5 * np.sin(2 * np.pi * 660 * t)
    return np.stack([left, right]).astype(np.float32)


def main():
    pcm = tone()
    fmt = pk.AudioFormat(48000, 2, "f32")
    buf = pk.NodeBuffer.pcm(pcm, fmt, pts=0)
    info, pts, tb = buf.pcm_info()
    inter = buf.as_pcm_with_layout("interleaved")
    print(f"generated {pcm.shape[1]} samples x {pcm.shape[0]} channels at {info.sample_rate} Hz "
          f"({info.sample_type}, layout mask {info.channel_layout_mask:#x}, pts {pts}, time base {tb[0]}/{tb[1]})")
    print(f"interleaved view {inter.shape}, round trip exact: {np.array_equal(inter.T, pcm)}")
    print("module exports:", ", ".join(pk.__all__))


if __name__ == "__main__":
    main()

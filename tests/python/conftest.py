import numpy as np
import pytest

SAMPLE_TYPES = {
    "u8": np.uint8,
    "i16": np.int16,
    "i32": np.int32,
    "i64": np.int64,
    "f32": np.float32,
    "f64": np.float64,
}


def random_pcm(dtype, shape, seed=0):
    """Full-range random samples of the dtype (every bit pattern matters)."""
    rng = np.random.default_rng(seed)
    raw = rng.integers(0, 256, size=int(np.prod(shape)) * np.dtype(dtype).itemsize, dtype=np.uint8)
    arr = raw.view(dtype).reshape(shape)
    if np.issubdtype(dtype, np.floating):
        arr = np.nan_to_num(arr, nan=0.5, posinf=1.0, neginf=-1.0)
    return arr


@pytest.fixture
def sample_types():
    return SAMPLE_TYPES

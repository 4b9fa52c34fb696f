"""The simulated camera's test pattern, computed here with numpy from its published rule (not
through the simulator): an image pixel of frame counter f at sensor row r and column c is
(f * 37 + r * 3 + c) & 1023; binning sums each whole block of hbin x vbin pixels and clamps the
sum at 1023, leaving out the rows and columns that make no whole block."""

import numpy as np


def expected_image(frame_counter, roi, binning=(1, 1)):
    x1, y1, x2, y2 = roi
    rows = np.arange(y1, y2 + 1, dtype=np.int64)[:, None]
    columns = np.arange(x1, x2 + 1, dtype=np.int64)[None, :]
    pixels = (int(frame_counter) * 37 + rows * 3 + columns) & 1023
    hbin, vbin = binning
    height = pixels.shape[0] // vbin * vbin
    width = pixels.shape[1] // hbin * hbin
    blocks = pixels[:height, :width].reshape(height // vbin, vbin, width // hbin, hbin)
    return np.minimum(blocks.sum(axis=(1, 3)), 1023).astype(np.uint16)


def frame_number_of(image, roi):
    """The frame counter modulo 1024 that an unbinned image's first pixel gives (37 is odd, so it
    has an inverse modulo 1024): a saved image can be checked without its metadata."""
    x1, y1 = roi[0], roi[1]
    return ((int(image[0, 0]) - y1 * 3 - x1) * pow(37, -1, 1024)) % 1024

"""Frames and acquisition results: the pixels as numpy arrays with the metadata of each frame."""

import numpy as np

COUNTER_MODULUS = 1 << 32


def counter_step_gap(step):
    """Frames missing for a step of the frame counter from one taken frame to the next: the step
    less one, modulo 2**32 (the counter wraps); a step of 0, the same frame taken twice (the
    camera sent its only packet twice), misses none."""
    step %= COUNTER_MODULUS
    return step - 1 if step else 0


def counter_gaps(frame_counters):
    """Frames missing before each taken frame (see counter_step_gap); 0 for the first."""
    counters = np.asarray(frame_counters, dtype=np.int64)
    gaps = np.zeros(len(counters), dtype=np.int64)
    if len(counters) > 1:
        steps = np.diff(counters) % COUNTER_MODULUS
        gaps[1:] = np.where(steps > 0, steps - 1, 0)
    return gaps


def parse_statistics(text):
    """The module's "qmx_module.acquisition_statistics" answer as a dict of integers."""
    statistics = {}
    for field in text.split():
        name, equals, value = field.partition("=")
        if equals and value.isdigit():
            statistics[name] = int(value)
    return statistics


class Frame:
    """One frame: `image` is a (height, width) uint16 array that belongs to the frame (a copy out
    of the module's slot, valid as long as it is kept). `frame_counter` and `timestamp` are the
    camera's (the tag block's FCNT and PCKH:PCKL words); `roi` is the region (x1, y1, x2, y2) in
    sensor pixels, corners included, and `binning` the (horizontal, vertical) factors it was taken
    with. `missing_before` counts the frames the counter skipped since the frame before it in the
    same acquisition (0 for the first)."""

    __slots__ = ("image", "frame_counter", "timestamp", "roi", "binning", "camera_id",
                 "missing_before")

    def __init__(self, image, frame_counter, timestamp, roi, binning, camera_id, missing_before):
        self.image = image
        self.frame_counter = frame_counter
        self.timestamp = timestamp
        self.roi = roi
        self.binning = binning
        self.camera_id = camera_id
        self.missing_before = missing_before

    @property
    def shape(self):
        return self.image.shape

    def __repr__(self):
        h, w = self.image.shape
        return (
            f"Frame({self.camera_id} #{self.frame_counter}, {w} x {h}, roi={self.roi}, "
            f"binning={self.binning[0]}x{self.binning[1]}, timestamp={self.timestamp})"
        )


class AcquisitionResult:
    """What one acquisition took.

    `count` frames were taken; `images` is the array they went to (for a sequence acquisition the
    caller's array, of which the first `count` frames are filled). `frame_counters` (uint32) and
    `timestamps` (uint64) hold each taken frame's metadata, `roi` and `binning` the geometry of all
    of them. `statistics` is the module's "qmx_module.acquisition_statistics" for this acquisition
    (frames delivered, packets seen and frames dropped by cause), or None when it could not be
    read (the camera had left). `ended` says why it ended: "count", "duration", "stopped",
    "unplugged", "interrupted", "timeout" or "error".
    """

    def __init__(self, camera_id, roi, binning, images=None):
        self.camera_id = camera_id
        self.roi = roi
        self.binning = binning
        self.images = images
        self.count = 0
        self.frame_counters = np.zeros(0, dtype=np.uint32)
        self.timestamps = np.zeros(0, dtype=np.uint64)
        self.elapsed = 0.0
        self.statistics = None
        self.ended = None

    @property
    def fps(self):
        """Frames taken per second of the acquisition."""
        return self.count / self.elapsed if self.elapsed > 0 else 0.0

    @property
    def gaps(self):
        """Frames missing before each taken frame (see counter_gaps)."""
        return counter_gaps(self.frame_counters)

    @property
    def repeated_frames(self):
        """Frames taken twice in a row (the same counter again)."""
        counters = np.asarray(self.frame_counters, dtype=np.int64)
        return int((np.diff(counters) == 0).sum()) if len(counters) > 1 else 0

    @property
    def missing_frames(self):
        """Frames the camera counted between the first and the last taken frame that were not
        taken: dropped by the module or overwritten before they were taken."""
        return int(self.gaps.sum())

    @property
    def drops_by_cause(self):
        """The module's dropped frames by cause ({"overwritten": 3, ...}); empty when the
        statistics could not be read."""
        if not self.statistics:
            return {}
        return {
            name[len("dropped_"):]: value
            for name, value in self.statistics.items()
            if name.startswith("dropped_")
        }

    @property
    def dropped(self):
        """The module's dropped frames, all causes together (None without statistics)."""
        return None if self.statistics is None else sum(self.drops_by_cause.values())

    def __repr__(self):
        return (
            f"AcquisitionResult({self.camera_id}: {self.count} frames in {self.elapsed:.3f} s, "
            f"{self.fps:.1f} fps, missing {self.missing_frames}, dropped {self.dropped}, "
            f"ended {self.ended!r})"
        )

"""An open camera: the module's get and set keywords and camera commands, the region, binning and
USB speed, and frames as numpy arrays (one frame, an iterator, a sequence into one array)."""

import ctypes
import threading
import time

import numpy as np

from .errors import AcquisitionTimeout, CameraRefused, CameraUnplugged, QmxError
from .errors import describe_result
from .frames import AcquisitionResult, Frame, counter_step_gap, parse_statistics

RESPONSE_BYTES = 4096
TAG_BLOCK_BYTES = 48
# Words of the tag block: "QMX\0" 0, "FCNT" counter, "PCKL" low, "PCKH" high, "IOFF" 6, "ENDT" 0.
TAG_QMX = int.from_bytes(b"QMX\0", "little")
TAG_FCNT = int.from_bytes(b"FCNT", "little")
WORD_FRAME_COUNTER = 3
WORD_TIMESTAMP_LOW = 5
WORD_TIMESTAMP_HIGH = 7
# How long one hand-out waits for a frame before the waiting thread looks at its stop conditions
# (Ctrl-C, a stop from another thread, the duration, the no-frame limit) again.
POLL_MS = 100
DEFAULT_SLOTS = 16
DEFAULT_TIMEOUT = 10.0
BINNING_RANGE = range(1, 17)

# Keywords the package drives itself during acquisitions: the buffer, the hand-outs and the frame
# layout belong to it.
_MANAGED_GET = ("image_wait", "image_wait_per_frame", "image_poll")
_MANAGED_SET = ("arm", "stop", "image_metadata", "image_poll_timeout_ms", "image_wait_release")


def _keyword(command):
    return command.split(" ", 1)[0]


def _format_value(value):
    if isinstance(value, (tuple, list)):
        return " ".join(str(v) for v in value)
    if isinstance(value, bool):
        return "on" if value else "off"
    return str(value)


class Camera:
    """A camera opened with `System.open`; a context manager that closes it.

    Only one acquisition runs on a camera at a time. Methods may be called from several threads;
    `stop_acquisition` ends a running acquisition from another thread.
    """

    def __init__(self, system, device_id, serial, handle):
        self._system = system
        self._f = system._module
        self._handle = ctypes.c_void_p(handle)
        self.device_id = device_id
        self._serial = serial
        # Held while an acquisition is armed, hands out a frame or ends, and while the camera
        # closes: one thread at a time drives the hand-outs, whose held slot has no lock.
        self._use_lock = threading.Lock()
        self._session = None
        # The buffer the module was last armed with. The module may write into it until it is
        # armed with another one or the camera is closed, so it is kept until then.
        self._armed_buffer = None
        self.last_result = None

    def __repr__(self):
        state = "closed" if self.closed else "open"
        return f"Camera({self.device_id!r}, serial={self._serial!r}, {state})"

    @property
    def serial(self):
        """The camera's serial number: from the listing, or asked of the camera ("sernum")."""
        if self._serial is None and not self.closed:
            reply = self.command("sernum")
            if not reply.startswith("error"):
                self._serial = reply
        return self._serial

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def closed(self):
        return self._handle is None

    def close(self):
        """Ends a running acquisition and closes the camera (about 0.6 s). Closing twice is
        harmless."""
        if self._handle is None:
            return
        session = self._session
        if session is not None:
            session.stop_requested.set()  # a thread taking frames returns within 0.1 s
        with self._use_lock:
            if self._session is not None:
                self._session.abandon()
            if self._handle is None:
                return
            handle, self._handle = self._handle, None
            self._system._forget(self)
            result = self._f.destroy(handle)
            # The camera's transport is gone: the module writes into the buffer no more.
            self._armed_buffer = None
        if result != 0:
            raise QmxError(result, f"closing {self.device_id} failed: {describe_result(result)}")

    # ---- text commands ----

    def _require_open(self):
        if self._handle is None:
            raise QmxError(None, f"the camera {self.device_id} is closed")

    def _call(self, side, command, data=None, size=0):
        self._require_open()
        text = command.encode()
        response = ctypes.create_string_buffer(RESPONSE_BYTES)
        function = self._f.get_data if side == "get" else self._f.set_data
        code = function(self._handle, text, len(text) + 1, data, size, response, RESPONSE_BYTES)
        return code, response.value.decode(errors="replace")

    def _fail(self, side, command, code):
        if code == 14:
            return CameraUnplugged(
                f'{side} "{command}" failed: the camera {self.device_id} is unplugged '
                f"(module result {describe_result(code)})"
            )
        return QmxError(code, f'{side} "{command}" failed: module result {describe_result(code)}')

    def _checked(self, side, command, data=None, size=0):
        code, text = self._call(side, command, data, size)
        if code != 0:
            raise self._fail(side, command, code)
        if text.startswith("error"):
            raise CameraRefused(command, text)
        return text

    def get(self, key):
        """Reads a module keyword ("hbin", "usb_speed", "acquisition_bytes_per_frame",
        "qmx_module.acquisition_statistics", ...) or a camera setting ("gain", "exposure_ms",
        "roi", ...) and returns the answer text. Raises QmxError (CameraUnplugged for result 14)
        for a module result other than 0, and CameraRefused when the camera answers "error"."""
        if _keyword(key) in _MANAGED_GET:
            raise ValueError(f'"{key}" hands out frames: use snap(), frames() or acquire_into()')
        return self._checked("get", key)

    def set(self, key, value=None):
        """Writes a module keyword (set("hbin", 2)) or a camera setting (set("gain", 40),
        set("roi", (0, 0, 639, 479))): the value goes after the keyword, separated by a blank.
        Returns the answer text ("ok" from the camera, "" from the module). Errors as for get."""
        if _keyword(key) in _MANAGED_SET:
            raise ValueError(
                f'"{key}" is driven by the acquisitions (snap(), frames(), acquire_into()); '
                "stop_acquisition() ends one"
            )
        if key in ("hbin", "vbin"):
            if not isinstance(value, int) or value not in BINNING_RANGE:
                raise ValueError(f"{key} takes a whole number from 1 to 16, not {value!r}")
        command = key if value is None else f"{key} {_format_value(value)}"
        return self._checked("set", command)

    def command(self, text):
        """Sends `text` to the camera as it is and returns the camera's reply, also a refusal.
        Raises QmxError only for a module result other than 0."""
        code, reply = self._call("get", f"pqmx {text}")
        if code != 0:
            raise self._fail("get", f"pqmx {text}", code)
        return reply

    # ---- parameters ----

    @property
    def roi(self):
        """The region of interest (x1, y1, x2, y2) in sensor pixels, corners included. Setting it
        sends "roi x1 y1 x2 y2" to the camera, which refuses a region off the sensor or a width
        that is not a multiple of 4 (CameraRefused)."""
        parts = self.get("roi").split()
        if len(parts) != 4:
            raise QmxError(None, f'the camera answered "roi" with {" ".join(parts)!r}')
        return tuple(int(p) for p in parts)

    @roi.setter
    def roi(self, region):
        x1, y1, x2, y2 = (int(v) for v in region)
        self.set("roi", (x1, y1, x2, y2))

    @property
    def binning(self):
        """(horizontal, vertical) binning factors, 1 to 16 each; the module sums each block of
        pixels, clamped at 1023. Set it with a pair or one factor for both."""
        return int(self.get("hbin")), int(self.get("vbin"))

    @binning.setter
    def binning(self, factors):
        h, v = (factors, factors) if isinstance(factors, int) else factors
        for name, factor in (("horizontal", h), ("vertical", v)):
            if not isinstance(factor, int) or factor not in BINNING_RANGE:
                raise ValueError(f"{name} binning takes 1 to 16, not {factor!r}")
        self.set("hbin", h)
        self.set("vbin", v)

    @property
    def usb_speed(self):
        """The USB speed the camera is attached at: "USB 3.0", "USB 2.0", ..."""
        return self.get("usb_speed")

    @property
    def width(self):
        """Pixels per row of a frame: the region's width divided by the horizontal binning."""
        return int(self.get("image_width"))

    @property
    def height(self):
        """Rows of a frame: the region's height divided by the vertical binning."""
        return int(self.get("image_height"))

    @property
    def shape(self):
        """(height, width) of the frames the next acquisition takes."""
        return self.height, self.width

    def statistics(self):
        """The module's acquisition statistics since the last acquisition began, as a dict."""
        return parse_statistics(self.get("qmx_module.acquisition_statistics"))

    # ---- frames ----

    def stop_acquisition(self):
        """Ends the running acquisition from another thread: it stops within about 0.1 s, with the
        frames taken so far (ended "stopped")."""
        session = self._session
        if session is not None:
            session.stop_requested.set()

    def snap(self, timeout=DEFAULT_TIMEOUT):
        """Takes one frame and returns it as a Frame."""
        with self.frames(count=1, slots=2, timeout=timeout) as stream:
            for frame in stream:
                return frame
        raise QmxError(
            None, f"no frame from {self.device_id}: the acquisition ended {stream.result.ended}"
        )

    def frames(self, count=None, seconds=None, *, slots=DEFAULT_SLOTS, timeout=DEFAULT_TIMEOUT):
        """An iterator over frames: `count` frames, or for `seconds`, or until stopped (both
        None). Each Frame's image is an array of its own (one copy out of the module's slot).
        Leaving the loop early, use it in a `with` statement or close() it to stop the camera at
        once; a new acquisition on the camera also ends it. Its `result` holds the frame
        counters, time stamps and the module's statistics once it has ended."""
        return FrameStream(self, count, seconds, slots, timeout)

    def acquire_into(self, out, seconds=None, *, slots=DEFAULT_SLOTS, timeout=DEFAULT_TIMEOUT):
        """Fills the preallocated (N, height, width) uint16 array `out` with N frames, each copied
        once from the module's slot into its place, and returns an AcquisitionResult. With
        `seconds` it ends at that time even if fewer frames came. A camera unplugged meanwhile
        raises CameraUnplugged, no frame for `timeout` seconds raises AcquisitionTimeout, and
        Ctrl-C stops the camera and raises KeyboardInterrupt; the frames filled before stay in
        `out`, and `last_result` (and the exception's `result`) says how many."""
        if not isinstance(out, np.ndarray) or out.dtype != np.uint16 or out.ndim != 3:
            raise TypeError("out must be an (N, height, width) numpy array of uint16")
        if not out.flags.writeable:
            raise ValueError("out is read-only")
        session = self._begin(slots, timeout)
        try:
            result = session.result
            result.images = out
            try:
                expected = (session.height, session.width)
                if out.shape[1:] != expected:
                    raise ValueError(
                        f"out holds frames of {out.shape[1:]} (height, width), but the camera's "
                        f"frames are {expected} (region {session.roi}, binning {session.binning})"
                    )
                total = out.shape[0]
                counters = np.zeros(total, dtype=np.uint32)
                timestamps = np.zeros(total, dtype=np.uint64)
                taken = 0

                def collect():
                    result.frame_counters = counters[:taken]
                    result.timestamps = timestamps[:taken]
                    result.count = taken

                session.collect = collect
                images = session.images
                tags = session.tags
                end = None if seconds is None else session.start + seconds
                while taken < total:
                    index = session.take(end)
                    if index is None:
                        break
                    np.copyto(out[taken], images[index])
                    counters[taken], timestamps[taken] = session.tag_values(tags[index])
                    taken += 1
                    if end is not None and taken < total and time.monotonic() >= end:
                        session.ending = "duration"
                        break
            except BaseException as error:
                session.end(error)
                raise
            session.end(None)
            return result
        finally:
            self._use_lock.release()

    def acquire(self, count, seconds=None, **options):
        """Allocates a (count, height, width) uint16 array, fills it with acquire_into and returns
        the AcquisitionResult; its `images` is the array."""
        out = np.empty((count,) + self.shape, dtype=np.uint16)
        return self.acquire_into(out, seconds, **options)

    def _begin(self, slots, timeout):
        """Arms a new acquisition and returns it with the use lock held. An earlier frame stream
        left open is ended first; one that a thread is taking a frame from makes this fail."""
        if not self._use_lock.acquire(blocking=False):
            raise QmxError(None, f"an acquisition is already running on {self.device_id}")
        try:
            self._require_open()
            if self._session is not None:
                self._session.abandon()
            session = _Session(self, slots, timeout)
            self._session = session
            return session
        except BaseException:
            self._use_lock.release()
            raise

    def _ring(self, nbytes):
        """A buffer of `nbytes` to arm: the one armed before when it has that size, else a new
        one."""
        if self._armed_buffer is not None and self._armed_buffer.nbytes == nbytes:
            return self._armed_buffer
        return np.empty(nbytes, dtype=np.uint8)


class _Session:
    """One armed acquisition: the slots of the armed buffer as numpy views, the hand-out of one
    frame at a time through "image_poll", and the stop. The slot a hand-out returns stays the
    host's until the next hand-out; its pixels and tag block are read before that."""

    def __init__(self, camera, slots, timeout):
        if not isinstance(slots, int) or slots < 1:
            raise ValueError(f"slots takes a positive whole number, not {slots!r}")
        self.camera = camera
        self.finished = False
        self.stopped = False
        self.ending = None
        self.collect = None
        self.stop_requested = threading.Event()
        self.roi = camera.roi
        self.binning = camera.binning
        self.height, self.width = camera.shape
        if self.width == 0 or self.height == 0:
            raise ValueError(
                f"binning {self.binning[0]}x{self.binning[1]} leaves no whole pixel of the region "
                f"{self.roi}; take a larger region or a smaller binning"
            )
        slot_bytes = int(camera.get("acquisition_bytes_per_frame"))
        image_bytes = 2 * self.width * self.height
        # Frames are delivered with the image at the slot's start and the tag block in the slot's
        # last 48 bytes: the module bins such frames whatever the number of calibration lines.
        tag_offset = slot_bytes - TAG_BLOCK_BYTES
        if tag_offset < image_bytes:
            raise QmxError(
                None,
                f"the frame geometry does not fit: {self.width} x {self.height} pixels in slots "
                f"of {slot_bytes} bytes",
            )
        self.slot_bytes = slot_bytes
        self.slots = slots
        camera._checked("set", "image_metadata", ctypes.c_char_p(b"off"), 4)
        poll_text = str(POLL_MS).encode()
        camera._checked(
            "set", "image_poll_timeout_ms", ctypes.c_char_p(poll_text), len(poll_text) + 1
        )
        buffer = camera._ring(slot_bytes * slots)
        response = ctypes.create_string_buffer(RESPONSE_BYTES)
        f = camera._f
        code = f.set_data(
            camera._handle, b"arm", 4, buffer.ctypes.data, buffer.nbytes, response, RESPONSE_BYTES
        )
        # From the first arming on the module may write into this buffer; the one armed before is
        # let go only now, when the module has let go of it.
        camera._armed_buffer = buffer
        self.result = AcquisitionResult(camera.device_id, self.roi, self.binning)
        if code != 0:
            raise camera._fail("set", "arm", code)
        if response.value.startswith(b"error"):
            self.stop()
            raise CameraRefused("arm", response.value.decode(errors="replace"))
        self.base = buffer.ctypes.data
        rows = buffer.reshape(slots, slot_bytes)
        self.images = [
            rows[i, :image_bytes].view(np.uint16).reshape(self.height, self.width)
            for i in range(slots)
        ]
        self.tags = [rows[i, tag_offset:slot_bytes].view("<u4") for i in range(slots)]
        # The hand-out's arguments, made once.
        self._get_data = f.get_data
        self._handle = camera._handle
        self._address = ctypes.c_uint64()
        self._address_ref = ctypes.byref(self._address)
        self._response = ctypes.create_string_buffer(16)
        self._timeout = timeout
        self.start = time.monotonic()
        self._last_frame = self.start

    def take(self, end=None):
        """The index of the next frame's slot, or None when the acquisition ends without one:
        stopped from another thread, or `end` on the monotonic clock passed."""
        while True:
            if self.stop_requested.is_set():
                self.ending = "stopped"
                return None
            code = self._get_data(
                self._handle, b"image_poll", 11, self._address_ref, 8, self._response, 16
            )
            if code != 0:
                raise self.camera._fail("get", "image_poll", code)
            address = self._address.value
            now = time.monotonic()
            if address != 0:
                index, rest = divmod(address - self.base, self.slot_bytes)
                if rest != 0 or not 0 <= index < self.slots:
                    raise QmxError(
                        None, f"the module handed out {address:#x}, no slot of the armed buffer"
                    )
                self._last_frame = now
                return index
            if end is not None and now >= end:
                self.ending = "duration"
                return None
            if self._timeout is not None and now - self._last_frame >= self._timeout:
                raise AcquisitionTimeout(
                    f"no frame came from {self.camera.device_id} for {self._timeout:g} s; "
                    "acquisition stopped"
                )

    @staticmethod
    def tag_values(tag):
        """(frame counter, time stamp) from a slot's tag block."""
        if tag[0] != TAG_QMX or tag[2] != TAG_FCNT:
            raise QmxError(None, "a frame slot holds no tag block where the layout puts it")
        timestamp = (int(tag[WORD_TIMESTAMP_HIGH]) << 32) | int(tag[WORD_TIMESTAMP_LOW])
        return int(tag[WORD_FRAME_COUNTER]), timestamp

    def stop(self):
        """Stops the camera once; 0 or the module's result (14 for a camera that left, which
        needs no stop)."""
        if self.stopped:
            return 0
        self.stopped = True
        code, _ = self.camera._call("set", "stop")
        return code

    def abandon(self):
        """Ends an acquisition that its thread left running (a new acquisition, close(), or a
        collected iterator), as stopped."""
        if self.ending is None:
            self.ending = "stopped"
        self.end(None, raise_errors=False)

    def end(self, error, raise_errors=True):
        """Ends the acquisition once: completes the result (with the module's statistics), stops
        the camera and names why it ended. `error` is the exception that ends it, or None."""
        if self.finished:
            return
        self.finished = True
        camera = self.camera
        camera._session = None
        result = self.result
        result.elapsed = time.monotonic() - self.start
        if self.collect is not None:
            self.collect()
        if isinstance(error, KeyboardInterrupt):
            self.ending = "interrupted"
        elif isinstance(error, CameraUnplugged):
            self.ending = "unplugged"
        elif isinstance(error, AcquisitionTimeout):
            self.ending = "timeout"
        elif error is not None:
            self.ending = "error"
        elif self.ending is None:
            self.ending = "count"
        if isinstance(error, (CameraUnplugged, AcquisitionTimeout)) and error.result is None:
            error.result = result
        camera.last_result = result
        code, text = camera._call("get", "qmx_module.acquisition_statistics")
        if code == 0:
            result.statistics = parse_statistics(text)
        stop_code = self.stop()
        result.ended = "unplugged" if code == 14 and self.ending != "interrupted" else self.ending
        if raise_errors and error is None and stop_code not in (0, 14):
            raise camera._fail("set", "stop", stop_code)


class FrameStream:
    """The iterator that Camera.frames returns: each step hands out the next Frame. It ends
    after its count or duration, on stop_acquisition(), on close() or at the end of its `with`
    block, and then stops the camera. `result` is its AcquisitionResult, complete once it ended.
    """

    def __init__(self, camera, count, seconds, slots, timeout):
        if count is not None and (not isinstance(count, int) or count < 1):
            raise ValueError(f"count takes a positive whole number, not {count!r}")
        self._camera = camera
        self._count = count
        self._counters = []
        self._timestamps = []
        self._previous = None
        session = camera._begin(slots, timeout)
        try:
            session.collect = self._collect
            self._session = session
            self._end = None if seconds is None else session.start + seconds
            self.result = session.result
        finally:
            camera._use_lock.release()

    def _collect(self):
        result = self.result
        result.frame_counters = np.array(self._counters, dtype=np.uint32)
        result.timestamps = np.array(self._timestamps, dtype=np.uint64)
        result.count = len(self._counters)

    @property
    def closed(self):
        return self._session.finished

    def __iter__(self):
        return self

    def __enter__(self):
        return self

    def __exit__(self, kind, error, traceback):
        self._end_with(error)

    def __del__(self):
        session = getattr(self, "_session", None)
        # Never waits here: a collection may run on a thread that is inside this camera's calls.
        if session is not None and not session.finished:
            lock = self._camera._use_lock
            if lock.acquire(blocking=False):
                try:
                    session.abandon()
                except Exception:
                    pass
                finally:
                    lock.release()

    def __next__(self):
        session = self._session
        lock = self._camera._use_lock
        if not lock.acquire(blocking=False):
            raise QmxError(None, "frames are being taken from this camera on another thread")
        try:
            if session.finished:
                raise StopIteration
            if self._end is not None and time.monotonic() >= self._end:
                session.ending = "duration"
                session.end(None)
                raise StopIteration
            try:
                index = session.take(self._end)
            except BaseException as error:
                session.end(error)
                raise
            if index is None:
                session.end(None)
                raise StopIteration
            image = session.images[index].copy()
            counter, timestamp = session.tag_values(session.tags[index])
            missing = 0 if self._previous is None else counter_step_gap(counter - self._previous)
            self._previous = counter
            self._counters.append(counter)
            self._timestamps.append(timestamp)
            if self._count is not None and len(self._counters) >= self._count:
                session.ending = "count"  # the camera stops now, not at the next step
                session.end(None)
        finally:
            lock.release()
        return Frame(
            image, counter, timestamp, session.roi, session.binning, self._camera.device_id,
            missing,
        )

    def close(self):
        """Ends the stream and stops the camera; harmless when it has ended."""
        self._end_with(None)

    def _end_with(self, error):
        session = self._session
        if session.finished:
            return
        # A thread taking a frame from this stream returns within one hand-out's wait.
        session.stop_requested.set()
        with self._camera._use_lock:
            if error is None and session.ending is None:
                session.ending = "stopped"
            session.end(error)

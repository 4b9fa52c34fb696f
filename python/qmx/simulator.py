"""The simulated camera world: plug and unplug simulated cameras, steer their faults, read what
they sent. Present only when the package was loaded for simulated cameras."""

import ctypes
import itertools
from collections import namedtuple

from ._library import SimCameraConfig, SimCounters, SimFaultCounters, SimFrameRecord
from ._library import SimPacketFaults
from .errors import QmxError

USB_VERSIONS = {"1.1": 0x0110, "2.0": 0x0200, "3.0": 0x0300}

PACKET_FAULTS = {"drop": 1, "repeat": 2, "corrupt": 3, "shorten": 4, "foreign": 5, "unplug": 6}

FRAME_OUTCOMES = {0: "sending", 1: "whole", 2: "damaged", 3: "lost"}

FrameRecord = namedtuple(
    "FrameRecord", "sequence frame_counter timestamp header_word_8 header_word_12 packets outcome"
)
FrameRecord.__doc__ = """One frame the simulated camera sent: `timestamp` is header word 12 in the
high half and header word 8 in the low half; `outcome` is "whole", "damaged", "lost" or
"sending"."""


def _settle(functions):
    # As on a machine where a camera has been attached for a moment: the hotplug monitor has
    # delivered the plug, and the module's own read of the new device (it opens the device
    # briefly, which an open for the camera at that very moment would meet) is over.
    functions.monitor_wait_idle(5000)


def _bcd_usb(usb):
    if isinstance(usb, int):
        return usb
    try:
        return USB_VERSIONS[str(usb)]
    except KeyError:
        raise ValueError(f"usb takes one of {sorted(USB_VERSIONS)} or a bcdUSB number") from None


class Simulator:
    """Control of the simulated camera world in this process (see `qmx.load`)."""

    _serials = itertools.count(1)

    def __init__(self, functions):
        self._f = functions

    def add_camera(
        self,
        serial=None,
        *,
        usb="3.0",
        width=1280,
        height=1024,
        calibration_lines=2,
        device_id=None,
        plugged=True,
    ):
        """Plugs in a new simulated camera and returns it as a SimulatedCamera.

        `serial` defaults to a new "PYSIMnnnn"; `usb` is "1.1", "2.0" or "3.0" (the speed class);
        `width` (a multiple of 4) and `height` give the sensor size in pixels; `device_id` is its
        answer to "id" (by default "QMXSIM-" and its number in four digits). With
        plugged=False the camera is added unplugged, so faults can be set before `replug()`.
        """
        if serial is None:
            serial = f"PYSIM{next(self._serials):04d}"
        config = SimCameraConfig()
        self._f.camera_config_init(ctypes.byref(config))
        serial_bytes = serial.encode()
        id_bytes = device_id.encode() if device_id is not None else None
        config.serial = serial_bytes
        config.id = id_bytes
        config.bcd_usb = _bcd_usb(usb)
        config.sensor_width = width
        config.sensor_height = height
        config.calibration_lines = calibration_lines
        config.plugged = 1 if plugged else 0
        number = self._f.camera_add_configured(ctypes.byref(config))
        if number == 0:
            raise QmxError(
                None,
                f"the simulator refused the camera (serial {serial!r}, {width} x {height}, "
                f"{calibration_lines} calibration lines)",
            )
        if plugged:
            _settle(self._f)
        return SimulatedCamera(
            self._f, number, serial, device_id if device_id is not None else f"QMXSIM-{number:04d}"
        )

    def wait_idle(self, timeout=5.0):
        """Waits until every arrival and removal so far has reached the module; False when
        `timeout` seconds ran out first."""
        return self._f.monitor_wait_idle(int(timeout * 1000)) == 1

    def set_notification_delay(self, seconds):
        """Later arrivals and removals reach the module no sooner than this after the change."""
        self._f.monitor_set_delay(int(seconds * 1000))


class SimulatedCamera:
    """One simulated camera: its simulator number, serial and device ID, and its controls."""

    def __init__(self, functions, number, serial, device_id):
        self._f = functions
        self.number = number
        self.serial = serial
        self.device_id = device_id

    def __repr__(self):
        return f"SimulatedCamera({self.device_id!r}, serial={self.serial!r})"

    def _check(self, result, what):
        if result != 0:
            raise QmxError(None, f"the simulator refused {what} for camera {self.number}")

    def unplug(self):
        """Pulls the camera out: streaming ends and the module hears of the removal."""
        self._check(self._f.camera_unplug(self.number), "unplug")

    def replug(self, new_path=False):
        """Plugs it back in, starting from its power-on state."""
        self._check(self._f.camera_replug(self.number, 1 if new_path else 0), "replug")
        _settle(self._f)

    def set_max_rate(self, on=True):
        """Frames as fast as the host takes them, no packet lost (otherwise paced by "fps")."""
        self._check(self._f.set_max_rate(self.number, 1 if on else 0), "max rate")

    def set_packet_faults(self, *, drop=0.0, repeat=0.0, reorder=0.0, shorten=0.0, corrupt=0.0):
        """Chance per image packet (0 to 1) of each fault, from the next frame on."""
        faults = SimPacketFaults(
            corrupt_magic=corrupt, drop=drop, repeat=repeat, reorder=reorder, shorten=shorten
        )
        self._check(self._f.set_packet_faults(self.number, ctypes.byref(faults)), "packet faults")

    @property
    def seed(self):
        """The seed value of the camera's fault generator; set it to repeat a run."""
        return self._f.random_seed(self.number)

    @seed.setter
    def seed(self, value):
        self._check(self._f.set_random_seed(self.number, value), "seed")

    def script_packet_fault(self, frame, packet, kind, argument=0):
        """Packet `packet` of the frame with counter `frame` meets fault `kind` once: "drop",
        "repeat", "corrupt", "shorten", "foreign" (a packet of frame + argument first) or "unplug"
        (the camera is unplugged right after it)."""
        if kind not in PACKET_FAULTS:
            raise ValueError(f"kind takes one of {sorted(PACKET_FAULTS)}, not {kind!r}")
        self._check(
            self._f.script_packet_fault(self.number, frame, packet, PACKET_FAULTS[kind], argument),
            "a scripted fault",
        )

    def set_frame_counter(self, value):
        """The frame counter of the next frame (it wraps from 2**32 - 1 to 0)."""
        self._check(self._f.set_frame_counter(self.number, value), "the frame counter")

    def set_error_replies(self, command, count):
        """The next `count` commands starting with `command` get an "error" reply."""
        self._check(
            self._f.set_error_replies(self.number, command.encode(), count), "error replies"
        )

    def set_silent(self, silent=True):
        """Commands get no reply at all (they are still carried out)."""
        self._check(self._f.set_silent(self.number, 1 if silent else 0), "silence")

    def set_reply_delay(self, seconds):
        self._check(self._f.set_reply_delay(self.number, int(seconds * 1000)), "a reply delay")

    def counters(self):
        """Packets sent and lost, frames started and completed."""
        c = SimCounters()
        self._check(self._f.get_counters(self.number, ctypes.byref(c)), "counters")
        return {
            "packets_sent": c.packets_sent,
            "packets_lost": c.packets_lost,
            "frames_started": c.frames_started,
            "frames_completed": c.frames_completed,
        }

    def fault_counters(self):
        """Frames whole, damaged and lost, and the faults injected, since the camera was added."""
        c = SimFaultCounters()
        c.struct_size = ctypes.sizeof(SimFaultCounters)
        self._check(self._f.get_fault_counters(self.number, ctypes.byref(c)), "fault counters")
        return {name: getattr(c, name) for name, _ in SimFaultCounters._fields_[2:]}

    def frame_log(self, capacity=4096):
        """The newest frames the camera began (at most `capacity`), oldest first."""
        records = (SimFrameRecord * capacity)()
        count = self._f.get_frame_log(self.number, records, capacity)
        return [
            FrameRecord(
                r.sequence,
                r.frame_counter,
                (r.header_word_12 << 32) | r.header_word_8,
                r.header_word_8,
                r.header_word_12,
                r.packets,
                FRAME_OUTCOMES.get(r.outcome, str(r.outcome)),
            )
            for r in records[:count]
        ]

    def clear_frame_log(self):
        self._check(self._f.clear_frame_log(self.number), "clearing the frame log")

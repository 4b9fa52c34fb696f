"""Python interface to the QMX camera module: cameras, their settings, and frames as numpy
arrays.

    import qmx
    system = qmx.load()                        # the module, with the simulated camera world
    system.simulator.add_camera("SIM00001")    # plug in a simulated camera
    with system.open(serial="SIM00001") as camera:
        camera.roi = (0, 0, 639, 479)
        camera.binning = (2, 2)
        frame = camera.snap()                  # frame.image: (240, 320) uint16

See the README's "Python interface" section.
"""

from .camera import Camera, FrameStream
from .errors import (
    AcquisitionTimeout,
    CameraRefused,
    CameraUnplugged,
    LibraryNotFoundError,
    QmxError,
    describe_result,
)
from .events import ConnectionEvent, EventStream, Subscription
from .frames import AcquisitionResult, Frame, counter_gaps
from .simulator import SimulatedCamera, Simulator
from .system import CameraInfo, System, load

__all__ = [
    "AcquisitionResult",
    "AcquisitionTimeout",
    "Camera",
    "CameraInfo",
    "CameraRefused",
    "CameraUnplugged",
    "ConnectionEvent",
    "EventStream",
    "Frame",
    "FrameStream",
    "LibraryNotFoundError",
    "QmxError",
    "SimulatedCamera",
    "Simulator",
    "Subscription",
    "System",
    "counter_gaps",
    "describe_result",
    "load",
]

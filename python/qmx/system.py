"""The module loaded in this process: listing and opening cameras, module data, connection
events, and for simulated cameras the simulator."""

import atexit
import ctypes
import sys
import threading
from collections import namedtuple
from pathlib import Path

from . import _library
from .camera import Camera
from .errors import QmxError, describe_result
from .events import EventPump, EventStream, Subscription
from .simulator import Simulator

LIST_BYTES = 16384
MODULE_DATA_BYTES = 1024
MONITOR_IDLE_WAIT = 5.0

CameraInfo = namedtuple("CameraInfo", "device_id serial")
CameraInfo.__doc__ = "An attached camera as the module lists it."

_lock = threading.Lock()
_system = None


def load(library_dir=None, *, simulated=True):
    """Loads the module into this process (once) and returns the System.

    simulated=True (the default) loads the simulator and the hotplug monitor stand-in first, from
    the same folder as the module; add cameras with `System.simulator.add_camera()`.
    simulated=False is for real cameras: the camera maker's hotplug monitor is loaded through the
    system's library search, and the simulator must not be in the process; their driver exists for
    Windows only.

    The libraries are looked for in `library_dir`, else in the folder named by the environment
    variable QMX_LIBRARY_DIR, else in the package's own `lib` folder and the build trees of the
    source tree it sits in (build/release/bin, build/debug/bin). A missing library raises
    LibraryNotFoundError naming the file and every folder looked in.

    The module is one per process: a later call returns the same System, and a call that asks
    for another folder or the other kind of camera raises QmxError.
    """
    global _system
    with _lock:
        if _system is not None:
            _system._check_same(library_dir, simulated)
            return _system
        _system = System(library_dir, simulated)
        atexit.register(_system.shutdown)
        return _system


class System:
    """The loaded module (see `load`). Not made directly."""

    def __init__(self, library_dir, simulated):
        self.simulated = simulated
        if simulated:
            files = [_library.SIMULATOR_FILE, _library.MONITOR_FILE, _library.MODULE_FILE]
            folder = _library.find_folder(files, library_dir)
            functions = _library.SimulatorFunctions(
                folder / _library.SIMULATOR_FILE, folder / _library.MONITOR_FILE
            )
            self.simulator = Simulator(functions)
            self._simulator_functions = functions
        else:
            if sys.platform != "win32":
                raise QmxError(
                    None,
                    "real cameras need the camera controller's driver, which exists for Windows "
                    "only; here the cameras are simulated (load(simulated=True))",
                )
            folder = _library.find_folder([_library.MODULE_FILE], library_dir)
            try:
                ctypes.CDLL(_library.MONITOR_FILE)
            except OSError as error:
                raise QmxError(
                    None,
                    f"cannot load the camera maker's hotplug monitor {_library.MONITOR_FILE}: "
                    f"{error}",
                ) from None
            if _library.library_in_process(_library.SIMULATOR_FILE):
                raise QmxError(
                    None,
                    f"the simulator {_library.SIMULATOR_FILE} is loaded in this process; real "
                    "cameras need a process without it",
                )
            self.simulator = None
            self._simulator_functions = None
        self.library_folder = Path(folder)
        self._module = _library.ModuleFunctions(folder / _library.MODULE_FILE)
        # Open cameras stay referenced here until closed, so that the process's end closes them.
        self._open = set()
        self._open_lock = threading.Lock()
        self._events = EventPump(self._module)

    def __repr__(self):
        kind = "simulated cameras" if self.simulated else "real cameras"
        return f"System({kind}, libraries from {self.library_folder})"

    def _check_same(self, library_dir, simulated):
        if simulated != self.simulated:
            raise QmxError(
                None,
                f"the module is loaded already for {'simulated' if self.simulated else 'real'} "
                "cameras; one process holds one module",
            )
        if library_dir is not None and Path(library_dir).resolve() != self.library_folder.resolve():
            raise QmxError(
                None,
                f"the module is loaded already from {self.library_folder}; one process holds one "
                "module",
            )

    # ---- cameras ----

    def cameras(self):
        """The attached cameras, as CameraInfo(device_id, serial). Each listing asks every
        camera that is not open for its ID (a fraction of a second per camera)."""
        ids = ctypes.create_string_buffer(LIST_BYTES)
        serials = ctypes.create_string_buffer(LIST_BYTES)
        self._module.get_device_ids(ids, LIST_BYTES, serials, LIST_BYTES)
        id_list = [part for part in ids.value.decode(errors="replace").split(",") if part]
        serial_list = [part for part in serials.value.decode(errors="replace").split(",") if part]
        if len(serial_list) != len(id_list):
            serial_list = (serial_list + [""] * len(id_list))[: len(id_list)]
        return [CameraInfo(i, s) for i, s in zip(id_list, serial_list)]

    def open(self, device_id=None, *, serial=None):
        """Opens a camera by device ID, or by serial number, or the first one listed, and returns
        a Camera (a context manager that closes it). Raises QmxError with the module's result
        and the attached cameras when it cannot be opened."""
        if device_id is not None and serial is not None:
            raise ValueError("open takes a device ID or a serial number, not both")
        listed = None
        if device_id is None:
            listed = self.cameras()
            if serial is not None:
                matches = [c for c in listed if c.serial == serial]
                if not matches:
                    raise QmxError(None, f"no attached camera has the serial number {serial!r}; "
                                         f"attached: {self._names(listed)}")
                device_id = matches[0].device_id
            elif not listed:
                raise QmxError(None, "no camera is attached")
            else:
                device_id = listed[0].device_id
        handle = ctypes.c_void_p()
        result = self._module.create(device_id.encode(), ctypes.byref(handle))
        if result != 0 and listed is None:
            # The module knows a camera once a listing or its arrival has identified it.
            listed = self.cameras()
            result = self._module.create(device_id.encode(), ctypes.byref(handle))
        if result != 0:
            if listed is None:
                listed = self.cameras()
            raise QmxError(
                result,
                f"cannot open camera {device_id!r}: module result {describe_result(result)}; "
                f"attached: {self._names(listed)}",
            )
        if serial is None:
            serial = next((c.serial for c in listed or [] if c.device_id == device_id), None)
        camera = Camera(self, device_id, serial, handle.value)
        with self._open_lock:
            self._open.add(camera)
        return camera

    @staticmethod
    def _names(listed):
        return ", ".join(c.device_id for c in listed) or "none"

    def _forget(self, camera):
        with self._open_lock:
            self._open.discard(camera)

    # ---- module data ----

    def get_module_data(self, key):
        """Reads module data ("version"); raises QmxError for an unknown key. Connection events
        come through on_connection and connection_events instead of "connect_disconnect"."""
        if key == "connect_disconnect":
            raise ValueError("connection events come through on_connection() and "
                             "connection_events()")
        value = ctypes.create_string_buffer(MODULE_DATA_BYTES)
        result = self._module.get_module_data(key.encode(), value, MODULE_DATA_BYTES)
        if result != 0:
            raise QmxError(
                result, f'module data "{key}" failed: module result {describe_result(result)}'
            )
        return value.value.decode(errors="replace")

    @property
    def version(self):
        """The module's version text."""
        return self.get_module_data("version")

    # ---- connection events ----

    def on_connection(self, callback):
        """Calls `callback(event)` on the event thread for every camera arrival and removal
        (a ConnectionEvent); returns a Subscription whose cancel() ends it."""
        return Subscription(self._events, callback)

    def connection_events(self):
        """Camera arrivals and removals from now on, as an EventStream (an iterator with a
        get(timeout) method); use it in a `with` block or close() it."""
        return EventStream(self._events)

    # ---- the end ----

    def shutdown(self):
        """Closes the cameras left open and ends the event thread; run at the process's end."""
        self._events.shutdown()
        with self._open_lock:
            cameras = list(self._open)
        for camera in cameras:
            try:
                camera.close()
            except QmxError:
                pass
        if self._simulator_functions is not None:
            # A notification still on its way when the process ends would meet the module's
            # static objects while they are destroyed.
            self.simulator.wait_idle(MONITOR_IDLE_WAIT)

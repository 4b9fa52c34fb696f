"""Finding and loading the module, the simulator and the hotplug monitor stand-in with ctypes.

The libraries are plain C; nothing here is linked at build time. The module looks for the hotplug
monitor (and, for simulated cameras, the simulator) among the libraries already loaded in the
process, so they are loaded first, as a host does.
"""

import ctypes
import os
import sys
from pathlib import Path

from .errors import LibraryNotFoundError, QmxError, describe_result

if sys.platform == "win32":
    MODULE_FILE = "orbanite_qmx_camera.dll"
    SIMULATOR_FILE = "qmx_camera_sim.dll"
    MONITOR_FILE = "orbanite_qmx_usb_hotplug_monitor.dll"
else:
    MODULE_FILE = "liborbanite_qmx_camera.so"
    SIMULATOR_FILE = "libqmx_camera_sim.so"
    MONITOR_FILE = "liborbanite_qmx_usb_hotplug_monitor.so"

MODULE_NAME = "ORBANITE_QMX_PAVIK_CAMERA_DEVICE"

# The build configurations whose libraries the package may use from a source tree, in the order
# they are tried. The sanitizer builds are left out: their libraries need the sanitizer runtime
# loaded before the interpreter starts.
BUILD_PRESETS = ("release", "debug")

_PACKAGE_DIR = Path(__file__).resolve().parent


def candidate_folders(library_dir=None):
    """The folders searched for the libraries, in order.

    An explicit `library_dir`, or else the environment variable QMX_LIBRARY_DIR, is the only place
    looked in. Otherwise: the package's own `lib` folder (filled by a pip install from the source
    tree), then the build trees of the source tree the package sits in
    (`build/release/bin`, `build/debug/bin`).
    """
    if library_dir is not None:
        return [Path(library_dir)]
    from_environment = os.environ.get("QMX_LIBRARY_DIR")
    if from_environment:
        return [Path(from_environment)]
    folders = [_PACKAGE_DIR / "lib"]
    source_root = _PACKAGE_DIR.parent.parent
    folders += [source_root / "build" / preset / "bin" for preset in BUILD_PRESETS]
    return folders


def find_folder(files, library_dir=None):
    """The first candidate folder that holds every one of `files`.

    Raises LibraryNotFoundError naming the first file that is missing and every folder looked in.
    """
    folders = candidate_folders(library_dir)
    for folder in folders:
        if all((folder / name).is_file() for name in files):
            return folder
    nowhere = [name for name in files if not any((f / name).is_file() for f in folders)]
    if nowhere:
        raise LibraryNotFoundError(nowhere[0], folders)
    # Each file is somewhere, but no folder holds them all: they must come from one build.
    raise LibraryNotFoundError(" + ".join(files), folders, together=True)


def _load(path):
    try:
        return ctypes.CDLL(str(path))
    except OSError as error:
        raise QmxError(None, f"cannot load {path}: {error}") from None


def _bind(library, name, restype, *argtypes):
    function = getattr(library, name)
    function.restype = restype
    function.argtypes = argtypes
    return function


# Device function signatures, as the module's function table hands them out.
_GET_DEVICE_IDS = ctypes.CFUNCTYPE(
    ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int
)
_CREATE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p))
_DESTROY = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)
_DATA = ctypes.CFUNCTYPE(
    ctypes.c_int,
    ctypes.c_void_p,
    ctypes.c_char_p,
    ctypes.c_size_t,
    ctypes.c_void_p,
    ctypes.c_size_t,
    ctypes.c_char_p,
    ctypes.c_size_t,
)
_MODULE_DATA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int)


class ModuleFunctions:
    """The module loaded and initialised, with its device functions from the function table."""

    def __init__(self, path):
        self.path = Path(path)
        library = _load(self.path)
        try:
            get_name = _bind(library, "ob_module_get_name", ctypes.c_char_p)
            initialize = _bind(library, "ob_module_initialize", ctypes.c_int, ctypes.c_void_p)
            get_function = _bind(library, "ob_get_function", ctypes.c_void_p, ctypes.c_char_p)
        except AttributeError:
            raise QmxError(None, f"{path} does not export the module entry points") from None
        name = (get_name() or b"").decode(errors="replace")
        if name != MODULE_NAME:
            raise QmxError(None, f'{path} is not the camera module (it calls itself "{name}")')
        result = initialize(None)
        if result != 0:
            raise QmxError(result, f"the module did not initialise: {describe_result(result)}")

        def row(name, prototype):
            address = get_function(name.encode())
            if not address:
                raise QmxError(None, f'the module\'s function table lacks "{name}"')
            return prototype(address)

        self.library = library
        self.get_device_ids = row("get_device_ids", _GET_DEVICE_IDS)
        self.create = row("create", _CREATE)
        self.destroy = row("destroy", _DESTROY)
        self.get_data = row("get_data__returns_zero_for_success", _DATA)
        self.set_data = row("set_data__returns_zero_for_success", _DATA)
        self.get_module_data = row("get_module_data", _MODULE_DATA)
        self.set_module_data = row("set_module_data", _MODULE_DATA)


# Records of the simulator's control interface, field for field.
class SimCounters(ctypes.Structure):
    _fields_ = [
        ("packets_sent", ctypes.c_uint64),
        ("packets_lost", ctypes.c_uint64),
        ("frames_started", ctypes.c_uint64),
        ("frames_completed", ctypes.c_uint64),
        ("requests_pending", ctypes.c_uint32 * 5),
        ("requests_seen", ctypes.c_uint64 * 5),
    ]


class SimPacketFaults(ctypes.Structure):
    _fields_ = [
        ("corrupt_magic", ctypes.c_double),
        ("drop", ctypes.c_double),
        ("repeat", ctypes.c_double),
        ("reorder", ctypes.c_double),
        ("shorten", ctypes.c_double),
    ]


class SimCameraConfig(ctypes.Structure):
    _fields_ = [
        ("struct_size", ctypes.c_uint32),
        ("serial", ctypes.c_char_p),
        ("id", ctypes.c_char_p),
        ("bcd_usb", ctypes.c_uint16),
        ("vendor_id", ctypes.c_uint16),
        ("product_id", ctypes.c_uint16),
        ("sensor_width", ctypes.c_uint32),
        ("sensor_height", ctypes.c_uint32),
        ("calibration_lines", ctypes.c_uint32),
        ("plugged", ctypes.c_int),
    ]


class SimFrameRecord(ctypes.Structure):
    _fields_ = [
        ("sequence", ctypes.c_uint64),
        ("frame_counter", ctypes.c_uint32),
        ("header_word_8", ctypes.c_uint32),
        ("header_word_12", ctypes.c_uint32),
        ("packets", ctypes.c_uint32),
        ("outcome", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32),
    ]


class SimFaultCounters(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("reserved", ctypes.c_uint32)] + [
        (name, ctypes.c_uint64)
        for name in (
            "frames_whole",
            "frames_damaged",
            "frames_lost",
            "packets_corrupted",
            "packets_dropped",
            "packets_repeated",
            "packets_reordered",
            "packets_shortened",
            "packets_foreign",
            "unplugs_in_frame",
            "requests_refused",
            "requests_failed",
            "requests_hung",
            "replies_overridden",
        )
    ]


class SimulatorFunctions:
    """The simulator's control interface and the monitor stand-in's test functions."""

    def __init__(self, simulator_path, monitor_path):
        # The simulator first: the monitor stand-in looks for it when the module subscribes.
        self.simulator_path = Path(simulator_path)
        self.monitor_path = Path(monitor_path)
        sim = _load(self.simulator_path)
        monitor = _load(self.monitor_path)
        i, u16, u32, p = ctypes.c_int, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_char_p
        try:
            self.camera_add = _bind(sim, "qmx_sim_camera_add", i, p, u16)
            self.camera_config_init = _bind(
                sim, "qmx_sim_camera_config_init", None, ctypes.POINTER(SimCameraConfig)
            )
            self.camera_add_configured = _bind(
                sim, "qmx_sim_camera_add_configured", i, ctypes.POINTER(SimCameraConfig)
            )
            self.camera_unplug = _bind(sim, "qmx_sim_camera_unplug", i, i)
            self.camera_replug = _bind(sim, "qmx_sim_camera_replug", i, i, i)
            self.set_error_replies = _bind(sim, "qmx_sim_set_error_replies", i, i, p, u32)
            self.set_silent = _bind(sim, "qmx_sim_set_silent", i, i, i)
            self.set_reply_delay = _bind(sim, "qmx_sim_set_reply_delay", i, i, u32)
            self.set_packet_faults = _bind(
                sim, "qmx_sim_set_packet_faults", i, i, ctypes.POINTER(SimPacketFaults)
            )
            self.random_seed = _bind(sim, "qmx_sim_random_seed", u32, i)
            self.set_random_seed = _bind(sim, "qmx_sim_set_random_seed", i, i, u32)
            self.set_max_rate = _bind(sim, "qmx_sim_set_max_rate", i, i, i)
            self.get_counters = _bind(
                sim, "qmx_sim_get_counters", i, i, ctypes.POINTER(SimCounters)
            )
            self.script_packet_fault = _bind(
                sim, "qmx_sim_script_packet_fault", i, i, u32, u32, i, u32
            )
            self.set_frame_counter = _bind(sim, "qmx_sim_set_frame_counter", i, i, u32)
            self.get_frame_log = _bind(
                sim, "qmx_sim_get_frame_log", u32, i, ctypes.POINTER(SimFrameRecord), u32
            )
            self.clear_frame_log = _bind(sim, "qmx_sim_clear_frame_log", i, i)
            self.get_fault_counters = _bind(
                sim, "qmx_sim_get_fault_counters", i, i, ctypes.POINTER(SimFaultCounters)
            )
        except AttributeError as error:
            raise QmxError(None, f"{simulator_path} lacks a function: {error}") from None
        try:
            self.monitor_wait_idle = _bind(monitor, "hotplug_monitor_wait_idle", i, u32)
            self.monitor_set_delay = _bind(monitor, "hotplug_monitor_set_delay", None, u32)
        except AttributeError as error:
            raise QmxError(None, f"{monitor_path} lacks a function: {error}") from None
        self.library = sim
        self.monitor = monitor


def library_in_process(file_name):
    """Whether a library of this file name is mapped in the process already (Linux: by soname)."""
    if sys.platform == "win32":
        return bool(ctypes.windll.kernel32.GetModuleHandleW(file_name))
    rtld_noload = getattr(os, "RTLD_NOLOAD", 4)
    try:
        ctypes.CDLL(file_name, mode=rtld_noload)
    except OSError:
        return False
    return True

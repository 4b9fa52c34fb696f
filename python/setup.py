"""Installs the package with the module's libraries from a build of the source tree copied into
it (qmx/lib), so that the installed package needs nothing else. The build is the one in the
environment variable QMX_BUILD_DIR (a build folder whose bin/ holds the libraries), else
build/release, else build/debug of the source tree."""

import os
import shutil
import sys
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent

# The same file names as qmx/_library.py.
if sys.platform == "win32":
    LIBRARIES = ("orbanite_qmx_camera.dll", "qmx_camera_sim.dll",
                 "orbanite_qmx_usb_hotplug_monitor.dll")
else:
    LIBRARIES = ("liborbanite_qmx_camera.so", "libqmx_camera_sim.so",
                 "liborbanite_qmx_usb_hotplug_monitor.so")


def library_folder():
    chosen = os.environ.get("QMX_BUILD_DIR")
    if chosen:
        folders = [Path(chosen) / "bin", Path(chosen)]
    else:
        folders = [HERE.parent / "build" / preset / "bin" for preset in ("release", "debug")]
    for folder in folders:
        if all((folder / name).is_file() for name in LIBRARIES):
            return folder
    places = "\n  ".join(str(f) for f in folders)
    raise SystemExit(
        f"qmx: the libraries {', '.join(LIBRARIES)} were not found together in:\n  {places}\n"
        "Build the project first (cmake --preset release && cmake --build --preset release), "
        "or set QMX_BUILD_DIR to the build folder."
    )


class build_py_with_libraries(build_py):
    def run(self):
        super().run()
        folder = library_folder()
        target = Path(self.build_lib) / "qmx" / "lib"
        target.mkdir(parents=True, exist_ok=True)
        for name in LIBRARIES:
            shutil.copy2(folder / name, target / name)


class binary_distribution(Distribution):
    """The package carries machine code, so its wheel is for this platform only."""

    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": build_py_with_libraries}, distclass=binary_distribution)

"""Fixtures shared by the tests: the module loaded once for the test process (from the folder in
QMX_LIBRARY_DIR, which CTest sets to the build under test, else where the package looks), and
simulated cameras plugged for one test and unplugged after it."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import qmx

PACKAGE_ROOT = Path(__file__).resolve().parent.parent
SOURCE_ROOT = PACKAGE_ROOT.parent


@pytest.fixture(scope="session")
def system():
    return qmx.load(library_dir=os.environ.get("QMX_LIBRARY_DIR"))


@pytest.fixture
def plug(system):
    """plug(**options) plugs in a simulated camera (see Simulator.add_camera); every camera
    plugged so is unplugged at the test's end."""
    plugged = []

    def add(**options):
        camera = system.simulator.add_camera(**options)
        plugged.append(camera)
        return camera

    yield add
    for camera in plugged:
        try:
            camera.unplug()
        except qmx.QmxError:
            pass  # unplugged by the test


@pytest.fixture
def small(system, plug):
    """A simulated 256 x 64 camera with 2 calibration lines, open: (simulated camera, Camera)."""
    simulated = plug(width=256, height=64)
    camera = system.open(simulated.device_id)
    yield simulated, camera
    camera.close()


def run_python(code, *, cwd=None, env=None, timeout=120, **popen):
    """Runs `code` in a new Python process that imports the package from this source tree and
    takes the libraries from the folder this test process uses."""
    environment = dict(os.environ)
    environment["PYTHONPATH"] = str(PACKAGE_ROOT)
    environment["PYTHONDONTWRITEBYTECODE"] = "1"
    environment["QMX_LIBRARY_DIR"] = str(qmx.load().library_folder)
    environment.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", code],
        cwd=cwd,
        env=environment,
        capture_output=True,
        text=True,
        timeout=timeout,
        **popen,
    )

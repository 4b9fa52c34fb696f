"""The package installed with pip into a new virtual environment, the libraries of the build
under test copied into it, and used from outside the source tree."""

import os
import shutil
import subprocess
import sys

from conftest import PACKAGE_ROOT


def slow_pip_install_into_a_virtual_environment(system, tmp_path):
    # A copy of the package folder, so that the install leaves nothing in the source tree.
    source = tmp_path / "source"
    shutil.copytree(PACKAGE_ROOT, source,
                    ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info", "lib"))
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("PYTHONPATH", "QMX_LIBRARY_DIR", "PYTHONDONTWRITEBYTECODE")}
    environment["QMX_BUILD_DIR"] = str(system.library_folder.parent)
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
                   check=True, capture_output=True, timeout=120)
    python = venv / "bin" / "python"
    install = subprocess.run(
        [str(python), "-m", "pip", "install", "--no-build-isolation", "--no-index", str(source)],
        env=environment, capture_output=True, text=True, timeout=300,
    )
    assert install.returncode == 0, install.stdout + install.stderr
    del environment["QMX_BUILD_DIR"]
    run = subprocess.run(
        [str(python), "-c",
         "import qmx\n"
         "system = qmx.load()\n"
         "print(qmx.__file__)\n"
         "print(system.library_folder)\n"
         "simulated = system.simulator.add_camera('PIP00001', width=64, height=16)\n"
         "with system.open(serial='PIP00001') as camera:\n"
         "    print(camera.snap().image.shape)\n"],
        cwd=tmp_path, env=environment, capture_output=True, text=True, timeout=120,
    )
    assert run.returncode == 0, run.stderr
    package_file, library_folder, shape = run.stdout.split("\n")[:3]
    assert package_file.startswith(str(venv)) and package_file.endswith("qmx/__init__.py")
    assert library_folder.startswith(str(venv)) and library_folder.endswith("qmx/lib")
    assert shape == "(16, 64)"

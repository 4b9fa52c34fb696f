"""Opening cameras, the module's keywords and camera commands, the region, binning and USB speed
properties, and the errors a user meets: result codes named with their meaning, camera refusals,
missing libraries, a silent camera."""

import shutil

import pytest

import qmx
from conftest import PACKAGE_ROOT, run_python


def test_open_by_id_by_serial_or_the_first_and_close_on_leaving(system, plug):
    simulated = plug(serial="OPEN0001", width=64, height=16)
    with system.open(serial="OPEN0001") as camera:
        assert camera.device_id == simulated.device_id and camera.serial == "OPEN0001"
        assert not camera.closed
        # Open already: the module refuses a second handle.
        with pytest.raises(qmx.QmxError, match=r"module result 9 \(the camera could not be opened\)"
                           r".*attached: .*" + simulated.device_id) as caught:
            system.open(simulated.device_id)
        assert caught.value.code == 9 and caught.value.meaning == "the camera could not be opened"
    assert camera.closed
    with pytest.raises(qmx.QmxError, match="is closed"):
        camera.get("hbin")
    with system.open(simulated.device_id) as again:  # closed above, so it opens again
        assert again.serial == "OPEN0001"
    with system.open() as first:
        assert first.device_id in [c.device_id for c in system.cameras()]


def test_unknown_cameras_and_serials(system, plug):
    plug(width=64, height=16)
    with pytest.raises(qmx.QmxError, match="cannot open camera 'NOPE-1': module result 9"):
        system.open("NOPE-1")
    with pytest.raises(qmx.QmxError, match="serial number 'NOSUCH'"):
        system.open(serial="NOSUCH")


@pytest.mark.parametrize("usb, text", [("3.0", "USB 3.0"), ("2.0", "USB 2.0"), ("1.1", "USB 1.1")])
def test_usb_speed(system, plug, usb, text):
    simulated = plug(width=64, height=16, usb=usb)
    with system.open(simulated.device_id) as camera:
        assert camera.usb_speed == text


def test_region_and_binning_properties(small):
    simulated, camera = small
    assert camera.roi == (0, 0, 255, 63) and camera.binning == (1, 1)
    camera.roi = (4, 2, 123, 41)
    camera.binning = (3, 2)
    assert camera.roi == (4, 2, 123, 41) and camera.binning == (3, 2)
    assert camera.shape == (20, 40)
    assert camera.get("image_width") == "40" and camera.get("hbin") == "3"
    camera.binning = 4
    assert camera.binning == (4, 4)
    with pytest.raises(ValueError, match="1 to 16"):
        camera.binning = (17, 1)
    with pytest.raises(ValueError, match="1 to 16"):
        camera.set("vbin", 0)
    assert camera.binning == (4, 4)
    # The camera refuses a width that is not a multiple of 4, and a region off the sensor.
    with pytest.raises(qmx.CameraRefused, match="error") as caught:
        camera.roi = (0, 0, 9, 9)
    assert caught.value.reply.startswith("error")
    with pytest.raises(qmx.CameraRefused):
        camera.roi = (0, 0, 259, 63)
    assert camera.roi == (4, 2, 123, 41)


def test_camera_commands_and_module_keywords(small):
    simulated, camera = small
    assert camera.set("gain", 40) == "ok"
    assert camera.get("gain") == "40"
    assert camera.set("exposure_ms", 5) == "ok" and camera.get("exposure_ms") == "5"
    assert camera.command("sernum") == simulated.serial
    assert camera.get("pqmx sernum") == simulated.serial
    assert camera.command("no_such_command").startswith("error")
    with pytest.raises(qmx.CameraRefused, match='refused "no_such_command"'):
        camera.get("no_such_command")
    assert camera.get("hbin.max") == "16"
    assert int(camera.get("acquisition_bytes_per_frame")) == 2 * 256 * (64 + 2) + 48
    assert set(camera.statistics()) >= {"frames_delivered", "packets_seen", "dropped_overwritten"}
    # What the acquisitions drive is refused, with the way to do it.
    for key in ("arm", "stop", "image_metadata", "image_poll_timeout_ms"):
        with pytest.raises(ValueError, match="acquisitions"):
            camera.set(key, "on")
    with pytest.raises(ValueError, match="snap"):
        camera.get("image_wait_per_frame")


def test_module_data(system):
    assert system.version == "BUILD_VERSION"
    with pytest.raises(qmx.QmxError, match=r'"Version" failed: module result 6 \(bad argument') as caught:
        system.get_module_data("Version")
    assert caught.value.code == 6


def test_an_unplugged_camera_names_result_14(system, small):
    simulated, camera = small
    simulated.unplug()
    system.simulator.wait_idle()  # the removal has reached the module
    with pytest.raises(qmx.CameraUnplugged,
                       match=r'get "hbin" failed: the camera .* is unplugged \(module result '
                             r'14 \(the camera is unplugged\)\)') as caught:
        camera.binning
    assert caught.value.code == 14 and isinstance(caught.value, qmx.QmxError)
    camera.close()  # closing an unplugged camera works


def test_a_camera_that_sends_no_frame_times_out_and_stays_usable(small):
    simulated, camera = small
    camera.set("fps", 1)  # one frame a second: the second one comes too late
    with pytest.raises(qmx.AcquisitionTimeout, match="no frame came") as caught:
        camera.acquire(3, timeout=0.3)
    assert caught.value.result.count == 1 and caught.value.result.ended == "timeout"
    assert isinstance(caught.value, TimeoutError)
    camera.set("fps", 0)
    assert camera.snap().frame_counter > caught.value.result.frame_counters[0]


def test_a_missing_library_names_the_file_and_the_folders(tmp_path):
    child = run_python(
        "import qmx, sys\n"
        "try:\n"
        f"    qmx.load(library_dir={str(tmp_path)!r})\n"
        "except qmx.LibraryNotFoundError as error:\n"
        "    print(error); sys.exit(3)\n"
    )
    assert child.returncode == 3, child.stderr
    assert "libqmx_camera_sim.so was not found; looked in:" in child.stdout
    assert str(tmp_path) in child.stdout


def copy_of_the_package(tree):
    """The package copied into `tree`/python, as in a source tree of its own."""
    shutil.copytree(PACKAGE_ROOT / "qmx", tree / "python" / "qmx",
                    ignore=shutil.ignore_patterns("__pycache__", "lib"))
    return tree / "python"


def test_without_a_folder_the_package_looks_in_its_source_trees_builds(system, tmp_path):
    package = copy_of_the_package(tmp_path)
    code = (
        "import qmx, sys\n"
        "try:\n"
        "    system = qmx.load()\n"
        "except qmx.LibraryNotFoundError as error:\n"
        "    print(error); sys.exit(3)\n"
        "print(system.library_folder)\n"
        "camera = system.simulator.add_camera('TREE0001', width=64, height=16)\n"
        "print(system.cameras())\n"
    )
    environment = {"PYTHONPATH": str(package), "QMX_LIBRARY_DIR": ""}
    child = run_python(code, env=environment, cwd=tmp_path)
    assert child.returncode == 3, child.stderr
    for place in ("python/qmx/lib", "build/release/bin", "build/debug/bin"):
        assert str(tmp_path / place) in child.stdout
    # A debug build in the tree is found.
    (tmp_path / "build" / "debug").mkdir(parents=True)
    (tmp_path / "build" / "debug" / "bin").symlink_to(system.library_folder)
    child = run_python(code, env=environment, cwd=tmp_path)
    assert child.returncode == 0, child.stderr
    assert str(tmp_path / "build" / "debug" / "bin") in child.stdout
    assert "CameraInfo(device_id='QMXSIM-0001', serial='TREE0001')" in child.stdout


def test_a_library_that_is_not_the_module_is_refused(system, tmp_path):
    folder = system.library_folder
    for name in ("libqmx_camera_sim.so", "liborbanite_qmx_usb_hotplug_monitor.so"):
        shutil.copy(folder / name, tmp_path / name)
    shutil.copy(folder / "libqmx_camera_sim.so", tmp_path / "liborbanite_qmx_camera.so")
    child = run_python(
        "import qmx, sys\n"
        "try:\n"
        f"    qmx.load(library_dir={str(tmp_path)!r})\n"
        "except qmx.QmxError as error:\n"
        "    print(error); sys.exit(3)\n"
    )
    assert child.returncode == 3, child.stderr
    assert "does not export the module entry points" in child.stdout


def test_one_module_per_process(system, tmp_path):
    with pytest.raises(qmx.QmxError, match="loaded already from"):
        qmx.load(library_dir=tmp_path)
    with pytest.raises(qmx.QmxError, match="loaded already for simulated"):
        qmx.load(simulated=False)
    assert qmx.load() is system


def test_real_cameras_are_refused_where_their_driver_does_not_exist():
    child = run_python(
        "import qmx, sys\n"
        "try:\n"
        "    qmx.load(simulated=False)\n"
        "except qmx.QmxError as error:\n"
        "    print(error); sys.exit(3)\n"
    )
    assert child.returncode == 3, child.stderr
    assert "exists for Windows only" in child.stdout

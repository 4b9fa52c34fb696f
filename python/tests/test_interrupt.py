"""Ctrl-C (SIGINT) in a child Python process during an acquisition: the acquisition stops, the
frames taken before are intact, and the camera is usable at once."""

import os
import signal
import subprocess
import sys
import time

import qmx
from conftest import PACKAGE_ROOT

# A child started from a shell's background job inherits SIGINT ignored, and Python then never
# installs its handler: the child takes Ctrl-C as a terminal's foreground program would.
CHILD_START = """
import signal
import sys
import numpy as np
import qmx
signal.signal(signal.SIGINT, signal.default_int_handler)
sys.path.insert(0, {tests!r})
from pattern import expected_image

system = qmx.load()
simulated = system.simulator.add_camera(width=256, height=64)
camera = system.open(simulated.device_id)
"""

CHILD_USABLE = """
frame = camera.snap()
np.testing.assert_array_equal(frame.image, expected_image(frame.frame_counter, frame.roi))
camera.close()
print("usable", flush=True)
"""

SEQUENCE = """
out = np.full((5000,) + camera.shape, 0xFFFF, dtype=np.uint16)
print("started", flush=True)
try:
    camera.acquire_into(out)
except KeyboardInterrupt:
    result = camera.last_result
    print("interrupted", result.ended, result.count, flush=True)
    for image, counter in zip(out[:result.count], result.frame_counters):
        np.testing.assert_array_equal(image, expected_image(counter, result.roi))
    assert (out[result.count:] == 0xFFFF).all()
"""

# One frame, then none for half a minute (one frame a second, the next 30 lost): the interrupt
# comes while the hand-out waits for a frame.
ITERATION = """
camera.set("fps", 1)
for frame_counter in range(1, 31):
    simulated.script_packet_fault(frame_counter, 0, "drop")
try:
    for number, frame in enumerate(camera.frames(timeout=None)):
        if number == 0:
            print("started", flush=True)
except KeyboardInterrupt:
    result = camera.last_result
    print("interrupted", result.ended, result.count, flush=True)
camera.set("fps", 0)
"""


def interrupt_child(body, delay):
    environment = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT), PYTHONDONTWRITEBYTECODE="1",
                       QMX_LIBRARY_DIR=str(qmx.load().library_folder))
    code = CHILD_START.format(tests=str(PACKAGE_ROOT / "tests")) + body + CHILD_USABLE
    child = subprocess.Popen([sys.executable, "-c", code], env=environment,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # The child ends well before the camera's 30 s of silence, or the interrupt was not honoured.
    try:
        assert child.stdout.readline().strip() == "started", child.stderr.read()
        time.sleep(delay)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        child.kill()
        out, err = child.communicate()
        raise AssertionError(f"the child did not end 20 s after the interrupt\n"
                             f"stdout: {out}\nstderr: {err}") from None
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    return out.split()


def test_ctrl_c_stops_a_sequence_and_leaves_the_camera_usable(system):
    words = interrupt_child(SEQUENCE, 1.0)
    assert words[:2] == ["interrupted", "interrupted"]
    assert 0 < int(words[2]) < 5000
    assert words[3:] == ["usable"]


def test_ctrl_c_while_waiting_for_a_frame(system):
    words = interrupt_child(ITERATION, 0.2)
    assert words[:2] == ["interrupted", "interrupted"]
    assert int(words[2]) >= 1
    assert words[3:] == ["usable"]

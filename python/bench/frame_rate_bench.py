"""Bench: frames per second through the Python package from a simulated 1280 x 1024 camera
(2 calibration lines) at its maximum rate, into one preallocated array and through the
iterator, beside the module's own end-to-end bench (acquisition_bench) run in the same run; and
the CPU time the taking thread spends per frame, for full frames (mostly the one copy) and for
64 x 16 frames (the Python layer's own work).

    python3 python/bench/frame_rate_bench.py [--build build/release] [--seconds 3] [--rounds 3]
"""

import argparse
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

SOURCE_ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(SOURCE_ROOT / "python"))

import qmx  # noqa: E402

ARRAY_FRAMES = 200  # 200 frames of 1280 x 1024: 524 MB


def into_array(camera, seconds):
    """Rounds of acquire_into over one preallocated array until `seconds` have passed; frames
    per second of each round (from its arming to its last frame)."""
    out = np.ones((ARRAY_FRAMES,) + camera.shape, dtype=np.uint16)  # every page touched here
    rates = []
    drops = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        result = camera.acquire_into(out)
        rates.append(result.fps)
        drops += result.dropped or 0
    return rates, drops


def through_iterator(camera, seconds):
    count = 0
    start = time.monotonic()
    with camera.frames(seconds=seconds) as stream:
        for frame in stream:
            count += 1
    return count / (time.monotonic() - start), stream.result.dropped


def cpu_per_frame(camera, frames):
    """CPU seconds of this thread per frame taken into a preallocated array."""
    out = np.ones((frames,) + camera.shape, dtype=np.uint16)
    camera.acquire_into(out)  # a first round arms the buffer the next one reuses
    before = time.thread_time()
    camera.acquire_into(out)
    return (time.thread_time() - before) / frames


def first_touch_time(nbytes):
    """Seconds to write new memory of `nbytes` once (the system maps its pages on first touch)."""
    memory = np.empty(nbytes, dtype=np.uint8)
    start = time.perf_counter()
    memory.fill(1)
    return time.perf_counter() - start


def copy_time(shape, repeats=50):
    """Seconds for one numpy copy of a frame of `shape` from one array into another."""
    source = np.ones(shape, dtype=np.uint16)
    destination = np.zeros(shape, dtype=np.uint16)
    start = time.perf_counter()
    for _ in range(repeats):
        np.copyto(destination, source)
    return (time.perf_counter() - start) / repeats


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=str(SOURCE_ROOT / "build" / "release"))
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    build = Path(args.build)
    module_bench = build / "bin" / "acquisition_bench"

    system = qmx.load(library_dir=build / "bin")
    simulated = system.simulator.add_camera("BENCH001")
    simulated.set_max_rate(True)
    frame_bytes = 1280 * 1024 * 2
    print(f"Python {sys.version.split()[0]}, numpy {np.__version__}, libraries from "
          f"{system.library_folder}")
    print(f"one numpy copy of a 1280 x 1024 frame: {copy_time((1024, 1280)) * 1e6:.0f} us; "
          f"first write of 256 MB of new memory: {first_touch_time(256 << 20):.2f} s "
          "(the preallocated array is written once before the rounds)")
    with system.open(simulated.device_id) as camera:
        for round_number in range(1, args.rounds + 1):
            rates, drops = into_array(camera, args.seconds)
            print(f"[{round_number}] preallocated array ({ARRAY_FRAMES} frames a round): "
                  f"{statistics.median(rates):.0f} frames/s median of {len(rates)} rounds "
                  f"({min(rates):.0f} to {max(rates):.0f}), "
                  f"{statistics.median(rates) * frame_bytes / 1e6:.0f} MB/s of pixels, "
                  f"dropped {drops}")
            rate, dropped = through_iterator(camera, args.seconds)
            print(f"[{round_number}] iterator (an array per frame): {rate:.0f} frames/s, "
                  f"{rate * frame_bytes / 1e6:.0f} MB/s of pixels, dropped {dropped}")
            if module_bench.is_file():
                run = subprocess.run([str(module_bench), str(args.seconds)], capture_output=True,
                                     text=True, timeout=120)
                lines = run.stdout.strip().splitlines()
                print(f"[{round_number}] module's acquisition_bench: "
                      f"{lines[0] if lines else run.stderr.strip()}")
            else:
                print(f"[{round_number}] {module_bench} not found: build the release "
                      "configuration")
        full = cpu_per_frame(camera, 100)
        camera.roi = (0, 0, 63, 15)
        small = cpu_per_frame(camera, 2000)
    print(f"CPU of the taking thread per frame: {full * 1e6:.0f} us for 1280 x 1024 frames, "
          f"{small * 1e6:.1f} us for 64 x 16 frames")


if __name__ == "__main__":
    main()

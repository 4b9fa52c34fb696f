"""The README's Python examples, taken from the README and run as written."""

import re

import numpy as np
import tifffile

from conftest import SOURCE_ROOT, run_python
from pattern import expected_image, frame_number_of


def readme_examples():
    text = (SOURCE_ROOT / "README.md").read_text()
    section = text.split("\n## Python interface\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, flags=re.S)


def test_the_readme_has_the_two_examples():
    examples = readme_examples()
    assert len(examples) == 2
    assert "tifffile.imwrite" in examples[0] and "camera.frames(" in examples[1]


def test_the_first_example_saves_100_frames_and_reports_rate_and_drops(system, tmp_path):
    child = run_python(readme_examples()[0], cwd=tmp_path)
    assert child.returncode == 0, child.stderr
    assert re.fullmatch(
        r"100 frames at [0-9.]+ fps; dropped by the module: \d+ \{.*'overwritten': \d+.*\}; "
        r"missing from the counters: \d+\n",
        child.stdout,
    ), child.stdout
    frames = tifffile.imread(tmp_path / "frames.tif")
    assert frames.shape == (100, 480, 640) and frames.dtype == np.uint16
    roi = (0, 0, 639, 479)
    for frame in frames:
        np.testing.assert_array_equal(frame, expected_image(frame_number_of(frame, roi), roi))


def test_the_second_example_checks_ten_binned_frames(system, tmp_path):
    child = run_python(readme_examples()[1], cwd=tmp_path)
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert len(lines) == 11
    assert lines[-1].startswith("AcquisitionResult(QMXSIM-") and "10 frames" in lines[-1]

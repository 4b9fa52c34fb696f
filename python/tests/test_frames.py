"""Frames as numpy arrays, pixel by pixel against the simulated camera's pattern: one frame, the
iterator, and the sequence into one preallocated array; with and without binning, regions with
offsets, and cameras with and without calibration lines."""

import threading

import numpy as np
import pytest

from pattern import expected_image


def assert_pattern(images, counters, roi, binning):
    assert len(images) == len(counters) > 0
    for image, counter in zip(images, counters):
        np.testing.assert_array_equal(image, expected_image(counter, roi, binning))


def test_a_full_sensor_frame_of_the_default_camera_is_the_pattern(system, plug):
    simulated = plug()
    with system.open(simulated.device_id) as camera:
        frame = camera.snap()
    assert frame.image.shape == (1024, 1280) and frame.image.dtype == np.uint16
    assert frame.roi == (0, 0, 1279, 1023) and frame.binning == (1, 1)
    assert frame.camera_id == simulated.device_id
    assert_pattern([frame.image], [frame.frame_counter], frame.roi, (1, 1))


@pytest.mark.parametrize("calibration_lines", [2, 0])
@pytest.mark.parametrize(
    "roi, binning",
    [
        ((0, 0, 255, 63), (1, 1)),
        ((12, 5, 211, 54), (1, 1)),  # offsets in both directions
        ((0, 0, 255, 63), (2, 2)),
        ((12, 5, 211, 54), (3, 2)),  # blocks that leave a column and a row out
        ((4, 1, 243, 62), (16, 16)),  # sums far beyond 1023 clamp
        ((8, 2, 135, 33), (1, 4)),
    ],
)
def test_sequences_into_one_array_are_the_pattern(system, plug, calibration_lines, roi, binning):
    simulated = plug(width=256, height=64, calibration_lines=calibration_lines)
    with system.open(simulated.device_id) as camera:
        camera.roi = roi
        camera.binning = binning
        height = (roi[3] - roi[1] + 1) // binning[1]
        width = (roi[2] - roi[0] + 1) // binning[0]
        assert camera.shape == (height, width)
        out = np.full((6, height, width), 0xFFFF, dtype=np.uint16)
        result = camera.acquire_into(out)
    assert result.images is out and result.count == 6 and result.ended == "count"
    assert result.roi == roi and result.binning == binning
    assert_pattern(out, result.frame_counters, roi, binning)


def test_binned_sums_clamp_at_1023(system, plug):
    # 2 x 2 blocks of the pattern reach up to 4 * 1023; the clamp must show in the frame.
    simulated = plug(width=256, height=64)
    with system.open(simulated.device_id) as camera:
        camera.binning = (2, 2)
        frame = camera.snap()
    assert (frame.image == 1023).sum() > 0
    assert frame.image.max() == 1023
    np.testing.assert_array_equal(frame.image, expected_image(frame.frame_counter,
                                                              frame.roi, (2, 2)))


def test_the_iterator_hands_out_frames_of_their_own(small):
    simulated, camera = small
    camera.roi = (16, 8, 143, 39)
    frames = list(camera.frames(count=20, slots=2))
    assert len(frames) == 20
    # With two slots every slot was reused many times; each kept array still holds its frame.
    for frame in frames:
        assert frame.image.flags.owndata and frame.image.flags.writeable
        np.testing.assert_array_equal(frame.image,
                                      expected_image(frame.frame_counter, frame.roi))
    # And a later acquisition does not touch them.
    camera.acquire(5, slots=2)
    assert_pattern([f.image for f in frames], [f.frame_counter for f in frames],
                   (16, 8, 143, 39), (1, 1))


def test_the_iterator_runs_for_a_duration_and_stops_the_camera(small):
    simulated, camera = small
    with camera.frames(seconds=0.5) as stream:
        frames = list(stream)
    # The camera runs at 100 frames per second.
    assert 20 <= len(frames) <= 80
    assert stream.result.ended == "duration" and stream.result.count == len(frames)
    counters = [f.frame_counter for f in frames]
    assert list(stream.result.frame_counters) == counters
    assert_pattern([f.image for f in frames], counters, frames[0].roi, (1, 1))
    # Stopped: the camera sends nothing until the next acquisition.
    sent = simulated.counters()["frames_started"]
    camera.roi = (0, 0, 127, 31)  # the camera refuses a new region while it is armed
    assert simulated.counters()["frames_started"] <= sent + 1


def test_a_sequence_for_a_duration_fills_the_start_of_the_array(small):
    simulated, camera = small
    out = np.full((1000,) + camera.shape, 0xFFFF, dtype=np.uint16)
    result = camera.acquire_into(out, seconds=0.3)
    assert result.ended == "duration" and 10 <= result.count < 1000
    assert_pattern(out[: result.count], result.frame_counters, result.roi, (1, 1))
    assert (out[result.count:] == 0xFFFF).all()


def test_leaving_a_loop_early_and_a_new_acquisition(small):
    simulated, camera = small
    left_open = camera.frames()
    for frame in left_open:
        break  # the stream stays open until it is closed, collected or superseded
    assert not left_open.closed
    # A new acquisition ends the stream left open and takes frames of its own.
    result = camera.acquire(3)
    assert left_open.closed and left_open.result.ended == "stopped"
    assert left_open.result.count == 1
    assert result.count == 3 and result.frame_counters[0] > frame.frame_counter
    with camera.frames() as stream:
        next(stream)
    assert stream.closed and stream.result.ended == "stopped" and stream.result.count == 1


def test_a_wrong_array_is_refused_before_the_camera_is_armed(small):
    simulated, camera = small
    with pytest.raises(ValueError, match=r"\(64, 256\)"):
        camera.acquire_into(np.zeros((2, 64, 255), dtype=np.uint16))
    with pytest.raises(TypeError):
        camera.acquire_into(np.zeros((2, 64, 256), dtype=np.float32))
    with pytest.raises(ValueError, match="no whole pixel"):
        camera.roi = (0, 0, 7, 7)
        camera.binning = (16, 1)
        camera.snap()
    # Nothing was left armed or busy.
    camera.binning = (1, 1)
    assert camera.snap().image.shape == (8, 8)


def test_another_thread_stops_an_acquisition(small):
    simulated, camera = small
    out = np.full((1000,) + camera.shape, 0xFFFF, dtype=np.uint16)  # 10 s at 100 frames/s
    stopper = threading.Timer(0.3, camera.stop_acquisition)
    stopper.start()
    result = camera.acquire_into(out)
    stopper.join()
    assert result.ended == "stopped" and 5 <= result.count < 1000
    assert_pattern(out[: result.count], result.frame_counters, result.roi, (1, 1))
    assert (out[result.count:] == 0xFFFF).all()
    # Stopped, not closed: the camera takes frames again.
    assert camera.snap().image.shape == (64, 256)

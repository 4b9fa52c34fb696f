"""Each frame's metadata against what the simulated camera logged it sent, and dropped frames:
gaps in the frame counters and the module's statistics by cause, under scripted and random
packet faults and with a host too slow for the camera."""

import time

import numpy as np

from pattern import expected_image


def logged(simulated):
    return {record.frame_counter: record for record in simulated.frame_log()}


def test_counters_and_time_stamps_are_the_cameras(small):
    simulated, camera = small
    camera.roi = (4, 2, 131, 41)
    camera.binning = (2, 1)
    result = camera.acquire(30)
    log = logged(simulated)
    counters = [int(c) for c in result.frame_counters]
    assert counters == list(range(counters[0], counters[0] + 30))  # paced: nothing dropped
    assert result.missing_frames == 0 and result.dropped == 0
    # The module counts a delivered frame just after queueing it, so the last frame taken may
    # not be counted yet when the statistics are read.
    assert result.statistics["frames_delivered"] >= 29
    for counter, timestamp in zip(counters, result.timestamps):
        assert log[counter].outcome == "whole"
        assert int(timestamp) == log[counter].timestamp
    assert result.roi == (4, 2, 131, 41) and result.binning == (2, 1)
    # The camera's time stamps (microseconds) rise by about its frame period of 10 ms.
    steps = np.diff(result.timestamps.astype(np.int64))
    assert (steps > 0).all() and 5000 < np.median(steps) < 20000


def test_a_frame_carries_its_metadata(small):
    simulated, camera = small
    camera.roi = (8, 3, 71, 34)
    camera.binning = (4, 2)
    frame = camera.snap()
    record = logged(simulated)[frame.frame_counter]
    assert frame.timestamp == record.timestamp
    assert frame.roi == (8, 3, 71, 34) and frame.binning == (4, 2)
    assert frame.shape == (16, 16) and frame.missing_before == 0
    assert frame.camera_id == simulated.device_id


def test_counters_wrap_without_a_gap(small):
    simulated, camera = small
    simulated.set_frame_counter(2**32 - 3)
    result = camera.acquire(6)
    assert [int(c) for c in result.frame_counters] == [2**32 - 3, 2**32 - 2, 2**32 - 1, 0, 1, 2]
    assert result.missing_frames == 0
    for image, counter in zip(result.images, result.frame_counters):
        np.testing.assert_array_equal(image, expected_image(counter, result.roi))


def test_a_dropped_packet_shows_as_a_gap_and_a_disorder_drop(small):
    simulated, camera = small
    simulated.set_frame_counter(1000)
    simulated.script_packet_fault(1004, 1, "drop")
    frames = list(camera.frames(count=8))
    counters = [f.frame_counter for f in frames]
    assert counters == [1000, 1001, 1002, 1003, 1005, 1006, 1007, 1008]
    assert [f.missing_before for f in frames] == [0, 0, 0, 0, 1, 0, 0, 0]
    stream_result = camera.last_result
    assert stream_result.missing_frames == 1
    assert stream_result.drops_by_cause["disorder"] == 1 and stream_result.dropped == 1
    for frame in frames:
        np.testing.assert_array_equal(frame.image, expected_image(frame.frame_counter, frame.roi))


def test_random_packet_faults_cost_frames_but_never_a_wrong_pixel(small):
    simulated, camera = small  # 256 x 64 with 2 calibration lines: two packets a frame
    simulated.seed = 7
    simulated.set_packet_faults(drop=0.05, shorten=0.05, repeat=0.05, corrupt=0.05)
    out = np.zeros((60,) + camera.shape, dtype=np.uint16)
    result = camera.acquire_into(out)
    simulated.set_packet_faults()
    log = logged(simulated)
    counters = [int(c) for c in result.frame_counters]
    seed = f"seed {simulated.seed}"
    # Paced at 100 frames per second the host takes every frame the module completes: every
    # whole frame between the first and the last one taken; a damaged frame only when the fault
    # left it complete (a repeated first packet restarts it), and a lost one never.
    window = range(counters[0], counters[-1] + 1)
    whole = {c for c in window if log[c].outcome == "whole"}
    assert whole <= set(counters), seed
    assert all(log[c].outcome != "lost" for c in counters), seed
    assert counters == sorted(set(counters)), seed
    assert result.missing_frames == len(window) - len(counters) > 0, seed
    assert result.dropped > 0, seed
    for image, counter in zip(out, counters):
        np.testing.assert_array_equal(image, expected_image(counter, result.roi), err_msg=seed)


def test_a_repeated_one_packet_frame_is_taken_twice_without_a_gap(small):
    simulated, camera = small
    camera.roi = (0, 0, 255, 31)  # one packet a frame
    simulated.set_frame_counter(500)
    simulated.script_packet_fault(503, 0, "repeat")
    frames = list(camera.frames(count=7))
    assert [f.frame_counter for f in frames] == [500, 501, 502, 503, 503, 504, 505]
    assert [f.missing_before for f in frames] == [0] * 7
    assert camera.last_result.missing_frames == 0 and camera.last_result.repeated_frames == 1


def test_a_host_that_lags_behind_the_camera_sees_overwritten_frames(small):
    simulated, camera = small
    simulated.set_max_rate(True)
    frames = []
    for frame in camera.frames(count=10, slots=2):
        frames.append(frame)
        time.sleep(0.02)
    result = camera.last_result
    assert result.missing_frames > 0
    assert result.drops_by_cause["overwritten"] >= result.missing_frames
    assert sum(f.missing_before for f in frames) == result.missing_frames
    for frame in frames:
        np.testing.assert_array_equal(frame.image, expected_image(frame.frame_counter, frame.roi))

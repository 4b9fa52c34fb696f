"""A camera unplugged during an acquisition, and camera arrivals and removals as callbacks and as
an iterator."""

import threading

import numpy as np
import pytest

import qmx
from pattern import expected_image

SENTINEL = 0xFFFF  # no pattern pixel reaches it


def test_unplug_during_a_sequence_keeps_the_frames_filled_before(small):
    simulated, camera = small
    simulated.set_frame_counter(1000)
    simulated.script_packet_fault(1007, 0, "unplug")
    out = np.full((50,) + camera.shape, SENTINEL, dtype=np.uint16)
    with pytest.raises(qmx.CameraUnplugged, match=r"unplugged.*14 \(the camera is unplugged\)") as caught:
        camera.acquire_into(out)
    result = caught.value.result
    assert caught.value.code == 14
    assert result is camera.last_result and result.ended == "unplugged"
    assert 1 <= result.count <= 7
    assert [int(c) for c in result.frame_counters] == list(range(1000, 1000 + result.count))
    for image, counter in zip(out[: result.count], result.frame_counters):
        np.testing.assert_array_equal(image, expected_image(counter, result.roi))
    assert (out[result.count:] == SENTINEL).all()


def test_unplug_during_iteration_raises_and_the_camera_comes_back(system, small):
    simulated, camera = small
    kept = []
    with system.connection_events() as events:
        with pytest.raises(qmx.CameraUnplugged):
            for frame in camera.frames():
                kept.append(frame)
                if len(kept) == 5:
                    simulated.unplug()
        assert camera.last_result.ended == "unplugged" and camera.last_result.count >= 5
        for frame in kept:
            np.testing.assert_array_equal(frame.image,
                                          expected_image(frame.frame_counter, frame.roi))
        with pytest.raises(qmx.CameraUnplugged):
            camera.snap()
        camera.close()
        # The removal's event first: an arrival event of the first plug may still be on its way.
        assert wait_for(events, (False, simulated.device_id)) is not None, "no removal event"
        simulated.replug()
        # Open again once the module has identified the returning camera.
        assert wait_for(events, (True, simulated.device_id)) is not None, "no arrival event"
    with system.open(simulated.device_id) as again:
        frame = again.snap()
    np.testing.assert_array_equal(frame.image, expected_image(frame.frame_counter, frame.roi))


def wait_for(events, wanted, timeout=10):
    while True:
        event = events.get(timeout=timeout)
        if event is None or event == wanted:
            return event


def test_arrivals_and_removals_reach_a_callback(system, plug):
    seen = []
    arrived = threading.Event()
    left = threading.Event()

    def on_event(event):
        seen.append(event)
        if event.kind == "arrived":
            arrived.set()
        elif arrived.is_set():
            left.set()

    simulated = plug(width=64, height=16, plugged=False)
    camera_id = simulated.device_id

    def ours(event):
        if event.device_id == camera_id:
            on_event(event)

    with system.on_connection(ours):
        simulated.replug()
        assert arrived.wait(10), seen
        simulated.unplug()
        assert left.wait(10), seen
    assert seen == [qmx.ConnectionEvent(True, camera_id), qmx.ConnectionEvent(False, camera_id)]
    assert seen[0].kind == "arrived" and seen[1].kind == "left"
    # Cancelled: a later removal does not reach the callback.
    simulated.replug()
    system.simulator.wait_idle()
    simulated.unplug()
    system.simulator.wait_idle()
    assert len(seen) == 2


def test_arrivals_and_removals_as_an_iterator(system, plug):
    with system.connection_events() as events:
        simulated = plug(width=64, height=16)
        assert wait_for(events, (True, simulated.device_id)) is not None
        simulated.unplug()
        event = wait_for(events, (False, simulated.device_id))
        assert event is not None and not event.arrived
    # Closed: the next arrival reaches a stream opened later, and not this one.
    with system.connection_events() as later:
        simulated.replug()
        assert wait_for(later, (True, simulated.device_id)) is not None
    assert events.get(timeout=0) is None


def test_a_listing_names_each_plugged_camera_with_its_serial(system, plug):
    first = plug(serial="LISTA001", width=64, height=16)
    second = plug(serial="LISTB002", width=64, height=16, usb="2.0")
    listed = system.cameras()
    assert qmx.CameraInfo(first.device_id, "LISTA001") in listed
    assert qmx.CameraInfo(second.device_id, "LISTB002") in listed
    second.unplug()
    assert qmx.CameraInfo(second.device_id, "LISTB002") not in system.cameras()

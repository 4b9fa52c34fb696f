"""Camera arrivals and removals, from the module's "connect_disconnect" data, as callbacks or an
iterator.

One thread per process waits on the module and hands each event to every subscriber; it starts
with the first subscription and runs until the process ends (or the package shuts down). The
module keeps one pending event, not a queue: events that follow each other before the thread
takes them arrive as the last one.
"""

import ctypes
import queue
import sys
import threading
import traceback
from collections import namedtuple

EVENT_TEXT_BYTES = 1024

ConnectionEvent = namedtuple("ConnectionEvent", "arrived device_id")
ConnectionEvent.__doc__ = """A camera arrived (arrived=True, at least one second after it was
plugged in, once identified) or left (arrived=False)."""
ConnectionEvent.kind = property(lambda self: "arrived" if self.arrived else "left")


def parse_event(text):
    """ConnectionEvent from "1,ID" or "0,ID"; None for any other text."""
    flag, comma, device_id = text.partition(",")
    if not comma or flag not in ("0", "1") or not device_id:
        return None
    return ConnectionEvent(flag == "1", device_id)


class EventPump:
    """The thread that waits for connection events and its subscribers."""

    def __init__(self, module):
        self._module = module
        self._lock = threading.Lock()
        self._subscribers = []
        self._thread = None
        self._stopping = False

    def subscribe(self, deliver):
        with self._lock:
            if self._stopping:
                raise RuntimeError("the package is shutting down")
            self._subscribers.append(deliver)
            if self._thread is None:
                self._thread = threading.Thread(
                    target=self._run, name="qmx connection events", daemon=True
                )
                self._thread.start()

    def unsubscribe(self, deliver):
        with self._lock:
            if deliver in self._subscribers:
                self._subscribers.remove(deliver)

    def _run(self):
        text = ctypes.create_string_buffer(EVENT_TEXT_BYTES)
        while True:
            code = self._module.get_module_data(b"connect_disconnect", text, EVENT_TEXT_BYTES)
            with self._lock:
                if self._stopping:
                    return
                subscribers = list(self._subscribers)
            event = parse_event(text.value.decode(errors="replace")) if code == 0 else None
            if event is None:
                continue
            for deliver in subscribers:
                try:
                    deliver(event)
                except Exception:
                    print("qmx: a connection event callback failed:", file=sys.stderr)
                    traceback.print_exc()

    def shutdown(self, timeout=2.0):
        """Releases the waiting thread and joins it."""
        with self._lock:
            self._stopping = True
            thread = self._thread
        if thread is not None:
            self._module.set_module_data(b"connect_disconnect_release", None, 0)
            thread.join(timeout)


class Subscription:
    """A callback subscribed with System.on_connection; cancel() ends it. The callback runs on
    the event thread, so it must not block for long."""

    def __init__(self, pump, callback):
        self._pump = pump
        self._callback = callback
        pump.subscribe(callback)

    def cancel(self):
        self._pump.unsubscribe(self._callback)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cancel()


class EventStream:
    """Connection events as an iterator (System.connection_events): each step waits for the next
    event. `get(timeout)` waits at most `timeout` seconds and returns None when none came; a
    `with` block or close() ends the subscription."""

    def __init__(self, pump):
        self._pump = pump
        self._queue = queue.Queue()
        pump.subscribe(self._queue.put)

    def get(self, timeout=None):
        try:
            return self._queue.get(timeout=timeout)
        except queue.Empty:
            return None

    def __iter__(self):
        return self

    def __next__(self):
        return self._queue.get()

    def close(self):
        self._pump.unsubscribe(self._queue.put)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

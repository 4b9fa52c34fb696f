#!/usr/bin/python3
"""qmxcam's files read back by independent readers: tifffile for TIFF (BigTIFF included), astropy
for FITS, numpy for raw slots, Python's json for the --json answers. Every pixel is compared with
the simulated camera's test pattern. Runs the Linux qmxcam, or the Windows qmxcam.exe under Wine
(--emulator), which writes into the same file system.

    qmxcam_readback.py --qmxcam FILE [--emulator 'COMMAND ...'] [--sim-library FILE] CASE
"""
import argparse
import ctypes
import json
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import numpy
import tifffile
from astropy.io import fits

TAG_BLOCK_BYTES = 48
CALIBRATION_LINES = 2  # the simulated camera's default


def pattern(counter, x1, y1, width, height, hbin=1, vbin=1):
    """The simulated camera's image pixels of frame `counter` over a region, binned: (counter * 37
    + row * 3 + column) & 1023 in sensor coordinates, each bin the sum of its pixels clamped at
    1023."""
    rows = numpy.arange(y1, y1 + height * vbin, dtype=numpy.int64)[:, None]
    columns = numpy.arange(x1, x1 + width * hbin, dtype=numpy.int64)[None, :]
    pixels = (counter * 37 + rows * 3 + columns) & 1023
    binned = pixels.reshape(height, vbin, width, hbin).sum(axis=(1, 3))
    return numpy.minimum(binned, 1023).astype(numpy.uint16)


def check_pattern_against_simulator(library):
    """The formula above against the simulator's own qmx_sim_pattern_pixel, at sample points."""
    sim = ctypes.CDLL(library)
    sim.qmx_sim_pattern_pixel.restype = ctypes.c_uint16
    sim.qmx_sim_pattern_pixel.argtypes = [ctypes.c_uint32] * 3
    for counter in (0, 1, 7, 4095, 123456):
        expected = pattern(counter, 3, 5, 40, 30)
        for row, column in ((0, 0), (29, 39), (11, 17), (3, 38)):
            got = sim.qmx_sim_pattern_pixel(counter, 5 + row, 3 + column)
            assert got == expected[row, column], (counter, row, column, got)


class runner:
    """Runs qmxcam (under the emulator, if any) in a scratch folder of its own."""

    def __init__(self, qmxcam, emulator):
        self.command = shlex.split(emulator) + [qmxcam] if emulator else [qmxcam]
        self.windows = bool(emulator)
        self.folder = tempfile.mkdtemp(prefix="qmxcam_readback_")

    def path(self, name):
        """A file in the scratch folder as qmxcam names it (a Windows path under Wine)."""
        full = os.path.join(self.folder, name)
        return "Z:" + full.replace("/", "\\") if self.windows else full

    def local(self, name):
        return os.path.join(self.folder, name)

    def run(self, *arguments, status=0, binary_stdout=False, timeout=300):
        """Runs qmxcam and waits for it to end. Its output goes to files, not pipes: Wine's
        service processes, when this run starts them, inherit the output handles and would
        hold a pipe open long after qmxcam has ended."""
        started = time.monotonic()
        with tempfile.TemporaryFile() as out_file, tempfile.TemporaryFile() as err_file:
            done = subprocess.run(self.command + list(arguments), stdout=out_file,
                                  stderr=err_file, timeout=timeout, stdin=subprocess.DEVNULL)
            out_file.seek(0)
            err_file.seek(0)
            out_bytes, err = out_file.read(), err_file.read().decode(errors="replace")
        out = out_bytes if binary_stdout else out_bytes.decode(errors="replace")
        assert done.returncode == status, (
            f"qmxcam {' '.join(arguments)}: status {done.returncode}, expected {status}\n"
            f"stderr:\n{err}")
        return out, err, time.monotonic() - started

    def clean(self):
        shutil.rmtree(self.folder, ignore_errors=True)


def description_fields(text):
    return dict(field.split("=", 1) for field in text.split() if "=" in field)


UTC = re.compile(r"20\d\d-[01]\d-[0-3]\dT[0-2]\d:[0-5]\d:[0-6]\d\.\d{3}$")


def check_utc(text):
    assert UTC.match(text), text
    seconds = time.mktime(time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S")) - time.timezone
    assert abs(seconds - time.time()) < 300, f"{text} is not about now (UTC)"


# The acquisitions of the read-back cases: a region of 256 x 128 sensor pixels at column 8, row 4.
REGION = (8, 4, 256, 128)
ACQUIRE = ["acquire", "--frames", "3", "--roi", "8,4,263,131", "--exposure", "5", "--gain", "40",
           "--sim-fps", "200"]


def case_tiff(q):
    out, _, _ = q.run(*ACQUIRE, "--bin", "2x2", "--output", q.path("frames.tif"),
                      "--preview", q.path("last.png"))
    assert out.split() == [q.path("frames.tif"), q.path("last.png")], out
    with tifffile.TiffFile(q.local("frames.tif")) as tif:
        assert len(tif.pages) == 3, len(tif.pages)
        previous = -1
        for page in tif.pages:
            fields = description_fields(page.tags["ImageDescription"].value)
            counter = int(fields["frame_counter"])
            assert counter > previous
            previous = counter
            assert fields["camera"] == "QMXSIM-0001" and fields["binning"] == "2x2", fields
            assert fields["exposure_ms"] == "5" and fields["gain"] == "40", fields
            check_utc(fields["utc"])
            assert page.tags["DateTime"].value == fields["utc"][:19].replace("-", ":").replace(
                "T", " "), page.tags["DateTime"].value
            expected = pattern(counter, REGION[0], REGION[1], 128, 64, 2, 2)
            numpy.testing.assert_array_equal(page.asarray(), expected)
    check_png(q.local("last.png"), 128, 64)


def case_fits(q):
    out, _, _ = q.run(*ACQUIRE, "--format", "fits", "--output", q.path("frames.fits"))
    assert out.split() == [q.path("frames.fits")], out
    with fits.open(q.local("frames.fits")) as hdus:
        assert len(hdus) == 4, len(hdus)
        check_utc(hdus[0].header["DATE-OBS"])
        for hdu in hdus[1:]:
            header = hdu.header
            assert header["CAMERA"] == "QMXSIM-0001", header
            assert header["EXPTIME"] == 0.005 and header["GAIN"] == 40, header
            assert (header["XBINNING"], header["YBINNING"]) == (1, 1)
            assert (header["ROI_X1"], header["ROI_Y1"], header["ROI_X2"], header["ROI_Y2"]) == (
                8, 4, 263, 131)
            assert "microseconds" in header.comments["TIMESTMP"], header.comments["TIMESTMP"]
            check_utc(header["DATE-OBS"])
            assert hdu.data.dtype == numpy.uint16 or hdu.data.dtype.kind == "u", hdu.data.dtype
            expected = pattern(header["FRAMECNT"], REGION[0], REGION[1], REGION[2], REGION[3])
            numpy.testing.assert_array_equal(hdu.data, expected)


def check_png(path, width, height):
    """An 8-bit grey PNG of this size whose rows decode (filter type 0 or any, checked by size)."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    length, kind = struct.unpack(">I4s", data[8:16])
    assert kind == b"IHDR"
    w, h, depth, colour = struct.unpack(">IIBB", data[16:26])
    assert (w, h, depth, colour) == (width, height, 8, 0), (w, h, depth, colour)
    chunks, at = b"", 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        if kind == b"IDAT":
            chunks += data[at + 8:at + 8 + length]
        at += 12 + length
    assert len(zlib.decompress(chunks)) == height * (width + 1)


def slots_of(data, width, height):
    slot_bytes = TAG_BLOCK_BYTES + 2 * width * (height + CALIBRATION_LINES)
    assert len(data) % slot_bytes == 0, (len(data), slot_bytes)
    return [data[i:i + slot_bytes] for i in range(0, len(data), slot_bytes)]


def case_raw_stdout(q):
    data, _, _ = q.run("acquire", "--frames", "4", "--roi", "8,4,71,19", "--sim-fps", "200",
                       "--format", "raw", "--output", "-", binary_stdout=True)
    slots = slots_of(data, 64, 16)
    assert len(slots) == 4, len(slots)
    for slot in slots:
        assert slot[:4] == b"QMX\0" and slot[8:12] == b"FCNT"
        counter = struct.unpack("<I", slot[12:16])[0]
        image = numpy.frombuffer(slot, dtype="<u2", count=64 * 16, offset=TAG_BLOCK_BYTES)
        numpy.testing.assert_array_equal(image.reshape(16, 64), pattern(counter, 8, 4, 64, 16))


def case_json(q):
    out, _, _ = q.run("list", "--json", "--sim-cameras", "2")
    assert json.loads(out) == [{"device_id": "QMXSIM-0001", "serial_number": "SIM00001"},
                               {"device_id": "QMXSIM-0002", "serial_number": "SIM00002"}], out
    out, _, _ = q.run("info", "--json")
    info = json.loads(out)
    assert info["camera"] == "QMXSIM-0001" and info["image_width"] == 1280, info
    assert info["roi"] == [0, 0, 1279, 1023] and info["usb_speed"] == "USB 3.0", info
    out, _, _ = q.run("acquire", "--json", "--frames", "5", "--roi", "8,4,71,19",
                      "--sim-fps", "200", "--format", "raw", "--output", q.path("f.raw"))
    summary = json.loads(out)
    assert summary["frames_taken"] == 5 and summary["frames_written"] == 5, summary
    assert summary["frames_missing"] == 0 and summary["status"] == 0, summary
    assert summary["files"] == [q.path("f.raw")], summary
    assert summary["width"] == 64 and summary["height"] == 16, summary
    assert set(summary["dropped_by_cause"]) >= {"overwritten", "disorder"}, summary
    assert summary["ending"] == "frames_reached" and summary["preview"] is None, summary


def case_slow_bigtiff(q):
    """Full frames past 4 GiB in one TIFF file: 1700 frames of 2,621,440 pixel bytes (4.45 GB),
    taken at the simulator's maximum rate (frames the disk cannot keep up with are allowed to go
    missing), read back whole by tifffile."""
    frames = 1700
    out, err, seconds = q.run("acquire", "--frames", str(frames), "--sim-max-rate",
                              "--max-drops", "1000000", "--output", q.path("big.tif"),
                              timeout=900)
    size = os.path.getsize(q.local("big.tif"))
    print(f"{frames} frames, {size / 2**30:.2f} GiB in {seconds:.1f} s")
    assert size > 4 * 2**30
    rows = numpy.arange(1024, dtype=numpy.uint32)[:, None] * 3
    base = rows + numpy.arange(1280, dtype=numpy.uint32)[None, :]
    with tifffile.TiffFile(q.local("big.tif")) as tif:
        assert tif.is_bigtiff
        assert len(tif.pages) == frames, len(tif.pages)
        for page in tif.pages:
            counter = int(description_fields(page.tags["ImageDescription"].value)["frame_counter"])
            expected = ((base + numpy.uint32(counter * 37 % 1024)) & 1023).astype(numpy.uint16)
            numpy.testing.assert_array_equal(page.asarray(), expected)


CASES = {name[5:]: function for name, function in globals().items() if name.startswith("case_")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qmxcam", required=True)
    parser.add_argument("--emulator", default="")
    parser.add_argument("--sim-library", default="")
    parser.add_argument("case", choices=sorted(CASES))
    arguments = parser.parse_args()
    if arguments.sim_library:
        check_pattern_against_simulator(arguments.sim_library)
    q = runner(arguments.qmxcam, arguments.emulator)
    try:
        CASES[arguments.case](q)
    finally:
        q.clean()
    print(f"{arguments.case}: 1 passed, 0 failed")


if __name__ == "__main__":
    main()

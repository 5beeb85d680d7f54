# Frames: shapes and sample types, brightness that follows exposure and gain, equality with what
# the flat C API gives for the same frame, capture attributes, streaming and saving.
import ctypes
import datetime
import os

import numpy as np
import pytest

import halvexcam
from conftest import COLOUR_8BIT


@pytest.mark.parametrize("camera", ["mono", "colour"])
@pytest.mark.parametrize("bits", [8, 16])
def test_shapes_and_sample_types(request, camera, bits):
    cam = request.getfixturevalue(camera)
    cam.pixel_clock = len(cam.pixel_clocks) - 1  # the slowest clock carries 16 bits
    cam.bit_depth = bits
    width, height, _ = cam.resolutions[cam.resolution]
    dtype = np.uint8 if bits == 8 else np.uint16
    raw = cam.grab_raw()
    assert isinstance(raw, np.ndarray) and raw.dtype == dtype
    assert raw.shape == (height + 8, width + 8)  # the sensor delivers a border of 8
    assert raw.raw and raw.bayer == (cam.bayer_pattern if cam.is_colour else None)
    image = cam.grab()
    assert image.dtype == dtype and not image.raw
    assert image.shape == ((height, width, 3) if cam.is_colour else (height, width))
    if bits == 16:
        assert raw.max() > 255  # the samples use the wide range, not just the low byte


def _mean(cam):
    cam.grab_raw()  # a frame still exposed with the old settings may be on its way
    return float(cam.grab_raw().mean())


def test_brightness_follows_exposure_and_gain(mono):
    mono.gain = 30
    mono.exposure_ms = 2
    dim = _mean(mono)
    mono.exposure_ms = 8
    bright = _mean(mono)
    assert bright > 1.5 * dim
    mono.gain = 90
    brighter = _mean(mono)
    assert brighter > 1.5 * bright


class FlatApi:
    """The camera library's C API, a separate instance loaded with ctypes."""

    def __init__(self, path):
        lib = self.lib = ctypes.CDLL(path)
        lib.InitDevice.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p]
        lib.PlugSimulatedCameras.argtypes = [ctypes.c_char_p]
        lib.DeviceName.restype = ctypes.c_char_p
        for f in ("ResumeDevice", "SuspendDevice", "RecvMemSize", "UnplugSimulatedCameraByName"):
            getattr(lib, f).argtypes = [ctypes.c_char_p]
        lib.GetRawData.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p]
        lib.DecodeRaw2Image.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p]
        lib.InitDevice(None, None, None)

    def simulate(self, model):
        assert self.lib.PlugSimulatedCameras(model.encode()) == 1
        for _ in range(50):
            if self.lib.DeviceCount() > 0:
                return self.lib.DeviceName(0)
            self.lib.PumpDeviceEvents(100)
        raise AssertionError("the simulated camera did not arrive")

    @staticmethod
    def record(buffer):
        """(pixels, shape) of the one-buffer image record at the start of buffer."""
        b = buffer.raw
        width, height = int.from_bytes(b[4:6], "little"), int.from_bytes(b[6:8], "little")
        depth, channels = b[8], b[9]
        head = int.from_bytes(b[12:14], "little")
        dtype = np.uint8 if depth == 8 else np.dtype("<u2")
        count = width * height * channels
        pixels = np.frombuffer(b, dtype=dtype, count=count, offset=head)
        return pixels.reshape((height, width, channels) if channels == 3 else (height, width))


@pytest.fixture
def flat_api():
    api = FlatApi(os.environ["HALVEX_SDK_LIBRARY"])
    yield api
    api.lib.ExitDevice()


def test_grab_and_process_equal_the_c_api_on_the_same_frame(flat_api):
    # Simulated cameras of one model give the same frames in the same order, so frame k of a
    # camera in this module and frame k of one in the separate C instance are the same frame.
    peer = flat_api.simulate(COLOUR_8BIT)
    lib = flat_api.lib
    size = lib.RecvMemSize(peer)
    raw = ctypes.create_string_buffer(size)
    image = ctypes.create_string_buffer(size * 6 + 65536)
    name = halvexcam.simulate(COLOUR_8BIT)
    try:
        with halvexcam.Camera(name) as cam:
            assert lib.ResumeDevice(peer) == 0
            for step in ("grab", "process"):
                assert lib.GetRawData(raw, size, peer) == 0
                assert lib.DecodeRaw2Image(raw, image, peer) == 0
                expected = FlatApi.record(image)
                got = cam.grab() if step == "grab" else cam.process(cam.grab_raw())
                assert got.shape == expected.shape and got.dtype == expected.dtype
                assert np.array_equal(got, expected), step
    finally:
        halvexcam.unplug(name)


def test_frames_carry_their_capture_and_own_their_memory(colour):
    colour.exposure_ms = 3
    colour.gain = 40
    line_ms = colour.exposure_range[0]  # this model's shortest exposure is one sensor line
    before = datetime.datetime.now(datetime.timezone.utc)
    first, second = colour.grab_raw(), colour.grab()
    after = datetime.datetime.now(datetime.timezone.utc)
    assert second.sequence == first.sequence + 1
    # A streaming camera may have begun exposing the frame a grab returns before the grab was
    # called: its exposure began one exposure and one read-out of its rows before it arrived,
    # and it may have arrived while the previous frame was being handed over. Early slack of a
    # few frame periods allows that and still catches a clock in the wrong zone or unit.
    readout = datetime.timedelta(milliseconds=first.shape[0] * line_ms)
    early = datetime.timedelta(milliseconds=250)
    slack = datetime.timedelta(milliseconds=2)
    for frame in (first, second):
        assert frame.camera == colour.name
        assert frame.exposure_ms == pytest.approx(3, rel=0.05) and frame.gain == 40
        assert frame.timestamp.tzinfo is not None
        arrived = frame.timestamp + datetime.timedelta(milliseconds=frame.exposure_ms) + readout
        assert before - early <= arrived <= after + slack, (before, frame.timestamp, after)
        assert frame.snapshot is False and frame.bayer == colour.bayer_pattern
    assert first.raw and not second.raw
    assert first.binning == (1, 1) and first.origin == (0, 0) and first.frame_type == "light"
    assert not np.shares_memory(first, colour.grab_raw())
    first[:] = 0  # writable, and nobody else's buffer
    # Views keep the attributes, reductions are plain numbers.
    corner = first[:16, :16]
    assert isinstance(corner, halvexcam.Frame) and corner.gain == 40
    assert isinstance(first.mean(), float) and first.info["camera"] == colour.name


def test_frames_record_the_settings_they_were_taken_with(mono):
    mono.roi = (40, 20, 64, 32)
    mono.frame_type = "dark"
    mono.grab_raw()  # the region comes with the next frame
    frame = mono.grab_raw()
    assert frame.origin == (40, 20) and frame.frame_type == "dark"
    mono.resolution = 1  # a binned mode
    mono.grab_raw()
    binned = mono.grab()
    assert binned.binning == (2, 2) and binned.frame_type == "dark"
    assert binned.sequence > frame.sequence
    # The image a script hands in has no capture record: the camera's settings stand in.
    plain = mono.process(np.full((64, 64), 100, dtype=np.uint8))
    assert plain.camera == mono.name and plain.shape == (56, 56) and not plain.raw


def test_frames_stream(colour):
    frames = list(colour.frames(3))
    assert len(frames) == 3 and [f.sequence for f in frames] == sorted(f.sequence for f in frames)
    assert all(f.ndim == 3 for f in frames)
    raw = next(iter(colour.frames(raw=True)))
    assert raw.raw and raw.ndim == 2
    with pytest.raises(ValueError):
        colour.frames(-1)


def test_white_balance_sets_channel_gains(colour):
    low, high = colour.channel_gain_range
    gains = colour.white_balance()
    assert len(gains) == 3 and all(low <= g <= high for g in gains)
    assert colour.channel_gains == gains
    with pytest.raises(ValueError):
        colour.white_balance(area=(0, 0, 100000, 10))


MAGIC = {".png": b"\x89PNG", ".tif": b"II*\x00", ".jpg": b"\xff\xd8", ".bmp": b"BM",
         ".raw": b"QREZ"}


def test_save_writes_each_format_through_the_library(colour, tmp_path):
    image = colour.grab()
    written = colour.save(tmp_path / "cells", image, formats="png,tif,jpg,bmp,raw")
    assert [p.suffix for p in written] == [".raw", ".jpg", ".bmp", ".png", ".tif"]
    for path in written:
        assert path.read_bytes()[:4].startswith(MAGIC[path.suffix])
    # An extension names the format; without an image a new frame is grabbed.
    assert colour.save(str(tmp_path / "next.tif")) == [tmp_path / "next.tif"]
    # A raw frame goes to '.raw' as sensor samples, processed for the image formats.
    raw = colour.grab_raw()
    raw_file, png = colour.save(tmp_path / "raw", raw, formats=["raw", "png"])
    head = raw_file.read_bytes()[:8]
    assert (int.from_bytes(head[4:6], "little"), int.from_bytes(head[6:8], "little")) == \
        (raw.shape[1], raw.shape[0])
    assert png.stat().st_size > 0
    # Any array of samples can be saved.
    grey = np.linspace(0, 255, 64 * 32).astype(np.uint8).reshape(32, 64)
    assert colour.save(tmp_path / "ramp.png", grey)[0].exists()


def test_save_refuses_what_it_cannot_write(colour, tmp_path):
    image = colour.grab()
    with pytest.raises(FileNotFoundError):
        colour.save(tmp_path / "missing" / "x", image)
    with pytest.raises(ValueError, match="gif"):
        colour.save(tmp_path / "x", image, formats="gif")
    with pytest.raises(ValueError):
        colour.save(tmp_path / "x", np.zeros((4, 4), dtype=np.float32))
    with pytest.raises(ValueError):
        colour.process(image)  # already processed
    with pytest.raises(ValueError):
        colour.process(np.zeros((8, 8, 3), dtype=np.uint8))

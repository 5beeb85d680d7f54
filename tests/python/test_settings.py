# Camera properties: what is written reads back, what lies outside the camera's range is refused
# with the range in the message, and what a camera lacks says so.
import pytest

import halvexcam
from conftest import COOLED


def _ends(range_):
    low, high = range_
    return [low, high]


@pytest.mark.parametrize("setting", ["gain", "black_level", "gamma", "contrast", "saturation"])
def test_integer_settings_round_trip_and_refuse_their_range(colour, setting):
    low, high = getattr(colour, setting + "_range")
    for value in _ends((low, high)):
        setattr(colour, setting, value)
        assert getattr(colour, setting) == value
    for value in (low - 1, high + 1):
        with pytest.raises(ValueError, match=f"{low} ... {high}"):
            setattr(colour, setting, value)
    assert getattr(colour, setting) == high  # a refused value changes nothing


def test_exposure_round_trips_within_its_range(mono):
    low, high = mono.exposure_range
    assert 0 < low < high
    mono.exposure_ms = 25.0
    assert mono.exposure_ms == pytest.approx(25.0, rel=0.02)  # whole sensor lines
    for value in (low / 2, high * 2, float("nan")):
        with pytest.raises(ValueError, match="exposure_ms"):
            mono.exposure_ms = value
    assert mono.exposure_ms == pytest.approx(25.0, rel=0.02)


def test_resolution_clock_and_depth(mono):
    assert len(mono.resolutions) >= 2 and all(len(r) == 3 for r in mono.resolutions)
    mono.resolution = 1
    assert mono.resolution == 1
    with pytest.raises(ValueError, match=f"0 ... {len(mono.resolutions) - 1}"):
        mono.resolution = len(mono.resolutions)
    last = len(mono.pixel_clocks) - 1
    mono.pixel_clock = last
    assert mono.pixel_clock == last
    with pytest.raises(ValueError):
        mono.pixel_clock = -1
    assert mono.bit_depths == [8, 16]
    mono.bit_depth = 16
    assert mono.bit_depth == 16
    with pytest.raises(ValueError, match="8 or 16"):
        mono.bit_depth = 12


def test_eight_bit_camera_refuses_sixteen_bits():
    name = halvexcam.simulate("VAh200C1")
    try:
        cam = halvexcam.Camera(name)
        assert cam.bit_depths == [8]
        with pytest.raises(ValueError, match="8-bit"):
            cam.bit_depth = 16
        assert cam.bit_depth == 8
    finally:
        halvexcam.unplug(name)


def test_roi_is_taken_rounded_and_switched_off(mono):
    width, height = mono.resolutions[mono.resolution][:2]
    assert mono.roi is None
    mono.roi = (10, 11, 200, 100)
    x, y, w, h = mono.roi
    assert (x, y) == (8, 10) and (w, h) == (200, 100)
    for bad in [(-1, 0, 100, 100), (0, 0, 4, 100), (width - 50, 0, 100, 100),
                (0, height, 8, 8)]:
        with pytest.raises(ValueError, match=f"{width} x {height}"):
            mono.roi = bad
    mono.roi = None
    assert mono.roi is None


def test_switches(colour):
    for value in (True, False):
        colour.auto_exposure = value
        assert colour.auto_exposure is value
    for code in range(4):
        colour.flip = code
        assert colour.flip == code
    with pytest.raises(ValueError):
        colour.flip = 4
    colour.channel_gains = (70, 64, 90)
    assert colour.channel_gains == (70, 64, 90)
    with pytest.raises(ValueError):
        colour.channel_gains = (0, 64, 64)


def test_frame_type(mono):
    assert mono.frame_type == "light"
    for kind in ("dark", "flat", "bias", "light"):
        mono.frame_type = kind
        assert mono.frame_type == kind
    with pytest.raises(ValueError, match="bias"):
        mono.frame_type = "sky"


def test_monochrome_and_uncooled_cameras_say_what_they_lack(mono):
    for attribute in ("saturation", "channel_gains", "cooler", "temperature"):
        with pytest.raises(halvexcam.NotSupportedError) as caught:
            getattr(mono, attribute)
        assert caught.value.camera == mono.name
    with pytest.raises(halvexcam.NotSupportedError):
        mono.white_balance()


def test_cooled_camera_reports_its_cooler_and_temperature():
    name = halvexcam.simulate(COOLED)
    try:
        with halvexcam.Camera(name) as cam:
            assert cam.cooler is True
            assert -60 < cam.temperature < 40
            cam.cooler = False
            assert cam.cooler is False
            assert cam.grab_raw().temperature == pytest.approx(cam.temperature, abs=5)
    finally:
        halvexcam.unplug(name)


def test_identity(colour):
    assert colour.model == "VSh035C1" and colour.name.startswith("VSh035C1")
    assert colour.product_id == 0xA005
    assert colour.is_colour and colour.bayer_pattern in {"RGGB", "BGGR", "GBRG", "GRBG"}
    assert colour.running and "running" in repr(colour)

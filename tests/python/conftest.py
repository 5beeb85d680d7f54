# Shared fixtures of the halvexcam tests: simulated cameras that are unplugged again after each
# test, so every test starts from a camera with its model defaults.
import pytest

import halvexcam

# Small, fast models of each kind; the cooled one reads its sensor temperature.
COLOUR = "VSh035C1"        # colour, 8 and 16 bits, 1280 x 1024
MONO = "VSh035M1"          # monochrome, 8 and 16 bits
COOLED = "0xE00C:0xA001"   # VDh694M1 with cooler and thermometer
COLOUR_8BIT = "VAh200C1"   # colour, 8 bits only


def _plug(model, real_time=False):
    name = halvexcam.simulate(model, real_time=real_time)
    yield name
    if name in halvexcam.cameras():
        halvexcam.unplug(name)


@pytest.fixture
def colour_name():
    yield from _plug(COLOUR)


@pytest.fixture
def mono_name():
    yield from _plug(MONO)


@pytest.fixture
def colour(colour_name):
    with halvexcam.Camera(colour_name) as cam:
        yield cam


@pytest.fixture
def mono(mono_name):
    with halvexcam.Camera(mono_name) as cam:
        yield cam


@pytest.fixture
def slow_camera():
    """A colour camera delivering frames at a real camera's pace, with a long exposure."""
    for name in _plug(COLOUR, real_time=True):
        with halvexcam.Camera(name) as cam:
            cam.exposure_ms = 1500
            yield cam


@pytest.fixture
def endless_camera():
    """A camera at a real camera's pace exposing for ten minutes: a grab on it ends only when
    something ends it, long after any test's time limit."""
    for name in _plug("VDh694M1", real_time=True):
        with halvexcam.Camera(name) as cam:
            cam.exposure_ms = 600_000
            yield cam

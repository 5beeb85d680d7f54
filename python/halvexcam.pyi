"""Halvex cameras for Python: settings as properties, frames as numpy arrays.

    import halvexcam
    with halvexcam.Camera() as cam:
        cam.exposure_ms = 20
        frame = cam.grab()

Without a camera at hand, ``halvexcam.simulate("VAh200C1")`` plugs a simulated one.
"""

import datetime
import os
import pathlib
from collections.abc import Callable, Iterable, Iterator
from types import TracebackType
from typing import Any, Literal

import numpy
import numpy.typing

__version__: str

class CameraError(Exception):
    """A camera call failed.

    ``status`` is the library's status code (-2 bad argument, -3 transfer failure or a frame
    that failed its checks, -4 not offered by this camera, -1 unknown camera), ``camera`` the
    device name the call was about.
    """

    status: int | None
    camera: str | None
    def __init__(self, message: str, *, status: int | None = ..., camera: str | None = ...) -> None: ...

class CameraNotFoundError(CameraError, LookupError):
    """No camera of that name is connected (never was, or has been unplugged)."""

class FrameTimeoutError(CameraError, TimeoutError):
    """A frame did not arrive in time."""

class NotSupportedError(CameraError):
    """The camera does not offer this setting or function (for example a cooler)."""

class Frame(numpy.ndarray[Any, numpy.dtype[numpy.uint8 | numpy.uint16]]):
    """One image from a camera: a numpy array with what is known about its capture.

    ``uint8`` or ``uint16``; shape ``(h, w)`` for sensor samples and grey images,
    ``(h, w, 3)`` in red, green, blue order for colour images. The array owns its memory.
    Slices and views keep the attributes; reductions such as ``mean()`` give plain numbers.
    """

    camera: str | None
    """Device name of the camera that took the frame."""
    sequence: int | None
    """The camera's frame number: 1 for its first frame after it was plugged in."""
    timestamp: datetime.datetime | None
    """Start of the exposure (UTC)."""
    exposure_ms: float | None
    """Exposure time the frame was taken with, in milliseconds."""
    gain: int | None
    """Analog gain the frame was taken with."""
    black_level: int | None
    """Black level the frame was taken with (None where the camera has none)."""
    bayer: str | None
    """Bayer pattern of the sensor ('RGGB', 'BGGR', 'GBRG', 'GRBG'); None for grey sensors."""
    snapshot: bool
    """True when the camera's snapshot input marked this frame."""
    raw: bool
    """True for raw sensor samples (grab_raw), False for processed images (grab)."""
    temperature: float | None
    """Sensor temperature in degrees Celsius on cameras that measure it, else None."""
    binning: tuple[int, int]
    """(across, down) binning of the resolution the frame was taken at."""
    origin: tuple[int, int]
    """(x, y) of the region of interest's first pixel on the sensor, (0, 0) without one."""
    flip: int
    """Flip of the frame: 1 left-right, 2 upside down, 3 both."""
    frame_type: Literal["light", "dark", "flat", "bias"]
    """What the frame is (Camera.frame_type when it was taken)."""
    @property
    def info(self) -> dict[str, Any]:
        """The capture attributes as a dictionary."""

def cameras() -> list[str]:
    """Device names of the connected cameras, real and simulated."""

def simulate(model: str, *, real_time: bool = False) -> str:
    """Plugs a simulated camera and returns its device name.

    ``model`` is a model name such as ``"VAh200C1"`` or a product id such as ``"0xE00C"``,
    optionally with a device release (``"0xE00C:0xA001"``). Frames come as fast as they can be
    made, or with ``real_time=True`` at the pace of the real camera. Raises ValueError for a
    text that names no supported camera.
    """

def unplug(name: str) -> None:
    """Unplugs a simulated camera; its Camera objects raise CameraNotFoundError from then on."""

def on_change(callback: Callable[[str, Literal["arrived", "removed"]], object] | None) -> Callable[[str, str], object] | None:
    """Sets the hot-plug callback, called as ``callback(name, "arrived")`` or
    ``callback(name, "removed")`` from the thread that calls pump(); None removes it.
    Returns the previous callback."""

def pump(timeout_ms: int = 0) -> int:
    """Waits up to timeout_ms milliseconds (negative: until one comes) for hot-plug messages,
    calls the on_change callback for each on this thread and returns how many there were."""

class FrameStream(Iterator[Frame]):
    """Iterator over a camera's frames (Camera.frames)."""
    def __iter__(self) -> FrameStream: ...
    def __next__(self) -> Frame: ...

class Camera:
    """A camera, opened by device name.

    ``Camera(name=None)`` opens the named camera or, without a name, the first one. As a context
    manager it starts the sensor and stops it at the end of the block, also when the block
    raises. Settings are properties that read from and write to the camera; a value outside the
    camera's range raises ValueError naming the range, a setting the camera lacks raises
    NotSupportedError. An unplugged camera raises CameraNotFoundError on its next call.
    """

    def __init__(self, name: str | None = None) -> None: ...
    def __enter__(self) -> Camera: ...
    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None) -> Literal[False]: ...
    def start(self) -> None:
        """Starts the sensor: frames flow from now on."""
    def stop(self) -> None:
        """Stops the sensor."""
    def close(self) -> None:
        """Stops the sensor and releases the camera's reading thread; it can be started again."""
    @property
    def running(self) -> bool:
        """True while the sensor delivers frames."""

    # identity
    @property
    def name(self) -> str:
        """Device name, for example 'VAh200C1.1'."""
    @property
    def model(self) -> str:
        """Model name, for example 'VAh200C1'."""
    @property
    def product_id(self) -> int:
        """USB product id."""
    @property
    def is_colour(self) -> bool:
        """True for a colour (Bayer) sensor."""
    @property
    def bayer_pattern(self) -> str | None:
        """Bayer pattern of the raw samples, None for a monochrome sensor."""

    # sensor settings
    exposure_ms: float
    """Exposure time in milliseconds, within exposure_range."""
    @property
    def exposure_range(self) -> tuple[float, float]:
        """(min, max) exposure in milliseconds."""
    gain: int
    """Analog gain, within gain_range."""
    @property
    def gain_range(self) -> tuple[int, int]:
        """(min, max) gain."""
    black_level: int
    """Black level (offset) of the sensor, within black_level_range."""
    @property
    def black_level_range(self) -> tuple[int, int]:
        """(min, max) black level."""
    bit_depth: Literal[8, 16]
    """Bits per raw sample. Starting the sensor goes back to 8 where the clock cannot carry 16."""
    @property
    def bit_depths(self) -> list[int]:
        """The bit depths the camera offers."""
    resolution: int
    """Index into resolutions; takes effect with the next frame and switches the roi off."""
    @property
    def resolutions(self) -> list[tuple[int, int, str]]:
        """[(width, height, name), ...] of the processed images."""
    pixel_clock: int
    """Index into pixel_clocks; a RuntimeWarning tells when the camera takes another."""
    @property
    def pixel_clocks(self) -> list[str]:
        """Names of the pixel clocks, fastest first."""
    roi: tuple[int, int, int, int] | None
    """Region of interest (x, y, width, height) of the current resolution, or None."""
    auto_exposure: bool
    """Automatic exposure: each frame adjusts exposure_ms."""
    cooler: bool
    """The sensor cooler on cooled models (NotSupportedError elsewhere)."""
    @property
    def temperature(self) -> float:
        """Sensor temperature in degrees Celsius on cooled models."""
    frame_type: Literal["light", "dark", "flat", "bias"]
    """What the frames to come are: light, dark (covered, same exposure), flat (evenly lit) or
    bias (covered, shortest exposure). Each frame records it."""

    # host-side processing
    flip: Literal[0, 1, 2, 3]
    """0 none, 1 left-right, 2 upside down, 3 both (processed images)."""
    gamma: int
    """Gamma of the processed images (100 neutral), within gamma_range."""
    @property
    def gamma_range(self) -> tuple[int, int]: ...
    contrast: int
    """Contrast of the processed images (128 neutral), within contrast_range."""
    @property
    def contrast_range(self) -> tuple[int, int]: ...
    saturation: int
    """Colour saturation of the processed images (colour cameras)."""
    @property
    def saturation_range(self) -> tuple[int, int]: ...
    channel_gains: tuple[int, int, int]
    """(red, green, blue) digital gains of the processed images (64 neutral; colour cameras)."""
    @property
    def channel_gain_range(self) -> tuple[int, int]: ...
    def white_balance(self, area: tuple[int, int, int, int] | None = None,
                      timeout: float | None = None) -> tuple[int, int, int]:
        """One-shot white balance on a fresh frame: sets channel_gains so that the area
        (x, y, width, height in frame pixels; None: the whole frame) comes out grey."""

    # frames
    def grab_raw(self, timeout: float | None = None) -> Frame:
        """The next frame's sensor samples, shape (h, w), uint8 or uint16 (bit_depth).

        timeout in seconds; None waits as long as the exposure needs. Raises FrameTimeoutError
        when no frame comes in time; Ctrl-C ends the wait.
        """
    def grab(self, timeout: float | None = None) -> Frame:
        """The next frame as the camera's processing makes it: (h, w, 3) red, green, blue on
        colour cameras, (h, w) on monochrome ones, at the raw bit depth."""
    def process(self, frame: numpy.typing.NDArray[numpy.uint8 | numpy.uint16]) -> Frame:
        """The processed image of a frame from grab_raw()."""
    def frames(self, n: int | None = None, *, raw: bool = False,
               timeout: float | None = None) -> FrameStream:
        """Streams n frames (None: without end) as grab() gives them, or grab_raw() with raw=True."""
    def save(self, path: str | os.PathLike[str],
             image: numpy.typing.NDArray[numpy.uint8 | numpy.uint16] | None = None,
             formats: str | Iterable[str] | None = None) -> list[pathlib.Path]:
        """Writes an image through the library's writers, one file per format (path plus
        '.raw', '.tif', '.png', '.jpg', '.bmp' or '.fits'). Without formats an extension on
        the path names the format ('.fit' and '.fts' name FITS, written to '.fits'), else PNG.
        None as image grabs a new processed frame; a raw frame is processed for the image
        formats and written as it is, its sensor samples, to '.raw' and '.fits'. The FITS
        header carries the frame's exposure (EXPTIME), gain (GAIN) and more. Returns the files."""

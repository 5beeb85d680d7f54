# The part of the halvexcam module that is plain Python: its exceptions and the Frame array.
# The extension runs this file in its own namespace when it is imported, so everything defined
# here is an attribute of halvexcam (names with a leading underscore are private helpers).

import datetime as _datetime

import numpy as _np


class CameraError(Exception):
    """A camera call failed.

    ``status`` is the library's status code (-2 bad argument, -3 transfer failure or a frame
    that failed its checks, -4 not offered by this camera, -1 unknown camera), ``camera`` the
    device name the call was about (None for calls that concern no camera).
    """

    def __init__(self, message, *, status=None, camera=None):
        super().__init__(message)
        self.status = status
        self.camera = camera


class CameraNotFoundError(CameraError, LookupError):
    """No camera of that name is connected (never was, or has been unplugged)."""


class FrameTimeoutError(CameraError, TimeoutError):
    """A frame did not arrive in time."""


class NotSupportedError(CameraError):
    """The camera does not offer this setting or function (for example a cooler)."""


# Bayer pattern codes of the library and their names; 0 is a monochrome sensor.
_BAYER_NAMES = {1: "BGGR", 2: "GBRG", 3: "RGGB", 4: "GRBG"}


class Frame(_np.ndarray):
    """One image from a camera: a numpy array with what is known about its capture.

    A frame is an ordinary ``numpy.ndarray`` (``uint8`` or ``uint16``; shape ``(h, w)`` for
    sensor samples and grey images, ``(h, w, 3)`` in red, green, blue order for colour
    images) that owns its memory. Slices and views keep the attributes; arithmetic that makes
    a new image keeps them too, reductions such as ``mean()`` give plain numbers.
    """

    #: device name of the camera that took the frame
    camera = None
    #: frame number of this camera since the library took it in, counting from 0
    sequence = None
    #: start of the exposure (``datetime`` in UTC)
    timestamp = None
    #: exposure time the frame was taken with, in milliseconds
    exposure_ms = None
    #: analog gain the frame was taken with
    gain = None
    #: black level the frame was taken with
    black_level = None
    #: Bayer pattern of the sensor samples ("RGGB", "BGGR", "GBRG", "GRBG"), None for grey
    bayer = None
    #: True when the camera's snapshot input marked this frame
    snapshot = False
    #: True for raw sensor samples (grab_raw), False for processed images (grab)
    raw = False
    #: sensor temperature in degrees Celsius on cooled cameras, else None
    temperature = None

    _FIELDS = ("camera", "sequence", "timestamp", "exposure_ms", "gain", "black_level",
               "bayer", "snapshot", "raw", "temperature", "_record")
    _record = None  # the library's description of the frame, for process() and save()

    def __array_finalize__(self, obj):
        if obj is None:
            return
        for name in Frame._FIELDS:
            value = getattr(obj, name, None)
            if value is not None:
                setattr(self, name, value)

    def __array_wrap__(self, out, context=None):
        # Reductions to one number give that number, not a zero-dimensional Frame.
        if out.ndim == 0:
            return out[()]
        return super().__array_wrap__(out, context)

    @property
    def info(self):
        """The capture attributes as a dictionary."""
        return {name: getattr(self, name) for name in Frame._FIELDS if not name.startswith("_")}


def _frame(pixels, record, camera, sequence, timestamp_ns, exposure_ms, gain, black_level,
           bayer, snapshot, raw, temperature):
    """Makes a Frame of a freshly filled array (used by the extension)."""
    frame = pixels.view(Frame)
    frame._record = record
    frame.camera = camera
    frame.sequence = sequence
    frame.timestamp = _datetime.datetime.fromtimestamp(timestamp_ns / 1e9,
                                                       _datetime.timezone.utc)
    frame.exposure_ms = exposure_ms
    frame.gain = gain
    frame.black_level = black_level
    frame.bayer = _BAYER_NAMES.get(bayer)
    frame.snapshot = bool(snapshot)
    frame.raw = bool(raw)
    frame.temperature = temperature
    return frame


def _derived(image, source):
    """Gives a processed image the capture attributes of the raw frame it was made from."""
    for name in Frame._FIELDS:
        if name not in ("raw", "_record"):
            value = getattr(source, name, None)
            if value is not None:
                setattr(image, name, value)
    image.raw = False
    return image

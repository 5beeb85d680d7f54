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
# Frame types of the library, as the frames and Camera.frame_type name them.
_FRAME_TYPES = ("light", "dark", "flat", "bias")
_EPOCH = _datetime.datetime(1970, 1, 1, tzinfo=_datetime.timezone.utc)


class Frame(_np.ndarray):
    """One image from a camera: a numpy array with what is known about its capture.

    A frame is an ordinary ``numpy.ndarray`` (``uint8`` or ``uint16``; shape ``(h, w)`` for
    sensor samples and grey images, ``(h, w, 3)`` in red, green, blue order for colour
    images) that owns its memory. Slices and views keep the attributes; arithmetic that makes
    a new image keeps them too, reductions such as ``mean()`` give plain numbers. The
    attributes are those the camera recorded for this very frame.
    """

    #: device name of the camera that took the frame
    camera = None
    #: the camera's frame number: 1 for its first frame after it was plugged in
    sequence = None
    #: start of the exposure (``datetime`` in UTC)
    timestamp = None
    #: exposure time the frame was taken with, in milliseconds
    exposure_ms = None
    #: analog gain the frame was taken with
    gain = None
    #: black level the frame was taken with (None where the camera has none)
    black_level = None
    #: sensor temperature in degrees Celsius, on cameras that measure it, else None
    temperature = None
    #: Bayer pattern of the raw samples ("RGGB", "BGGR", "GBRG", "GRBG"), None for grey
    bayer = None
    #: True when the camera's snapshot input marked this frame
    snapshot = False
    #: True for raw sensor samples (grab_raw), False for processed images (grab)
    raw = False
    #: (across, down) binning of the resolution the frame was taken at
    binning = (1, 1)
    #: (x, y) of the region of interest's first pixel on the sensor, (0, 0) without one
    origin = (0, 0)
    #: flip of the frame: 1 left-right, 2 upside down, 3 both
    flip = 0
    #: "light", "dark", "flat" or "bias" (Camera.frame_type when it was taken)
    frame_type = "light"

    _FIELDS = ("camera", "sequence", "timestamp", "exposure_ms", "gain", "black_level",
               "temperature", "bayer", "snapshot", "raw", "binning", "origin", "flip",
               "frame_type", "_record")
    _record = None  # the head of the library's record, for process() and save()

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


def _frame(pixels, record, facts):
    """Makes a Frame of a freshly filled array (used by the extension)."""
    frame = pixels.view(Frame)
    frame._record = record
    timestamp_us = facts.pop("timestamp_us")
    frame.timestamp = _EPOCH + _datetime.timedelta(microseconds=timestamp_us)
    frame.bayer = _BAYER_NAMES.get(facts.pop("bayer"))
    kind = facts.pop("frame_type")
    frame.frame_type = _FRAME_TYPES[kind] if 0 <= kind < len(_FRAME_TYPES) else "light"
    for name, value in facts.items():
        setattr(frame, name, value)
    return frame

# Saving to FITS: the files the library writes, read back with an independent reader. A raw
# frame becomes a file of its sensor samples, a processed image one of its pixels, and the
# header carries the frame's own exposure and gain.
import numpy as np
import pytest
from astropy.io import fits

import halvexcam


def _read(path):
    with fits.open(path) as hdus:
        assert len(hdus) == 1
        header = hdus[0].header
        return np.array(hdus[0].data), header


def _frame_settings(cam, exposure_ms, gain):
    cam.exposure_ms = exposure_ms
    cam.gain = gain
    cam.grab_raw()  # a frame exposed with the old settings may still be on its way


def test_raw_frame_saves_its_sensor_samples_to_fits(colour, tmp_path):
    colour.pixel_clock = len(colour.pixel_clocks) - 1  # the slowest clock carries 16 bits
    colour.bit_depth = 16
    _frame_settings(colour, 7, 40)
    raw = colour.grab_raw()
    assert raw.raw and raw.dtype == np.uint16

    written = colour.save(tmp_path / "mosaic.fits", raw)
    assert written == [tmp_path / "mosaic.fits"]
    data, header = _read(written[0])
    # The samples as the sensor gave them: the full frame with its border, unsigned 16 bits
    # stored the FITS way (signed, offset by BZERO).
    assert data.shape == raw.shape
    assert data.dtype == np.uint16
    assert header["BITPIX"] == 16 and header["BZERO"] == 32768
    assert header["NAXIS"] == 2
    assert np.array_equal(data, np.asarray(raw))
    # The settings the frame was exposed with.
    assert header["EXPTIME"] == pytest.approx(raw.exposure_ms / 1000, abs=1e-6)
    assert header["EXPTIME"] == pytest.approx(0.007, rel=0.05)  # to the sensor's row time
    assert header["GAIN"] == raw.gain == 40
    assert header["BAYERPAT"] == raw.bayer


def test_raw_frame_fits_beside_processed_formats(mono, tmp_path):
    mono.bit_depth = 8
    _frame_settings(mono, 4, 50)
    raw = mono.grab_raw()
    assert raw.dtype == np.uint8
    # Listed with an image format, the FITS file still holds the sensor samples while the
    # PNG gets the processed image.
    png, fits_file = mono.save(tmp_path / "pair", raw, formats="png,fits")
    assert (png.suffix, fits_file.suffix) == (".png", ".fits")
    data, header = _read(fits_file)
    assert data.shape == raw.shape and data.dtype == np.uint8
    assert header["BITPIX"] == 8 and "BZERO" not in header
    assert np.array_equal(data, np.asarray(raw))
    assert header["EXPTIME"] == pytest.approx(raw.exposure_ms / 1000, abs=1e-6)
    assert header["GAIN"] == raw.gain == 50


@pytest.mark.parametrize("suffix", [".fits", ".fit", ".fts", ".FITS"])
def test_processed_image_saves_to_fits(colour, tmp_path, suffix):
    colour.pixel_clock = len(colour.pixel_clocks) - 1
    colour.bit_depth = 16
    _frame_settings(colour, 6, 30)
    image = colour.grab()
    height, width, channels = image.shape
    assert channels == 3 and image.dtype == np.uint16

    # Any FITS extension names the format; the library writes '.fits'.
    written = colour.save(tmp_path / ("colour" + suffix), image)
    assert written == [tmp_path / "colour.fits"]
    data, header = _read(written[0])
    # Three planes of the finished image, not the mosaic.
    assert data.shape == (3, height, width) and data.dtype == np.uint16
    assert header["BZERO"] == 32768
    assert np.array_equal(np.moveaxis(data, 0, -1), np.asarray(image))
    assert header["EXPTIME"] == pytest.approx(image.exposure_ms / 1000, abs=1e-6)
    assert header["EXPTIME"] == pytest.approx(0.006, rel=0.05)  # to the sensor's row time
    assert header["GAIN"] == image.gain == 30
    assert "BAYERPAT" not in header


def test_fits_is_named_among_the_formats(colour, tmp_path):
    image = colour.grab()
    with pytest.raises(ValueError, match="fits"):
        colour.save(tmp_path / "x", image, formats="gif")
    written = colour.save(tmp_path / "all", image, formats=["raw", "fits", "png"])
    assert [p.suffix for p in written] == [".raw", ".png", ".fits"]
    for path in written:
        assert path.stat().st_size > 0
    assert written[2].read_bytes()[:30] == b"SIMPLE  =                    T"

# Waiting and concurrency: the interpreter lock is free while a frame is awaited, Ctrl-C and
# time limits end a wait, the context manager always stops the sensor, and a camera unplugged
# under a script raises instead of crashing.
import _thread
import threading
import time

import pytest

import halvexcam


def _later(action, delay=0.2):
    thread = threading.Thread(target=lambda: (time.sleep(delay), action()))
    thread.start()
    return thread


def test_the_context_manager_stops_the_sensor_after_an_exception(mono_name):
    cam = halvexcam.Camera(mono_name)
    with pytest.raises(RuntimeError, match="in the block"):
        with cam:
            assert cam.running
            cam.grab_raw()
            raise RuntimeError("in the block")
    assert not cam.running
    with pytest.raises(halvexcam.CameraError, match="not started"):
        cam.grab_raw()


def test_other_threads_run_while_grab_waits(slow_camera):
    ticks = [0]
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks[0] += 1
            time.sleep(0.01)

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        before = ticks[0]
        slow_camera.grab_raw()  # one exposure of 1.5 s
        during = ticks[0] - before
    finally:
        done.set()
        thread.join(5)
    # Holding the interpreter lock, the grab would have let the ticker run once at most.
    assert during >= 10


def test_unplugging_ends_a_grab_in_progress(slow_camera):
    name = slow_camera.name
    thread = _later(lambda: halvexcam.unplug(name))
    with pytest.raises(halvexcam.CameraNotFoundError, match="unplugged"):
        slow_camera.grab_raw()
    thread.join(5)


def test_an_unplugged_camera_raises_on_every_call(mono_name):
    cam = halvexcam.Camera(mono_name)
    with cam:
        halvexcam.unplug(mono_name)
        for call in (cam.grab_raw, cam.grab, lambda: cam.exposure_ms,
                     lambda: setattr(cam, "gain", 10), lambda: cam.resolutions, cam.start):
            with pytest.raises(halvexcam.CameraNotFoundError):
                call()
    assert not cam.running  # leaving the block after the camera went raises nothing


def test_ctrl_c_ends_a_long_grab(slow_camera):
    thread = _later(_thread.interrupt_main)
    with pytest.raises(KeyboardInterrupt):
        slow_camera.grab_raw()
    thread.join(5)
    slow_camera.exposure_ms = 20
    assert slow_camera.grab_raw(timeout=10).shape[0] > 0  # the camera goes on


def test_a_time_limit_raises_timeout_error(slow_camera):
    with pytest.raises(TimeoutError) as caught:
        slow_camera.grab_raw(timeout=0.1)
    assert isinstance(caught.value, halvexcam.FrameTimeoutError)
    assert caught.value.status == -3 and caught.value.camera == slow_camera.name
    with pytest.raises(ValueError):
        slow_camera.grab(timeout=-1)
    slow_camera.exposure_ms = 20
    assert slow_camera.grab(timeout=10).ndim == 3


def test_threads_share_a_camera(colour):
    frames = []

    def grab():
        for _ in range(5):
            frames.append(colour.grab_raw(timeout=10))

    threads = [threading.Thread(target=grab) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert len(frames) == 15
    assert len({f.sequence for f in frames}) == 15

# Waiting and concurrency: the interpreter lock is free while a frame is awaited, Ctrl-C and
# time limits end a wait, the context manager always stops the sensor, and a camera unplugged
# under a script raises instead of crashing. Grabs on the ten-minute exposure end only if what
# is tested works; otherwise the test's time limit fails them.
import os
import signal
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


def test_other_threads_run_while_grab_waits(endless_camera):
    ticks = []

    def tick_then_stop():
        # Needs the interpreter lock for every tick: a grab holding it would never end.
        while len(ticks) < 20:
            ticks.append(time.monotonic())
            time.sleep(0.01)
        endless_camera.stop()

    thread = threading.Thread(target=tick_then_stop)
    thread.start()
    with pytest.raises(halvexcam.CameraError, match="stopped"):
        endless_camera.grab_raw()
    thread.join(5)
    assert len(ticks) == 20


def test_unplugging_ends_a_grab_in_progress(endless_camera):
    name = endless_camera.name
    thread = _later(lambda: halvexcam.unplug(name))
    with pytest.raises(halvexcam.CameraNotFoundError, match="unplugged"):
        endless_camera.grab_raw()
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


def test_ctrl_c_ends_a_long_grab(endless_camera):
    thread = _later(lambda: os.kill(os.getpid(), signal.SIGINT))
    with pytest.raises(KeyboardInterrupt):
        endless_camera.grab_raw()
    thread.join(5)
    endless_camera.exposure_ms = 20
    assert endless_camera.grab_raw(timeout=10).ndim == 2  # the camera goes on


def test_a_script_handler_for_ctrl_c_lets_the_grab_go_on(slow_camera):
    caught = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: caught.append(signum))
    try:
        thread = _later(lambda: os.kill(os.getpid(), signal.SIGINT))
        frame = slow_camera.grab_raw()
        thread.join(5)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert caught == [signal.SIGINT] and frame.ndim == 2


def test_a_time_limit_raises_timeout_error(endless_camera):
    with pytest.raises(TimeoutError) as caught:
        endless_camera.grab_raw(timeout=0.2)
    assert isinstance(caught.value, halvexcam.FrameTimeoutError)
    assert caught.value.status == -3 and caught.value.camera == endless_camera.name
    with pytest.raises(ValueError):
        endless_camera.grab(timeout=-1)
    endless_camera.exposure_ms = 20
    assert endless_camera.grab(timeout=10).ndim == 2


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

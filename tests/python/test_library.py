# The module's functions: listing, plugging and unplugging simulated cameras, hot-plug messages.
import pytest

import halvexcam
from conftest import COLOUR, MONO


def test_simulated_cameras_come_and_go():
    first = halvexcam.simulate(COLOUR)
    second = halvexcam.simulate(COLOUR)
    try:
        assert first != second and first.startswith(COLOUR) and second.startswith(COLOUR)
        assert {first, second} <= set(halvexcam.cameras())
    finally:
        halvexcam.unplug(first)
    assert first not in halvexcam.cameras()
    assert second in halvexcam.cameras()
    halvexcam.unplug(second)
    assert second not in halvexcam.cameras()


def test_product_ids_and_device_releases_name_models():
    name = halvexcam.simulate("0xE00C:0xA001")
    try:
        assert name.startswith("VDh694M1")
        assert halvexcam.Camera(name).product_id == 0xE00C
    finally:
        halvexcam.unplug(name)


@pytest.mark.parametrize("text", ["", "nonsense", "VAh200C1,VDh694M1", "0xD002"])
def test_simulate_refuses_what_names_no_supported_camera(text):
    before = halvexcam.cameras()
    with pytest.raises(ValueError):
        halvexcam.simulate(text)
    assert halvexcam.cameras() == before


@pytest.mark.parametrize("model", ["VAh131M1", "V3h5MC1"])
def test_simulate_names_a_model_the_library_never_takes_and_those_it_does(model):
    with pytest.raises(ValueError, match=model + "': this library does not take") as caught:
        halvexcam.simulate(model)
    assert "models that can be simulated: VAh1KC1, VAh500C1" in str(caught.value)


def test_unknown_cameras_are_lookup_errors(mono_name):
    with pytest.raises(LookupError):
        halvexcam.unplug("VXx000M1.9")
    with pytest.raises(halvexcam.CameraNotFoundError) as caught:
        halvexcam.Camera("VXx000M1.9")
    assert mono_name in str(caught.value)  # the message lists the cameras there are
    assert caught.value.status == -1 and isinstance(caught.value, halvexcam.CameraError)


def test_camera_without_a_name_is_the_first_one(mono_name):
    assert halvexcam.Camera().name == halvexcam.cameras()[0]


def test_hot_plug_messages_reach_the_pumping_thread():
    seen = []
    halvexcam.pump(0)  # drop what earlier tests left
    previous = halvexcam.on_change(lambda name, event: seen.append((name, event)))
    try:
        name = halvexcam.simulate(MONO)
        halvexcam.unplug(name)
        while (name, "removed") not in seen:
            assert halvexcam.pump(2000) > 0, "a hot-plug message did not come"
        assert [s for s in seen if s[0] == name] == [(name, "arrived"), (name, "removed")]
    finally:
        halvexcam.on_change(previous)


def test_a_failing_callback_keeps_the_messages_after_it():
    halvexcam.pump(0)
    calls = []

    def callback(name, event):
        calls.append((name, event))
        if len(calls) == 1:
            raise RuntimeError("callback failed")

    previous = halvexcam.on_change(callback)
    try:
        name = halvexcam.simulate(MONO)
        halvexcam.unplug(name)
        with pytest.raises(RuntimeError):
            while halvexcam.pump(2000):
                pass
        assert halvexcam.pump(2000) == 1
        assert calls == [(name, "arrived"), (name, "removed")]
    finally:
        halvexcam.on_change(previous)


def test_on_change_takes_callables_only():
    with pytest.raises(TypeError):
        halvexcam.on_change(42)

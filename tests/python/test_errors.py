# What a user meets when something is wrong: the error names the external, the message, the
# shape expected; nothing is half processed.
import numpy as np
import pytest

import tildekit
from tildekit import _tildekit
from conftest import noise


def test_unknown_external_lists_the_folders_searched():
    with pytest.raises(tildekit.ExternalError, match=r"nosuch~.*not found") as e:
        tildekit.Box("nosuch~")
    assert tildekit.search_paths()
    for folder in tildekit.search_paths():
        assert folder in str(e.value)


def test_wrong_creation_arguments_bring_the_externals_own_error():
    with pytest.warns(tildekit.ExternalWarning, match="calibrator: Error!Default calibration time: 5000 ms"):
        box = tildekit.Box("calibrator", 4)
    assert box.console == ["error: Error!Default calibration time: 5000 ms"]


def test_a_refused_box_raises_with_the_externals_lines():
    _tildekit._fail_nth_allocation(1)
    try:
        with pytest.raises(tildekit.ExternalError, match=r"brickwall~ refused to create the box 'brickwall~': .*out of memory") as e:
            tildekit.Box("brickwall~")
    finally:
        _tildekit._clear_allocation_faults()
    assert "error: brickwall~: out of memory" in e.value.console
    assert tildekit.Box("brickwall~").signal_outlets == 3  # nothing left behind


def test_messages_the_class_does_not_take():
    box = tildekit.Box("bandres~", 1000, 10)
    with pytest.raises(ValueError, match="bandres~ has no method 'ratio'"):
        box.send("ratio", 8)
    with pytest.raises(ValueError, match="has no inlet 5"):
        box.send(5, 1.0)
    with pytest.raises(ValueError, match="'dsp64' is called by the host"):
        box.send("dsp64")
    # a timed one is refused before anything runs
    with pytest.raises(ValueError, match="bandres~ has no method 'ratio'"):
        box(noise(256), messages=[(0.001, "ratio", 8)])
    assert box.position == 0
    # wrong arguments to a method it has: the host's error, as a warning; nothing called
    squash = tildekit.Box("stereosquash~")
    with pytest.warns(tildekit.ExternalWarning, match="ratio"):
        squash.send("ratio", "steep")


def test_timed_messages_that_miss_the_buffer_or_are_malformed():
    box = tildekit.Box("stereosquash~", block=64)
    x = noise(1000, 2)
    # 0.0205 s = sample 984, whose block boundary 1024 is past the end: it would never arrive
    with pytest.raises(ValueError, match=r"falls at or after the end of the 1000 frames.*sample 1024"):
        box(x, messages=[(0.0205, "Bypass", 1)])
    with pytest.raises(ValueError, match="whole number of samples"):
        box(x, messages=[("12.5s", "Bypass", 1)])
    with pytest.raises(ValueError, match="not a time in seconds"):
        box(x, messages=[(-1.0, "Bypass", 1)])
    with pytest.raises(TypeError, match="tuple"):
        box(x, messages=[0.5])
    with pytest.raises(ValueError, match="falls at or after the end of the 0 frames"):
        box(np.zeros((0, 2)), messages=[(0.0, "Bypass", 1)])
    assert box.position == 0
    assert box(x, messages=[(0.0199, "Bypass", 1)]).shape == (1000, 3)  # sample 956, boundary 960


def test_arrays_of_the_wrong_shape_type_or_layout():
    box = tildekit.Box("stereosquash~")
    with pytest.raises(ValueError, match=r"expected an array of shape \(frames, 3\), or \(frames, k\).*got shape \(10, 4\)"):
        box(np.zeros((10, 4)))
    with pytest.raises(ValueError, match=r"got shape \(2, 2, 2\)"):
        box(np.zeros((2, 2, 2)))
    with pytest.raises(ValueError, match="not C-contiguous"):
        box(np.zeros((10, 4))[:, :2])
    with pytest.raises(ValueError, match="not C-contiguous"):
        box(np.zeros((2, 10)).T)
    with pytest.raises(ValueError, match="float64 or float32 samples, got int16"):
        box(np.zeros((10, 2), dtype=np.int16))
    with pytest.raises(TypeError, match="numpy array"):
        box([0.0, 0.0])
    with pytest.raises(ValueError, match="dtype must be float64 or float32"):
        box(np.zeros((10, 2)), dtype=np.int32)
    # a control-only box takes a frame count or (frames, 0) only
    with pytest.raises(ValueError, match=r"shape \(frames, 0\): cutroute has no signal inlet"):
        tildekit.Box("cutroute")(np.zeros(10))
    assert box.position == 0
    # the first call fixes the inlets fed; another count is refused until reset
    box(np.zeros((64, 2)))
    with pytest.raises(ValueError, match=r"earlier calls fed 2 signal inlets.*\(frames, 2\).*got shape \(64,\)"):
        box(np.zeros(64))
    box.reset()
    assert box(np.zeros(64)).shape == (64, 3)


def test_creation_settings_out_of_range():
    with pytest.raises(ValueError, match="block 0 is out of range"):
        tildekit.Box("bandres~", block=0)
    with pytest.raises(ValueError, match="block 4097 is out of range"):
        tildekit.Box("bandres~", block=4097)
    with pytest.raises(ValueError, match="sample_rate 0 Hz is out of range"):
        tildekit.Box("bandres~", sample_rate=0)
    with pytest.raises(ValueError, match="sample_rate nan Hz"):
        tildekit.Box("bandres~", sample_rate=float("nan"))
    with pytest.raises(TypeError, match="creation argument: list"):
        tildekit.Box("bandres~", [1000])
    # the extreme settings themselves work
    for sr, block in [(1000, 1), (384000, 4096), (44100.5, 3)]:
        box = tildekit.Box("bandres~ 1000 10", sample_rate=sr, block=block)
        assert np.isfinite(box(noise(5000, seed=2))).all()

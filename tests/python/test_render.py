# A box processes exactly what `tilde render` processes: same samples, same block boundaries for
# messages, same events, in one call or across calls.
import json
import subprocess

import numpy as np
import pytest

import tildekit
from conftest import TILDE, needs_tilde, noise, render, same


def sweep_hz(frames, lo, hi):
    return np.geomspace(lo, hi, frames)


# (box text, input, sample rate, block, messages for tilde, the same messages for the box: sent
# before the first call, timed)
CASES = {
    "bandres-odd-rate-block": (
        "bandres~ 1000 10", noise(1001), 44100, 7,
        ["@0.01 1:2000.0"], [], [(0.01, 1, 2000.0)]),
    "bandres-signal-frequency": (
        "bandres~ 1000 4", np.column_stack([noise(3000, seed=2), sweep_hz(3000, 200.0, 5000.0)]), 48000, 64,
        ["@700s clear"], [], [("700s", "clear")]),
    "stereosquash-messages": (
        "stereosquash~", noise(9600, 2, amplitude=0.9, seed=3), 48000, 64,
        ["ratio 8", "attack 1", "@0.05 thresh -30", "@7000s Bypass 1"],
        [("ratio", 8), ("attack", 1)], [(0.05, "thresh", -30), "@7000s Bypass 1"]),
    "brickwall-big-block": (
        "brickwall~", noise(10000, 2, amplitude=3.0, seed=4), 96000, 4096,
        ["ceiling -3", "@4096s release 20"], [("ceiling", -3)], [("4096s", "release", 20)]),
}


@needs_tilde
@pytest.mark.parametrize("case", list(CASES))
def test_box_equals_tilde_render(tmp_path, case):
    text, x, sr, block, cli, sent, timed = CASES[case]
    want, _ = render(tmp_path, text, x, sr=sr, block=block, messages=cli)
    box = tildekit.Box(text, sample_rate=sr, block=block)
    for m in sent:
        box.send(*m)
    got = box(x, messages=timed)
    assert same(got, want)
    # the messages did something: without them the output differs
    plain = tildekit.Box(text, sample_rate=sr, block=block)(x)
    assert not np.array_equal(plain, want)


@needs_tilde
def test_nan_in_the_input_is_processed_as_tilde_processes_it(tmp_path):
    x = noise(2000, seed=5)
    x[100] = np.nan
    x[1500] = np.inf
    want, _ = render(tmp_path, "bandres~ 1000 10", x)
    got = tildekit.Box("bandres~", 1000, 10)(x)
    assert same(got, want)
    assert np.isnan(got).any()


def test_calls_continue_the_stream_with_messages_timed_from_each_call():
    x = noise(4096, 2, amplitude=0.9, seed=6)
    whole = tildekit.Box("stereosquash~")
    want = whole(x, messages=[("3000s", "thresh", -30)])
    box = tildekit.Box("stereosquash~")
    first = box(x[:1024])
    second = box(x[1024:], messages=[("1976s", "thresh", -30)])
    assert box.position == 4096
    assert same(np.vstack([first, second]), want)
    # reset forgets the state: the first part again gives the first output again
    box.reset()
    assert box.position == 0
    assert same(box(x[:1024]), first)


@needs_tilde
def test_float32_in_and_out(tmp_path):
    x = noise(5000, seed=7).astype(np.float32)
    box64 = tildekit.Box("bandres~", 1000, 10)
    box32 = tildekit.Box("bandres~", 1000, 10)
    wide = box64(x.astype(np.float64))
    narrow = box32(x, dtype=np.float32)
    assert narrow.dtype == np.float32
    assert same(narrow, wide.astype(np.float32))
    # the legacy float path: float32 samples through the class's `dsp` routine, as tilde --legacy
    want, _ = render(tmp_path, "bandres~ 1000 10", x.astype(np.float64), legacy=True, out_format="float")
    legacy = tildekit.Box("bandres~", 1000, 10, legacy=True)
    got = legacy(x, dtype="float32")
    assert same(got, want)
    assert not np.array_equal(got, narrow)  # it is another path indeed


def test_a_class_without_legacy_path_says_so():
    with pytest.warns(tildekit.ExternalWarning, match="no legacy 32-bit path"):
        box = tildekit.Box("stereosquash~", legacy=True)
    assert box(noise(64, 2)).shape == (64, 3)


@needs_tilde
def test_levelmeter_events_equal_tilde_render(tmp_path):
    t = np.arange(24000) / 48000.0
    x = 0.5 * np.sin(2 * np.pi * 440.0 * t) * (t > 0.2)
    _, want = render(tmp_path, "levelmeter~", x, audio=False)
    box = tildekit.Box("levelmeter~")
    out, events = box(x, events=True)
    assert out.shape == (24000, 0)
    assert events == want == box.events
    assert len(events) > 10
    # across two calls, each call's events count from its own first frame
    box2 = tildekit.Box("levelmeter~")
    box2(x[:12032])
    later = box2(x[12032:], events=True)[1]
    assert [(s + 12032, o, v) for s, o, v in later] == [e for e in want if e[0] >= 12032]


@needs_tilde
def test_cutroute_events(tmp_path):
    _, want = render(tmp_path, "cutroute 5", messages=["3", "5", "7.5", "1:2", "3"], frames=0, audio=False)
    box = tildekit.Box("cutroute", 5)
    got = [box.send(3), box.send(5), box.send(7.5), box.send(1, 2), box.send(3)]
    assert [e for events in got for e in events] == want
    # below the threshold to the left outlet, at or above it to the right
    assert [e[1] for e in got[0] + got[1] + got[2]] == [0, 1, 1]
    assert got[4] == [(0, 1, 3.0)]
    box.send(8, inlet=1)  # the inlet by keyword: threshold 8
    assert box.send(7.5) == [(0, 0, 7.5)]
    assert box.signal_inlets == 0 and box.signal_outlets == 0 and box.control_outlets == 2


def test_zero_frames_process_nothing():
    box = tildekit.Box("stereosquash~")
    out = box(np.zeros((0, 2)))
    assert out.shape == (0, 3) and out.dtype == np.float64
    assert box.position == 0
    assert box(np.zeros(0), dtype=np.float32).dtype == np.float32


@needs_tilde
def test_info_is_what_tilde_info_json_prints():
    info = tildekit.Box("bandres~", 1000, 10).info()
    # the file the package loads (the build's, or an installed package's own)
    printed = subprocess.run([TILDE, "--path", tildekit.search_paths()[0], "info", "--json", "bandres~"],
                             capture_output=True, text=True, check=True).stdout
    assert info == tildekit.info("bandres~") == json.loads(printed)
    assert info["name"] == "bandres~"
    assert info["instance"]["signal_inlets"] == 3
    assert info["instance"]["assist"]["inlets"][0] == "(signal) Input to be filtered"
    assert {"selector": "clear", "types": []} in info["methods"]

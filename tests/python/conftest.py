# Shared helpers: the module under test, `tilde render` to compare with, test signals.
import csv
import os
import subprocess

import numpy as np
import pytest

import tildekit

TILDE = os.environ.get("TILDEKIT_TILDE")
# Set by the wheel's test: the package under test is the one pip installed (tests/python/check_wheel.py)
INSTALLED = os.environ.get("TILDEKIT_TEST_INSTALLED") == "1"
needs_tilde = pytest.mark.skipif(not TILDE, reason="TILDEKIT_TILDE (the tilde command to compare with) is not set")


def noise(frames, channels=None, amplitude=0.5, seed=1):
    rng = np.random.default_rng(seed)
    shape = (frames,) if channels is None else (frames, channels)
    return amplitude * rng.uniform(-1.0, 1.0, shape)


def _event_value(kind, text):
    if kind == "bang":
        return None
    return int(text) if kind == "int" else float(text)


def render(tmp_path, text, x=None, *, sr=48000, block=64, messages=(), frames=None, legacy=False,
           out_format="double", audio=True):
    """`tilde render TEXT` on x (written as a double file); returns (outputs, events)."""
    cmd = [TILDE, "render", *text.split(), "--sr", repr(float(sr)), "--block", str(block), "-q",
           "--events", str(tmp_path / "events.csv")]
    if x is not None:
        tildekit.write(str(tmp_path / "in.wav"), x, sr, format="double")
        cmd += ["--in", str(tmp_path / "in.wav")]
    if frames is not None:
        cmd += ["--samples", str(frames)]
    if audio:
        cmd += ["--out", str(tmp_path / "out.wav"), "--format", out_format]
    if legacy:
        cmd.append("--legacy")
    for m in messages:
        cmd += ["-m", m]
    done = subprocess.run(cmd, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    out = None
    if audio:
        out, _ = tildekit.read(str(tmp_path / "out.wav"), dtype=np.float32 if out_format == "float" else None)
    with open(tmp_path / "events.csv", newline="") as f:
        events = [(int(r["sample"]), int(r["outlet"]), _event_value(r["kind"], r["value"])) for r in csv.DictReader(f)]
    return out, events


def same(a, b):
    """Bit for bit, NaN where NaN."""
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)

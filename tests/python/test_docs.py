# The worked example in docs/python.md runs as printed, on a folder of a mono, a stereo and a
# four-channel file.
import pathlib
import re
import subprocess
import sys

import numpy as np

import tildekit
from conftest import noise

DOC = pathlib.Path(__file__).resolve().parents[2] / "docs" / "python.md"


def test_the_folder_example_runs(tmp_path):
    script = re.search(r"```python\n(#!/usr/bin/python3\n.*?)```", DOC.read_text(), re.S).group(1)
    (tmp_path / "squash_folder.py").write_text(script)
    src = tmp_path / "takes"
    src.mkdir()
    loud = 0.95 * np.sin(2 * np.pi * 220 * np.arange(48000) / 48000)
    tildekit.write(str(src / "mono.wav"), loud, 48000)
    tildekit.write(str(src / "stereo.wav"), noise(22050, 2, amplitude=0.99), 44100, format="pcm16")
    tildekit.write(str(src / "quad.wav"), noise(1000, 4), 48000)
    done = subprocess.run([sys.executable, str(tmp_path / "squash_folder.py"), str(src), str(tmp_path / "out")],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "quad.wav: 4 channels, skipped" in done.stdout
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["mono.wav", "stereo.wav"]
    for name, frames, rate in [("mono.wav", 48000, 48000), ("stereo.wav", 22050, 44100)]:
        y, sr = tildekit.read(str(tmp_path / "out" / name))
        assert y.shape == (frames, 2) and sr == rate
        # limited to about the ceiling, and not silent
        assert 0.5 < np.max(np.abs(y)) < 10 ** (-0.2 / 20)

# Sound files through the tilde command's libsndfile code, and chains of boxes.
import os

import numpy as np
import pytest

import tildekit
from conftest import noise


def leftovers(folder):
    return [n for n in os.listdir(folder) if ".part-" in n]


def test_write_then_read(tmp_path):
    x = noise(1000, 2, amplitude=0.99, seed=21)
    for fmt, tolerance in [("double", 0.0), ("float", 1e-7), ("pcm24", 2.0**-23), ("pcm16", 2.0**-15)]:
        path = str(tmp_path / f"x-{fmt}.wav")
        tildekit.write(path, x, 44100, format=fmt)
        y, sr = tildekit.read(path)
        assert sr == 44100 and y.shape == (1000, 2) and y.dtype == np.float64
        assert np.max(np.abs(y - x)) <= tolerance, fmt
    narrow, _ = tildekit.read(str(tmp_path / "x-float.wav"), dtype=np.float32)
    assert narrow.dtype == np.float32 and np.array_equal(narrow, x.astype(np.float32))
    # mono from a 1-D array, any layout and dtype numpy can turn into samples
    tildekit.write(str(tmp_path / "mono.flac"), x[:, 1], 8000, format="pcm16")
    y, sr = tildekit.read(str(tmp_path / "mono.flac"))
    assert y.shape == (1000, 1) and sr == 8000
    tildekit.write(str(tmp_path / "t.wav"), np.asfortranarray(x), 48000, format="double")
    assert np.array_equal(tildekit.read(str(tmp_path / "t.wav"))[0], x)
    # integer formats clip instead of wrapping round
    tildekit.write(str(tmp_path / "loud.wav"), np.array([2.0, -2.0]), 48000, format="pcm16")
    assert np.all(np.abs(tildekit.read(str(tmp_path / "loud.wav"))[0]) > 0.99)
    assert not leftovers(tmp_path)


def test_a_failed_write_leaves_no_file_and_the_old_one_whole(tmp_path):
    path = tmp_path / "keep.wav"
    tildekit.write(str(path), np.zeros(10), 48000)
    before = path.read_bytes()
    with pytest.raises(ValueError, match="unknown sample format 'pcm8'"):
        tildekit.write(str(path), np.ones(10), 48000, format="pcm8")
    with pytest.raises(ValueError, match="cannot tell the sound file type"):
        tildekit.write(str(tmp_path / "x.nosuch"), np.ones(10), 48000)
    with pytest.raises(ValueError, match="cannot hold"):
        tildekit.write(str(tmp_path / "x.flac"), np.ones(10), 48000, format="double")
    # refused by libsndfile after the temporary file was made
    with pytest.raises(OSError, match="cannot write .*keep.wav.* with 5000 channels"):
        tildekit.write(str(path), np.ones((10, 5000)), 48000)
    with pytest.raises(OSError, match="no-such-folder"):
        tildekit.write(str(tmp_path / "no-such-folder" / "x.wav"), np.ones(10), 48000)
    assert path.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["keep.wav"]


def test_reading_what_is_not_there(tmp_path):
    with pytest.raises(FileNotFoundError, match="no such file"):
        tildekit.read(str(tmp_path / "missing.wav"))
    (tmp_path / "text.wav").write_text("not a sound file")
    with pytest.raises(OSError, match="cannot read"):
        tildekit.read(str(tmp_path / "text.wav"))


def test_chain_is_a_list_of_boxes():
    a, b, c = tildekit.Box("bandres~ 1000 10"), tildekit.Box("lowcut~"), tildekit.Box("highcut~")
    chain = tildekit.Chain([a])
    chain.append(c)
    chain.insert(1, b)
    assert list(chain) == [a, b, c] and len(chain) == 3
    assert isinstance(chain[1:], tildekit.Chain) and list(chain[1:]) == [b, c]
    assert chain[-1] is c
    del chain[0]
    assert list(chain) == [b, c]
    chain[0] = a
    assert list(chain) == [a, c]
    with pytest.raises(TypeError, match="tildekit.Box or Chain objects, not str"):
        chain.append("lowcut~")
    assert "tildekit.Chain([tildekit.Box('bandres~ 1000 10'" in repr(chain)


def test_chain_runs_its_boxes_in_series():
    x = noise(4800, 2, amplitude=0.9, seed=22)
    def pair(ratio=None):
        squash, wall = tildekit.Box("stereosquash~"), tildekit.Box("brickwall~")
        if ratio:
            squash.send("thresh", -20)
            squash.send("ratio", ratio)
        return squash, wall

    squash, wall = pair(8)
    chain = tildekit.Chain([squash, wall])
    y = chain(x, dtype=np.float32)
    # by hand: stereosquash~'s two audio outlets (not its third) into brickwall~
    s2, w2 = pair(8)
    want = w2(np.ascontiguousarray(s2(x)[:, :2]), dtype=np.float32)
    assert y.dtype == np.float32 and y.shape == (4800, 3) and np.array_equal(y, want)
    # state carries on in the chain too, and a chain can hold a chain
    outer = tildekit.Chain([chain])
    assert np.array_equal(outer(x), w2(np.ascontiguousarray(s2(x)[:, :2])))
    # reset: every box as created, the messages sent to them forgotten
    outer.reset()
    s3, w3 = pair()
    plain = w3(np.ascontiguousarray(s3(x)[:, :2]))
    assert np.array_equal(outer(x), plain)
    assert not np.array_equal(plain.astype(np.float32), y)
    assert np.array_equal(tildekit.Chain()(x), x)

"""The tildekit externals as Python effects on numpy arrays.

    import tildekit
    box = tildekit.Box("bandres~", 1000, 10, sample_rate=48000)
    y = box(x)                       # x: (frames,) or (frames, inlets) -> (frames, outlets)
    chain = tildekit.Chain([tildekit.Box("stereosquash~"), tildekit.Box("brickwall~")])
    audio, sr = tildekit.read("in.wav")
    tildekit.write("out.wav", chain(audio)[:, :2], sr)

Boxes run on the headless host, block by block, as `tilde render` runs them; the interpreter
lock is released while they run.
"""

import os as _os
from collections.abc import MutableSequence

try:
    import numpy as _np
except ImportError as _e:
    raise ImportError(
        "tildekit needs numpy, which this Python cannot import "
        f"({_e}): `pip install numpy`, or Debian's python3-numpy in a virtual environment "
        "made with --system-site-packages"
    ) from _e

from ._tildekit import (  # noqa: F401
    Box,
    ExternalError,
    ExternalWarning,
    __version__,
    add_search_path,
    info,
    read,
    search_paths,
    set_search_paths,
    write,
)

# The externals this copy of the package runs (the build's, the prefix's or the wheel's own,
# relative to this folder or absolute) come first, then TILDEKIT_PATH's folders.
try:
    from ._externals import EXTERNALS as _externals
except ImportError:
    _externals = None
if _externals:
    _externals = _os.path.normpath(_os.path.join(_os.path.dirname(_os.path.abspath(__file__)), _externals))
    if _os.path.isdir(_externals):
        set_search_paths([_externals] + [p for p in search_paths() if p != _externals])

__all__ = [
    "Box",
    "Chain",
    "ExternalError",
    "ExternalWarning",
    "add_search_path",
    "info",
    "read",
    "search_paths",
    "set_search_paths",
    "write",
]


class Chain(MutableSequence):
    """Boxes in series, used like a list: append, insert, del, slicing (a slice is a Chain).

    chain(x) runs x through every box in turn. Each box gets as many of the previous box's
    outputs, from the left, as it has signal inlets; the rest (a gain or meter outlet, say) are
    not passed on. The result has the last box's signal outlets as columns.
    """

    def __init__(self, boxes=()):
        self._boxes = []
        for b in boxes:
            self.append(b)

    @staticmethod
    def _check(item):
        if not isinstance(item, (Box, Chain)):
            raise TypeError(f"a Chain holds tildekit.Box or Chain objects, not {type(item).__name__}")
        return item

    def __getitem__(self, index):
        if isinstance(index, slice):
            return Chain(self._boxes[index])
        return self._boxes[index]

    def __setitem__(self, index, value):
        if isinstance(index, slice):
            self._boxes[index] = [self._check(v) for v in value]
        else:
            self._boxes[index] = self._check(value)

    def __delitem__(self, index):
        del self._boxes[index]

    def __len__(self):
        return len(self._boxes)

    def insert(self, index, value):
        self._boxes.insert(index, self._check(value))

    def __repr__(self):
        return "tildekit.Chain([" + ", ".join(repr(b) for b in self._boxes) + "])"

    @property
    def signal_inlets(self):
        return self._boxes[0].signal_inlets if self._boxes else 0

    @property
    def signal_outlets(self):
        return self._boxes[-1].signal_outlets if self._boxes else 0

    def reset(self):
        """Resets every box."""
        for b in self._boxes:
            b.reset()

    def __call__(self, x, *, dtype=None):
        """Runs x through the boxes in turn; float64 between them, dtype (float64 or float32) at the end."""
        if not self._boxes:
            y = _np.array(x, dtype=dtype or _np.float64)
            return y.reshape(len(y), -1) if y.ndim == 1 else y
        y = x
        last = len(self._boxes) - 1
        for i, b in enumerate(self._boxes):
            if isinstance(y, _np.ndarray) and y.ndim == 2 and y.shape[1] > b.signal_inlets:
                y = _np.ascontiguousarray(y[:, : b.signal_inlets])
            y = b(y, dtype=dtype) if i == last else b(y)
        return y

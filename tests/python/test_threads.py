# The interpreter lock is released while blocks run; a box is used by one thread at a time.
import threading
import time

import numpy as np
import pytest

import tildekit
from conftest import noise


def run_in_thread(fn):
    out = {}

    def work():
        try:
            out["value"] = fn()
        except BaseException as e:  # handed to the test
            out["error"] = e

    t = threading.Thread(target=work)
    t.start()
    return t, out


def test_a_box_in_use_by_another_thread_raises_and_keeps_its_state():
    x = noise(20 * 48000, 2, amplitude=0.9, seed=11)
    box = tildekit.Box("stereosquash~")
    box.send("ratio", 8)
    t, out = run_in_thread(lambda: box(x))
    deadline = time.monotonic() + 30
    while not box.busy and t.is_alive() and time.monotonic() < deadline:
        time.sleep(0.0005)
    # the call runs without the interpreter lock, or this thread could not look
    assert box.busy, "the other thread's call was never seen running"
    with pytest.raises(RuntimeError, match=r"tildekit.Box 'stereosquash~' is in use by another thread"):
        box(x[:64])
    with pytest.raises(RuntimeError, match="in use by another thread"):
        box.send("ratio", 2)
    with pytest.raises(RuntimeError, match="in use by another thread"):
        box.reset()
    t.join()
    assert "error" not in out
    fresh = tildekit.Box("stereosquash~")
    fresh.send("ratio", 8)
    assert np.array_equal(out["value"], fresh(x))
    assert not box.busy
    assert box(x[:64]).shape == (64, 3)  # free again


@pytest.mark.skip(reason="the host keeps logical time, clocks and the symbol and object tables in process-wide "
                         "state shared by every patch, so patches on two threads at once are not safe yet")
def test_two_boxes_in_two_threads_run_in_parallel():
    x = noise(10 * 48000, 2, amplitude=0.9, seed=12)
    boxes = [tildekit.Box("stereosquash~"), tildekit.Box("stereosquash~")]
    tildekit.Box("stereosquash~")(x[:4800])  # class loaded, caches warm
    alone = tildekit.Box("stereosquash~")
    start = time.perf_counter()
    want = alone(x)
    one = time.perf_counter() - start
    start = time.perf_counter()
    threads = [run_in_thread(lambda b=b: b(x)) for b in boxes]
    for t, _ in threads:
        t.join()
    two = time.perf_counter() - start
    for _, out in threads:
        assert "error" not in out
        assert np.array_equal(out["value"], want)
    assert two < 1.6 * one, f"two threads took {two:.3f} s, one {one:.3f} s"

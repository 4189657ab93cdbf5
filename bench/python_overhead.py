#!/usr/bin/python3
"""What the Python module costs over the host's embedding API, and what it saves over the command.

1. Per call: a 1 s stereo buffer through stereosquash~, box(x) against the same run through the
   embedding API in C++ (feed, run, outlets tapped into buffers; timed inside the module), best of many
   alternating rounds in CPU time of the thread (other processes on a busy machine do not count);
   the difference is the module's overhead, given as a share of the API run, which is the
   external's cost and the host's.
2. A folder of 100 one-second stereo files through stereosquash~ -> stereoplace~ -> brickwall~:
   a Chain in one process (read, reset, process, write each file) against the tilde command per
   file: three `tilde render` runs chained through files (the dropping of the extra outlet
   between them not counted), and one `tilde run` of the same patch.

Run from the top of the tree with Debian's interpreter:
    PYTHONPATH=build/x64/python /usr/bin/python3 bench/python_overhead.py [--build build/x64]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import tildekit
from tildekit import _tildekit

SR = 48000
CHAIN = [("stereosquash~", [("thresh", -20), ("ratio", 4)]), ("stereoplace~", [("pan", 0.3)]), ("brickwall~", [("ceiling", -1)])]


def per_call(rounds):
    x = np.ascontiguousarray(np.random.default_rng(1).uniform(-0.9, 0.9, (SR, 2)))
    box = tildekit.Box("stereosquash~", sample_rate=SR)
    api_run = _tildekit._EmbeddingRun("stereosquash~", SR, 64, x)
    box(x)  # loaded, compiled, caches warm
    api_run.run()
    py, api = [], []
    for _ in range(rounds):  # alternating, so that a busy moment of the machine hits both alike
        t = time.thread_time()
        box(x)
        py.append(time.thread_time() - t)
        api.append(api_run.run())
    best_py, best_api = min(py), min(api)
    return {
        "python_call_s": best_py,
        "embedding_api_call_s": best_api,
        "overhead_s": best_py - best_api,
        "overhead_share": (best_py - best_api) / best_api,
        "python_median_s": float(np.median(py)),
        "embedding_api_median_s": float(np.median(api)),
    }


def patch_file(path):
    """The chain as a patcher for `tilde run`: adc~ 1 2 -> the three boxes -> dac~ 1 2; returns
    the -m options that send each box its settings."""
    boxes, lines, messages = [], [], []

    def add(text, n_in, n_out):
        bid = f"obj-{len(boxes) + 1}"
        boxes.append({"box": {"id": bid, "maxclass": "newobj", "numinlets": n_in, "numoutlets": n_out,
                              "outlettype": ["signal"] * n_out, "patching_rect": [20.0, 40.0 * len(boxes), 120.0, 22.0],
                              "text": text}})
        return bid

    prev = add("adc~ 1 2", 1, 2)
    for name, msgs in CHAIN:
        b = add(name, 3, 3)
        for k in range(2):
            lines.append({"patchline": {"source": [prev, k], "destination": [b, k]}})
        for sel, val in msgs:
            messages += ["-m", f"{b} {sel} {val}"]
        prev = b
    dac = add("dac~ 1 2", 2, 0)
    for k in range(2):
        lines.append({"patchline": {"source": [prev, k], "destination": [dac, k]}})
    with open(path, "w") as f:
        json.dump({"patcher": {"fileversion": 1, "boxes": boxes, "lines": lines}}, f)
    return messages


def folder(tilde, files, workdir):
    src = os.path.join(workdir, "in")
    os.makedirs(src)
    rng = np.random.default_rng(2)
    names = []
    for i in range(files):
        name = os.path.join(src, f"take{i:03d}.wav")
        tildekit.write(name, rng.uniform(-0.9, 0.9, (SR, 2)), SR)
        names.append(name)
    results = {}

    out = os.path.join(workdir, "py")
    os.makedirs(out)
    t = time.perf_counter()
    chain = tildekit.Chain([tildekit.Box(n, sample_rate=SR) for n, _ in CHAIN])
    for name in names:
        chain.reset()  # every file from a fresh state, as a new process starts
        for box, (_, msgs) in zip(chain, CHAIN):
            for m in msgs:
                box.send(*m)
        x, sr = tildekit.read(name)
        y = chain(x)
        tildekit.write(os.path.join(out, os.path.basename(name)), np.ascontiguousarray(y[:, :2]), sr)
    results["python_chain_s"] = time.perf_counter() - t
    if not tilde:
        return results

    # three renders per file; between them the extra outlet (gain, meter) is dropped, in double
    # precision, outside the time taken
    out = os.path.join(workdir, "render")
    os.makedirs(out)
    spent, stripping = 0.0, 0.0
    for name in names:
        cur = name
        for k, (n, msgs) in enumerate(CHAIN):
            nxt = os.path.join(out, f"{k}-{os.path.basename(name)}")
            cmd = [tilde, "render", n, "--in", cur, "--out", nxt, "--format", "double", "-q"]
            for sel, val in msgs:
                cmd += ["-m", f"{sel} {val}"]
            t = time.perf_counter()
            subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
            spent += time.perf_counter() - t
            t = time.perf_counter()
            y, sr = tildekit.read(nxt)
            tildekit.write(nxt, np.ascontiguousarray(y[:, :2]), sr, format="double")
            stripping += time.perf_counter() - t
            cur = nxt
    results["tilde_render_x3_s"] = spent
    results["channel_stripping_s"] = stripping
    y, _ = tildekit.read(cur, dtype=np.float32)
    mine, _ = tildekit.read(os.path.join(workdir, "py", os.path.basename(names[-1])), dtype=np.float32)
    results["render_equals_chain"] = bool(np.array_equal(y, mine))

    patch = os.path.join(workdir, "chain.maxpat")
    settings = patch_file(patch)
    out = os.path.join(workdir, "run")
    os.makedirs(out)
    t = time.perf_counter()
    for name in names:
        subprocess.run([tilde, "run", patch, "--in", name, "--out", os.path.join(out, os.path.basename(name)), "-q",
                        *settings], check=True, stdout=subprocess.DEVNULL)
    results["tilde_run_s"] = time.perf_counter() - t
    y, _ = tildekit.read(os.path.join(out, os.path.basename(names[-1])), dtype=np.float32)
    results["run_equals_chain"] = bool(np.array_equal(y, mine))
    return results


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build/x64", help="build folder whose tools/tilde to compare with")
    ap.add_argument("--rounds", type=int, default=40, help="rounds of the per-call measurement")
    ap.add_argument("--files", type=int, default=100, help="files in the folder")
    ap.add_argument("--json", help="also write the figures to this file")
    a = ap.parse_args()
    tilde = os.path.join(a.build, "tools", "tilde")
    if not os.access(tilde, os.X_OK):
        print(f"python_overhead: no {tilde}; the folder is timed through Python only", file=sys.stderr)
        tilde = None

    call = per_call(a.rounds)
    print("| measurement | time | |")
    print("|---|---|---|")
    print(f"| 1 s stereo through stereosquash~: embedding API (C++) | {call['embedding_api_call_s'] * 1e3:.3f} ms | "
          f"best of {a.rounds} (median {call['embedding_api_median_s'] * 1e3:.3f} ms) |")
    print(f"| the same through tildekit.Box | {call['python_call_s'] * 1e3:.3f} ms | "
          f"best of {a.rounds} (median {call['python_median_s'] * 1e3:.3f} ms) |")
    print(f"| overhead per call | {call['overhead_s'] * 1e6:.1f} us | {call['overhead_share'] * 100:.2f} % of the external's cost |")
    work = tempfile.mkdtemp(prefix="tildekit-bench-")
    try:
        fold = folder(tilde, a.files, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    n = a.files
    print(f"| {n} files x 1 s stereo, Chain of 3 in one process | {fold['python_chain_s']:.2f} s | {fold['python_chain_s'] / n * 1e3:.1f} ms per file |")
    if "tilde_render_x3_s" in fold:
        r, run = fold["tilde_render_x3_s"], fold["tilde_run_s"]
        print(f"| the same, 3 x tilde render per file | {r:.2f} s | {r / n * 1e3:.1f} ms per file, {r / fold['python_chain_s']:.1f} x the Chain's |")
        print(f"| the same, 1 x tilde run of the patch per file | {run:.2f} s | {run / n * 1e3:.1f} ms per file, {run / fold['python_chain_s']:.1f} x the Chain's |")
        print(f"| outputs equal the Chain's (render, run) | {fold['render_equals_chain']}, {fold['run_equals_chain']} | |")
    if a.json:
        with open(a.json, "w") as f:
            json.dump({"per_call": call, "folder": fold, "files": n}, f, indent=2)


if __name__ == "__main__":
    main()

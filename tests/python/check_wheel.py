#!/usr/bin/python3
"""The wheel as a Python user gets it: built by pip from the source tree (reusing the CMake tree
BUILD), its contents checked, installed into a new virtual environment in WORK, the Python tests
run there against the installed package, then uninstalled without a trace. Also: the package
without numpy, and a build with no cmake on PATH.

check_wheel.py --source SRC --build BUILD --work WORK --tilde TILDE [--user-external FILE]
"""

import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import time
import zipfile

failures = []
SUBSYSTEMS = ("filters", "utilities", "dynamics", "equalisers", "spatial", "calibration")


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def run(cmd, *, env=None, cwd=None, expect=0):
    started = time.monotonic()
    done = subprocess.run([str(c) for c in cmd], env=env, cwd=cwd, capture_output=True, text=True)
    print(f"$ {' '.join(str(c) for c in cmd)}  ({time.monotonic() - started:.1f} s, exit {done.returncode})", flush=True)
    if expect is not None and done.returncode != expect:
        sys.stdout.write(done.stdout[-6000:] + done.stderr[-6000:])
        sys.exit(f"check_wheel: the command above exited with {done.returncode}, not {expect}")
    return done


def venv_files(venv):
    return {str(p.relative_to(venv)) for p in venv.rglob("*") if not p.is_dir()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True, type=pathlib.Path)
    ap.add_argument("--build", required=True, type=pathlib.Path)
    ap.add_argument("--work", required=True, type=pathlib.Path)
    ap.add_argument("--tilde", required=True)
    ap.add_argument("--user-external", help="an external the wheel does not carry, to find through TILDEKIT_PATH")
    a = ap.parse_args()
    source, build, work = a.source.resolve(), a.build.resolve(), a.work.resolve()
    started = time.monotonic()
    if work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True)

    # The environment of a user's shell: nothing pointing into the trees, no pip cache or index.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "TILDEKIT_", "PIP_"))}
    env.update(PIP_NO_CACHE_DIR="1", PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INDEX="1", PYTHONDONTWRITEBYTECODE="1")

    venv = work / "venv"
    run([sys.executable, "-m", "venv", "--system-site-packages", venv], env=env)
    py = venv / "bin" / "python"
    before = venv_files(venv)

    # --- the wheel, built by pip from the source tree, the CMake tree reused
    dist = work / "dist"
    run([py, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", dist, source],
        env=dict(env, TILDEKIT_CMAKE_BUILD_DIR=str(build)), cwd=work)
    wheels = list(dist.glob("*.whl"))
    version = re.search(r'#define TILDEKIT_VERSION "([0-9.]+)"', (source / "frame/tildekit.h").read_text()).group(1)
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    name = f"tildekit-{version}-{tag}-{tag}-linux_x86_64.whl"
    check([w.name for w in wheels] == [name], f"one wheel, {name} (found {[w.name for w in wheels]})")
    wheel = dist / name
    with zipfile.ZipFile(wheel) as z:
        entries = z.namelist()
        unpacked = work / "unpacked"
        z.extractall(unpacked)
    print(f"wheel: {wheel.name}, {wheel.stat().st_size / 1e6:.2f} MB, {len(entries)} files")
    for e in sorted(entries):
        if "/externals/" not in e:
            print("   ", e)
    externals = sorted(e for e in entries if e.startswith("tildekit/externals/"))
    print(f"    tildekit/externals/: {len(externals)} files")

    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    for want in ["tildekit/__init__.py", "tildekit/_externals.py", f"tildekit/_tildekit{suffix}",
                 "tildekit/lib/tildekit/libMaxAPI.so", "tildekit/lib/tildekit/libMaxAudio.so",
                 "tildekit/lib/tildekit/libtildehost.so"]:
        check(want in entries, f"the wheel holds {want}")
    # one external per source in the subsystem folders, as CMakeLists.txt globs them (31)
    sources = sorted(p.stem.replace("_tilde", "~") for d in SUBSYSTEMS for p in (source / d).glob("*.cpp"))
    check(sorted(e[len("tildekit/externals/"):-len(".mxe64")] for e in externals) == sources,
          f"the {len(sources)} externals in tildekit/externals/ ({len(externals)})")
    tops = {e.split("/")[0] for e in entries}
    check(tops == {"tildekit", f"tildekit-{version}.dist-info"}, f"nothing beside the package and its dist-info ({sorted(tops)})")
    meta = (unpacked / f"tildekit-{version}.dist-info" / "METADATA").read_text()
    check("Requires-Dist: numpy" in meta, "the metadata requires numpy")
    check("Root-Is-Purelib: false" in (unpacked / f"tildekit-{version}.dist-info" / "WHEEL").read_text(),
          "a platform wheel (Root-Is-Purelib: false)")

    # no path of the machine that built it: RPATHs relative to $ORIGIN, no tree in any string
    trees = sorted({str(source), str(build), os.path.realpath(source), os.path.realpath(build)})
    binaries = [p for p in unpacked.rglob("*") if p.is_file() and p.read_bytes()[:4] == b"\x7fELF"]
    check(len(binaries) == 4 + len(sources), f"ELF files: the module, 3 libraries, the externals ({len(binaries)})")
    for p in binaries:
        rel = p.relative_to(unpacked)
        dyn = run(["readelf", "-d", p]).stdout
        rpaths = re.findall(r"\((?:RPATH|RUNPATH)\)\s+Library (?:rpath|runpath): \[(.*)\]", dyn)
        check(len(rpaths) == 1 and all(d.startswith("$ORIGIN") for d in rpaths[0].split(":")),
              f"{rel}: RPATH {rpaths}")
        strings = run(["strings", "-a", p]).stdout
        leaks = sorted(t for t in trees if t in strings)
        check(not leaks, f"{rel}: no build or source path in its strings {leaks or ''}")
    for p in unpacked.rglob("*.py"):
        text = p.read_text()
        check(not any(t in text for t in trees), f"{p.relative_to(unpacked)}: no build or source path")

    # --- installed into the new environment; the tests run there, from outside the trees
    run([py, "-m", "pip", "install", wheel], env=env, cwd=work)
    shown = run([py, "-m", "pip", "show", "-f", "tildekit"], env=env, cwd=work).stdout
    check(f"Version: {version}" in shown, f"pip show: version {version}")
    runs = work / "run"
    runs.mkdir()
    test_env = dict(env, TILDEKIT_TILDE=a.tilde, TILDEKIT_TEST_INSTALLED="1")
    if a.user_external:
        test_env["TILDEKIT_TEST_USER_EXTERNAL"] = a.user_external
    tests = run([py, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rs", source / "tests" / "python"],
                env=test_env, cwd=runs, expect=None)
    sys.stdout.write(tests.stdout[-4000:] + tests.stderr[-2000:])
    check(tests.returncode == 0, "the Python tests pass against the installed package")

    # --- without numpy: a bare environment (no system site packages) holding only the package
    bare = work / "bare"
    run([sys.executable, "-m", "venv", "--without-pip", bare], env=env)
    site = run([bare / "bin" / "python", "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"]).stdout.strip()
    run([py, "-m", "pip", "install", "--no-deps", "--target", site, wheel], env=env, cwd=work)
    no_numpy = run([bare / "bin" / "python", "-c", "import tildekit"], env=env, cwd=runs, expect=None)
    last = (no_numpy.stderr.strip().splitlines() or [""])[-1]
    check(no_numpy.returncode != 0 and last.startswith("ImportError: tildekit needs numpy") and "pip install numpy" in last,
          f"without numpy: {last}")

    # --- uninstalled: the environment's files as before the install
    run([py, "-m", "pip", "uninstall", "-y", "tildekit"], env=env, cwd=work)
    after = venv_files(venv)
    check(after == before, f"pip uninstall leaves nothing behind (added {sorted(after - before)[:5]}, "
                           f"removed {sorted(before - after)[:5]})")

    # --- a build with no cmake on PATH fails with pip's error naming it
    nocmake = work / "nocmake-bin"
    nocmake.mkdir()
    for tool in ("c++", "g++", "ninja"):  # everything but cmake
        if shutil.which(tool):
            os.symlink(shutil.which(tool), nocmake / tool)
    failed = run([py, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", work / "nocmake", source],
                 env=dict(env, PATH=str(nocmake), TILDEKIT_CMAKE_BUILD_DIR=str(build)), cwd=work, expect=None)
    out = failed.stdout + failed.stderr
    check(failed.returncode != 0 and "error: tildekit's build needs CMake" in out and "no cmake on PATH" in out,
          "no cmake: pip fails naming CMake")
    check(not list((work / "nocmake").glob("*.whl")) if (work / "nocmake").exists() else True, "no cmake: no wheel")

    print(f"check_wheel: {time.monotonic() - started:.0f} s, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

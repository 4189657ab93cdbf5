# The package pip installed from the wheel runs on its own: its module, the host libraries and
# the externals come from its own folder, whatever trees the machine has; a user's own externals
# are found through TILDEKIT_PATH. (Run by tests/python/check_wheel.py, skipped otherwise.)
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

import tildekit
from conftest import INSTALLED, noise

pytestmark = pytest.mark.skipif(not INSTALLED, reason="the package under test is the build tree's, not an installed one")

PACKAGE = pathlib.Path(tildekit.__file__).resolve().parent
SOURCE = pathlib.Path(__file__).resolve().parents[2]


def ours(maps_text):
    """The files of the package's kind a process has mapped."""
    files = {line.split(None, 5)[5].strip() for line in maps_text.splitlines() if len(line.split(None, 5)) == 6}
    return sorted(f for f in files if re.search(r"(libMaxAPI|libMaxAudio|libtildehost|_tildekit\.|\.mxe64$)", f))


def test_the_package_is_the_installed_one():
    assert "PYTHONPATH" not in os.environ and "TILDEKIT_PATH" not in os.environ
    assert PACKAGE == pathlib.Path(sysconfig.get_paths()["platlib"]).resolve() / "tildekit"
    assert pathlib.Path(tildekit._tildekit.__file__).resolve().parent == PACKAGE
    assert tildekit.search_paths() == [str(PACKAGE / "externals")]
    header = (SOURCE / "frame" / "tildekit.h").read_text()
    assert tildekit.__version__ == re.search(r'#define TILDEKIT_VERSION "([0-9.]+)"', header).group(1)


def test_everything_it_loads_comes_from_its_folder():
    chain = tildekit.Chain([tildekit.Box("stereosquash~"), tildekit.Box("brickwall~")])
    assert chain(noise(512, 2)).shape == (512, 3)
    mapped = ours(pathlib.Path("/proc/self/maps").read_text())
    names = {os.path.basename(f) for f in mapped}
    assert {"libMaxAPI.so", "libMaxAudio.so", "libtildehost.so", "stereosquash~.mxe64", "brickwall~.mxe64"} <= names
    outside = [f for f in mapped if not pathlib.Path(f).resolve().is_relative_to(PACKAGE)]
    assert not outside


def test_an_unknown_external_names_the_packages_folder():
    with pytest.raises(tildekit.ExternalError, match="nosuch~") as e:
        tildekit.Box("nosuch~")
    assert str(PACKAGE / "externals") in str(e.value)


def test_a_users_external_through_TILDEKIT_PATH(tmp_path):
    given = os.environ.get("TILDEKIT_TEST_USER_EXTERNAL")
    if not given:
        pytest.skip("TILDEKIT_TEST_USER_EXTERNAL (an external the wheel does not carry) is not set")
    mine = tmp_path / "mine"
    mine.mkdir()
    shutil.copy(given, mine)
    name = pathlib.Path(given).stem
    assert not (PACKAGE / "externals" / pathlib.Path(given).name).exists()
    script = (f"import pathlib, tildekit; print(tildekit.search_paths()); b = tildekit.Box({name!r}); "
              "print(b.signal_inlets, b.signal_outlets); print(pathlib.Path('/proc/self/maps').read_text())")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=dict(os.environ, TILDEKIT_PATH=f"{mine}:{tmp_path / 'absent'}"))
    assert done.returncode == 0, done.stderr
    paths, _, maps = done.stdout.split("\n", 2)
    assert paths == repr([str(PACKAGE / "externals"), str(mine), str(tmp_path / "absent")])
    assert str(mine / pathlib.Path(given).name) in ours(maps)

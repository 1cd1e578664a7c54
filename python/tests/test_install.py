"""python3 -c "import kelvo; ..." reads a parameter from the build tree and
from a tree installed with cmake --install."""

import os
import subprocess
import sys

import pytest

import kelvo

READ = (
    "import kelvo, sys; "
    "dev = kelvo.connect(sys.argv[1]); "
    "print(kelvo.__file__, dev.read(0x1004, 0, 'i4'))"
)


@pytest.mark.parametrize("tree", ["build", "install"])
def test_import_and_read_from_a_fresh_interpreter(sim, tree, tmp_path):
    path = os.path.dirname(os.path.dirname(kelvo.__file__))
    if tree == "install":
        build = os.environ.get("KELVO_BUILD_DIR", os.path.dirname(path))
        subprocess.run(
            [os.environ.get("KELVO_CMAKE", "cmake"), "--install", build,
             "--prefix", str(tmp_path), "--component", "python"],
            check=True, stdout=subprocess.DEVNULL,
        )
        path = str(next(tmp_path.glob("lib/python3*/dist-packages")))
    env = dict(os.environ, PYTHONPATH=path)
    run = subprocess.run([sys.executable, "-c", READ, sim.text()], env=env, cwd=tmp_path,
                         capture_output=True, text=True, check=True)
    where, value = run.stdout.split()
    assert where.startswith(path) and value == "-123456"

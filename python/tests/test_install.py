"""python3 -c "import kelvo; ..." reads a parameter from a tree installed with
cmake --install (every other test imports the build tree's package)."""

import os
import subprocess
import sys

import kelvo

READ = (
    "import kelvo, sys; "
    "dev = kelvo.connect(sys.argv[1]); "
    "print(kelvo.__file__, dev.read(0x1004, 0, 'i4'))"
)


def test_import_and_read_from_an_installed_tree(sim, tmp_path):
    package = os.path.dirname(os.path.dirname(kelvo.__file__))
    build = os.environ.get("KELVO_BUILD_DIR", os.path.dirname(package))
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

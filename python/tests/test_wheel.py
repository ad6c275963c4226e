"""The wheel with a library inside: pip installs it into a virtual
environment without network, and the installed package streams with its
own library, with no VARNEL_LIBRARY; VARNEL_LIBRARY still overrides it."""

import importlib.util
import json
import os
import platform
import subprocess
import sys

import pytest

import varnel
from conftest import PYTHON_DIR


def run(command, **kwargs):
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True, **kwargs)
    assert result.returncode == 0, "{}\n{}\n{}".format(" ".join(map(str, command)), result.stdout, result.stderr)
    return result


# Run by the installed package: connects, reads a few packages and tells
# where the package and its library are.
PROBE = """
import json, sys, varnel
numbers, first_samples = [], []
if len(sys.argv) > 1:
    with varnel.Board(sys.argv[1], package_counter=5, tcp_timeout=5) as board:
        batch = board.read(20, timeout=10)
        numbers, first_samples = batch.header_values.tolist(), batch.samples[:, 0, 0].tolist()
print(json.dumps([varnel.__file__, varnel.library_path(), numbers, first_samples]))
"""


def test_installed_wheel_streams_with_the_library_it_carries(start_board, tmp_path):
    library = os.environ.get("VARNEL_LIBRARY")
    if not library:
        pytest.skip("VARNEL_LIBRARY is not set")
    for module in ("build", "wheel"):
        if importlib.util.find_spec(module) is None:
            pytest.skip("python3-{} is not installed".format(module))
    env = {k: v for k, v in os.environ.items() if k not in ("VARNEL_LIBRARY", "PYTHONPATH", "PYTHONHOME")}
    env.update(PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1", PYTHONDONTWRITEBYTECODE="1")

    made = run([sys.executable, PYTHON_DIR / "make_wheel.py", "--library", library, "--outdir", tmp_path / "dist"],
               env=env, timeout=300)
    wheel = made.stdout.strip().splitlines()[-1]
    assert os.path.basename(wheel) == "varnel-{}-py3-none-linux_{}.whl".format(varnel.__version__, platform.machine())

    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--system-site-packages", venv], env=env, timeout=180)
    python = venv / "bin" / "python"
    run([python, "-m", "pip", "install", "--no-index", wheel], env=env, cwd=tmp_path, timeout=300)

    board = start_board("--channels", 1, "--samples", 8, "--signal", "0=counter", "--rate", 500)
    result = run([python, "-c", PROBE, board.address], env=env, cwd=tmp_path, timeout=60)
    module_file, loaded, numbers, first_samples = json.loads(result.stdout)
    installed = os.path.dirname(module_file)
    assert os.path.realpath(installed).startswith(os.path.realpath(venv))
    assert os.path.dirname(loaded) == installed
    assert numbers and first_samples == [n * 8 for n in numbers]

    result = run([python, "-c", PROBE], env=dict(env, VARNEL_LIBRARY=library), cwd=tmp_path, timeout=60)
    assert json.loads(result.stdout)[1] == os.path.abspath(library)

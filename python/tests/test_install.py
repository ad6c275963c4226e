"""pip installs the package into a virtual environment, without network,
and the installed package finds a library copied into it."""

import json
import os
import shutil
import subprocess
import sys

import pytest

from conftest import PYTHON_DIR
from varnel import _library


def run(command, **kwargs):
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True, **kwargs)
    assert result.returncode == 0, "{}\n{}\n{}".format(" ".join(map(str, command)), result.stdout, result.stderr)
    return result


def test_pip_installs_the_package_with_a_library_beside_it(tmp_path):
    library = os.environ.get("VARNEL_LIBRARY")
    if not library:
        pytest.skip("VARNEL_LIBRARY is not set")
    # A copy of the sources, so that building leaves nothing in the tree.
    source = tmp_path / "source"
    shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns("tests", "__pycache__", "build", "*.egg-info"))
    name = os.path.basename(library)
    if name not in _library.library_names():
        name = _library.library_names()[0]
    shutil.copyfile(os.path.realpath(library), source / "varnel" / name)

    venv = tmp_path / "venv"
    env = {k: v for k, v in os.environ.items() if k not in ("VARNEL_LIBRARY", "PYTHONPATH", "PYTHONHOME")}
    env.update(PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1", PYTHONDONTWRITEBYTECODE="1")
    run([sys.executable, "-m", "venv", "--system-site-packages", venv], env=env, timeout=180)
    python = venv / "bin" / "python"
    run([python, "-m", "pip", "install", "--no-deps", "--no-build-isolation", "--no-index", source],
        env=env, cwd=tmp_path, timeout=300)

    probe = ("import json, varnel; "
             "print(json.dumps([varnel.__file__, varnel.library_path(), list(varnel.version())]))")
    result = run([python, "-c", probe], env=env, cwd=tmp_path, timeout=60)
    module_file, library_path, version = json.loads(result.stdout)
    installed = os.path.dirname(module_file)
    assert os.path.realpath(installed).startswith(os.path.realpath(venv))
    assert library_path == os.path.join(installed, name)
    assert version == [1, 1, 0]

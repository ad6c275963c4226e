"""The package's version: the Varnel project's version, which is written
once, in project() of the repository's CMakeLists.txt. In the source tree
it is read from there; make_wheel.py puts the version itself in this
file's place in the wheel."""

import re
from pathlib import Path

CMAKE_LISTS = Path(__file__).resolve().parents[2] / "CMakeLists.txt"


def project_version(cmake_lists=CMAKE_LISTS):
    """The VERSION of project(Varnel ...) in `cmake_lists`."""
    text = Path(cmake_lists).read_text(encoding="utf-8")
    match = re.search(r"^project\(\s*Varnel\s+VERSION\s+(\d+\.\d+\.\d+)\b", text, re.MULTILINE)
    if match is None:
        raise RuntimeError("{}: no project(Varnel VERSION ...) found".format(cmake_lists))
    return match.group(1)


__version__ = project_version()

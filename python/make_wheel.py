"""Builds the wheel of the Python package with a Varnel library inside.

    python3 make_wheel.py --library build/x64-release/src/libVarnel_x64.so --outdir build/x64-release/dist

The package is pure Python, but the library it carries is not, so the
wheel is tagged with the library's platform, read from its ELF header:
py3-none-linux_x86_64 for a 64-bit x86 library, py3-none-linux_i686 for a
32-bit one (and linux_aarch64 for 64-bit ARM). The library is copied under its link name
(libVarnel_x64.so, not its versioned file name), which is the name the
package looks for next to itself.

The build runs in a copy of the package's sources, with the installed
setuptools and wheel (python3 -m build --no-isolation), so it needs no
network and leaves nothing in the source tree. The package's version is
the project's, read from the repository's CMakeLists.txt and written into
the copy's varnel/_version.py. Prints the wheel's path.
"""

import argparse
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

PYTHON_DIR = os.path.dirname(os.path.abspath(__file__))

# (ELF class, machine) -> wheel platform tag.
_PLATFORMS = {
    (2, 62): "linux_x86_64",  # ELFCLASS64, EM_X86_64
    (1, 3): "linux_i686",  # ELFCLASS32, EM_386
    (2, 183): "linux_aarch64",  # ELFCLASS64, EM_AARCH64
}


def platform_tag(library):
    """The wheel platform tag of a little-endian ELF library."""
    with open(library, "rb") as f:
        header = f.read(20)
    if len(header) < 20 or header[:4] != b"\x7fELF":
        raise SystemExit("{}: not an ELF file".format(library))
    elf_class, machine = header[4], int.from_bytes(header[18:20], "little")
    tag = _PLATFORMS.get((elf_class, machine)) if header[5] == 1 else None
    if tag is None:
        raise SystemExit("{}: no wheel platform for this library (ELF class {}, machine {})".format(
            library, elf_class, machine))
    return tag


def link_name(library):
    """libVarnel_x64.so for libVarnel_x64.so, libVarnel_x64.so.1 or
    libVarnel_x64.so.1.1.0."""
    return re.sub(r"\.so(\.\d+)*$", ".so", os.path.basename(library))


def project_version():
    """The project's version, as the package in the source tree reads it."""
    spec = importlib.util.spec_from_file_location("varnel_version", os.path.join(PYTHON_DIR, "varnel", "_version.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.__version__


def build(library, outdir, expect_version=None):
    """Builds the wheel into `outdir` and returns its path."""
    tag = platform_tag(library)
    name = link_name(library)
    os.makedirs(outdir, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="varnel-wheel-") as stage:
        for file in ("pyproject.toml", "README.md"):
            shutil.copyfile(os.path.join(PYTHON_DIR, file), os.path.join(stage, file))
        shutil.copytree(os.path.join(PYTHON_DIR, "varnel"), os.path.join(stage, "varnel"),
                        ignore=shutil.ignore_patterns("__pycache__", "*.so", "*.so.*"))
        shutil.copyfile(os.path.realpath(library), os.path.join(stage, "varnel", name))
        # The copy has no CMakeLists.txt beside it: it gets the version itself.
        with open(os.path.join(stage, "varnel", "_version.py"), "w") as f:
            f.write('"""The package\'s version (written by make_wheel.py)."""\n\n__version__ = "{}"\n'.format(
                project_version()))
        # A pure package's wheel says "any" unless a platform is given.
        with open(os.path.join(stage, "setup.cfg"), "w") as f:
            f.write("[bdist_wheel]\nplat_name = {}\n".format(tag))
        before = set(os.listdir(outdir))
        command = [sys.executable, "-m", "build", "--wheel", "--no-isolation", "--outdir", outdir, stage]
        result = subprocess.run(command, capture_output=True, text=True,
                                env=dict(os.environ, PIP_NO_INDEX="1", PYTHONDONTWRITEBYTECODE="1"))
        if result.returncode != 0:
            raise SystemExit("{} failed:\n{}{}".format(" ".join(command), result.stdout, result.stderr))
    made = re.findall(r"Successfully built (\S+\.whl)", result.stdout)
    wheel = os.path.join(outdir, made[-1] if made else sorted(set(os.listdir(outdir)) - before)[-1])
    version = os.path.basename(wheel).split("-")[1]
    if expect_version is not None and version != expect_version:
        raise SystemExit("{}: version {}, but the library is {} (the package takes its version from "
                         "CMakeLists.txt)".format(wheel, version, expect_version))
    if not wheel.endswith("-py3-none-{}.whl".format(tag)):
        raise SystemExit("{}: not tagged {}".format(wheel, tag))
    with zipfile.ZipFile(wheel) as z:
        if "varnel/" + name not in z.namelist():
            raise SystemExit("{}: varnel/{} is missing".format(wheel, name))
    return wheel


def main(argv=None):
    parser = argparse.ArgumentParser(description="Builds the varnel wheel with a Varnel library inside.")
    parser.add_argument("--library", required=True, help="the Varnel shared library to put into the wheel")
    parser.add_argument("--outdir", default="dist", help="where the wheel goes (default: dist)")
    parser.add_argument("--expect-version", help="fail unless the package has this version")
    options = parser.parse_args(argv)
    print(build(options.library, os.path.abspath(options.outdir), options.expect_version))


if __name__ == "__main__":
    main()

"""scripts/setup and scripts/test against stand-ins for apt, dpkg, Wine,
CMake and CTest on PATH: which packages a layer asks for, a mirror that
fails 'apt-get update', a layer apt cannot install, the kernel headers of
two versions, and the summary line with a skipped stage. No real package
is installed and nothing is built."""

import os
import pathlib
import stat
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

# apt-get: logs its arguments; 'update' fails with FAKE_UPDATE_FAILS; an
# install that names a package of FAKE_BROKEN fails as apt does with an
# unmet dependency; linux-libc-dev:i386 fails so unless --allow-downgrades
# pins both architectures (FAKE_HEADERS_SPLIT).
FAKES = {
    "apt-get": r"""#!/bin/bash
echo "apt-get $*" >>"$FAKE_LOG"
if [[ " $* " == *" update "* ]]; then
  if [[ -n ${FAKE_UPDATE_FAILS:-} ]]; then
    echo "E: Failed to fetch http://mirror/i386/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100
  fi
  exit 0
fi
if [[ -n ${FAKE_FETCH_FAILS_ONCE:-} && ! -e $FAKE_FETCH_FAILS_ONCE ]]; then
  touch "$FAKE_FETCH_FAILS_ONCE"
  echo "E: Failed to fetch http://mirror/pool/main/h/hdf5/libhdf5-dev_1.10.8_amd64.deb  Hash Sum mismatch"
  exit 100
fi
for p in "$@"; do
  for b in ${FAKE_BROKEN:-}; do
    if [[ $p == "$b" ]]; then
      echo "The following packages have unmet dependencies:"
      echo " $b : Depends: libwine:i386 (= 8.0) but it is not going to be installed"
      echo "E: Unable to correct problems, you have held broken packages."
      exit 100
    fi
  done
  if [[ $p == linux-libc-dev:i386 && -n ${FAKE_HEADERS_SPLIT:-} ]]; then
    echo "The following packages have unmet dependencies:"
    echo " libc6-dev:i386 : Depends: linux-libc-dev:i386 but it is not going to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100
  fi
done
exit 0
""",
    "apt-cache": r"""#!/bin/bash
printf 'linux-libc-dev:i386:\n  Installed: (none)\n  Candidate: 6.1.176-1\n'
""",
    # Installed: every package of FAKE_INSTALLED ("all" for every one).
    "dpkg-query": r"""#!/bin/bash
p=${!#}
if [[ $* == *Version* ]]; then echo 6.1.187-1; exit 0; fi
for i in ${FAKE_INSTALLED:-}; do
  if [[ $i == all || $i == "$p" ]]; then echo "install ok installed"; exit 0; fi
done
exit 1
""",
    "dpkg": "#!/bin/bash\n[[ $1 == --print-foreign-architectures ]] && echo i386\nexit 0\n",
    "sudo": '#!/bin/bash\nexec "$@"\n',
    "wineboot": r"""#!/bin/bash
echo "wineboot $*" >>"$FAKE_LOG"
[[ -z ${FAKE_WINEBOOT_FAILS:-} ]] || { echo "/usr/lib/wine/wine: Exec format error"; exit 1; }
mkdir -p "$WINEPREFIX" && touch "$WINEPREFIX/system.reg"
""",
    "wine64": r"""#!/bin/bash
echo "wine64 $* WINELOADER=$WINELOADER" >>"$FAKE_LOG"
mkdir -p "$WINEPREFIX" && touch "$WINEPREFIX/system.reg"
""",
    "wineserver": "#!/bin/bash\nexit 0\n",
    "gcc": "#!/bin/bash\nexit 1\n",
    "cmake": '#!/bin/bash\necho "cmake $*" >>"$FAKE_LOG"\n',
    "ctest": '#!/bin/bash\necho "100% tests passed, 0 tests failed out of 3"\n'
             'printf "The following tests did not run:\\n\\t 42 - NatsBridge.Whole (Skipped)\\n"\n',
}


@pytest.fixture
def fake(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, text in FAKES.items():
        path = bin_dir / name
        path.write_text(text)
        path.chmod(path.stat().st_mode | stat.S_IXUSR)
    log = tmp_path / "log"
    log.touch()
    env = {
        "PATH": "{}:/usr/bin:/bin".format(bin_dir),
        "HOME": str(tmp_path),
        "FAKE_LOG": str(log),
        "VARNEL_SETUP_STATUS": str(tmp_path / "status"),
        "VARNEL_WINE_ROOT": str(tmp_path / "wine"),
    }

    def run(script, *args, **fake_env):
        result = subprocess.run(["bash", str(ROOT / "scripts" / script), *args], env=dict(env, **fake_env),
                                capture_output=True, text=True, timeout=60, cwd=tmp_path)
        result.log = log.read_text().splitlines()
        status = tmp_path / "status"
        result.status = dict((line.split("\t")[0], line.split("\t")[1:]) for line in
                             status.read_text().splitlines()) if status.exists() else {}
        return result

    return run


def installs(result):
    return [line.split() for line in result.log if line.startswith("apt-get") and " install " in line]


@pytest.mark.parametrize("layer, included, excluded", [
    ("build", ["g++", "cmake", "ninja-build", "libboost-dev", "libfmt-dev", "libhdf5-dev", "libpcap-dev",
               "libnats-dev", "nats-server"],
     ["wine", "googletest", "valgrind", "clang", "g++-12-multilib", "qemu-user", "g++-aarch64-linux-gnu"]),
    ("test", ["googletest", "python3-pytest", "valgrind", "clang", "libclang-rt-dev", "iproute2", "tcpdump",
              "tshark"], ["wine", "libpcap-dev"]),
    ("x86", ["g++-12-multilib", "linux-libc-dev:i386"], ["g++-multilib", "wine32:i386"]),
    ("windows", ["g++-mingw-w64-x86-64-posix", "g++-mingw-w64-i686-posix", "wine64"], ["wine32:i386"]),
    ("windows32", ["wine32:i386"], []),
    ("cpus", ["g++-aarch64-linux-gnu", "g++-s390x-linux-gnu", "qemu-user"], []),
    ("packages", ["python3-build", "python3-venv"], []),
])
def test_a_layer_asks_for_its_packages_only(fake, layer, included, excluded):
    listed = fake("setup", "--list", layer).stdout.split()
    assert set(included) <= set(listed) and not set(excluded) & set(listed)
    result = fake("setup", layer)
    assert result.returncode == 0, result.stderr
    assert [sorted(c[c.index("--no-install-recommends") + 1:]) for c in installs(result)] == [sorted(listed)]
    assert result.status == {layer: ["ok", ""]}


def test_an_unknown_layer_is_an_error_naming_the_known_ones(fake):
    result = fake("setup", "build", "gui")
    assert result.returncode == 2
    assert "unknown layer 'gui'" in result.stderr and "build test x86 windows windows32 cpus packages" in result.stderr
    assert not installs(result)


def test_a_half_synced_mirror_costs_only_the_layer_apt_cannot_install(fake):
    result = fake("setup", "build", "windows", "windows32", "cpus", FAKE_UPDATE_FAILS="1",
                  FAKE_BROKEN="wine32:i386 nats-server")
    assert result.returncode == 1
    assert "WARNING: apt-get update failed" in result.stderr and "Mirror sync in progress?" in result.stderr
    assert "windows32: apt could not install it: Unable to correct problems" in result.stderr
    # An optional package costs only itself: build's others, then each optional one alone.
    assert "build: WARNING: apt could not install the optional nats-server" in result.stderr
    assert [c[-1] for c in installs(result)[1:6]] == ["libfmt-dev", "libhdf5-dev", "libpcap-dev", "libnats-dev",
                                                      "nats-server"]
    assert len(installs(result)) == 9
    assert result.status["windows32"][0] == "unavailable"
    assert "wine32:i386 : Depends: libwine:i386" in result.status["windows32"][1]
    assert all(result.status[layer] == ["ok", ""] for layer in ("build", "windows", "cpus"))


def test_a_download_the_mirror_fails_is_tried_again_with_fresh_lists(fake, tmp_path):
    # Optional names stay names whatever the current folder holds.
    (tmp_path / "nats-server2").touch()
    result = fake("setup", "build", FAKE_FETCH_FAILS_ONCE=str(tmp_path / "failed"), VARNEL_SETUP_RETRY_SECONDS="0")
    assert result.returncode == 0, result.stderr
    assert "a download failed (Failed to fetch" in result.stdout and "Hash Sum mismatch" in result.stdout
    assert len(installs(result)) == 2 and sum(line.endswith(" update -q") for line in result.log) == 2
    assert all("nats-server" in c and "nats-server2" not in c for c in installs(result))
    assert result.status == {"build": ["ok", ""]}


def test_a_wine_prefix_is_made_by_the_loader_of_its_word_size_or_its_layer_is_unavailable(fake):
    # Debian's wineboot starts the 32-bit loader once wine32 is installed,
    # which cannot make the 64-bit prefix where the kernel runs no 32-bit code.
    result = fake("setup", "windows", "windows32", FAKE_WINEBOOT_FAILS="1")
    assert result.returncode == 1
    wine64, wineboot = [line for line in result.log if line.startswith("wine")]
    assert wine64.startswith("wine64 wineboot -i WINELOADER=/") and wine64.endswith("/bin/wine64")
    assert wineboot == "wineboot -i"
    assert result.status["windows"] == ["ok", ""]
    assert result.status["windows32"][0] == "unavailable"
    assert "(wineboot failed: /usr/lib/wine/wine: Exec format error)" in result.status["windows32"][1]


def test_kernel_headers_of_two_versions_are_pinned_to_the_i386_one_only_then(fake):
    result = fake("setup", "x86", FAKE_HEADERS_SPLIT="1")
    assert result.returncode == 0, result.stderr
    first, second = installs(result)
    assert "--allow-downgrades" not in first
    assert {"--allow-downgrades", "linux-libc-dev=6.1.176-1", "linux-libc-dev:i386=6.1.176-1",
            "g++-12-multilib"} <= set(second)
    assert "linux-libc-dev 6.1.176-1 only" in result.stdout
    assert result.status == {"x86": ["ok", ""]}
    third = installs(fake("setup", "x86"))[2:]  # the log goes on from the first run
    assert len(third) == 1 and "--allow-downgrades" not in third[0]


def test_the_summary_counts_a_stage_skipped_for_an_uninstallable_layer(fake):
    result = fake("test", "x64-debug", "win32-debug", FAKE_BROKEN="wine32:i386",
                  FAKE_INSTALLED=" ".join(fake("setup", "--list", layer).stdout.replace("\n", " ")
                                          for layer in ("build", "test", "windows")))
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    skipped = [line for line in lines if "SKIPPED: win32-debug tests: layer windows32 could not be installed" in line]
    assert len(skipped) == 2 and "wine32:i386 : Depends: libwine:i386" in skipped[-1]
    assert lines[-2] == skipped[-1]
    assert lines[-1] == "2 passed, 0 failed, 1 skipped (and 1 tests skipped by ctest, which names them above)"
    assert any(line == "cmake --build --preset win32-debug" for line in result.log)
    # Without GoogleTest nothing is tested: a build alone does not pass.
    result = fake("test", "x64-release", "x64-debug", FAKE_BROKEN="googletest",
                  FAKE_INSTALLED=fake("setup", "--list", "build").stdout.replace("\n", " "))
    assert result.returncode == 1 and "=== no test ran" in result.stderr

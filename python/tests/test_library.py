"""The library itself: its version, the meta data record's layout, and how
it is found."""

import ctypes
import os
import subprocess
import sys

import pytest

import varnel
from varnel import _library


def test_version_is_1_1_0():
    v = varnel.version()
    assert v == (1, 1, 0)
    assert (v.major, v.minor, v.patch) == (1, 1, 0)


def test_the_loaded_library_is_the_one_named_by_the_environment():
    wanted = os.environ.get("VARNEL_LIBRARY")
    if not wanted:
        pytest.skip("VARNEL_LIBRARY is not set")
    assert varnel.library_path() == os.path.abspath(wanted)


def test_meta_data_record_and_dtype_have_the_c_layout(c_meta_data_fields):
    fields, size = c_meta_data_fields
    record = _library.MetaDataStruct
    assert [(name, getattr(record, name).offset, getattr(record, name).size) for name in _library.META_FIELDS] == fields
    assert ctypes.sizeof(record) == size
    dtype = varnel.META_DTYPE
    assert [(name, dtype.fields[name][1], dtype.fields[name][0].itemsize) for name in dtype.names] == fields
    assert dtype.itemsize == size
    assert varnel.MetaData._fields == _library.META_FIELDS


def test_a_missing_file_in_the_environment_is_an_error_without_falling_back(tmp_path):
    missing = tmp_path / "libVarnel_x64.so"
    with pytest.raises(varnel.LibraryNotFoundError) as caught:
        # A package directory with a loadable library beside would not be
        # looked at either.
        _library.load(env=str(missing), package_dir=os.path.dirname(varnel.library_path()))
    text = str(caught.value)
    assert str(missing) in text and "no such file" in text
    assert len(caught.value.attempts) == 1


def test_a_file_that_is_no_library_is_refused_with_the_loaders_reason(tmp_path):
    bogus = tmp_path / "libVarnel_x64d.so"
    bogus.write_text("not a shared library\n")
    with pytest.raises(varnel.LibraryNotFoundError) as caught:
        _library.load(env=str(bogus))
    where, why = caught.value.attempts[0]
    assert str(bogus) in where
    assert why  # the dynamic loader's own words


def test_a_build_of_the_other_word_size_is_refused_with_a_hint(tmp_path):
    # The start of an ELF file of the other class is all the loader reads.
    other = {64: b"\x01", 32: b"\x02"}[_library.interpreter_bits()]
    wrong = tmp_path / "libVarnel.so"
    wrong.write_bytes(b"\x7fELF" + other + b"\x01\x01" + bytes(121))
    with pytest.raises(varnel.LibraryNotFoundError) as caught:
        _library.load(env=str(wrong))
    assert "wrong ELF class" in str(caught.value)
    assert "{}-bit build".format(_library.interpreter_bits()) in str(caught.value)


def test_every_place_tried_is_listed_when_none_has_the_library(tmp_path):
    with pytest.raises(varnel.LibraryNotFoundError) as caught:
        _library.load(env="", package_dir=str(tmp_path), search_system=False)
    text = str(caught.value)
    names = _library.library_names()
    assert names  # this interpreter's word size has builds
    for name in names:
        assert str(tmp_path / name) in text
    assert "VARNEL_LIBRARY" in text


def test_statistics_read_while_another_thread_closes_the_board():
    # Each read gives figures or "the board is closed", never a read of a
    # parser already deleted (a crash); in a process of its own.
    script = """
import sys, threading
import varnel
for _ in range(400):
    b = varnel.Board("127.0.7.39")
    def read():
        for _ in range(100000):
            try:
                b.statistics
            except ValueError:
                return
    readers = [threading.Thread(target=read) for _ in range(2)]
    for r in readers:
        r.start()
    b.close()
    for r in readers:
        r.join()
"""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(varnel.__file__)))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]

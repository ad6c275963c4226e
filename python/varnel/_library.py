"""Finding and loading the Varnel shared library, and the C declarations.

The library is looked for, in this order:

1. the file named by the environment variable ``VARNEL_LIBRARY``; when it
   is set, no other place is tried, so that a chosen build is never
   silently replaced by another one;
2. the package's own directory (a library copied next to ``__init__.py``);
3. the system's library path (``LD_LIBRARY_PATH``, the loader's cache and
   the default directories), by plain name and through
   ``ctypes.util.find_library``.

Only builds of the interpreter's word size are looked for:
``libVarnel_x64.so`` and ``libVarnel_x64d.so`` for a 64-bit interpreter,
``libVarnel.so`` and ``libVarneld.so`` for a 32-bit one (release first).
"""

import ctypes
import ctypes.util
import os
import struct
import threading

LIBRARY_ENV = "VARNEL_LIBRARY"

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))

# The library names by word size, release build first; the names without
# the "lib" prefix and ".so" suffix are what find_library takes.
_NAMES_BY_BITS = {
    64: ("Varnel_x64", "Varnel_x64d"),
    32: ("Varnel", "Varneld"),
}


class LibraryNotFoundError(OSError):
    """No Varnel library could be loaded; the message lists every path and
    name tried and why each failed."""

    def __init__(self, attempts):
        self.attempts = list(attempts)
        lines = ["the Varnel shared library could not be loaded; tried:"]
        lines += ["  {}: {}".format(where, why) for where, why in self.attempts]
        lines.append(
            "Set {} to the library file (e.g. build/x64-debug/src/libVarnel_x64d.so), "
            "copy the library into {}, or install it on the library path.".format(LIBRARY_ENV, _PACKAGE_DIR)
        )
        super().__init__("\n".join(lines))


def interpreter_bits():
    return struct.calcsize("P") * 8


def library_names(bits=None):
    """The file names looked for, for a word size (the interpreter's by
    default)."""
    return tuple("lib{}.so".format(n) for n in _NAMES_BY_BITS.get(bits or interpreter_bits(), ()))


# ---------------------------------------------------------------- C types

class MetaDataStruct(ctypes.Structure):
    """mirt_ostra_meta_data: 96 bytes, its 64-bit fields at offsets that
    are multiples of 8 on every platform. The padding is spelled out, since
    a 32-bit interpreter would align the 64-bit fields to 4 bytes only."""

    _fields_ = [
        ("statusWord", ctypes.c_uint32),
        ("_padding4", ctypes.c_uint32),
        ("headerValue", ctypes.c_uint64),
        ("word36", ctypes.c_uint32),
        ("dspVersion", ctypes.c_uint32),
        ("firmwareVersion", ctypes.c_uint32),
        ("biosVersion", ctypes.c_uint32),
        ("word52", ctypes.c_uint32),
        ("word56", ctypes.c_uint32),
        ("word60", ctypes.c_uint32),
        ("word64", ctypes.c_uint32),
        ("word68", ctypes.c_uint32),
        ("_padding52", ctypes.c_uint32),
        ("real72", ctypes.c_double),
        ("real80", ctypes.c_double),
        ("word88", ctypes.c_uint32),
        ("word92", ctypes.c_uint32),
        ("word96", ctypes.c_uint32),
        ("half100", ctypes.c_uint16),
        ("half102", ctypes.c_uint16),
        ("word104", ctypes.c_uint32),
        ("word108", ctypes.c_uint32),
    ]


# The twenty meta data fields, in the record's order.
META_FIELDS = tuple(name for name, _ in MetaDataStruct._fields_ if not name.startswith("_"))


class ReceiveTimeStruct(ctypes.Structure):
    """mirt_receive_time: when a package arrived, in nanoseconds, on the
    system clock (since 1970 UTC) and on the library's steady clock."""

    _fields_ = [("systemTimeNs", ctypes.c_int64), ("steadyTimeNs", ctypes.c_int64)]


class StatisticsStruct(ctypes.Structure):
    """mirt_varnel_statistics: 120 bytes, its size first and then 8-byte
    fields from offset 8 on every platform (the padding spelled out, as in
    MetaDataStruct)."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("_padding4", ctypes.c_uint32),
        ("connections", ctypes.c_uint64),
        ("failures", ctypes.c_uint64),
        ("packages", ctypes.c_uint64),
        ("bytes", ctypes.c_uint64),
        ("handOvers", ctypes.c_uint64),
        ("emptyHandOvers", ctypes.c_uint64),
        ("largestHandOver", ctypes.c_uint64),
        ("packagesNotPopped", ctypes.c_uint64),
        ("callbackTotalNs", ctypes.c_uint64),
        ("callbackLongestNs", ctypes.c_uint64),
        ("lastReceiveTime", ReceiveTimeStruct),
        ("connectedTime", ReceiveTimeStruct),
    ]


class VersionInfoStruct(ctypes.Structure):
    _fields_ = [("major", ctypes.c_int32), ("minor", ctypes.c_int32), ("patch", ctypes.c_int32)]


# void (*)(mirt_ostra_data_stream* stream, void* userData)
CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)

_ERR = ctypes.POINTER(ctypes.c_int32)  # mirt_error_code*
_H = ctypes.c_void_p  # every handle

# name: (result, parameters); every function but the first ends with an
# error pointer, which is added below.
_PROTOTYPES = {
    "mirt_get_version_info": (VersionInfoStruct, []),
    "mirt_varnel_create": (_H, [ctypes.c_char_p, CALLBACK, ctypes.c_void_p]),
    "mirt_varnel_delete": (None, [_H]),
    "mirt_varnel_connect": (None, [_H]),
    "mirt_varnel_disconnect": (None, [_H]),
    "mirt_varnel_is_connected": (ctypes.c_bool, [_H]),
    "mirt_varnel_get_state": (ctypes.c_int32, [_H]),
    "mirt_varnel_get_async_error": (None, [_H]),
    "mirt_varnel_set_tcp_timeout": (None, [_H, ctypes.c_uint32]),
    "mirt_varnel_set_package_counter": (None, [_H, ctypes.c_uint32]),
    "mirt_varnel_set_wait_time_ms": (None, [_H, ctypes.c_uint32]),
    "mirt_varnel_get_statistics": (ctypes.c_size_t, [_H, ctypes.POINTER(StatisticsStruct)]),
    "mirt_ostra_data_stream_get_size": (ctypes.c_size_t, [_H]),
    # The extension that copies many packages per call, with their receive
    # times; the arrays are passed as addresses (NumPy's), the shape comes
    # back through the two uint32 pointers.
    "mirt_ostra_data_stream_pop_batch_timed": (
        ctypes.c_size_t,
        [
            _H,
            ctypes.c_size_t,
            ctypes.c_void_p,
            ctypes.c_void_p,
            ctypes.c_void_p,
            ctypes.c_void_p,
            ctypes.c_size_t,
            ctypes.POINTER(ctypes.c_uint32),
            ctypes.POINTER(ctypes.c_uint32),
        ],
    ),
}

# Called inside the callback, where the I/O thread holds the interpreter
# lock: these short calls keep it, instead of letting other threads run
# in between and waiting to get it back (see ctypes.PyDLL).
_KEEP_INTERPRETER_LOCK = ("mirt_ostra_data_stream_get_size", "mirt_ostra_data_stream_pop_batch_timed")


class Library:
    """A loaded Varnel library with its functions declared. Each C function
    is an attribute under its own name."""

    def __init__(self, cdll, path):
        self.cdll = cdll
        self.path = path
        pydll = ctypes.PyDLL(path, handle=cdll._handle)
        for name, (result, parameters) in _PROTOTYPES.items():
            # AttributeError: not a Varnel library, or one older than this package
            function = getattr(pydll if name in _KEEP_INTERPRETER_LOCK else cdll, name)
            function.restype = result
            function.argtypes = parameters if name == "mirt_get_version_info" else parameters + [_ERR]
            setattr(self, name, function)
        # Only libraries with the timed batch copy get here, and they all
        # keep message texts.
        self._message = cdll.mirt_get_last_error_message
        self._message.restype = ctypes.c_char_p
        self._message.argtypes = []
        self._cause = cdll.mirt_get_last_failure_cause
        self._cause.restype = ctypes.c_int32
        self._cause.argtypes = []

    def last_error_message(self):
        """The text of the last failure of a mirt_* call on this thread."""
        text = self._message()
        return text.decode("utf-8", "replace") if text else ""

    def last_failure_cause(self):
        """The cause (mirt_failure_cause) of the last failure of a mirt_*
        call on this thread, read with its text."""
        return self._cause()


def _open(path_or_name):
    cdll = ctypes.CDLL(path_or_name)
    return Library(cdll, getattr(cdll, "_name", path_or_name))


def _describe(error):
    text = str(error).strip() or type(error).__name__
    if "wrong ELF class" in text:
        text += " (a {}-bit interpreter needs a {}-bit build of the library)".format(
            interpreter_bits(), interpreter_bits()
        )
    return text


def load(env=None, package_dir=None, search_system=True):
    """Loads the library as described in the module's text and returns a
    `Library`; raises `LibraryNotFoundError` listing every attempt.

    `env` is the value of VARNEL_LIBRARY (read from the environment when
    None); `package_dir` the directory of the package."""
    if env is None:
        env = os.environ.get(LIBRARY_ENV, "")
    if package_dir is None:
        package_dir = _PACKAGE_DIR
    attempts = []

    def attempt(where, path_or_name):
        try:
            return _open(path_or_name)
        except (OSError, AttributeError) as e:
            attempts.append((where, _describe(e)))
            return None

    if env:
        path = os.path.abspath(os.path.expanduser(env))
        where = "{}={}".format(LIBRARY_ENV, path)
        if not os.path.isfile(path):
            attempts.append((where, "a folder, not the library's file" if os.path.isdir(path) else "no such file"))
            raise LibraryNotFoundError(attempts)
        library = attempt(where, path)
        if library is None:
            raise LibraryNotFoundError(attempts)
        return library

    names = library_names()
    if not names:
        attempts.append(("(any)", "no Varnel build for a {}-bit interpreter".format(interpreter_bits())))
        raise LibraryNotFoundError(attempts)

    for name in names:
        path = os.path.join(package_dir, name)
        candidates = [path] + sorted(
            os.path.join(package_dir, f) for f in _listdir(package_dir) if f.startswith(name + ".")
        )
        for candidate in candidates:
            if not os.path.isfile(candidate):
                attempts.append((candidate, "no such file"))
                continue
            library = attempt(candidate, candidate)
            if library is not None:
                return library

    if search_system:
        for name in names:
            library = attempt("{} on the library path".format(name), name)
            if library is not None:
                return library
        for name in names:
            found = ctypes.util.find_library(name[len("lib"):-len(".so")])
            if found is None:
                attempts.append(("find_library({!r})".format(name[len("lib"):-len(".so")]), "not found"))
                continue
            library = attempt("find_library: {}".format(found), found)
            if library is not None:
                return library

    raise LibraryNotFoundError(attempts)


def _listdir(directory):
    try:
        return os.listdir(directory)
    except OSError:
        return []


_lock = threading.Lock()
_loaded = None


def library():
    """The process's Varnel library, loaded at the first call."""
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = load()
        return _loaded

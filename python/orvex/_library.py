"""Finding, loading and describing the ORVEX_DLL shared library."""

import ctypes
import ctypes.util
import os
import struct
import sys
import threading

from . import errors

LIBRARY_ENV = "ORVEX_LIBRARY"

# The library sleeps this long while it loads unless told otherwise; the binding has no use for
# the delay and sets 0 for its own load when the user has not chosen a value.
LOAD_DELAY_ENV = "ORVEX_LOAD_DELAY_MS"

_WINDOWS = sys.platform == "win32"

if _WINDOWS:
    _SYSTEM_NAMES = ("ORVEX_DLL.dll",)
elif sys.platform == "darwin":
    _SYSTEM_NAMES = ("libORVEX_DLL.1.dylib", "libORVEX_DLL.dylib")
else:
    _SYSTEM_NAMES = ("libORVEX_DLL.so.1", "libORVEX_DLL.so")

_int = ctypes.c_int
_uint = ctypes.c_uint
_ptr = ctypes.c_void_p

class OrvexEvent(ctypes.Structure):
    """What a drive said by itself (orvex.h: Orvex_NextEvent): 24 bytes, one layout for 32- and
    64-bit hosts."""

    _fields_ = [
        ("kind", ctypes.c_int),
        ("node", ctypes.c_int),
        ("time_ms", ctypes.c_uint),
        ("error_code", ctypes.c_uint),
        ("error_register", ctypes.c_ubyte),
        ("data", ctypes.c_ubyte * 5),
        ("nmt_state", ctypes.c_ubyte),
        ("reserved", ctypes.c_ubyte),
    ]


# Every export: name -> (result type, argument types). Exports that return 1/0 or a value are
# c_int; Orvex_LastAbortCode and Orvex_FramesDropped are unsigned, Orvex_Cancel and
# Orvex_GetTimeLimits return nothing (None), the texts are C strings.
PROTOTYPES = {
    "Serial_OpenPort": (_int, (_int, _int)),
    "Serial_OpenDevice": (_int, (ctypes.c_char_p, _int)),
    "Serial_ClosePort": (_int, ()),
    "U_Transmit": (_int, (_ptr, _int)),
    "U_Transmit_Validation": (_int, (_ptr, _ptr, _ptr, _int, _int)),
    "CMD_Enable_motor": (_int, (_int,)),
    "PV_start_motor": (_int, (_int,)),
    "CMD_Disable_motor": (_int, (_int,)),
    "CMD_Emergency_Stop_motor": (_int, (_int,)),
    "CMD_Restart_motor": (_int, (_int,)),
    "PV_stop_motor": (_int, (_int,)),
    "PP_stop_motor": (_int, (_int,)),
    "HM_stop_motor": (_int, (_int,)),
    "PT_stop_motor": (_int, (_int,)),
    "Get_ALL_Enable_Status": (_int, ()),
    "Get_ALL_Reached_Status": (_int, ()),
    "Get_ALL_Err_Status": (_int, ()),
    "GetPosition": (_int, (_int,)),
    "GetMotorStatus": (_int, (_int,)),
    "GetVersions": (_int, (_int,)),
    "SDO_Write": (_int, (_int, _uint, _int, _uint, _int)),
    "SDO_Read": (_int, (_int, _uint, _int, ctypes.POINTER(_int), _int)),
    "LED_Set": (_int, (_int, _int)),
    "PV_Set": (_int, (_int, _int, _uint, _uint)),
    "PV_Set_Vel": (_int, (_int, _int)),
    "PP_Set": (_int, (_int, _int, _uint, _uint)),
    "PP_Inc_move": (_int, (_int, _int)),
    "PP_Abs_move": (_int, (_int, _int)),
    "PP_Abs_move_enhance": (_int, (_int, _int)),
    "HM_Set": (_int, (_int, _int, _int, _uint, _int)),
    "HM_start_motor": (_int, (_int,)),
    "PT_Set": (_int, (_int, _int, _int)),
    "PT_start_motor": (_int, (_int,)),
    "Orvex_LastResult": (_int, ()),
    "Orvex_LastAbortCode": (_uint, ()),
    "Orvex_LastSystemError": (_int, ()),
}

# Extensions that a library may not have yet: a library without them still loads, and the
# methods that need one raise MissingExportError naming it.
OPTIONAL_PROTOTYPES = {
    "Orvex_SetTimeLimits": (_int, (_int, _int)),
    "Orvex_ReceiveFrame": (_int, (ctypes.POINTER(ctypes.c_ubyte), _int)),
    "Orvex_ReadMany": (
        _int,
        (
            _int,
            ctypes.POINTER(_int),
            ctypes.POINTER(_int),
            ctypes.POINTER(_int),
            ctypes.POINTER(_uint),
            ctypes.POINTER(_int),
        ),
    ),
    "Orvex_GetState": (_int, (_int, ctypes.POINTER(_uint))),
    "Orvex_Enable": (_int, (_int, _int)),
    "Orvex_Disable": (_int, (_int, _int)),
    "Orvex_QuickStop": (_int, (_int, _int)),
    "Orvex_Halt": (_int, (_int, _int)),
    "Orvex_ResetFault": (_int, (_int, _int, ctypes.POINTER(_uint))),
    "Orvex_MoveTo": (_int, (_int, _int, _int, _int)),
    "Orvex_WaitTarget": (_int, (_int, _int, ctypes.POINTER(_int))),
    "Orvex_Home": (_int, (_int, _int)),
    "Orvex_SetTorque": (_int, (_int, _int)),
    "Orvex_SdoUpload": (
        _int,
        (_int, _int, _int, ctypes.POINTER(ctypes.c_ubyte), _int, ctypes.POINTER(_int)),
    ),
    "Orvex_SdoDownload": (_int, (_int, _int, _int, ctypes.POINTER(ctypes.c_ubyte), _int)),
    "Orvex_SetBlockTransfer": (_int, (_int, _int)),
    "Orvex_LastTransfer": (
        _int,
        (ctypes.POINTER(_int), ctypes.POINTER(_int), ctypes.POINTER(_int)),
    ),
    "Orvex_Cancel": (None, ()),
    "Orvex_FramesDropped": (_uint, ()),
    "Orvex_NextEvent": (_int, (ctypes.POINTER(OrvexEvent), _int)),
    "Orvex_WatchHeartbeat": (_int, (_int, _int)),
    "Orvex_Emergencies": (_int, (_int, ctypes.POINTER(OrvexEvent), _int)),
    "Orvex_StreamStart": (_int, (_int, ctypes.POINTER(_uint), _int, _int)),
    "Orvex_StreamRead": (
        _int,
        (_int, ctypes.POINTER(_uint), _int, ctypes.POINTER(_int), ctypes.POINTER(_uint)),
    ),
    "Orvex_StreamStop": (_int, (_int,)),
    # What codes mean: static texts of the library.
    "Orvex_ResultText": (ctypes.c_char_p, (_int,)),
    "Orvex_AbortText": (ctypes.c_char_p, (_uint,)),
    "Orvex_ErrorCodeText": (ctypes.c_char_p, (_uint,)),
    "Orvex_DecodeState": (_int, (_uint,)),
    "Orvex_StateName": (ctypes.c_char_p, (_int,)),
    "Orvex_GetTimeLimits": (None, (ctypes.POINTER(_int), ctypes.POINTER(_int))),
    "Orvex_SetMode": (_int, (_int, _int, _int)),
    "Orvex_SetProfile": (_int, (_int, _int, _uint, _uint)),
    "Orvex_SetHoming": (_int, (_int, _int, _int, _int, _uint)),
    "Orvex_SetVelocity": (_int, (_int, _int)),
}


class _PortCall:
    """One of the exports that open or close the port, called as it is, while the Library
    notes whether a port is open: a Bus then refuses work at once instead of letting a query
    wait out its limit on no port."""

    def __init__(self, library, function, opens):
        self._library = library
        self._function = function
        self._opens = opens

    def __call__(self, *args):
        result = self._function(*args)
        if not self._opens:
            self._library.port_open = False
        elif result == 1:
            self._library.port_open = True
        else:
            # A configuration failure can leave the device open; an open that failed before
            # that leaves none. Not knowing which, assume a port may be open.
            self._library.port_open = None
        return result

    def __getattr__(self, name):
        return getattr(self._function, name)


class Library:
    """One loaded copy of the library, with every export declared.

    The exports are attributes under their C names (``lib.GetPosition(1)``) and behave exactly
    as in C: they return failure values instead of raising. ``Bus`` and ``Drive`` are the
    checked interface.
    """

    def __init__(self, handle, path):
        self.handle = handle
        self.path = path
        self.port_owner = lambda: None  # the Bus that opened the port (set by Bus)
        self.missing_extensions = []
        missing = []
        for table, absent in ((PROTOTYPES, missing), (OPTIONAL_PROTOTYPES, self.missing_extensions)):
            for name, (restype, argtypes) in table.items():
                try:
                    function = getattr(handle, name)
                except AttributeError:
                    absent.append(name)
                    continue
                function.restype = restype
                function.argtypes = argtypes
                setattr(self, name, function)
        if missing:
            raise errors.OrvexError(
                "%s is not a complete ORVEX_DLL: it lacks %s" % (path, ", ".join(missing))
            )
        # True, False, or None when it cannot be known. A freshly loaded library has no port.
        self.port_open = False
        for name in ("Serial_OpenPort", "Serial_OpenDevice", "Serial_ClosePort"):
            setattr(self, name, _PortCall(self, getattr(self, name), name != "Serial_ClosePort"))

    def has(self, name):
        """Whether this library has the export ``name``."""
        return name in PROTOTYPES or (
            name in OPTIONAL_PROTOTYPES and name not in self.missing_extensions)

    def require(self, name):
        """The export ``name``; raises MissingExportError when this library lacks it."""
        if not self.has(name):
            raise errors.MissingExportError(
                "%s lacks %s: this needs a newer ORVEX_DLL" % (self.path, name),
                operation=name)
        return getattr(self, name)

    def last_failure(self):
        """(outcome, abort code, system error) of this thread's most recent call."""
        return (
            self.Orvex_LastResult(),
            self.Orvex_LastAbortCode(),
            self.Orvex_LastSystemError(),
        )

    def text(self, name, code):
        """The library's text for ``code`` from the export ``name`` (Orvex_AbortText, ...)."""
        return self.require(name)(code).decode("utf-8", "replace")

    def __repr__(self):
        return "<orvex.Library %r>" % (self.path,)


def _open(path):
    # The library exports plain cdecl functions on every platform, 32-bit Windows included.
    # It reads the load delay while it loads; the variable is set only for that moment, so the
    # user's own child processes see the environment as it was.
    chosen = os.environ.get(LOAD_DELAY_ENV)
    if chosen is not None:
        return ctypes.CDLL(path)
    os.environ[LOAD_DELAY_ENV] = "0"
    try:
        return ctypes.CDLL(path)
    finally:
        os.environ.pop(LOAD_DELAY_ENV, None)


# The Windows release keeps one DLL per process bitness, with this package two folders down:
# <release>/x64/ORVEX_DLL.dll, <release>/x86/ORVEX_DLL.dll, <release>/python/orvex/.
RELEASE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_RELEASE_FOLDERS = {8: ("x64", 64), 4: ("x86", 32)}


def release_library(root=None, pointer_size=None):
    """The DLL of the release layout under ``root`` that this process can load, as (path, note).

    ``pointer_size`` is the interpreter's (struct.calcsize("P")): 8 takes x64/, 4 takes x86/.
    When only the other folder has a DLL, path is None and note says which one this Python
    needs; (None, None) when the layout has neither.
    """
    root = root or RELEASE_ROOT
    pointer_size = pointer_size or struct.calcsize("P")
    folder, bits = _RELEASE_FOLDERS[pointer_size]
    path = os.path.join(root, folder, "ORVEX_DLL.dll")
    if os.path.isfile(path):
        return path, None
    other_folder, other_bits = _RELEASE_FOLDERS[12 - pointer_size]
    other = os.path.join(root, other_folder, "ORVEX_DLL.dll")
    if os.path.isfile(other):
        return None, ("%s is for %d-bit processes and cannot load into this %d-bit Python: it "
                      "needs %s (from the %s folder of the release), or a %d-bit Python"
                      % (other, other_bits, bits, path, folder, other_bits))
    return None, None


def dll_bits(path):
    """32 or 64 for a Windows DLL built for x86 or x64 (read from its PE header), else None."""
    try:
        with open(path, "rb") as image:
            header = image.read(64)
            if len(header) < 64 or header[:2] != b"MZ":
                return None
            image.seek(struct.unpack_from("<I", header, 0x3C)[0])
            signature = image.read(6)
    except OSError:
        return None
    if len(signature) < 6 or signature[:4] != b"PE\0\0":
        return None
    return {0x014C: 32, 0x8664: 64}.get(struct.unpack_from("<H", signature, 4)[0])


def _bitness_note(path):
    bits, mine = dll_bits(path), 8 * struct.calcsize("P")
    if bits and bits != mine:
        return " (a %d-bit DLL; this Python is %d-bit and needs the %s one)" % (
            bits, mine, _RELEASE_FOLDERS[mine // 8][0])
    return ""


def find_library_path(path=None):
    """The path or name the library will be loaded from, and where that came from.

    Order: the explicit ``path``, then the ORVEX_LIBRARY environment variable, then on
    Windows the DLL of this Python's bitness in the release layout around this package
    (x64/ or x86/), then (when the package runs from the source tree) the library built next
    to it in build/lib, then ctypes.util.find_library, then the bare library names for the
    system loader to resolve. Returns a list of (candidate, source) pairs to try in order.
    """
    if path:
        return [(os.fspath(path), "argument")]
    from_env = os.environ.get(LIBRARY_ENV)
    if from_env:
        return [(from_env, LIBRARY_ENV)]
    candidates = []
    if _WINDOWS:
        in_release, _ = release_library()
        if in_release:
            candidates.append((in_release, "release folder"))
    # python/orvex/ in a checkout: `make` puts the library in build/lib of the same tree.
    tree = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    for name in _SYSTEM_NAMES:
        built = os.path.join(tree, "build", "lib", name)
        if os.path.exists(built):
            candidates.append((built, "build folder of the source tree"))
            break
    found = ctypes.util.find_library("ORVEX_DLL")
    if found:
        candidates.append((found, "find_library"))
    candidates.extend((name, "system library path") for name in _SYSTEM_NAMES)
    return candidates


_loaded = {}
_load_lock = threading.Lock()


def load(path=None):
    """Loads the library once per process and returns it.

    The library has one port per process, so later calls with the same path return the copy
    already loaded, and so do calls with no path while ORVEX_LIBRARY is unset: the system
    search is for the first load only. Unless ORVEX_LOAD_DELAY_MS is set, the library is
    loaded with it at 0 (no delay at load).
    """
    candidates = find_library_path(path)
    with _load_lock:
        if candidates[0][1] not in ("argument", LIBRARY_ENV) and _loaded:
            return next(iter(_loaded.values()))
        for candidate, _ in candidates:
            if candidate in _loaded:
                return _loaded[candidate]
        tried = []
        for candidate, source in candidates:
            if source in ("argument", LIBRARY_ENV) and not os.path.exists(candidate):
                raise errors.OrvexError(
                    "ORVEX_DLL not found at %s (from the %s)"
                    % (candidate, "argument" if source == "argument" else LIBRARY_ENV
                       + " environment variable")
                )
            try:
                handle = _open(candidate)
            except OSError as error:
                tried.append("%s (%s): %s%s" % (candidate, source, error, _bitness_note(candidate)))
                continue
            # The same file reached under another name is the same loaded library, with the
            # same one port: hand out the same Library for it.
            library = _loaded.get(handle._handle) or Library(handle, candidate)
            _loaded[handle._handle] = _loaded[candidate] = library
            return library
        _, note = release_library() if _WINDOWS else (None, None)
        raise errors.OrvexError(
            "ORVEX_DLL not found; pass its path, set %s, or install it on the system library "
            "path. Tried: %s%s" % (LIBRARY_ENV, "; ".join(tried), ". " + note if note else "")
        )


def meanings():
    """The library that says what codes mean: the one loaded already, else the one load()
    finds; None where none can be loaded or it is too old to say (the pure-Python python-can
    interface may run without it)."""
    if _loaded:
        library = next(iter(_loaded.values()))
    else:
        try:
            library = load()
        except (errors.OrvexError, OSError):
            return None
    return library if library.has("Orvex_AbortText") else None

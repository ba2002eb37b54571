"""orvex: Python binding of ORVEX_DLL, the library that commands CANopen servo drives (CiA 402)
through a serial-to-CAN adapter.

    import orvex
    with orvex.Bus("/dev/ttyUSB0") as bus:
        drive = bus.drive(1)
        drive.enable()
        drive.set_profile(40000, 200000, 200000)
        drive.move_to(20000, wait=True)

The library is found through the ``library`` argument, the ORVEX_LIBRARY environment variable,
or the system's library path, in that order. Failures raise OrvexError subclasses.
"""

from ._library import LIBRARY_ENV, PROTOTYPES, Library, find_library_path, load
from .bus import Bus, Drive
from .errors import (
    ABORT_MEANINGS,
    BadArgumentError,
    DriveFaultError,
    NoPortError,
    OrvexError,
    OrvexSystemError,
    SdoAbortError,
    TimeoutError,
    abort_meaning,
)
from .status import Status, state_name

__version__ = "1.0.0"

__all__ = [
    "ABORT_MEANINGS",
    "BadArgumentError",
    "Bus",
    "Drive",
    "DriveFaultError",
    "LIBRARY_ENV",
    "Library",
    "NoPortError",
    "OrvexError",
    "OrvexSystemError",
    "PROTOTYPES",
    "SdoAbortError",
    "Status",
    "TimeoutError",
    "abort_meaning",
    "find_library_path",
    "load",
    "state_name",
]

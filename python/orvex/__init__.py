"""orvex: Python binding of ORVEX_DLL, the library that commands CANopen servo drives (CiA 402)
through a serial-to-CAN adapter.

    import orvex
    with orvex.Bus("/dev/ttyUSB0") as bus:
        drive = bus.drive(1)
        drive.enable()                     # step by step, each step confirmed (by the library)
        drive.set_profile(40000, 200000, 200000)
        drive.move_to(20000, wait=True)

The library is found through the ``library`` argument, the ORVEX_LIBRARY environment variable,
or the system's library path, in that order. Failures raise OrvexError subclasses.
"""

from ._library import (
    LIBRARY_ENV,
    LOAD_DELAY_ENV,
    OPTIONAL_PROTOTYPES,
    PROTOTYPES,
    Library,
    find_library_path,
    load,
)
from .bus import Bus, Drive, Reading
from .errors import (
    BadArgumentError,
    CancelledError,
    DriveFaultError,
    ErrorCode,
    MissingExportError,
    NoPortError,
    OrvexError,
    OrvexSystemError,
    PortInUseError,
    SdoAbortError,
    HomingError,
    StateChangedError,
    StateError,
    TimeoutError,
    ValueMismatchError,
    abort_meaning,
    error_class,
    error_code_meaning,
    error_register_names,
    result_text,
)
from .events import Event, EventKind
from .frames import Emergency, Frame, Kind, decode_emergency
from .status import MODE_NAMES, State, Status, mode_name, state_name

__version__ = "1.0.0"

__all__ = [
    "BadArgumentError",
    "Bus",
    "CancelledError",
    "Drive",
    "DriveFaultError",
    "Emergency",
    "Event",
    "EventKind",
    "ErrorCode",
    "HomingError",
    "Frame",
    "Kind",
    "LIBRARY_ENV",
    "LOAD_DELAY_ENV",
    "MODE_NAMES",
    "Library",
    "MissingExportError",
    "NoPortError",
    "OPTIONAL_PROTOTYPES",
    "OrvexError",
    "OrvexSystemError",
    "PROTOTYPES",
    "PortInUseError",
    "Reading",
    "SdoAbortError",
    "State",
    "StateChangedError",
    "StateError",
    "Status",
    "TimeoutError",
    "ValueMismatchError",
    "abort_meaning",
    "decode_emergency",
    "error_class",
    "error_code_meaning",
    "error_register_names",
    "find_library_path",
    "load",
    "mode_name",
    "result_text",
    "state_name",
]

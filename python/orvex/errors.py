"""Exceptions raised by the binding, one class per outcome of the library, and the meanings of
the codes a drive reports. What outcomes, abort codes and error codes mean is the library's
(Orvex_ResultText, Orvex_AbortText, Orvex_ErrorCodeText); the binding keeps no table of them.
The error register bits (0x1001) are named here."""

import builtins

# Outcome codes of Orvex_LastResult().
OK = 0
NO_PORT = -1
SYSTEM_ERROR = -2
TIMEOUT = -10
SDO_ABORT = -11
BAD_ARGUMENT = -12
# Outcomes of the drive procedures.
DRIVE_FAULT = -13
WRONG_STATE = -14
STATE_CHANGED = -15
HOMING_ERROR = -16
VALUE_MISMATCH = -17
CANCELLED = -18  # Orvex_Cancel ended the wait

OUTCOME_NAMES = {
    OK: "ORVEX_OK",
    NO_PORT: "ORVEX_NO_PORT",
    SYSTEM_ERROR: "ORVEX_SYSTEM_ERROR",
    TIMEOUT: "ORVEX_TIMEOUT",
    SDO_ABORT: "ORVEX_SDO_ABORT",
    BAD_ARGUMENT: "ORVEX_BAD_ARGUMENT",
    DRIVE_FAULT: "ORVEX_DRIVE_FAULT",
    WRONG_STATE: "ORVEX_WRONG_STATE",
    STATE_CHANGED: "ORVEX_STATE_CHANGED",
    HOMING_ERROR: "ORVEX_HOMING_ERROR",
    VALUE_MISMATCH: "ORVEX_VALUE_MISMATCH",
    CANCELLED: "ORVEX_CANCELLED",
}


def _meaning(export, code, unknown, library=None):
    """The library's text for ``code`` (``library``, else the one loaded); without a library
    that can say, ``unknown``."""
    from . import _library  # the library module imports this one

    if library is None or not library.has(export):
        library = _library.meanings()
    return unknown if library is None else library.text(export, code)


def abort_meaning(code, library=None):
    """The meaning of an SDO abort code, as the library words it (Orvex_AbortText)."""
    code &= 0xFFFFFFFF
    return _meaning("Orvex_AbortText", code, "abort code 0x%08X (its meaning needs ORVEX_DLL)"
                    % code, library)


def error_code_meaning(code, library=None):
    """The meaning of a CiA 301/402 error code (0x603F, EMCY), as the library words it
    (Orvex_ErrorCodeText): by its group or class where the code itself is not known."""
    code &= 0xFFFF
    return _meaning("Orvex_ErrorCodeText", code, "error code 0x%04X (its meaning needs ORVEX_DLL)"
                    % code, library)


def result_text(outcome, library=None):
    """The meaning of an outcome (Orvex_LastResult), as the library words it."""
    return _meaning("Orvex_ResultText", outcome, "outcome %d" % outcome, library)


# Bits of the error register (0x1001, and byte 2 of an EMCY frame).
ERROR_REGISTER_BITS = (
    (0, "generic"),
    (1, "current"),
    (2, "voltage"),
    (3, "temperature"),
    (4, "communication"),
    (5, "device profile specific"),
    (6, "reserved"),
    (7, "manufacturer specific"),
)


def error_register_names(register):
    """The names of the bits set in an error register value."""
    return [name for bit, name in ERROR_REGISTER_BITS if register & (1 << bit)]


class ErrorCode(int):
    """An error code (0x603F or EMCY): an int that also tells its ``meaning``."""

    @property
    def meaning(self):
        return error_code_meaning(self)

    def __str__(self):
        return "0x%04X (%s)" % (self, self.meaning)

    def __repr__(self):
        return "ErrorCode(0x%04X, %s)" % (self, self.meaning)


class OrvexError(Exception):
    """Base of every failure the binding reports.

    Attributes (None where they do not apply): operation (the library export that failed),
    node, index, subindex, outcome (the Orvex_LastResult code).
    """

    outcome = None

    def __init__(self, message, operation=None, node=None, index=None, subindex=None,
                 outcome=None):
        super().__init__(message)
        self.operation = operation
        self.node = node
        self.index = index
        self.subindex = subindex
        if outcome is not None:
            self.outcome = outcome


class NoPortError(OrvexError):
    """No serial port is open (or this Bus was closed)."""

    outcome = NO_PORT


class OrvexSystemError(OrvexError, OSError):
    """The operating system refused an open, write or read; .errno holds its error number."""

    outcome = SYSTEM_ERROR

    def __init__(self, message, errno=None, filename=None, **where):
        OrvexError.__init__(self, message, **where)
        self.errno = errno
        self.filename = filename

    def __str__(self):
        return self.args[0]


class TimeoutError(OrvexError, builtins.TimeoutError):  # noqa: A001 - deliberately shadows
    """No complete answer arrived in time, or a drive did not get where it was told in time."""

    outcome = TIMEOUT

    def __str__(self):
        return self.args[0]


class SdoAbortError(OrvexError):
    """The drive refused an object access; .code is the abort code, .meaning its meaning
    (both None where the library could not tell the code: a batch's second abort)."""

    outcome = SDO_ABORT

    def __init__(self, message, code=None, **where):
        super().__init__(message, **where)
        self.code = code
        self.meaning = None if code is None else abort_meaning(code)


class BadArgumentError(OrvexError, ValueError):
    """An argument was refused before anything was sent."""

    outcome = BAD_ARGUMENT


class DriveFaultError(OrvexError):
    """A drive is in fault, or went into fault while the binding waited for it
    (ORVEX_DRIVE_FAULT).

    ``code`` is its error code (an ErrorCode, 0x603F) when the drive could tell it, else None;
    ``meaning`` the code's meaning.
    """

    outcome = DRIVE_FAULT

    def __init__(self, message, code=None, **where):
        super().__init__(message, **where)
        self.code = None if code is None else ErrorCode(code)
        self.meaning = None if code is None else self.code.meaning


class MissingExportError(OrvexError):
    """The loaded library lacks an extension export that the call needs."""


class PortInUseError(OrvexError):
    """Another Bus holds the library's one port in this process; close it first."""


class StateError(OrvexError):
    """A drive is not in the state or mode a command needs (ORVEX_WRONG_STATE; nothing was
    written), or did not reach the state a command asked for."""

    outcome = WRONG_STATE


class StateChangedError(StateError):
    """A drive left operation enabled (quick stop, disable) or was halted while the binding
    waited for it (ORVEX_STATE_CHANGED)."""

    outcome = STATE_CHANGED


class HomingError(OrvexError):
    """A drive reports a homing error (statusword bit 13, ORVEX_HOMING_ERROR)."""

    outcome = HOMING_ERROR


class ValueMismatchError(OrvexError):
    """A value read back after a write differs from the one written: the drive refused or
    limited it (ORVEX_VALUE_MISMATCH)."""

    outcome = VALUE_MISMATCH


class CancelledError(OrvexError):
    """Orvex_Cancel ended the wait (Bus.cancel(), from this process, in any thread)
    (ORVEX_CANCELLED). A wait that Ctrl-C ends raises KeyboardInterrupt instead."""

    outcome = CANCELLED


# The exception of each outcome.
_OUTCOME_ERRORS = {
    NO_PORT: NoPortError,
    SYSTEM_ERROR: OrvexSystemError,
    TIMEOUT: TimeoutError,
    SDO_ABORT: SdoAbortError,
    BAD_ARGUMENT: BadArgumentError,
    DRIVE_FAULT: DriveFaultError,
    WRONG_STATE: StateError,
    STATE_CHANGED: StateChangedError,
    HOMING_ERROR: HomingError,
    VALUE_MISMATCH: ValueMismatchError,
    CANCELLED: CancelledError,
}


def error_class(outcome):
    """The OrvexError subclass of an outcome (OrvexError itself for an unknown one)."""
    return _OUTCOME_ERRORS.get(outcome, OrvexError)

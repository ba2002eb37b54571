"""Exceptions raised by the binding, and the meanings of the standard SDO abort codes."""

import builtins

# Outcome codes of Orvex_LastResult().
OK = 0
NO_PORT = -1
SYSTEM_ERROR = -2
TIMEOUT = -10
SDO_ABORT = -11
BAD_ARGUMENT = -12

OUTCOME_NAMES = {
    OK: "ORVEX_OK",
    NO_PORT: "ORVEX_NO_PORT",
    SYSTEM_ERROR: "ORVEX_SYSTEM_ERROR",
    TIMEOUT: "ORVEX_TIMEOUT",
    SDO_ABORT: "ORVEX_SDO_ABORT",
    BAD_ARGUMENT: "ORVEX_BAD_ARGUMENT",
}

# CiA 301 SDO abort codes.
ABORT_MEANINGS = {
    0x05030000: "toggle bit not alternated",
    0x05040000: "SDO protocol timed out",
    0x05040001: "client/server command specifier not valid or unknown",
    0x05040002: "invalid block size",
    0x05040003: "invalid sequence number",
    0x05040004: "CRC error",
    0x05040005: "out of memory",
    0x06010000: "unsupported access to an object",
    0x06010001: "attempt to read a write-only object",
    0x06010002: "attempt to write a read-only object",
    0x06020000: "object does not exist in the object dictionary",
    0x06040041: "object cannot be mapped to the PDO",
    0x06040042: "the number and length of the objects to be mapped would exceed the PDO length",
    0x06040043: "general parameter incompatibility",
    0x06040047: "general internal incompatibility in the device",
    0x06060000: "access failed due to a hardware error",
    0x06070010: "data type does not match, length of service parameter does not match",
    0x06070012: "data type does not match, length of service parameter too high",
    0x06070013: "data type does not match, length of service parameter too low",
    0x06090011: "sub-index does not exist",
    0x06090030: "value range of parameter exceeded",
    0x06090031: "value of parameter written too high",
    0x06090032: "value of parameter written too low",
    0x06090036: "maximum value is less than minimum value",
    0x060A0023: "resource not available: SDO connection",
    0x08000000: "general error",
    0x08000020: "data cannot be transferred or stored to the application",
    0x08000021: "data cannot be transferred or stored to the application because of local control",
    0x08000022: (
        "data cannot be transferred or stored to the application "
        "because of the present device state"
    ),
    0x08000023: "object dictionary dynamic generation failed or no object dictionary is present",
    0x08000024: "no data available",
}


def abort_meaning(code):
    """The meaning of an SDO abort code, or a note that the code is not a standard one."""
    return ABORT_MEANINGS.get(code, "not a standard abort code (the manufacturer's own?)")


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
    """The drive refused an object access; .code is the abort code, .meaning its meaning."""

    outcome = SDO_ABORT

    def __init__(self, message, code=0, **where):
        super().__init__(message, **where)
        self.code = code
        self.meaning = abort_meaning(code)


class BadArgumentError(OrvexError, ValueError):
    """An argument was refused before anything was sent."""

    outcome = BAD_ARGUMENT


class DriveFaultError(OrvexError):
    """A drive went into fault while the binding waited for it."""

"""Exceptions raised by the binding, and the binding's one table of each code a drive reports:
SDO abort codes, error codes (0x603F and EMCY) and error register bits (0x1001)."""

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


# CiA 301 / CiA 402 error codes, as a drive reports them in 0x603F and in its EMCY frames.
# Codes not listed are named by their class (the same code with its low byte, then its low
# twelve bits, cleared).
ERROR_CODE_MEANINGS = {
    0x0000: "no error",
    0x1000: "generic error",
    0x2000: "current",
    0x2100: "current, device input side",
    0x2200: "current inside the device",
    0x2300: "current, device output side",
    0x2310: "continuous over-current",
    0x2320: "short circuit or earth leakage",
    0x2330: "earth leakage",
    0x2340: "short circuit",
    0x3000: "voltage",
    0x3100: "mains voltage",
    0x3110: "mains over-voltage",
    0x3120: "mains under-voltage",
    0x3200: "voltage inside the device",
    0x3210: "DC link over-voltage",
    0x3220: "DC link under-voltage",
    0x3300: "output voltage",
    0x4000: "temperature",
    0x4100: "ambient temperature",
    0x4200: "device temperature",
    0x4210: "excess temperature, device",
    0x4300: "drive temperature",
    0x4310: "excess temperature, drive",
    0x5000: "device hardware",
    0x6000: "device software",
    0x6100: "internal software",
    0x6200: "user software",
    0x6300: "data set",
    0x7000: "additional modules",
    0x7100: "power",
    0x7121: "motor blocked",
    0x7300: "sensor",
    0x7305: "incremental sensor 1 faulty",
    0x7500: "communication",
    0x8000: "monitoring",
    0x8100: "communication",
    0x8110: "CAN overrun (objects lost)",
    0x8120: "CAN in error passive mode",
    0x8130: "life guard or heartbeat error",
    0x8140: "recovered from bus off",
    0x8150: "CAN identifier collision",
    0x8200: "protocol error",
    0x8210: "PDO not processed due to length error",
    0x8220: "PDO length exceeded",
    0x8400: "velocity speed controller",
    0x8500: "position controller",
    0x8600: "positioning controller",
    0x8611: "following error",
    0x8612: "reference limit",
    0x9000: "external error",
    0xF000: "additional functions",
    0xFF00: "device specific",
}

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


def error_code_meaning(code):
    """The meaning of a CiA 301/402 error code (0x603F, EMCY), by its class where the exact
    code is not a standard one."""
    code &= 0xFFFF
    if code in ERROR_CODE_MEANINGS:
        return ERROR_CODE_MEANINGS[code]
    for mask in (0xFFF0, 0xFF00, 0xF000):
        general = code & mask
        if general and general in ERROR_CODE_MEANINGS:
            return ERROR_CODE_MEANINGS[general]
    return "not a standard error code"


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

"""The CiA 402 statusword (object 0x6041): the power state, as the library decodes and names it
(Orvex_DecodeState, Orvex_StateName), and the flag bits.
"""

import enum


class State(str, enum.Enum):
    """A CiA 402 power state. Members compare equal to their readable names, the library's
    (``State.FAULT == "fault"``), and print as them."""

    NOT_READY_TO_SWITCH_ON = "not ready to switch on"
    SWITCH_ON_DISABLED = "switch on disabled"
    READY_TO_SWITCH_ON = "ready to switch on"
    SWITCHED_ON = "switched on"
    OPERATION_ENABLED = "operation enabled"
    QUICK_STOP_ACTIVE = "quick stop active"
    FAULT_REACTION_ACTIVE = "fault reaction active"
    FAULT = "fault"
    UNKNOWN = "unknown state"

    def __str__(self):
        return self.value

    def __format__(self, fmt):
        return format(self.value, fmt)

    @property
    def in_fault(self):
        """Fault or fault reaction active: only a fault reset brings the drive back."""
        return self in (State.FAULT, State.FAULT_REACTION_ACTIVE)


# The names as module constants, for code written against earlier versions.
NOT_READY_TO_SWITCH_ON = State.NOT_READY_TO_SWITCH_ON
SWITCH_ON_DISABLED = State.SWITCH_ON_DISABLED
READY_TO_SWITCH_ON = State.READY_TO_SWITCH_ON
SWITCHED_ON = State.SWITCHED_ON
OPERATION_ENABLED = State.OPERATION_ENABLED
QUICK_STOP_ACTIVE = State.QUICK_STOP_ACTIVE
FAULT_REACTION_ACTIVE = State.FAULT_REACTION_ACTIVE
FAULT = State.FAULT

# Bit 5 is active low: it is SET while no quick stop is in progress, so it is named for that.
_FLAGS = (
    ("ready_to_switch_on", 0),
    ("switched_on", 1),
    ("operation_enabled", 2),
    ("fault", 3),
    ("voltage_enabled", 4),
    ("quick_stop_not_active", 5),
    ("switch_on_disabled", 6),
    ("warning", 7),
    ("remote", 9),
    ("target_reached", 10),
    ("internal_limit_active", 11),
    ("mode_bit_12", 12),  # homing attained in homing, set-point acknowledge in position
    ("mode_bit_13", 13),  # homing error in homing, following error in position
)

MODE_BIT_12 = 1 << 12
MODE_BIT_13 = 1 << 13


# Modes of operation (0x6060, and its display 0x6061).
MODE_NAMES = {
    0: "no mode",
    1: "profile position",
    3: "profile velocity",
    4: "profile torque",
    6: "homing",
    7: "interpolated position",
    8: "cyclic synchronous position",
    9: "cyclic synchronous velocity",
    10: "cyclic synchronous torque",
}
PROFILE_POSITION = 1
PROFILE_VELOCITY = 3
PROFILE_TORQUE = 4
HOMING = 6


def mode_name(mode):
    """A mode of operation's name ("mode -3" for one the profile does not name)."""
    return MODE_NAMES.get(mode, "mode %d" % mode)


def _library():
    from . import _library as library_module  # the library module imports errors, not this one

    library = library_module.meanings()
    if library is None:
        from .errors import MissingExportError

        raise MissingExportError("decoding a statusword needs ORVEX_DLL (Orvex_DecodeState)")
    return library


def state_from_code(code):
    """The State of a library state code (ORVEX_STATE_*), by the library's name for it."""
    try:
        return State(_library().text("Orvex_StateName", code))
    except ValueError:  # "not a state code"
        return State.UNKNOWN


def decode_state(word):
    """The power state a statusword reports; State.UNKNOWN for a combination no state has."""
    return state_from_code(_library().Orvex_DecodeState(int(word) & 0xFFFF))


def state_name(word):
    """The power state's readable name ('unknown state' for a combination no state has)."""
    return decode_state(word).value


class Status:
    """A statusword: ``raw``, ``state`` (a State) and one flag per bit."""

    __slots__ = ("raw",)

    def __init__(self, raw):
        self.raw = int(raw) & 0xFFFF

    @property
    def state(self):
        return decode_state(self.raw)

    @property
    def enabled(self):
        """Operation enabled: the drive follows set-points."""
        return self.state == State.OPERATION_ENABLED

    @property
    def in_fault(self):
        """Fault or fault reaction active."""
        return self.state.in_fault

    @property
    def quick_stop_active(self):
        """The drive is in the quick stop active state (bit 5 low while operating)."""
        return self.state == State.QUICK_STOP_ACTIVE

    @property
    def quick_stop(self):
        """Bit 5 as the drive sends it: SET while no quick stop is in progress. Kept for code
        written against earlier versions; quick_stop_not_active and quick_stop_active say
        which way round it is."""
        return bool(self.raw & (1 << 5))

    @property
    def homing_attained(self):
        return bool(self.raw & MODE_BIT_12)

    @property
    def homing_error(self):
        return bool(self.raw & MODE_BIT_13)

    @property
    def set_point_acknowledged(self):
        """Bit 12 in profile position mode: the drive has taken the new set-point."""
        return bool(self.raw & MODE_BIT_12)

    def flags(self):
        """The names of the bits that are set."""
        return [name for name, bit in _FLAGS if self.raw & (1 << bit)]

    def __eq__(self, other):
        if isinstance(other, Status):
            return self.raw == other.raw
        return NotImplemented

    def __hash__(self):
        return hash(self.raw)

    def __repr__(self):
        return "Status(0x%04X, %s, [%s])" % (self.raw, self.state, ", ".join(self.flags()))


def _flag_property(bit):
    return property(lambda self: bool(self.raw & (1 << bit)))


for _name, _bit in _FLAGS:
    setattr(Status, _name, _flag_property(_bit))
del _name, _bit

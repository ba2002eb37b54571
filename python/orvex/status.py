"""Decoding of the CiA 402 statusword (object 0x6041)."""

NOT_READY_TO_SWITCH_ON = "not ready to switch on"
SWITCH_ON_DISABLED = "switch on disabled"
READY_TO_SWITCH_ON = "ready to switch on"
SWITCHED_ON = "switched on"
OPERATION_ENABLED = "operation enabled"
QUICK_STOP_ACTIVE = "quick stop active"
FAULT_REACTION_ACTIVE = "fault reaction active"
FAULT = "fault"

# (mask, value, state), checked in order; the first match names the state.
_STATES = (
    (0x4F, 0x00, NOT_READY_TO_SWITCH_ON),
    (0x4F, 0x40, SWITCH_ON_DISABLED),
    (0x6F, 0x21, READY_TO_SWITCH_ON),
    (0x6F, 0x23, SWITCHED_ON),
    (0x6F, 0x27, OPERATION_ENABLED),
    (0x6F, 0x07, QUICK_STOP_ACTIVE),
    (0x4F, 0x0F, FAULT_REACTION_ACTIVE),
    (0x4F, 0x08, FAULT),
)

_FLAGS = (
    ("ready_to_switch_on", 0),
    ("switched_on", 1),
    ("operation_enabled", 2),
    ("fault", 3),
    ("voltage_enabled", 4),
    ("quick_stop", 5),  # active low: clear while a quick stop is in progress
    ("switch_on_disabled", 6),
    ("warning", 7),
    ("remote", 9),
    ("target_reached", 10),
    ("internal_limit_active", 11),
    ("mode_bit_12", 12),  # homing attained in homing, set-point acknowledge in position
    ("mode_bit_13", 13),  # homing error in homing, following error in position
)


def state_name(word):
    """The power state a statusword reports, or 'unknown' for a combination no state has."""
    for mask, value, name in _STATES:
        if word & mask == value:
            return name
    return "unknown"


class Status:
    """A statusword: ``raw``, ``state`` (the power state's name) and one flag per bit."""

    __slots__ = ("raw",)

    def __init__(self, raw):
        self.raw = int(raw) & 0xFFFF

    @property
    def state(self):
        return state_name(self.raw)

    @property
    def enabled(self):
        """Operation enabled: the drive follows set-points."""
        return self.state == OPERATION_ENABLED

    @property
    def homing_attained(self):
        return bool(self.raw & (1 << 12))

    @property
    def homing_error(self):
        return bool(self.raw & (1 << 13))

    @property
    def quick_stop_active(self):
        return self.state == QUICK_STOP_ACTIVE

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

"""Events: what the drives say by themselves, decoded by the library (Orvex_NextEvent):
emergencies, boot-ups, NMT state changes seen in heartbeats, heartbeats lost and back."""

import enum

from .errors import ErrorCode, error_register_names


class EventKind(enum.IntEnum):
    """The kinds of OrvexEvent (orvex.h, ORVEX_EVENT_*)."""

    EMERGENCY = 1
    BOOT_UP = 2
    STATE_CHANGED = 3
    HEARTBEAT_LOST = 4
    HEARTBEAT_BACK = 5

    def __str__(self):
        return self.name.lower().replace("_", "-")


NMT_STATES = {0x00: "boot-up", 0x04: "stopped", 0x05: "operational", 0x7F: "pre-operational"}


class Event:
    """One event: ``kind`` (an EventKind), ``node``, ``time_ms`` (the library's millisecond tick
    at arrival), and for an emergency ``error_code`` (an ErrorCode: ``.meaning`` is the
    library's text), ``error_register`` and the five ``manufacturer`` bytes; for the others
    ``nmt_state`` (the state a heartbeat or boot-up showed). ``text`` says what it means."""

    __slots__ = ("kind", "node", "time_ms", "error_code", "error_register", "manufacturer",
                 "nmt_state")

    def __init__(self, raw):
        try:
            self.kind = EventKind(raw.kind)
        except ValueError:
            self.kind = raw.kind
        self.node = raw.node
        self.time_ms = raw.time_ms
        self.error_code = ErrorCode(raw.error_code)
        self.error_register = raw.error_register
        self.manufacturer = bytes(raw.data)
        self.nmt_state = raw.nmt_state

    @property
    def nmt_state_name(self):
        return NMT_STATES.get(self.nmt_state, "state 0x%02X" % self.nmt_state)

    @property
    def text(self):
        if self.kind == EventKind.EMERGENCY:
            names = error_register_names(self.error_register)
            return "0x%04X %s, error register 0x%02X%s" % (
                self.error_code, self.error_code.meaning, self.error_register,
                " (%s)" % ", ".join(names) if names else "")
        if self.kind == EventKind.BOOT_UP:
            return "the node started (boot-up)"
        if self.kind == EventKind.STATE_CHANGED:
            return "NMT state now " + self.nmt_state_name
        if self.kind == EventKind.HEARTBEAT_LOST:
            return "no heartbeat within the consumer time"
        if self.kind == EventKind.HEARTBEAT_BACK:
            return "heartbeat back, " + self.nmt_state_name
        return "event kind %d" % self.kind

    def __repr__(self):
        return "Event(node %d, %s: %s)" % (self.node, self.kind, self.text)

"""The adapter's 12-byte frames: building them, finding them in a byte stream (FrameReader),
and decoding what arrives (Bus.receive, the python-can interface): what kind of CANopen message
each is, and the content of SDO answers, emergencies and heartbeats.

A frame is the CAN identifier (high byte, low byte), eight data bytes and CR LF. The adapter
carries no data length: every frame has eight data bytes.
"""

import enum
import struct

from .errors import ErrorCode, abort_meaning, error_register_names

FRAME_LENGTH = 12
DATA_LENGTH = 8
FRAME_END = b"\r\n"
MAX_CAN_ID = 0x7FF  # standard 11-bit identifiers only
LOOK_BEHIND = 3 * FRAME_LENGTH - 1  # a frame and the bytes looked at behind it


def encode_frame(can_id, data=b""):
    """The 12 bytes that carry a standard frame to the adapter: identifier high and low byte,
    ``data`` (at most eight bytes) padded with zeros to eight, CR LF."""
    data = bytes(data)
    if not 0 <= can_id <= MAX_CAN_ID:
        raise ValueError("CAN identifier 0x%X is not an 11-bit identifier" % can_id)
    if len(data) > DATA_LENGTH:
        raise ValueError("a frame carries at most %d data bytes, not %d"
                         % (DATA_LENGTH, len(data)))
    return bytes((can_id >> 8, can_id & 0xFF)) + data.ljust(DATA_LENGTH, b"\0") + FRAME_END


def decode_frame(raw):
    """(identifier, data) of a 12-byte frame: the 11-bit identifier and the eight data bytes."""
    if len(raw) != FRAME_LENGTH:
        raise ValueError("a frame is %d bytes, not %d" % (FRAME_LENGTH, len(raw)))
    return (raw[0] << 8 | raw[1]) & MAX_CAN_ID, bytes(raw[2:2 + DATA_LENGTH])


class FrameReader:
    """Finds frames in the bytes that arrive from the adapter, with the library's framing.

    A 12-byte window is a frame when its bytes 10-11 are CR LF. A window that is not drops its
    first byte and the next one is looked at, so no complete frame that follows noise is skipped
    over. Right after a frame, the next 12 bytes are the next frame, as an adapter sends them.
    Where framing is not known (at the start, or after bytes were dropped), noise followed by the
    front of a frame whose data holds 0D 0A can also make a window that ends in CR LF; there the
    input already waiting behind the window is looked at (up to 23 bytes): when the window right
    after it is complete and not a frame, while a later window over the same bytes is a frame
    followed by a frame, that later window is the frame.

    ``add`` what arrives and ``pop`` frames; ``missing`` says how many bytes complete the window
    being looked at, so a reader that takes no more than that from the port leaves what follows
    in the device. ``feed`` does both, for bytes that have all arrived.
    """

    __slots__ = ("_held", "_aligned", "dropped")

    def __init__(self):
        self._held = bytearray()
        self._aligned = False  # the bytes held follow a frame taken
        self.dropped = 0  # noise bytes discarded so far

    @property
    def missing(self):
        """Bytes still needed before the next window can be looked at (0-12)."""
        return max(FRAME_LENGTH - len(self._held), 0)

    @property
    def pending(self):
        """The bytes held that are not yet part of a frame."""
        return bytes(self._held)

    def add(self, data):
        self._held += data

    def pop(self, read_waiting=None):
        """The next frame held (12 bytes), or None until more input arrives. ``read_waiting(n)``
        returns up to n bytes that are already waiting, without waiting: they are what is looked
        at behind a frame where framing is not known."""
        held = self._held
        first = 0
        while first + FRAME_LENGTH <= len(held) and not self._frame_at(first):
            first += 1
        if not self._frame_at(first):
            if len(held) >= FRAME_LENGTH:  # the last 11 bytes may still begin a frame
                self._drop(len(held) - (FRAME_LENGTH - 1))
            return None
        if first:
            self._drop(first)
        later = 0
        if not self._aligned:
            while read_waiting is not None and len(held) < LOOK_BEHIND:
                more = read_waiting(LOOK_BEHIND - len(held))
                if not more:
                    break
                held += more
            later = self._later_frame()
        raw = bytes(held[later:later + FRAME_LENGTH])
        self.dropped += later
        del held[:later + FRAME_LENGTH]
        self._aligned = True
        return raw

    def feed(self, data):
        """Takes ``data`` and returns the frames (12 bytes each) it completes, in order."""
        self.add(data)
        frames = []
        raw = self.pop()
        while raw is not None:
            frames.append(raw)
            raw = self.pop()
        return frames

    def reset(self):
        """Forgets the bytes held (after the port was purged or reopened)."""
        self._held.clear()
        self._aligned = False

    def _frame_at(self, at):
        return (at + FRAME_LENGTH <= len(self._held)
                and self._held[at + FRAME_LENGTH - 2:at + FRAME_LENGTH] == FRAME_END)

    def _drop(self, count):
        del self._held[:count]
        self.dropped += count
        self._aligned = False

    def _later_frame(self):
        if len(self._held) < 2 * FRAME_LENGTH or self._frame_at(FRAME_LENGTH):
            return 0
        for later in range(1, FRAME_LENGTH):
            if self._frame_at(later) and self._frame_at(later + FRAME_LENGTH):
                return later
        return 0


class Kind(str, enum.Enum):
    """What a frame is, by its CAN identifier (and, for 0x700+node, its first data byte)."""

    SDO_ANSWER = "sdo answer"  # 0x580-0x5FF, an SDO response (or abort); 0x580 is the bus (node 0)
    SDO_REQUEST = "sdo request"  # 0x600-0x67F, a host's request (an echo, or another host)
    EMCY = "emcy"  # 0x081-0x0FF
    HEARTBEAT = "heartbeat"  # 0x701-0x77F with an NMT state
    BOOT_UP = "boot-up"  # 0x701-0x77F with data byte 0 = 0
    NMT = "nmt"  # 0x000
    OTHER = "other"

    def __str__(self):
        return self.value

    def __format__(self, fmt):
        return format(self.value, fmt)


NMT_STATES = {
    0x00: "boot-up",
    0x04: "stopped",
    0x05: "operational",
    0x7F: "pre-operational",
}

NMT_COMMANDS = {
    0x01: "start",
    0x02: "stop",
    0x80: "enter pre-operational",
    0x81: "reset node",
    0x82: "reset communication",
}


class Emergency:
    """An EMCY frame's content: ``code`` (an ErrorCode), ``meaning``, ``error_register`` and
    its bit names, and the five manufacturer-specific bytes."""

    __slots__ = ("node", "code", "error_register", "manufacturer")

    def __init__(self, node, code, error_register, manufacturer=b""):
        self.node = node
        self.code = ErrorCode(code)
        self.error_register = error_register
        self.manufacturer = bytes(manufacturer)

    @property
    def meaning(self):
        return self.code.meaning

    @property
    def register_names(self):
        return error_register_names(self.error_register)

    def __repr__(self):
        return "Emergency(node %d, 0x%04X %s, error register 0x%02X [%s])" % (
            self.node, self.code, self.meaning, self.error_register,
            ", ".join(self.register_names))


def decode_emergency(data, node=0):
    """The content of an EMCY frame's eight data bytes."""
    data = bytes(data)
    if len(data) < 3:
        raise ValueError("an EMCY frame carries at least 3 data bytes, not %d" % len(data))
    code = data[0] | data[1] << 8
    return Emergency(node, code, data[2], data[3:8])


class Frame:
    """One 12-byte frame from the adapter: ``id`` (11-bit CAN identifier), ``data`` (the eight
    data bytes), ``kind`` (a Kind), ``node`` (for node-addressed kinds, else None), ``raw``."""

    __slots__ = ("raw", "id", "data", "kind", "node")

    def __init__(self, raw):
        raw = bytes(raw)
        self.id, self.data = decode_frame(raw)
        self.raw = raw
        self.kind, self.node = _classify(self.id, self.data)

    # -- SDO ----------------------------------------------------------------------------------

    @property
    def command(self):
        """The SDO command specifier (data byte 0)."""
        return self.data[0]

    @property
    def index(self):
        return self.data[1] | self.data[2] << 8

    @property
    def subindex(self):
        return self.data[3]

    @property
    def value(self):
        """Data bytes 4-7, least significant first (an SDO value or abort code)."""
        return struct.unpack_from("<I", self.data, 4)[0]

    @property
    def is_abort(self):
        return self.kind in (Kind.SDO_ANSWER, Kind.SDO_REQUEST) and self.command == 0x80

    @property
    def abort_meaning(self):
        return abort_meaning(self.value) if self.is_abort else None

    # -- EMCY, heartbeat, NMT -----------------------------------------------------------------

    @property
    def emergency(self):
        """The decoded Emergency of an EMCY frame, else None."""
        return decode_emergency(self.data, self.node) if self.kind == Kind.EMCY else None

    @property
    def nmt_state(self):
        """The NMT state's name in a heartbeat or boot-up, else None."""
        if self.kind not in (Kind.HEARTBEAT, Kind.BOOT_UP):
            return None
        state = self.data[0] & 0x7F
        return NMT_STATES.get(state, "state 0x%02X" % state)

    def __eq__(self, other):
        if isinstance(other, Frame):
            return self.raw == other.raw
        return NotImplemented

    def __hash__(self):
        return hash(self.raw)

    def __repr__(self):
        text = "Frame(%s, id 0x%03X, %s" % (self.kind, self.id, self.data.hex(" ").upper())
        if self.kind in (Kind.SDO_ANSWER, Kind.SDO_REQUEST):
            text += ", node %d, 0x%04X:%02X" % (self.node, self.index, self.subindex)
            if self.is_abort:
                text += ", abort 0x%08X %s" % (self.value, self.abort_meaning)
        elif self.kind == Kind.EMCY:
            emergency = self.emergency
            text += ", node %d, 0x%04X %s" % (self.node, emergency.code, emergency.meaning)
        elif self.kind in (Kind.HEARTBEAT, Kind.BOOT_UP):
            text += ", node %d, %s" % (self.node, self.nmt_state)
        elif self.kind == Kind.NMT:
            command = NMT_COMMANDS.get(self.data[0], "command 0x%02X" % self.data[0])
            text += ", %s, node %d" % (command, self.data[1])
        return text + ")"


def _classify(can_id, data):
    if can_id == 0x000:
        return Kind.NMT, None
    if 0x081 <= can_id <= 0x0FF:
        return Kind.EMCY, can_id - 0x080
    if 0x580 <= can_id <= 0x5FF:
        return Kind.SDO_ANSWER, can_id - 0x580
    if 0x600 <= can_id <= 0x67F:
        return Kind.SDO_REQUEST, can_id - 0x600
    if 0x701 <= can_id <= 0x77F:
        return (Kind.BOOT_UP if data[0] == 0 else Kind.HEARTBEAT), can_id - 0x700
    return Kind.OTHER, None

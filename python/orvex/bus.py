"""The checked object interface: a Bus (the serial port) and the Drives behind it."""

import collections
import ctypes
import math
import numbers
import operator
import os
import threading
import weakref

from . import errors
from ._library import Library, OrvexEvent, load
from .errors import (
    BadArgumentError,
    CancelledError,
    DriveFaultError,
    ErrorCode,
    HomingError,
    NoPortError,
    OrvexError,
    OrvexSystemError,
    PortInUseError,
    SdoAbortError,
    StateChangedError,
    StateError,
    TimeoutError,
    ValueMismatchError,
)
from .events import Event
from .frames import FRAME_LENGTH, Frame
from .status import (
    HOMING,
    PROFILE_POSITION,
    PROFILE_TORQUE,
    PROFILE_VELOCITY,
    State,
    Status,
    mode_name,
    state_from_code,
)

INT8 = (-(1 << 7), (1 << 7) - 1)
INT16 = (-(1 << 15), (1 << 15) - 1)
INT32 = (-(1 << 31), (1 << 31) - 1)
UINT32 = (0, (1 << 32) - 1)
# Anything that fits 32 bits, signed or not: the range the command-line tool takes for values
# passed through as raw bits (the LED, SDO values of 4 bytes).
BITS32 = (INT32[0], UINT32[1])
# The library's own bounds for its time limits, in milliseconds.
TIME_LIMIT_MS = (1, 60000)
MAX_BATCH = 127
_NOT_DONE = -32768
# Objects of any size: the block size bounds, the abort that says a buffer was too small, and the
# largest object sdo_upload reads again with a larger buffer.
BLOCK_SIZE = (1, 127)
_ABORT_OUT_OF_MEMORY = 0x05040005
# The abort an expedited read ends with when the object answers as a longer one (a segmented or
# block answer): sdo_upload reads it.
_ABORT_NOT_EXPEDITED = 0x05040001
_MAX_UPLOAD = 1 << 24

# Objects the binding reads and writes, named in failure messages.
ERROR_CODE = (0x603F, 0)
TARGET_TORQUE = (0x6071, 0)
MAX_PROFILE_VELOCITY = (0x607F, 0)
PROFILE_VELOCITY_OBJECT = (0x6081, 0)
HOMING_ACCELERATION = (0x609A, 0)
MODES_OF_OPERATION = (0x6060, 0)
MODE_DISPLAY = (0x6061, 0)
STATUSWORD = (0x6041, 0)
POSITION_ACTUAL = (0x6064, 0)
VELOCITY_ACTUAL = (0x606C, 0)
VERSION = (0x2001, 1)
DEVICE_NAME = (0x1008, 0)
SOFTWARE_VERSION = (0x100A, 0)
ALL_ENABLED = (0x3001, 0)
ALL_REACHED = (0x3002, 0)
ALL_IN_FAULT = (0x3003, 0)

# Flags of Orvex_MoveTo.
MOVE_RELATIVE = 1
MOVE_IMMEDIATE = 2

# Time limits of the drive procedures, in seconds.
STEP_TIMEOUT = 2.0  # a set-point handshake
POWER_TIMEOUT = 8.0  # a walk through the power states
STANDSTILL_TIMEOUT = 10.0  # a halted or quick-stopped drive coming to a stand
MAX_WAIT_MS = 3600000  # the longest limit a procedure takes
# How often the main thread looks up from a wait it has handed to a worker: where a lock wait
# cannot be interrupted (Windows), Ctrl-C is seen within this many seconds.
_LOOK_UP_S = 0.2
# The halt after an interrupted motion wait goes out at once and is looked at once: the caller
# gets the interrupt back without waiting for the drive to stand.
_HALT_AFTER_INTERRUPT_MS = 0

# Which Bus opened the library's one port (a weak reference, or _nobody), so that a second Bus
# is refused while the first is open, and closing a Bus that no longer holds the port leaves
# the port alone.
_owners_lock = threading.Lock()


def _nobody():
    return None


def _whole(name, value, bounds):
    try:
        number = operator.index(value)
    except TypeError:
        raise BadArgumentError("%s must be a whole number, not %r" % (name, value)) from None
    low, high = bounds
    if not low <= number <= high:
        raise BadArgumentError("%s %d is outside %d..%d" % (name, number, low, high))
    return number


def _seconds(name, value):
    """A time limit in seconds: a finite number, 0 or more."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise BadArgumentError("%s must be a number of seconds, not %r" % (name, value))
    seconds = float(value)
    if not math.isfinite(seconds) or seconds < 0:
        raise BadArgumentError("%s must be a finite number of seconds, 0 or more, not %r"
                               % (name, value))
    return seconds


def _device_path(device):
    """A device path as given (str, bytes or path-like), refused when it cannot name a file."""
    try:
        path = os.fspath(device)
    except TypeError:
        raise BadArgumentError("a device path must be a str, bytes or path, not %r"
                               % (device,)) from None
    if not path:
        raise BadArgumentError("the device path is empty")
    if ("\0" if isinstance(path, str) else b"\0") in path:
        raise BadArgumentError("the device path %r contains a NUL character" % (path,))
    return path


def _milliseconds(name, seconds):
    """A procedure's time limit in whole milliseconds, from seconds."""
    milliseconds = math.ceil(_seconds(name, seconds) * 1000)
    if milliseconds > MAX_WAIT_MS:
        raise BadArgumentError("%s %r is longer than the library's %d s"
                               % (name, seconds, MAX_WAIT_MS // 1000))
    return milliseconds


def _mode_phrase(mode):
    """ "no mode of operation", "homing mode" """
    return "no mode of operation" if mode == 0 else "%s mode" % mode_name(mode)


def _signed32(raw):
    raw &= 0xFFFFFFFF
    return raw - (1 << 32) if raw & (1 << 31) else raw


def _bits_to_nodes(mask):
    mask &= 0xFFFFFFFF
    return {bit + 1 for bit in range(32) if mask & (1 << bit)}


def _where(node=None, obj=None):
    parts = []
    if node is not None:
        parts.append("node %d" % node)
    if obj is not None:
        parts.append("object 0x%04X:%02X" % obj)
    return " (%s)" % ", ".join(parts) if parts else ""


def _call_waiting(library, function, *args, halt=None):
    """Calls an export that waits (a drive procedure, Orvex_ReceiveFrame) once, with its whole
    limit; returns its result followed by the call's outcome, abort code and system error.

    While a ctypes call blocks, Python cannot run its SIGINT handler, so Ctrl-C would wait for
    the limit. In the main thread the call therefore runs in a worker thread while the main
    thread waits for it, where KeyboardInterrupt (or any exception) reaches it: the main thread
    then calls Orvex_Cancel until the worker's call has ended (a cancel reaches only waits in
    progress, and the worker's may be about to begin), halts node ``halt`` when the wait
    followed its motion (the motion must not go on once nobody follows it), and raises the
    exception again. The failure detail is per thread: the worker reads it right after its call.
    """

    def call():
        return (function(*args),) + library.last_failure()

    if (not library.has("Orvex_Cancel")
            or threading.current_thread() is not threading.main_thread()):
        return call()
    ended = {}

    def run():
        try:
            ended["result"] = call()
        except BaseException as error:  # handed to the caller below
            ended["error"] = error

    worker = threading.Thread(target=run, name="orvex wait", daemon=True)
    worker.start()
    try:
        while worker.is_alive():
            worker.join(_LOOK_UP_S)
    except BaseException:
        while worker.is_alive():
            library.Orvex_Cancel()
            try:
                worker.join(0.01)
            except KeyboardInterrupt:  # pressed again while the library lets go
                pass
        if halt is not None and library.has("Orvex_Halt"):
            library.Orvex_Halt(halt, _HALT_AFTER_INTERRUPT_MS)
        raise
    if "error" in ended:
        raise ended["error"]
    return ended["result"]


Reading = collections.namedtuple("Reading", "node index subindex value error")
Reading.__doc__ = """One item of Bus.read_many: the object asked for, and either its value
(``error`` None) or the OrvexError that its read ended with (``value`` None)."""


class Bus:
    """The serial port to the adapter, and through it the drives on the CAN bus.

    ``Bus(device="/dev/ttyUSB0")`` opens a device path, ``Bus(port=3)`` opens COM3 (/dev/ttyS2
    on Linux). With neither, nothing is opened and the Bus uses whatever port the library
    already has open in this process. The library holds one port per process: while one Bus
    has it open, opening another raises PortInUseError and leaves the first as it was.
    ``library`` is a path to the library or a loaded ``orvex.Library``.
    """

    def __init__(self, device=None, port=None, baud=115200, library=None):
        if device is not None and port is not None:
            raise BadArgumentError("give either a device path or a port number, not both")
        if device is not None:
            device = _device_path(device)
        self.library = library if isinstance(library, Library) else load(library)
        self.device = device
        self.port = port
        self.baud = baud
        self._closed = False
        if device is not None or port is not None:
            self.open()

    # -- port ---------------------------------------------------------------------------------

    def open(self):
        """Opens the device or port given at construction. Raises PortInUseError, touching
        nothing, while another Bus has the library's port open."""
        baud = _whole("baud", self.baud, (1, INT32[1]))
        lib = self.library
        with _owners_lock:
            previous = lib.port_owner()
            if previous is not None and previous is not self and not previous._closed:
                raise PortInUseError(
                    "cannot open %s: %r already has the port open, and the library holds one "
                    "port per process; close that Bus first" % (self._target(), previous),
                    operation="open")
            if self.device is not None:
                name = "Serial_OpenDevice"
                where = os.fspath(self.device)
                opened = lib.Serial_OpenDevice(os.fsencode(where), baud)
            elif self.port is not None:
                name = "Serial_OpenPort"
                number = _whole("port", self.port, INT32)
                where = "port %d" % number
                opened = lib.Serial_OpenPort(number, baud)
            else:
                raise BadArgumentError("this Bus has no device or port to open")
            outcome, _, system_error = lib.last_failure()
            if opened == 1:
                lib.port_owner = weakref.ref(self)
                self._closed = False
                return
            # A configuration failure leaves the device open; do not keep a half-set-up port.
            lib.Serial_ClosePort()
            lib.port_owner = _nobody
            self._closed = True
        if outcome == errors.SYSTEM_ERROR:
            raise OrvexSystemError(
                "cannot open %s at %d baud: %s" % (where, baud, os.strerror(system_error)),
                errno=system_error,
                filename=where,
                operation=name,
                outcome=outcome,
            )
        raise self._failure(name, outcome, "cannot open %s at %d baud" % (where, baud))

    def close(self):
        """Closes the port if this Bus opened it and still holds it; safe to call twice."""
        lib = self.library
        with _owners_lock:
            if lib.port_owner() is self:
                lib.Serial_ClosePort()
                lib.port_owner = _nobody
            self._closed = True

    @property
    def is_open(self):
        return not self._closed and self.library.port_owner() is self

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _target(self):
        if self.device is not None:
            return os.fsdecode(self.device)
        if self.port is not None:
            return "port %s" % (self.port,)
        return "the library's port"

    def __repr__(self):
        target = self.device if self.device is not None else self.port
        return "<orvex.Bus %r%s>" % (target, "" if self.is_open else " (closed)")

    # -- checked calls ------------------------------------------------------------------------

    def _failure(self, name, outcome, context, node=None, obj=None, detail=None):
        """The error for ``outcome``. ``detail`` is (abort code, system error) of the call when
        another thread made it; by default this thread's are read."""
        lib = self.library
        abort_code, system_error = detail or (None, None)
        where = dict(operation=name, node=node, outcome=outcome)
        if obj is not None:
            where["index"], where["subindex"] = obj
        prefix = "%s%s: %s" % (name, _where(node, obj), context) if context else (
            "%s%s" % (name, _where(node, obj)))
        if outcome == errors.SYSTEM_ERROR:
            number = lib.Orvex_LastSystemError() if system_error is None else system_error
            return OrvexSystemError("%s: %s" % (prefix, os.strerror(number)), errno=number,
                                    **where)
        if outcome == errors.SDO_ABORT:
            code = lib.Orvex_LastAbortCode() if abort_code is None else abort_code
            return SdoAbortError(
                "%s: SDO abort 0x%08X, %s" % (prefix, code, errors.abort_meaning(code, lib)),
                code=code,
                **where
            )
        text = errors.result_text(outcome, lib)
        if outcome == errors.TIMEOUT:
            limit = ctypes.c_int(0)
            if lib.has("Orvex_GetTimeLimits"):
                lib.Orvex_GetTimeLimits(ctypes.byref(limit), None)
                text += " (%d ms)" % limit.value
        return errors.error_class(outcome)("%s: %s" % (prefix, text), **where)

    def _check_usable(self, name, node=None):
        # A closed Bus never reaches the library: a query would wait out its whole limit.
        if self._closed or self.library.port_open is False:
            why = "this Bus is closed" if self._closed else "no port is open"
            raise NoPortError("%s%s: %s" % (name, _where(node), why), operation=name, node=node,
                              outcome=errors.NO_PORT)

    def _command(self, name, node, *args):
        """Runs a write-only export; any result but 1 is a failure."""
        self._check_usable(name, node)
        result = getattr(self.library, name)(*args)
        outcome = self.library.Orvex_LastResult()
        if result != 1 or outcome != errors.OK:
            raise self._failure(name, outcome, None, node=node)

    def _query(self, name, *args, node=None, obj=None):
        """Runs a query; its value counts only when the library reports success."""
        self._check_usable(name, node)
        result = getattr(self.library, name)(*args)
        outcome = self.library.Orvex_LastResult()
        if outcome != errors.OK:
            raise self._failure(name, outcome, None, node=node, obj=obj)
        return result

    # -- drives and summaries -----------------------------------------------------------------

    def drive(self, node):
        """The drive at CANopen node 1..127."""
        return Drive(self, _whole("node", node, (1, 127)))

    def enabled_drives(self):
        """Node numbers of the drives with operation enabled."""
        return _bits_to_nodes(self._query("Get_ALL_Enable_Status", node=0, obj=ALL_ENABLED))

    def drives_at_target(self):
        """Node numbers of the drives that report target reached."""
        return _bits_to_nodes(self._query("Get_ALL_Reached_Status", node=0, obj=ALL_REACHED))

    def drives_in_fault(self):
        """Node numbers of the drives in fault."""
        return _bits_to_nodes(self._query("Get_ALL_Err_Status", node=0, obj=ALL_IN_FAULT))

    # -- raw bytes ----------------------------------------------------------------------------

    def transmit(self, data):
        """Writes bytes to the adapter as they are."""
        data = bytes(data)
        self._command("U_Transmit", None, data, len(data))

    def exchange(self, request, answer_length):
        """Writes ``request`` and returns the next ``answer_length`` bytes, unexamined.

        The limit is 800 ms for answers up to 50 bytes and 3800 ms beyond (set_time_limits
        changes them). Bytes of an answer
        that came too late stay queued and are read first by the next exchange.
        """
        request = bytes(request)
        answer_length = _whole("answer_length", answer_length, (0, INT32[1]))
        self._check_usable("U_Transmit_Validation")
        answer = ctypes.create_string_buffer(max(answer_length, 1))
        result = self.library.U_Transmit_Validation(
            None, request, answer, len(request), answer_length)
        outcome = self.library.Orvex_LastResult()
        if result != 0 or outcome != errors.OK:
            raise self._failure("U_Transmit_Validation", outcome, None)
        return answer.raw[:answer_length]

    # -- extensions: time limits, received frames, batched reads ------------------------------

    def set_time_limits(self, query_ms=None, exchange_ms=None):
        """Sets the library's process-wide time limits in milliseconds (1-60000): ``query_ms``
        for queries, batches and exchange() awaiting up to 50 bytes (800 at load),
        ``exchange_ms`` for exchange() awaiting more (3800 at load). None keeps a limit as it
        is. They apply to exchanges that start afterwards, for every Bus in the process."""
        values = []
        for name, value in (("query_ms", query_ms), ("exchange_ms", exchange_ms)):
            values.append(0 if value is None else _whole(name, value, TIME_LIMIT_MS))
        function = self.library.require("Orvex_SetTimeLimits")
        if function(*values) != 1:
            raise self._failure("Orvex_SetTimeLimits", self.library.Orvex_LastResult(), None)

    def set_block_transfer(self, threshold, block_size=127):
        """Turns block transfers on for every Bus in the process: uploads, and downloads longer
        than ``threshold`` bytes, go in blocks of ``block_size`` segments (1-127); a server that
        refuses them gets a segmented transfer. ``threshold`` 0 turns them off (the default)."""
        threshold = _whole("threshold", threshold, (0, 0xFFFF))
        block_size = _whole("block_size", block_size, (0 if threshold == 0 else 1, BLOCK_SIZE[1]))
        function = self.library.require("Orvex_SetBlockTransfer")
        if function(threshold, block_size) != 1:
            raise self._failure("Orvex_SetBlockTransfer", self.library.Orvex_LastResult(), None)

    def receive(self, timeout=1.0):
        """The next frame that arrives on the port, decoded (a Frame), waiting at most
        ``timeout`` seconds; None when none came in that time. Queries from other threads
        keep their answers: the library hands out only frames no exchange is waiting for."""
        seconds = _seconds("timeout", timeout)
        milliseconds = math.ceil(seconds * 1000)
        if milliseconds > TIME_LIMIT_MS[1]:
            raise BadArgumentError("timeout %r is longer than the library's %d s"
                                   % (timeout, TIME_LIMIT_MS[1] // 1000))
        function = self.library.require("Orvex_ReceiveFrame")
        self._check_usable("Orvex_ReceiveFrame")
        frame = (ctypes.c_ubyte * FRAME_LENGTH)()
        received, outcome, *detail = _call_waiting(self.library, function, frame, milliseconds)
        if received == 1:
            return Frame(bytes(frame))
        if outcome == errors.TIMEOUT:
            return None
        raise self._failure("Orvex_ReceiveFrame", outcome, None, detail=detail)

    def cancel(self):
        """Ends every wait of the library in progress, in any thread of this process, within
        20 ms (Orvex_Cancel): drive procedures, waits for a target, receive(), queries. Each
        raises CancelledError (receive() returns None, as on its time limit). Waits that begin
        afterwards are not affected. Ctrl-C does this for a wait in the main thread."""
        self.library.require("Orvex_Cancel")()

    def events(self, timeout=1.0):
        """An iterator of the events the drives send by themselves (orvex.events.Event):
        emergencies with their error code and the library's text for it, boot-ups, NMT state
        changes seen in heartbeats, heartbeats lost and back (Drive.watch_heartbeat). Each step
        waits at most ``timeout`` seconds (Orvex_NextEvent); the iteration ends when none came in
        that time, or after cancel(). Events are decoded whoever reads the line: queries in other
        threads go on meanwhile and each event is handed out once."""
        seconds = _seconds("timeout", timeout)
        milliseconds = math.ceil(seconds * 1000)
        if milliseconds > TIME_LIMIT_MS[1]:
            raise BadArgumentError("timeout %r is longer than the library's %d s"
                                   % (timeout, TIME_LIMIT_MS[1] // 1000))
        function = self.library.require("Orvex_NextEvent")
        while True:
            self._check_usable("Orvex_NextEvent")
            raw = OrvexEvent()
            got, outcome, *detail = _call_waiting(self.library, function, ctypes.byref(raw),
                                                  milliseconds)
            if got == 1:
                yield Event(raw)
                continue
            if outcome in (errors.TIMEOUT, errors.CANCELLED):
                return
            raise self._failure("Orvex_NextEvent", outcome, None, detail=detail)

    def frames_dropped(self):
        """How many frames the bus sent by itself (emergencies, heartbeats, boot-ups, PDOs) were
        dropped since the library was loaded: the library keeps the latest 256 for receive()
        (Orvex_FramesDropped)."""
        return self.library.require("Orvex_FramesDropped")()

    def read_many(self, items):
        """Reads several objects in one exchange: all requests go out at once and the answers
        are matched as they come. ``items`` is a sequence of (node, index, subindex); node 0
        is the bus. Returns one Reading per item, in order: its value (the answer's four
        value bytes, unsigned) or the error its read ended with. Arguments are checked before
        anything is sent; the whole batch takes at most the query time limit."""
        items = list(items)
        if not 1 <= len(items) <= MAX_BATCH:
            raise BadArgumentError("read_many takes 1 to %d items, not %d"
                                   % (MAX_BATCH, len(items)))
        checked = []
        for position, item in enumerate(items):
            try:
                node, index, subindex = item
            except (TypeError, ValueError):
                raise BadArgumentError("item %d must be (node, index, subindex), not %r"
                                       % (position, item)) from None
            checked.append((_whole("node", node, (0, 127)), _whole("index", index, (0, 0xFFFF)),
                            _whole("subindex", subindex, (0, 0xFF))))
        if len(set(checked)) != len(checked):
            repeated = next(item for item in checked if checked.count(item) > 1)
            raise BadArgumentError("node %d object 0x%04X:%02X is asked for twice" % repeated)
        function = self.library.require("Orvex_ReadMany")
        self._check_usable("Orvex_ReadMany")
        count = len(checked)
        nodes = (ctypes.c_int * count)(*(item[0] for item in checked))
        indexes = (ctypes.c_int * count)(*(item[1] for item in checked))
        subindexes = (ctypes.c_int * count)(*(item[2] for item in checked))
        values = (ctypes.c_uint * count)()
        # An item the library did not get to keeps this, never taken for success.
        results = (ctypes.c_int * count)(*([_NOT_DONE] * count))
        function(count, nodes, indexes, subindexes, values, results)
        outcome = self.library.Orvex_LastResult()
        if not any(result == errors.OK for result in results) and outcome in (
                errors.NO_PORT, errors.BAD_ARGUMENT, errors.SYSTEM_ERROR):
            raise self._failure("Orvex_ReadMany", outcome, None)
        results = [outcome if result == _NOT_DONE else result for result in results]
        # The library keeps one abort code per call, the first aborted item's.
        first_abort = next((position for position, result in enumerate(results)
                            if result == errors.SDO_ABORT), None)
        readings = []
        for position, ((node, index, subindex), value, result) in enumerate(
                zip(checked, values, results)):
            if result == errors.OK:
                readings.append(Reading(node, index, subindex, value, None))
                continue
            if result == errors.SDO_ABORT and position != first_abort:
                error = SdoAbortError(
                    "Orvex_ReadMany%s: the drive refused the read (SDO abort)"
                    % _where(node, (index, subindex)),
                    operation="Orvex_ReadMany", node=node, index=index, subindex=subindex)
            else:
                error = self._failure("Orvex_ReadMany", result, None, node=node,
                                      obj=(index, subindex))
            readings.append(Reading(node, index, subindex, None, error))
        return readings

    def _read_each(self, nodes, obj, decode):
        nodes = [_whole("node", node, (1, 127)) for node in nodes]
        readings = self.read_many([(node,) + obj for node in nodes])
        failed = [reading for reading in readings if reading.error is not None]
        if failed:
            error = failed[0].error
            error.readings = readings
            raise error
        return {reading.node: decode(reading.value) for reading in readings}

    def positions(self, nodes):
        """Actual positions (0x6064) of several drives in one exchange: {node: position}.
        Raises the first item's error (with .readings holding every item) if any read failed."""
        return self._read_each(nodes, POSITION_ACTUAL, _signed32)

    def statuswords(self, nodes):
        """Statuswords (0x6041) of several drives in one exchange: {node: Status}. Raises
        like positions()."""
        return self._read_each(nodes, STATUSWORD, Status)


class Drive:
    """One CiA 402 drive on the bus. Every method raises an OrvexError subclass on failure.

    The power-state methods (enable, disable, quick_stop, reset_fault) walk the drive through
    the CiA 402 states one transition at a time and confirm each by reading the statusword,
    so they work on drives that take only the transitions the standard allows.
    """

    def __init__(self, bus, node):
        self.bus = bus
        self.node = node

    def __repr__(self):
        return "<orvex.Drive node %d>" % self.node

    def __eq__(self, other):
        if isinstance(other, Drive):
            return self.bus is other.bus and self.node == other.node
        return NotImplemented

    def __hash__(self):
        return hash((id(self.bus), self.node))

    def _command(self, name, *args):
        self.bus._command(name, self.node, self.node, *args)

    def _write(self, obj, value, size):
        """An SDO download of ``size`` bytes (value already in range)."""
        index, subindex = obj
        self.bus._command(
            "SDO_Write", self.node, self.node, index, subindex, value & ((1 << 8 * size) - 1),
            size)

    # -- drive procedures ---------------------------------------------------------------------
    # The library walks the drive through CiA 402 and confirms every step; these methods call it
    # and turn its outcome into an exception that names the state, the fault or the mode.

    def _procedure(self, name, *args, what, mode=None, halt=False):
        """Runs the procedure export ``name`` for this drive; raises the error its outcome
        names. ``what`` says what was asked ("enable"), ``mode`` the mode it needed; ``halt``:
        an interrupt during the call halts the drive (a motion that is followed)."""
        function = self.bus.library.require(name)
        self.bus._check_usable(name, self.node)
        result, outcome, *detail = _call_waiting(self.bus.library, function, self.node, *args,
                                                 halt=self.node if halt else None)
        if result == 1 and outcome == errors.OK:
            return
        raise self._procedure_error(name, outcome, what, mode, detail)

    def _procedure_error(self, name, outcome, what, mode, detail=None):
        where = dict(operation=name, node=self.node, outcome=outcome)
        if outcome == errors.CANCELLED:
            return CancelledError("node %d: cancelled (Orvex_Cancel) while it should %s"
                                  % (self.node, what), **where)
        if outcome == errors.DRIVE_FAULT:
            return self._fault_error(self.status, "is in fault: cannot " + what, **where)
        if outcome == errors.WRONG_STATE:
            state = self.state
            if state == State.OPERATION_ENABLED and mode is not None:
                current = self.mode
                return StateError(
                    "node %d is in %s, not %s: call %s before you %s"
                    % (self.node, _mode_phrase(current), mode_name(mode),
                       "set_profile()" if mode == PROFILE_POSITION else "home()", what),
                    **where)
            return StateError("node %d is %s, not operation enabled: call enable() before you %s"
                              % (self.node, state, what), **where)
        if outcome == errors.STATE_CHANGED:
            state = self.state
            if state == State.OPERATION_ENABLED:
                return StateChangedError(
                    "node %d stopped short: it was halted while it should %s" % (self.node, what),
                    **where)
            return StateChangedError("node %d left operation enabled while it should %s: now %s"
                                     % (self.node, what, state), **where)
        if outcome == errors.HOMING_ERROR:
            return HomingError("node %d reports a homing error (statusword bit 13): %s failed"
                               % (self.node, what), **where)
        if outcome == errors.VALUE_MISMATCH:
            return ValueMismatchError("node %d did not take the value: %s reads back another"
                                      % (self.node, what), **where)
        if outcome == errors.TIMEOUT:
            try:
                now = " (now %s)" % self.state
            except TimeoutError:
                now = " (no answer)"
            return TimeoutError("node %d did not %s in time%s" % (self.node, what, now), **where)
        return self.bus._failure(name, outcome, None, node=self.node, detail=detail)

    def _wait(self, timeout, what, mode=None):
        """Orvex_WaitTarget with the whole limit until the target is reached; the final
        position. Ctrl-C (any exception) ends it and halts the drive (_call_waiting)."""
        milliseconds = _milliseconds("timeout", timeout)
        function = self.bus.library.require("Orvex_WaitTarget")
        self.bus._check_usable("Orvex_WaitTarget", self.node)
        position = ctypes.c_int(0)
        result, outcome, *detail = _call_waiting(
            self.bus.library, function, self.node, milliseconds, ctypes.byref(position),
            halt=self.node)
        if result == 1 and outcome == errors.OK:
            return position.value
        error = self._procedure_error("Orvex_WaitTarget", outcome, what, mode, detail)
        error.position = position.value
        error.args = ("%s, at position %d" % (error.args[0], position.value),)
        raise error

    # -- power state --------------------------------------------------------------------------

    @property
    def state(self):
        """The CiA 402 power state (a State), decoded by the library from the whole
        statusword."""
        function = self.bus.library.require("Orvex_GetState")
        self.bus._check_usable("Orvex_GetState", self.node)
        code = function(self.node, None)
        outcome = self.bus.library.Orvex_LastResult()
        if code < 0 or outcome != errors.OK:
            raise self.bus._failure("Orvex_GetState", outcome, None, node=self.node,
                                    obj=STATUSWORD)
        return state_from_code(code)

    @property
    def error_code(self):
        """The drive's error code (0x603F) as an ErrorCode: an int with a ``meaning``."""
        return ErrorCode(self.sdo_read(*ERROR_CODE, size=2))

    def _fault_error(self, status, what, **where):
        """A DriveFaultError for a drive found in fault, with its error code where readable."""
        try:
            code = self.error_code
            told = "error code %s" % code
        except OrvexError as error:
            code = None
            told = "error code unreadable: %s" % error
        where.setdefault("node", self.node)
        return DriveFaultError(
            "node %d %s (%s, %s); reset_fault() clears it once its cause is gone"
            % (self.node, what, status.state, told), code=code, **where)

    def enable(self, timeout=POWER_TIMEOUT):
        """Brings the drive to operation enabled, one CiA 402 transition at a time, each
        confirmed through the statusword (the library's Orvex_Enable): shutdown, switch on,
        enable operation; from quick stop active, once the motor stands, disable voltage and the
        walk up. Writes nothing when the drive is enabled already; raises DriveFaultError (with
        the error code) in fault, TimeoutError when a step is not confirmed within ``timeout``
        seconds in all. Returns the state reached."""
        self._procedure("Orvex_Enable", _milliseconds("timeout", timeout), what="enable")
        return State.OPERATION_ENABLED

    def disable(self, timeout=POWER_TIMEOUT):
        """Takes the drive out of operation: from operation enabled to switched on; from quick
        stop active, once it stands, to switch on disabled. A drive not operating is left as
        it is. Returns the state reached."""
        self._procedure("Orvex_Disable", _milliseconds("timeout", timeout), what="disable")
        return self.state

    def quick_stop(self, timeout=STANDSTILL_TIMEOUT):
        """Quick stop (controlword 0x0002), sent at once whatever the state, then confirmed as
        the drive's quick stop option code (0x605A) says: in quick stop active once it stands,
        or in switch on disabled. Returns the state reached."""
        self._procedure("Orvex_QuickStop", _milliseconds("timeout", timeout), what="quick stop")
        return self.state

    def halt(self, timeout=STANDSTILL_TIMEOUT):
        """Halts a drive in operation enabled (controlword bit 8) and waits until it stands.
        A drive in another state gets nothing written and raises StateError: halt never
        switches a drive on. Returns the position where it stands."""
        self._procedure("Orvex_Halt", _milliseconds("timeout", timeout), what="halt")
        return self.position

    def reset_fault(self, timeout=POWER_TIMEOUT):
        """Fault reset: waits out a fault reaction, then the rising edge of controlword bit 7,
        confirmed by the drive leaving fault (to switch on disabled; enable() brings it back).
        Returns the error code it cleared (an ErrorCode), or None when the drive was not in
        fault or has no error code. Raises DriveFaultError when the drive stays in fault (its
        cause is still there)."""
        function = self.bus.library.require("Orvex_ResetFault")
        self.bus._check_usable("Orvex_ResetFault", self.node)
        cleared = ctypes.c_uint(0)
        result, outcome, *detail = _call_waiting(
            self.bus.library, function, self.node, _milliseconds("timeout", timeout),
            ctypes.byref(cleared))
        if result != 1 or outcome != errors.OK:
            if outcome == errors.DRIVE_FAULT:
                raise self._fault_error(self.status, "stayed in fault after a fault reset",
                                        operation="Orvex_ResetFault", outcome=outcome)
            raise self._procedure_error("Orvex_ResetFault", outcome, "reset its fault", None,
                                        detail)
        return ErrorCode(cleared.value) if cleared.value else None

    def watch_heartbeat(self, consumer_ms):
        """Watches this drive's heartbeat (Orvex_WatchHeartbeat): when none has come for
        ``consumer_ms`` milliseconds, Bus.events() yields one HEARTBEAT_LOST event, and one
        HEARTBEAT_BACK when it returns. 0 stops watching."""
        consumer_ms = _whole("consumer_ms", consumer_ms, (0, 0xFFFF))
        function = self.bus.library.require("Orvex_WatchHeartbeat")
        if function(self.node, consumer_ms) != 1:
            raise self.bus._failure("Orvex_WatchHeartbeat", self.bus.library.Orvex_LastResult(),
                                    None, node=self.node)

    def emergencies(self):
        """The drive's last emergencies (at most 8), newest first, as events
        (Orvex_Emergencies); a fault reset that succeeded clears them."""
        function = self.bus.library.require("Orvex_Emergencies")
        raw = (OrvexEvent * 8)()
        count = function(self.node, raw, 8)
        if count < 0:
            raise self.bus._failure("Orvex_Emergencies", self.bus.library.Orvex_LastResult(),
                                    None, node=self.node)
        return [Event(raw[i]) for i in range(count)]

    def stream(self, entries=(0x60410010, 0x60640020), period_ms=10):
        """Sets up a transmit PDO of this drive to send ``entries`` (CiA 301 mapping entries:
        index << 16 | subindex << 8 | bits; default statusword and position) every ``period_ms``
        by itself, and starts the node (Orvex_StreamStart; it goes NMT operational). Returns a
        Stream whose read() gives the newest values and their age; stop() ends it."""
        entries = [int(e) & 0xFFFFFFFF for e in entries]
        period_ms = _whole("period_ms", period_ms, (1, 0xFFFF))
        self.bus._check_usable("Orvex_StreamStart", self.node)
        function = self.bus.library.require("Orvex_StreamStart")
        array = (ctypes.c_uint * len(entries))(*entries)
        if function(self.node, array, len(entries), period_ms) != 1:
            raise self.bus._failure("Orvex_StreamStart", self.bus.library.Orvex_LastResult(),
                                    "start a stream", node=self.node)
        return Stream(self, len(entries))

    def restart(self):
        """NMT reset communication for this node."""
        self._command("CMD_Restart_motor")

    @property
    def mode(self):
        """The mode of operation the drive is in (0x6061, the display of 0x6060)."""
        return self.sdo_read(*MODE_DISPLAY, size=1, signed=True)

    def _release(self, what):
        """Ends a mode set-up with operation enabled and halt cleared: the stepwise enable
        where the drive is below operation enabled, then enable operation (0x000F)."""
        self.enable()
        self._command("PV_start_motor")

    # -- mode set-ups ---------------------------------------------------------------------------
    # The library sets a drive up in any state and never writes the controlword for it: a drive
    # that is not enabled stays as it is.

    def _set_mode(self, mode):
        """Modes of operation, confirmed by the drive's mode display (Orvex_SetMode)."""
        self._procedure("Orvex_SetMode", mode, _milliseconds("timeout", STEP_TIMEOUT),
                        what="take %s mode" % mode_name(mode))

    def _kept(self, obj):
        """The value the drive holds in a 4-byte object that a set-up writes but the mode does
        not use, so that it is written back unchanged."""
        return _signed32(self.sdo_read(*obj, size=4))

    # -- profile position ---------------------------------------------------------------------

    def set_profile(self, velocity, acceleration, deceleration):
        """Profile position mode with this profile velocity, acceleration and deceleration
        (all unsigned), each write confirmed (Orvex_SetMode, Orvex_SetProfile). Works in any
        state and switches nothing on: a drive below operation enabled stays there."""
        velocity = _whole("velocity", velocity, UINT32)
        acceleration = _whole("acceleration", acceleration, UINT32)
        deceleration = _whole("deceleration", deceleration, UINT32)
        self._set_mode(PROFILE_POSITION)
        self._procedure("Orvex_SetProfile", _signed32(velocity), acceleration, deceleration,
                        what="take the profile")

    def move_to(self, position, relative=False, wait=False, timeout=10.0, immediate=True,
                ack_timeout=STEP_TIMEOUT):
        """Moves to ``position`` (or by ``position`` when ``relative``), with the set-point
        handshake the library makes (Orvex_MoveTo): bit 4 low, target, rising edge, the
        drive's acknowledge (bit 12) within ``ack_timeout`` seconds, bit 4 low again, so that
        moves in a row work. ``immediate`` replaces a move under way at once; otherwise the
        new one follows it.

        The drive must be in operation enabled and profile position mode (DriveFaultError in
        fault, StateError otherwise; nothing is sent). With ``wait``, returns the final
        position once the drive reports target reached; raises TimeoutError after ``timeout``
        seconds, StateChangedError when the drive is quick-stopped, disabled or halted on the
        way, DriveFaultError when it faults. Ctrl-C (or any exception) while it waits cancels
        the wait, halts the drive and is raised again, as orvex does."""
        position = _whole("position", position, INT32)
        _milliseconds("timeout", timeout)  # refused before the move starts
        flags = (MOVE_RELATIVE if relative else 0) | (MOVE_IMMEDIATE if immediate else 0)
        self._procedure("Orvex_MoveTo", position, flags, _milliseconds("ack_timeout", ack_timeout),
                        what="move", mode=PROFILE_POSITION, halt=wait)
        if wait:
            return self._wait(timeout, "move by %d" % position if relative else
                              "reach %d" % position)
        return None

    def set_target(self, position):
        """Writes the target position (0x607A) without starting a move."""
        self._command("PP_Abs_move_enhance", _whole("position", position, INT32))

    def wait_for_target(self, position=None, timeout=10.0, tolerance=0):
        """Waits until the drive reports its target reached (Orvex_WaitTarget) and returns the
        position; with ``position``, also checks that it stands within ``tolerance`` of it.
        Ctrl-C (or any exception) during the wait halts the drive before it is raised again."""
        if position is not None:
            position = _whole("position", position, INT32)
        tolerance = _whole("tolerance", tolerance, (0, UINT32[1]))
        now = self._wait(timeout, "reach its target")
        if position is not None and abs(now - position) > tolerance:
            raise StateError("node %d stands at %d, not at %d" % (self.node, now, position),
                             node=self.node)
        return now

    # -- profile velocity ---------------------------------------------------------------------

    def set_velocity_profile(self, velocity, acceleration, deceleration):
        """Profile velocity mode with this target velocity and ramps, in any state, switching
        nothing on. A drive in operation enabled is halted first (Orvex_Halt: until it stands)
        and held so until run_velocity starts it; one below stays where it is."""
        velocity = _whole("velocity", velocity, INT32)
        acceleration = _whole("acceleration", acceleration, UINT32)
        deceleration = _whole("deceleration", deceleration, UINT32)
        self._hold()
        self._set_up_velocity(velocity, acceleration, deceleration)

    def _hold(self):
        """Halts a drive in operation enabled; one in any other state does not move, and
        Orvex_Halt writes nothing to it."""
        function = self.bus.library.require("Orvex_Halt")
        self.bus._check_usable("Orvex_Halt", self.node)
        result, outcome, *detail = _call_waiting(
            self.bus.library, function, self.node, _milliseconds("timeout", STANDSTILL_TIMEOUT))
        if result != 1 and outcome not in (errors.WRONG_STATE, errors.DRIVE_FAULT):
            raise self._procedure_error("Orvex_Halt", outcome, "halt", None, detail)

    def _set_up_velocity(self, velocity, acceleration, deceleration):
        # Orvex_SetProfile writes the profile velocity 0x6081 too, which this mode does not use:
        # it gets the value it holds.
        self._set_mode(PROFILE_VELOCITY)
        self._procedure("Orvex_SetProfile", self._kept(PROFILE_VELOCITY_OBJECT), acceleration,
                        deceleration, what="take the ramps")
        self.set_velocity(velocity)

    def run_velocity(self, velocity, acceleration=None, deceleration=None):
        """Runs at ``velocity``. With ramps given, enables the drive and sets up profile
        velocity mode first; without, the drive must already be in it (set_velocity_profile)."""
        if (acceleration is None) != (deceleration is None):
            raise BadArgumentError("give both acceleration and deceleration, or neither")
        if acceleration is None:
            self.set_velocity(velocity)
        else:
            velocity = _whole("velocity", velocity, INT32)
            acceleration = _whole("acceleration", acceleration, UINT32)
            deceleration = _whole("deceleration", deceleration, UINT32)
            self.enable()
            self._set_up_velocity(velocity, acceleration, deceleration)
        self._release("run")

    def set_velocity(self, velocity):
        """Changes the target velocity (0x60FF), confirmed (Orvex_SetVelocity)."""
        self._procedure("Orvex_SetVelocity", _whole("velocity", velocity, INT32),
                        what="take the velocity")

    # -- homing -------------------------------------------------------------------------------

    def home(self, method, speed_switch, speed_zero, acceleration_or_torque, wait=False,
             timeout=30.0):
        """Sets up homing with ``method`` (-128..127; Orvex_SetMode, Orvex_SetHoming, which
        switch nothing on) and starts it on a rising edge of controlword bit 4 (Orvex_Home).
        Speeds and the acceleration are unsigned. Method 0 homes on a hard stop: then
        ``speed_switch`` is the speed limit (0x607F), ``acceleration_or_torque`` the torque
        (-32768..32767, written as the 2-byte object it is and read back), and the homing
        acceleration keeps its value. The start needs operation enabled (StateError
        otherwise, the set-up done). With ``wait``, returns once the drive reports homing
        attained (bits 12 and 10, also when homing ends at once); raises HomingError on a
        homing error (bit 13). Ctrl-C during the wait halts the drive."""
        method = _whole("method", method, INT8)
        speed_switch = _whole("speed_switch", speed_switch, UINT32)
        speed_zero = _whole("speed_zero", speed_zero, UINT32)
        if method == 0:
            torque = _whole("torque", acceleration_or_torque, INT16)
            acceleration_or_torque = torque & UINT32[1]
        else:
            acceleration_or_torque = _whole("acceleration", acceleration_or_torque, UINT32)
        if wait:
            _milliseconds("timeout", timeout)  # refused before homing starts
        self._set_mode(HOMING)
        if method == 0:
            acceleration_or_torque = self._kept(HOMING_ACCELERATION) & UINT32[1]
        self._procedure("Orvex_SetHoming", method, _signed32(speed_switch),
                        _signed32(speed_zero), acceleration_or_torque, what="take the homing")
        if method == 0:
            self._write(MAX_PROFILE_VELOCITY, speed_switch, 4)
            self.torque = torque
        self._procedure("Orvex_Home", 0, what="home", mode=HOMING, halt=wait)
        if wait:
            self.wait_for_homing(timeout)

    def wait_for_homing(self, timeout=30.0):
        """Waits until the drive reports homing attained with target reached."""
        self._wait(timeout, "attain homing", mode=HOMING)

    # -- profile torque -----------------------------------------------------------------------

    @property
    def torque(self):
        """Target torque (0x6071, INTEGER16, per mille of rated torque). Setting it writes the
        2 bytes the object holds and reads them back (Orvex_SetTorque): a drive that refused
        or limited it raises ValueMismatchError or SdoAbortError."""
        return self.sdo_read(*TARGET_TORQUE, size=2, signed=True)

    @torque.setter
    def torque(self, value):
        self._procedure("Orvex_SetTorque", _whole("torque", value, INT16),
                        what="set its target torque")

    def run_torque(self, max_velocity, torque):
        """Profile torque mode: produces ``torque`` (-32768..32767) at once, up to
        ``max_velocity`` (unsigned): mode 4, max profile velocity, the torque as the 2 bytes
        the object holds (read back), then operation enabled. A drive below operation enabled
        is walked up to it step by step; one in fault raises DriveFaultError with nothing
        sent."""
        max_velocity = _whole("max_velocity", max_velocity, UINT32)
        torque = _whole("torque", torque, INT16)
        if self.state.in_fault:
            raise self._fault_error(self.status, "is in fault: cannot run")
        self._set_mode(PROFILE_TORQUE)
        self._write(MAX_PROFILE_VELOCITY, max_velocity, 4)
        self.torque = torque
        self._release("run")

    def start_torque(self):
        """Profile torque mode with operation enabled, using the torque already set: mode 4,
        then the stepwise enable where needed and enable operation; DriveFaultError in
        fault."""
        if self.state.in_fault:
            raise self._fault_error(self.status, "is in fault: cannot run")
        self._set_mode(PROFILE_TORQUE)
        self._release("run")

    # -- queries ------------------------------------------------------------------------------

    @property
    def position(self):
        """Actual position (0x6064)."""
        return self.bus._query("GetPosition", self.node, node=self.node, obj=POSITION_ACTUAL)

    @property
    def velocity(self):
        """Actual velocity (0x606C)."""
        return self.sdo_read(*VELOCITY_ACTUAL, size=4, signed=True)

    @property
    def status(self):
        """The whole statusword (0x6041), decoded."""
        return Status(self.sdo_read(*STATUSWORD, size=2))

    @property
    def motor_status(self):
        """The statusword as the library's status query reports it: ANDed with 0x1D0F."""
        return self.bus._query("GetMotorStatus", self.node, node=self.node, obj=STATUSWORD)

    @property
    def version(self):
        """Firmware version (0x2001/1)."""
        return self.bus._query("GetVersions", self.node, node=self.node, obj=VERSION)

    # -- object access ------------------------------------------------------------------------

    def sdo_read(self, index, subindex, size=4, signed=False):
        """Reads an object of ``size`` bytes (1-4); ``signed`` sign-extends it."""
        index = _whole("index", index, (0, 0xFFFF))
        subindex = _whole("subindex", subindex, (0, 0xFF))
        size = _whole("size", size, (1, 4))
        value = ctypes.c_int(0)
        try:
            self.bus._query(
                "SDO_Read", self.node, index, subindex, ctypes.byref(value), size,
                node=self.node, obj=(index, subindex))
        except SdoAbortError as error:
            if error.code == _ABORT_NOT_EXPEDITED:
                error.args = ("%s; an object longer than 4 bytes answers so: read it with "
                              "sdo_upload()" % error.args[0],)
            raise
        bits = 8 * size
        raw = value.value & ((1 << bits) - 1)
        if signed and raw & (1 << (bits - 1)):
            raw -= 1 << bits
        return raw

    def sdo_write(self, index, subindex, value, size=4):
        """Writes ``value`` (signed or unsigned, fitting ``size`` bytes) to an object. The
        drive does not confirm the write: read the object back to be sure."""
        index = _whole("index", index, (0, 0xFFFF))
        subindex = _whole("subindex", subindex, (0, 0xFF))
        size = _whole("size", size, (1, 4))
        bits = 8 * size
        value = _whole("value", value, (-(1 << (bits - 1)), (1 << bits) - 1))
        self._write((index, subindex), value, size)

    # -- objects of any size (segmented and block transfers) ----------------------------------

    def sdo_upload(self, index, subindex, max_size=4096):
        """Reads an object of any size and returns its bytes: expedited, segmented or block
        (Bus.set_block_transfer), as the drive answers. An object larger than ``max_size`` is
        read again with a buffer of the size the drive announced."""
        index = _whole("index", index, (0, 0xFFFF))
        subindex = _whole("subindex", subindex, (0, 0xFF))
        capacity = _whole("max_size", max_size, (0, _MAX_UPLOAD))
        function = self.bus.library.require("Orvex_SdoUpload")
        where = dict(node=self.node, obj=(index, subindex))
        for _ in range(2):
            self.bus._check_usable("Orvex_SdoUpload", self.node)
            buffer = (ctypes.c_ubyte * max(capacity, 1))()
            length = ctypes.c_int(0)
            result = function(self.node, index, subindex, buffer, capacity, ctypes.byref(length))
            outcome = self.bus.library.Orvex_LastResult()
            if result == 1 and outcome == errors.OK:
                return bytes(buffer[:length.value])
            too_small = (outcome == errors.SDO_ABORT and length.value > capacity
                         and self.bus.library.Orvex_LastAbortCode() == _ABORT_OUT_OF_MEMORY)
            if not too_small or length.value > _MAX_UPLOAD:
                break
            capacity = length.value
        raise self.bus._failure("Orvex_SdoUpload", outcome, None, **where)

    def sdo_download(self, index, subindex, data):
        """Writes ``data`` (bytes, or str as UTF-8) to an object of any size; returns once the
        drive has confirmed it (expedited up to four bytes, segmented or block above)."""
        index = _whole("index", index, (0, 0xFFFF))
        subindex = _whole("subindex", subindex, (0, 0xFF))
        if isinstance(data, str):
            data = data.encode("utf-8")
        data = bytes(data)
        function = self.bus.library.require("Orvex_SdoDownload")
        self.bus._check_usable("Orvex_SdoDownload", self.node)
        buffer = (ctypes.c_ubyte * max(len(data), 1)).from_buffer_copy(data or b"\0")
        result = function(self.node, index, subindex, buffer, len(data))
        outcome = self.bus.library.Orvex_LastResult()
        if result != 1 or outcome != errors.OK:
            raise self.bus._failure("Orvex_SdoDownload", outcome, None, node=self.node,
                                    obj=(index, subindex))

    def _text(self, obj):
        # A VISIBLE_STRING may be padded with NULs; bytes outside ASCII are kept readable.
        return self.sdo_upload(*obj).rstrip(b"\0").decode("utf-8", errors="replace")

    @property
    def device_name(self):
        """The manufacturer's device name (0x1008), a str."""
        return self._text(DEVICE_NAME)

    @property
    def software_version(self):
        """The manufacturer's software version (0x100A), a str."""
        return self._text(SOFTWARE_VERSION)

    def led(self, value):
        """Sets the drive's LED object (0x2003:14) to ``value``: any 32-bit value, signed or
        not (the range the command-line tool takes)."""
        self._command("LED_Set", _signed32(_whole("value", value, BITS32)))


class Stream:
    """A drive's values sent by itself in a transmit PDO (Drive.stream)."""

    def __init__(self, drive, count):
        self.drive = drive
        self._count = count

    def read(self):
        """The newest values as a tuple of signed 32-bit integers (the library sign-extends the
        drive profile's signed objects; mask an unsigned 32-bit object with 0xFFFFFFFF), with
        their age in ms and the frames received so far: (values, age_ms, frames). None when no
        frame has come yet. Reads nothing from the drive: it takes in what has arrived."""
        library = self.drive.bus.library
        function = library.require("Orvex_StreamRead")
        values = (ctypes.c_uint * self._count)()
        age = ctypes.c_int(-1)
        frames = ctypes.c_uint(0)
        if function(self.drive.node, values, self._count, ctypes.byref(age),
                    ctypes.byref(frames)) != 1:
            outcome = library.Orvex_LastResult()
            if outcome == errors.TIMEOUT:
                return None
            raise self.drive.bus._failure("Orvex_StreamRead", outcome, "read the stream",
                                          node=self.drive.node)
        signed = tuple(v - (1 << 32) if v & 0x80000000 else v for v in values)
        return signed, age.value, frames.value

    def stop(self):
        """Makes the PDO invalid again (Orvex_StreamStop)."""
        library = self.drive.bus.library
        if library.require("Orvex_StreamStop")(self.drive.node) != 1:
            raise self.drive.bus._failure("Orvex_StreamStop", library.Orvex_LastResult(),
                                          "stop the stream", node=self.drive.node)

"""The checked object interface: a Bus (the serial port) and the Drives behind it."""

import ctypes
import operator
import os
import threading
import time
import weakref

from . import errors
from ._library import Library, load
from .errors import (
    BadArgumentError,
    DriveFaultError,
    NoPortError,
    OrvexError,
    OrvexSystemError,
    SdoAbortError,
    TimeoutError,
)
from .status import Status

INT32 = (-(1 << 31), (1 << 31) - 1)
UINT32 = (0, (1 << 32) - 1)

# Objects the library's own queries read, named in failure messages.
STATUSWORD = (0x6041, 0)
POSITION_ACTUAL = (0x6064, 0)
VELOCITY_ACTUAL = (0x606C, 0)
VERSION = (0x2001, 1)
ALL_ENABLED = (0x3001, 0)
ALL_REACHED = (0x3002, 0)
ALL_IN_FAULT = (0x3003, 0)

TARGET_REACHED = 1 << 10
HOMING_ATTAINED = 1 << 12

POLL_INTERVAL = 0.02

# Which Bus opened the library's one port (a weak reference, or _nobody), so that opening a
# second Bus retires the first and closing a retired Bus leaves the new port alone.
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


def _bits_to_nodes(mask):
    mask &= 0xFFFFFFFF
    return {bit + 1 for bit in range(32) if mask & (1 << bit)}


def _where(node=None, obj=None):
    parts = []
    if node is not None:
        parts.append("node %d" % node)
    if obj is not None:
        parts.append("object 0x%04X/%02X" % obj)
    return " (%s)" % ", ".join(parts) if parts else ""


class Bus:
    """The serial port to the adapter, and through it the drives on the CAN bus.

    ``Bus(device="/dev/ttyUSB0")`` opens a device path, ``Bus(port=3)`` opens COM3 (/dev/ttyS2
    on Linux). With neither, nothing is opened and the Bus uses whatever port the library
    already has open in this process. The library holds one port per process: opening a
    second Bus closes the first, whose calls then raise NoPortError.
    ``library`` is a path to the library or a loaded ``orvex.Library``.
    """

    def __init__(self, device=None, port=None, baud=115200, library=None):
        if device is not None and port is not None:
            raise BadArgumentError("give either a device path or a port number, not both")
        self.library = library if isinstance(library, Library) else load(library)
        self.device = device
        self.port = port
        self.baud = baud
        self._closed = False
        if device is not None or port is not None:
            self.open()

    # -- port ---------------------------------------------------------------------------------

    def open(self):
        """Opens the device or port given at construction (closing any port that is open)."""
        baud = _whole("baud", self.baud, (1, INT32[1]))
        lib = self.library
        with _owners_lock:
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
            previous = lib.port_owner()
            if previous is not None and previous is not self:
                previous._closed = True  # the library closed its port before opening this one
            if opened == 1:
                lib.port_owner = weakref.ref(self)
                self._closed = False
                return
            # A configuration failure leaves the device open; do not keep a half-set-up port.
            lib.Serial_ClosePort()
            lib.port_owner = _nobody
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

    def __repr__(self):
        target = self.device if self.device is not None else self.port
        return "<orvex.Bus %r%s>" % (target, "" if self.is_open else " (closed)")

    # -- checked calls ------------------------------------------------------------------------

    def _failure(self, name, outcome, context, node=None, obj=None):
        lib = self.library
        where = dict(operation=name, node=node, outcome=outcome)
        if obj is not None:
            where["index"], where["subindex"] = obj
        prefix = "%s%s: %s" % (name, _where(node, obj), context) if context else (
            "%s%s" % (name, _where(node, obj)))
        if outcome == errors.NO_PORT:
            return NoPortError(prefix + ": no port is open", **where)
        if outcome == errors.SYSTEM_ERROR:
            number = lib.Orvex_LastSystemError()
            return OrvexSystemError(
                "%s: operating system error %d (%s)" % (prefix, number, os.strerror(number)),
                errno=number,
                **where
            )
        if outcome == errors.TIMEOUT:
            return TimeoutError(prefix + ": no complete answer within the time limit", **where)
        if outcome == errors.SDO_ABORT:
            code = lib.Orvex_LastAbortCode()
            return SdoAbortError(
                "%s: SDO abort 0x%08X, %s" % (prefix, code, errors.abort_meaning(code)),
                code=code,
                **where
            )
        if outcome == errors.BAD_ARGUMENT:
            return BadArgumentError(prefix + ": the library refused an argument", **where)
        return OrvexError("%s: failed (outcome %d)" % (prefix, outcome), **where)

    def _check_usable(self, name, node=None):
        if self._closed:
            raise NoPortError(
                "%s%s: this Bus is closed" % (name, _where(node)), operation=name, node=node,
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

        The limit is 800 ms for answers up to 50 bytes and 3800 ms beyond. Bytes of an answer
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


class Drive:
    """One CiA 402 drive on the bus. Every method raises an OrvexError subclass on failure."""

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

    # -- power state --------------------------------------------------------------------------

    def enable(self):
        """Controlword 0x000F: operation enabled (from any state but fault)."""
        self._command("CMD_Enable_motor")

    def disable(self):
        """Controlword 0x0007: back to switched on."""
        self._command("CMD_Disable_motor")

    def quick_stop(self):
        """Controlword 0x0002: quick stop."""
        self._command("CMD_Emergency_Stop_motor")

    def halt(self):
        """Controlword 0x010F: stop the motion in any mode, operation stays enabled."""
        self._command("PP_stop_motor")

    def restart(self):
        """NMT reset communication for this node."""
        self._command("CMD_Restart_motor")

    # -- profile position ---------------------------------------------------------------------

    def set_profile(self, velocity, acceleration, deceleration):
        """Profile position mode with this profile velocity, acceleration and deceleration."""
        self._command(
            "PP_Set",
            _whole("velocity", velocity, INT32),
            _whole("acceleration", acceleration, UINT32),
            _whole("deceleration", deceleration, UINT32),
        )

    def move_to(self, position, relative=False, wait=False, timeout=10.0, tolerance=0):
        """Starts a move to ``position`` (or by ``position`` when ``relative``), taking effect
        at once. With ``wait``, returns the final position once the drive reports target
        reached at the target (within ``tolerance``); raises TimeoutError after ``timeout``
        seconds and DriveFaultError if the drive faults."""
        position = _whole("position", position, INT32)
        start = self.position if (wait and relative) else 0
        self._command("PP_Inc_move" if relative else "PP_Abs_move", position)
        if wait:
            return self.wait_for_target(start + position, timeout, tolerance)
        return None

    def set_target(self, position):
        """Writes the target position (0x607A) without starting a move."""
        self._command("PP_Abs_move_enhance", _whole("position", position, INT32))

    def wait_for_target(self, position, timeout=10.0, tolerance=0):
        """Waits until the drive reports target reached within ``tolerance`` of ``position``."""
        deadline = time.monotonic() + timeout
        while True:
            status = self.status
            if status.fault:
                raise DriveFaultError(
                    "node %d went into fault on its way to %d (%r)" % (self.node, position, status),
                    node=self.node)
            if status.target_reached:
                now = self.position
                if abs(now - position) <= tolerance:
                    return now
            else:
                now = None
            if time.monotonic() >= deadline:
                if now is None:
                    now = self.position
                raise TimeoutError(
                    "node %d did not reach %d within %.1f s: at %d, %r"
                    % (self.node, position, timeout, now, status),
                    node=self.node, outcome=errors.TIMEOUT)
            time.sleep(POLL_INTERVAL)

    # -- profile velocity ---------------------------------------------------------------------

    def set_velocity_profile(self, velocity, acceleration, deceleration):
        """Profile velocity mode with this target velocity and ramps, held by halt until
        run_velocity (or enable) starts it."""
        self._command(
            "PV_Set",
            _whole("velocity", velocity, INT32),
            _whole("acceleration", acceleration, UINT32),
            _whole("deceleration", deceleration, UINT32),
        )

    def run_velocity(self, velocity, acceleration=None, deceleration=None):
        """Runs at ``velocity``. With ramps given, sets up profile velocity mode first;
        without, the drive must already be in it (set_velocity_profile)."""
        if (acceleration is None) != (deceleration is None):
            raise BadArgumentError("give both acceleration and deceleration, or neither")
        if acceleration is None:
            self.set_velocity(velocity)
        else:
            self.set_velocity_profile(velocity, acceleration, deceleration)
        self._command("PV_start_motor")

    def set_velocity(self, velocity):
        """Changes the target velocity (0x60FF)."""
        self._command("PV_Set_Vel", _whole("velocity", velocity, INT32))

    # -- homing -------------------------------------------------------------------------------

    def home(self, method, speed_switch, speed_zero, acceleration_or_torque, wait=False,
             timeout=30.0):
        """Sets up homing with ``method`` and starts it. Method 0 homes on a hard stop: then
        ``acceleration_or_torque`` is the torque and ``speed_zero`` is unused. With ``wait``,
        returns once the drive reports homing attained."""
        self._command(
            "HM_Set",
            _whole("speed_switch", speed_switch, INT32),
            _whole("speed_zero", speed_zero, INT32),
            _whole("acceleration_or_torque", acceleration_or_torque, UINT32),
            _whole("method", method, (-128, 127)),
        )
        self._command("HM_start_motor")
        if wait:
            self.wait_for_homing(timeout)

    def wait_for_homing(self, timeout=30.0):
        deadline = time.monotonic() + timeout
        while True:
            status = self.status
            if status.fault or status.homing_error:
                raise DriveFaultError(
                    "node %d failed to home (%r)" % (self.node, status), node=self.node)
            if status.homing_attained:
                return
            if time.monotonic() >= deadline:
                raise TimeoutError(
                    "node %d did not finish homing within %.1f s (%r)"
                    % (self.node, timeout, status),
                    node=self.node, outcome=errors.TIMEOUT)
            time.sleep(POLL_INTERVAL)

    # -- profile torque -----------------------------------------------------------------------

    def run_torque(self, max_velocity, torque):
        """Profile torque mode: produces ``torque`` (per mille of rated) at once, up to
        ``max_velocity``."""
        self._command(
            "PT_Set",
            _whole("max_velocity", max_velocity, INT32),
            _whole("torque", torque, INT32),
        )

    def start_torque(self):
        """Profile torque mode with operation enabled, using the torque already set."""
        self._command("PT_start_motor")

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
        self.bus._query(
            "SDO_Read", self.node, index, subindex, ctypes.byref(value), size,
            node=self.node, obj=(index, subindex))
        bits = 8 * size
        raw = value.value & ((1 << bits) - 1)
        if signed and raw & (1 << (bits - 1)):
            raw -= 1 << bits
        return raw

    def sdo_write(self, index, subindex, value, size=4):
        """Writes ``value`` (signed or unsigned, fitting ``size`` bytes) to an object. The
        drive does not confirm the write."""
        index = _whole("index", index, (0, 0xFFFF))
        subindex = _whole("subindex", subindex, (0, 0xFF))
        size = _whole("size", size, (1, 4))
        bits = 8 * size
        value = _whole("value", value, (-(1 << (bits - 1)), (1 << bits) - 1))
        self.bus._command(
            "SDO_Write", self.node, self.node, index, subindex, value & ((1 << bits) - 1), size)

    def led(self, value):
        """Sets the drive's LED object (0x2003/0x14)."""
        self._command("LED_Set", _whole("value", value, INT32))

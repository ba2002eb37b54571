"""The serial-to-CAN adapter as a python-can interface: ``can.Bus(interface="orvex", ...)``.

Pure Python over pyserial, without the library, so it works wherever python-can and pyserial do
(a 64-bit Python on Windows included)::

    import can
    with can.Bus(interface="orvex", channel="/dev/ttyUSB0", baudrate=115200) as bus:
        bus.send(can.Message(arbitration_id=0x000, data=[0x01, 0], is_extended_id=False))
        print(bus.recv(timeout=1.0))

``OrvexBus(channel=...)`` works the same without installing the package. Frames are standard
(11-bit) data frames only. The adapter carries no data length: every frame has eight data
bytes, so received messages have DLC 8, and shorter data sent is padded with zeros and goes on
the bus with DLC 8.

Needs python-can 4 and pyserial; ``import orvex`` does not import this module.
"""

import errno
import os
import select
import threading
import time

import can
import serial
import serial.tools.list_ports

from .frames import DATA_LENGTH, FrameReader, decode_frame, encode_frame

try:  # POSIX only: the exclusive-use request of a terminal, next to pyserial's flock
    import fcntl
    import termios
except ImportError:  # pragma: no cover - Windows
    fcntl = termios = None

__all__ = ["OrvexBus"]

DEFAULT_BAUDRATE = 115200


class OrvexBus(can.BusABC):
    """python-can bus over the serial-to-CAN adapter on ``channel`` (a serial device path such
    as "/dev/ttyUSB0" or "COM3").

    :param channel: the serial port.
    :param baudrate: the serial line's rate (default 115200). The CAN bit rate is the adapter's
        own setting; a ``bitrate`` given (``can.logger -b``) is ignored.
    :param can_filters: see :meth:`can.BusABC.set_filters` (applied in Python).

    The port is used exclusively: a second opener, this interface or the library, is refused,
    and this one is refused while another holds the port.
    """

    def __init__(self, channel=None, baudrate=DEFAULT_BAUDRATE, can_filters=None, **kwargs):
        if not channel:
            raise can.CanInitializationError("the orvex interface needs a channel: the serial "
                                             "port of the adapter, such as /dev/ttyUSB0 or COM3")
        try:
            baudrate = int(baudrate)
        except (TypeError, ValueError):
            raise can.CanInitializationError("baudrate %r is not a number" % (baudrate,)) from None
        self.channel = str(channel)
        self.channel_info = "orvex adapter on %s at %s baud" % (self.channel, baudrate)
        self._reader = FrameReader()
        self._read_timeout = None
        self._write_timeout = None
        self._unsent = b""  # the rest of a frame that went out in part
        self._send_lock = threading.Lock()
        self._recv_lock = threading.Lock()
        self._closed = False
        # POSIX: a shutdown writes to this pipe, which ends a send waiting for room at once.
        self._wake = os.pipe() if fcntl is not None else None
        try:
            self._serial = self._open(self.channel, baudrate)
        except BaseException:
            self._close_wake()
            raise
        super().__init__(channel=self.channel, can_filters=can_filters, **kwargs)

    @staticmethod
    def _open(channel, baudrate):
        options = {"baudrate": baudrate, "timeout": None, "write_timeout": None}
        if os.name == "posix":
            options["exclusive"] = True  # flock(LOCK_EX | LOCK_NB) before any setting changes
        try:
            port = serial.Serial(channel, **options)
        except (serial.SerialException, OSError, ValueError) as error:
            raise can.CanInitializationError(_open_failure(channel, error)) from error
        if fcntl is not None:
            fd = port.fileno()
            try:
                # Not every device allows it; the flock is what counts.
                fcntl.ioctl(fd, termios.TIOCEXCL)
            except OSError:
                pass
            try:
                # Closing must not drop the modem lines: some adapters restart when they fall.
                attributes = termios.tcgetattr(fd)
                attributes[2] &= ~termios.HUPCL
                termios.tcsetattr(fd, termios.TCSANOW, attributes)
            except termios.error:
                pass
        try:
            # USB adapters otherwise hold answers for their latency timer (16 ms on common chips).
            port.set_low_latency_mode(True)
        except (AttributeError, NotImplementedError, ValueError, OSError):
            pass
        return port

    # -- receiving ------------------------------------------------------------------------------

    def _recv_internal(self, timeout):
        """The next frame, or None when ``timeout`` seconds pass without one (None: wait)."""
        with self._recv_lock:
            wait = _Wait(timeout)
            while True:
                port = self._port("receive")  # a shutdown in another thread ends the wait
                raw = self._reader.pop(lambda count: self._take(port, count, wait, True))
                if raw is None:
                    # Never more than the rest of one window while looking for a frame.
                    chunk = self._take(port, self._reader.missing, wait, False)
                    if chunk is None:
                        return None, False
                    self._reader.add(chunk)
                    continue
                can_id, data = decode_frame(raw)
                return can.Message(
                    timestamp=time.time(),
                    arbitration_id=can_id,
                    is_extended_id=False,
                    dlc=DATA_LENGTH,
                    data=data,
                    channel=self.channel,
                    is_rx=True,
                ), False

    def _take(self, port, count, wait, no_wait):
        """Up to ``count`` bytes from the port: what is waiting when ``no_wait``, else waiting
        until the limit. None when the wait is over."""
        remaining = None
        if wait.deadline is not None and not wait.late:
            if wait.first is not None and not no_wait:
                remaining, wait.first = wait.first, None
            else:
                remaining = wait.deadline - time.monotonic()
            if remaining <= 0:
                # From now on only what is waiting counts, however fast more comes in; one look
                # at least, so that a hung-up port is noticed.
                wait.late = True
                wait.allowance = max(self._waiting(port), 1)
        if wait.late:
            count = min(count, wait.allowance)
            data = self._read(port, count, 0) if count else b""
            wait.allowance -= len(data)
            return data if data or no_wait else None
        if no_wait:
            count = min(count, self._waiting(port))
            return self._read(port, count, 0) if count else b""
        return self._read(port, count, remaining)

    def _read(self, port, count, timeout):
        try:
            if timeout != self._read_timeout:
                # pyserial reconfigures the port on every change: that fails on a hung-up port.
                port.timeout = timeout
                self._read_timeout = timeout
            return port.read(count)
        except (serial.SerialException, OSError) as error:
            raise self._gone("receiving", error) from error

    def _waiting(self, port):
        try:
            return port.in_waiting
        except (serial.SerialException, OSError) as error:
            raise self._gone("receiving", error) from error

    # -- sending --------------------------------------------------------------------------------

    def send(self, msg, timeout=None):
        """Sends ``msg`` as a standard data frame of eight data bytes (shorter data is padded with
        zeros). Extended identifiers, remote, error and CAN FD frames are refused with
        can.CanOperationError: the adapter cannot carry them. With ``timeout`` (seconds; 0: only
        if the port takes it at once), a frame the port does not take in time raises
        can.CanOperationError and none of it is sent. Once part of a frame is out, the frame is
        sent: a rest the port did not take in time goes out ahead of the next frame."""
        frame = self._encode(msg)
        with self._send_lock:
            port = self._port("send")
            if self._wake is None:
                self._write_portable(port, frame, msg.arbitration_id, timeout)
            else:
                self._write(port, frame, msg.arbitration_id, timeout)

    def _write(self, port, frame, can_id, timeout):
        """Writes ``frame`` to the descriptor, which pyserial keeps non-blocking: waits for room
        in select, never by retrying, and ends at once on a shutdown. The rest of a frame that
        went out in part is kept and goes out ahead of the next one, so the adapter never sees a
        torn frame while the bus is open."""
        limit = None if timeout is None else time.monotonic() + max(timeout, 0.0)
        fd = port.fileno()
        before = len(self._unsent)  # the rest of an earlier frame
        data = self._unsent + frame
        sent = 0
        while True:
            try:
                sent += os.write(fd, data[sent:])
            except (BlockingIOError, InterruptedError):
                pass
            except OSError as error:
                raise self._gone("sending", error) from error
            self._unsent = data[sent:] if sent > before else data[sent:before]
            if sent == len(data) or (sent > before and limit is not None
                                     and time.monotonic() >= limit):
                return  # a frame begun is sent: its rest is kept
            remaining = None if limit is None else limit - time.monotonic()
            if remaining is not None and remaining <= 0:
                raise can.CanOperationError("the frame to 0x%03X was not sent within %s s"
                                            % (can_id, timeout))
            woken, _, _ = select.select([self._wake[0]], [fd], [], remaining)
            if woken:
                self._port("send")  # the shutdown raises

    def _write_portable(self, port, frame, can_id, timeout):
        try:
            if timeout != self._write_timeout:
                port.write_timeout = timeout  # pyserial reconfigures the port on every change
                self._write_timeout = timeout
            sent = port.write(frame)
        except serial.SerialTimeoutException as error:
            raise can.CanOperationError("the frame to 0x%03X was not sent within %s s"
                                        % (can_id, timeout)) from error
        except (serial.SerialException, OSError) as error:
            raise self._gone("sending", error) from error
        if sent is not None and sent != len(frame):
            self._port("send")  # cancelled by a shutdown
            raise can.CanOperationError("the frame to 0x%03X went out in part (%d of %d bytes)"
                                        % (can_id, sent, len(frame)))

    def flush_tx_buffer(self):
        """Discards what the port has not sent yet."""
        with self._send_lock:
            try:
                self._port("flush").reset_output_buffer()
            except (serial.SerialException, OSError) as error:
                raise self._gone("flushing", error) from error

    @staticmethod
    def _encode(msg):
        if msg.is_extended_id:
            reason = "extended (29-bit) identifier 0x%08X" % msg.arbitration_id
        elif msg.is_remote_frame:
            reason = "remote frame 0x%03X" % msg.arbitration_id
        elif msg.is_error_frame:
            reason = "error frame"
        elif msg.is_fd:
            reason = "CAN FD frame 0x%03X" % msg.arbitration_id
        elif len(msg.data) > DATA_LENGTH:
            reason = "frame 0x%03X with %d data bytes" % (msg.arbitration_id, len(msg.data))
        elif not 0 <= msg.arbitration_id <= 0x7FF:
            reason = "identifier 0x%X (over 11 bits)" % msg.arbitration_id
        else:
            return encode_frame(msg.arbitration_id, msg.data)
        raise can.CanOperationError("the orvex adapter cannot send a %s: it carries standard "
                                    "11-bit data frames of up to 8 bytes only" % reason)

    # -- the port -------------------------------------------------------------------------------

    def fileno(self):
        """Not offered: finding frames after noise reads input beyond the frame returned, so a
        descriptor would not signal a frame held back. python-can's Notifier then receives in a
        thread of its own, with an asyncio loop too."""
        raise NotImplementedError("the orvex interface offers no file descriptor to watch")

    def _port(self, action):
        if self._closed:
            raise can.CanOperationError("cannot %s: the orvex bus on %s was shut down"
                                        % (action, self.channel))
        return self._serial

    def _gone(self, action, error):
        return can.CanOperationError("the adapter on %s failed while %s (hung up or unplugged?): %s"
                                     % (self.channel, action, error))

    def shutdown(self):
        """Stops periodic sends and closes the port (a receive blocked in another thread
        ends with can.CanOperationError). Calling it again does nothing."""
        if self._closed:
            return
        self._closed = True
        super().shutdown()
        port = self._serial
        for cancel in ("cancel_read", "cancel_write"):  # wake a receive or send that waits
            try:
                getattr(port, cancel)()
            except (AttributeError, NotImplementedError, serial.SerialException, OSError):
                pass
        if self._wake is not None:
            os.write(self._wake[1], b"\0")
        with self._recv_lock, self._send_lock:
            if fcntl is not None:
                try:
                    fcntl.ioctl(port.fileno(), termios.TIOCNXCL)
                except (OSError, serial.SerialException):
                    pass
            try:
                port.close()
            except (serial.SerialException, OSError):
                pass
            self._reader.reset()
            self._close_wake()

    def _close_wake(self):
        if self._wake is not None:
            for fd in self._wake:
                os.close(fd)
            self._wake = None

    @staticmethod
    def _detect_available_configs():
        """One configuration per serial port the system lists."""
        try:
            ports = serial.tools.list_ports.comports()
        except Exception:  # an enumeration failure means no ports found, as for other interfaces
            return []
        return [{"interface": "orvex", "channel": port.device} for port in sorted(ports)]


class _Wait:
    """One receive's time limit. The first read waits the time asked for, the same value call
    after call (a new value reconfigures the port); later ones what is left."""

    __slots__ = ("deadline", "first", "late", "allowance")

    def __init__(self, timeout):
        self.deadline = None if timeout is None else time.monotonic() + max(timeout, 0.0)
        self.first = timeout
        self.late = False
        self.allowance = 0


def _open_failure(channel, error):
    """Why ``channel`` did not open, in words for a python-can user."""
    number = getattr(error, "errno", None)
    if os.path.isdir(channel):
        why = "a directory, not a serial device"
    elif number in (errno.EBUSY, errno.EAGAIN, errno.EWOULDBLOCK):  # TIOCEXCL, flock
        why = "in use: another program holds the port"
    elif number == errno.ENOENT:
        why = "no such device"
    elif "configure" in str(error):  # pyserial's words when the terminal settings are refused
        why = "not a serial device"
    else:
        why = "cannot be opened"
    return "orvex adapter port %s: %s (%s)" % (channel, why, error)

"""The adapter as a python-can interface (orvex.canbus): against a pseudo-terminal whose other side
the test writes exactly, and against orvex-sim.

Needs python-can and pyserial (Debian: python3-can, python3-serial); without them it skips.
"""

import asyncio
import configparser
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

try:
    import can
    import serial  # noqa: F401 (orvex.canbus needs it)
except ImportError as missing:
    raise unittest.SkipTest("python-can and pyserial are not installed for %s (%s): install "
                            "python3-can and python3-serial to test the python-can interface"
                            % (sys.executable, missing))

from orvex.canbus import OrvexBus
from orvex.frames import encode_frame

from .simulator import Simulator

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HEARTBEAT = encode_frame(0x701, b"\x7f")
CRLF_IN_DATA = encode_frame(0x582, b"\r\n\r\n\r\n\r\n")


def message(can_id, data=b"", **flags):
    return can.Message(arbitration_id=can_id, data=data, is_extended_id=False, **flags)


def sdo(bus, node, data, timeout=2.0):
    """Sends an SDO request to ``node`` and returns the data of its answer."""
    bus.send(message(0x600 + node, data))
    until = time.monotonic() + timeout
    while time.monotonic() < until:
        answer = bus.recv(until - time.monotonic())
        if answer is not None and answer.arbitration_id == 0x580 + node:
            return bytes(answer.data)
    raise AssertionError("no SDO answer from node %d" % node)


def sdo_write(bus, node, index, subindex, value, size):
    command = {1: 0x2F, 2: 0x2B, 4: 0x23}[size]
    return sdo(bus, node, bytes([command, index & 0xFF, index >> 8, subindex])
               + value.to_bytes(4, "little", signed=value < 0))


def sdo_read(bus, node, index, subindex):
    answer = sdo(bus, node, bytes([0x40, index & 0xFF, index >> 8, subindex]))
    return answer[0], int.from_bytes(answer[4:8], "little")


def wait_for(bus, wanted, timeout=3.0):
    """The first received message for which ``wanted`` is true."""
    until = time.monotonic() + timeout
    while time.monotonic() < until:
        received = bus.recv(until - time.monotonic())
        if received is not None and wanted(received):
            return received
    raise AssertionError("not received within %s s" % timeout)


class FakeAdapter:
    """A pseudo-terminal: the bus opens ``path``, the test plays the adapter on the master."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)

    def read(self, timeout=0.3):
        data = b""
        while select.select([self.master], [], [], timeout)[0]:
            data += os.read(self.master, 4096)
            timeout = 0.05
        return data

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


class OnAFakeAdapter(unittest.TestCase):
    def setUp(self):
        self.adapter = FakeAdapter()
        self.addCleanup(self.adapter.close)
        self.bus = OrvexBus(channel=self.adapter.path)
        self.addCleanup(self.bus.shutdown)

    def test_frames_after_noise_arrive_whole_and_in_order(self):
        # The noise and the front of the first frame end in CR LF as well: the frames behind
        # decide, as in the library.
        os.write(self.adapter.master,
                 b"\x01\x0d\x0a\x02" + CRLF_IN_DATA + HEARTBEAT + HEARTBEAT[:5])
        time.sleep(0.05)
        received = [self.bus.recv(1), self.bus.recv(1)]
        os.write(self.adapter.master, HEARTBEAT[5:])
        received.append(self.bus.recv(1))
        self.assertEqual([(m.arbitration_id, bytes(m.data)) for m in received],
                         [(0x582, b"\r\n" * 4)] + [(0x701, b"\x7f" + bytes(7))] * 2)
        for message in received:
            self.assertEqual((message.dlc, message.is_rx, message.is_extended_id), (8, True, False))
            self.assertEqual(message.channel, self.adapter.path)
            self.assertLess(abs(message.timestamp - time.time()), 5)

    def test_time_limits(self):
        for timeout, at_least, below in ((0, 0, 0.2), (0.3, 0.3, 1.0)):
            started = time.monotonic()
            self.assertIsNone(self.bus.recv(timeout))
            self.assertTrue(at_least <= time.monotonic() - started < below, timeout)
        os.write(self.adapter.master, HEARTBEAT)
        time.sleep(0.05)
        self.assertEqual(self.bus.recv(0).arbitration_id, 0x701)  # waiting input counts at once

    def test_sends_eight_data_bytes_and_refuses_what_the_adapter_cannot_carry(self):
        for sent, wire in (
            (message(0x000, [0x01, 0x02]), "0000 0102000000000000"),  # DLC 2 goes out as 8
            (message(0x080), "0080 0000000000000000"),
            (message(0x7FF, range(1, 9)), "07FF 0102030405060708"),
        ):
            self.bus.send(sent, timeout=1)
            self.assertEqual(self.adapter.read(), bytes.fromhex(wire) + b"\r\n")
        for refused, reason in (
            (can.Message(arbitration_id=0x601, is_extended_id=True), "extended"),
            (message(0x601, is_remote_frame=True), "remote"),
            (message(0x601, is_error_frame=True), "error frame"),
            (message(0x601, bytes(12), is_fd=True), "CAN FD"),
            (message(0x800), "over 11 bits"),
        ):
            with self.assertRaisesRegex(can.CanOperationError, reason):
                self.bus.send(refused)
        self.assertEqual(self.adapter.read(0.1), b"")

    def test_a_send_the_port_does_not_take_in_time_fails(self):
        # Nobody reads the adapter's side: the terminal's buffer fills and the write blocks.
        started = time.monotonic()
        with self.assertRaisesRegex(can.CanOperationError, "not sent within"):
            for _ in range(100000):
                self.bus.send(message(0x601, bytes(8)), timeout=0.2)
        self.assertLess(time.monotonic() - started, 10)

    def fill(self, timeout):
        """Sends until the port takes no more (nobody reads the adapter's side); the error."""
        for _ in range(100000):
            try:
                self.bus.send(message(0x601, bytes(range(8))), timeout=timeout)
            except can.CanOperationError as error:
                return error
        self.fail("the terminal's buffer never filled")

    def assert_whole_frames(self, data):
        self.assertGreater(len(data), 0)
        self.assertEqual(len(data) % 12, 0, "a torn frame reached the adapter")
        self.assertEqual(set(data[i:i + 12] for i in range(0, len(data), 12)),
                         {encode_frame(0x601, bytes(range(8)))})

    def in_thread(self, action, limit):
        """Runs ``action`` in a thread; (whether it ended within ``limit`` s, what it raised)."""
        outcome = []

        def run():
            try:
                action()
                outcome.append(None)
            except Exception as error:  # noqa: B902 (the outcome is the test's to judge)
                outcome.append(error)

        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        thread.join(limit)
        if thread.is_alive():
            self.adapter.close()  # the hang-up ends it, and the test fails instead of hanging
        return not thread.is_alive(), outcome[0] if outcome else None

    def test_a_send_without_waiting_takes_no_time_and_never_tears_a_frame(self):
        cpu = time.process_time()
        started = time.monotonic()
        ended, error = self.in_thread(lambda: self.fill(0), 10)
        self.assertTrue(ended, "send(timeout=0) never returned on a full port")
        self.assertLess(time.monotonic() - started, 5)
        self.assertLess(time.process_time() - cpu, 3)
        self.assertIsNone(error)  # fill returned the CanOperationError
        started = time.monotonic()
        with self.assertRaisesRegex(can.CanOperationError, "not sent within 0 s"):
            self.bus.send(message(0x601, bytes(range(8))), timeout=0)
        self.assertLess(time.monotonic() - started, 0.5)
        # With room again, the rest of a frame that went out in part goes ahead of the next one.
        wire = self.adapter.read(0.2)
        self.bus.send(message(0x601, bytes(range(8))), timeout=1)
        self.assert_whole_frames(wire + self.adapter.read(0.2))

    def test_shutdown_ends_a_send_that_waits_for_room(self):
        self.assertRegex(str(self.fill(0.2)), "not sent within")
        self.adapter.read(0.2)  # room again, then filled by a send without a time limit
        sender = threading.Thread(target=lambda: self.outcomes.append(self.fill(None)),
                                  daemon=True)
        self.outcomes = []
        sender.start()
        time.sleep(0.3)
        self.assertTrue(sender.is_alive(), "the port never filled")
        ended, raised = self.in_thread(self.bus.shutdown, 3)
        self.assertTrue(ended, "shutdown waits for a blocked send")
        self.assertIsNone(raised)
        sender.join(2)
        self.assertFalse(sender.is_alive())
        self.assertRegex(str(self.outcomes[0]), "shut down")

    def test_a_hang_up_raises_instead_of_returning(self):
        os.write(self.adapter.master, HEARTBEAT[:6])
        for action in (lambda: self.bus.recv(None), lambda: self.bus.send(message(0x000))):
            closer = threading.Timer(0.2, self.adapter.close)
            closer.start()
            started = time.monotonic()
            with self.assertRaisesRegex(can.CanOperationError, "hung up or unplugged"):
                action()
            closer.join()
            self.assertLess(time.monotonic() - started, 2)
        # Later calls with other time limits, which reconfigure pyserial's port, say the same.
        for action in (lambda: self.bus.recv(0.5), lambda: self.bus.send(message(0x000), 0.5)):
            with self.assertRaisesRegex(can.CanOperationError, "hung up or unplugged"):
                action()

    def test_shutdown_ends_a_receive_without_time_limit_and_is_final(self):
        threading.Timer(0.2, self.bus.shutdown).start()
        with self.assertRaisesRegex(can.CanOperationError, "shut down"):
            self.bus.recv()
        with self.assertRaisesRegex(can.CanOperationError, "shut down"):
            self.bus.send(message(0x000))
        self.bus.shutdown()

    def test_an_asyncio_notifier_gets_every_frame_of_a_burst(self):
        loop = asyncio.new_event_loop()
        self.addCleanup(loop.close)
        reader = can.AsyncBufferedReader()
        notifier = can.Notifier(self.bus, [reader], loop=loop)
        self.addCleanup(notifier.stop)
        # Finding the first frame at the start reads what follows it: two frames in one burst
        # leave nothing on the descriptor for the second.
        async def receive(count):
            return [(await asyncio.wait_for(reader.get_message(), 2)).arbitration_id
                    for _ in range(count)]

        os.write(self.adapter.master, HEARTBEAT + encode_frame(0x581, b"\x43"))
        self.assertEqual(loop.run_until_complete(receive(2)), [0x701, 0x581])
        os.write(self.adapter.master, HEARTBEAT + CRLF_IN_DATA + encode_frame(0x702, b"\x05"))
        self.assertEqual(loop.run_until_complete(receive(3)), [0x701, 0x582, 0x702])
        with self.assertRaises(NotImplementedError):  # python-can's way to say: receive in a thread
            self.bus.fileno()

    def test_a_second_opener_is_refused_either_way(self):
        with self.assertRaisesRegex(can.CanInitializationError, "in use"):
            OrvexBus(channel=self.adapter.path)
        library = os.environ.get("ORVEX_LIBRARY")
        if not library:
            return
        # The library holds the port in another process; the bus is refused, and the reverse.
        opener = subprocess.Popen(
            [sys.executable, "-c", "import ctypes, sys; lib = ctypes.CDLL(sys.argv[1]); "
             "print(lib.Serial_OpenDevice(sys.argv[2].encode(), 115200), flush=True); "
             "sys.stdin.readline()", library, self.adapter.path],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            env=dict(os.environ, ORVEX_LOAD_DELAY_MS="0"))
        self.assertEqual(opener.stdout.readline().strip(), "0")  # the bus holds it
        opener.communicate("\n", timeout=10)
        self.bus.shutdown()
        opener = subprocess.Popen(opener.args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  text=True, env=dict(os.environ, ORVEX_LOAD_DELAY_MS="0"))
        try:
            self.assertEqual(opener.stdout.readline().strip(), "1")
            with self.assertRaisesRegex(can.CanInitializationError, "in use"):
                OrvexBus(channel=self.adapter.path)
        finally:
            opener.communicate("\n", timeout=10)


class BadChannels(unittest.TestCase):
    def test_each_is_refused_with_its_reason(self):
        with tempfile.NamedTemporaryFile() as regular:
            for channel, reason in (
                ("/nonexistent/ttyUSB9", "no such device"),
                (tempfile.gettempdir(), "a directory"),
                ("/dev/null", "not a serial device"),
                (regular.name, "not a serial device"),
                ("", "needs a channel"),
            ):
                with self.assertRaisesRegex(can.CanInitializationError, reason):
                    OrvexBus(channel=channel)


class AgainstOrvexSim(unittest.TestCase):
    """Through python-can's own entry: can.Bus(interface="orvex")."""

    @classmethod
    def setUpClass(cls):
        cls.sim = Simulator("--acks", "--heartbeat-ms", 50)
        cls.bus = can.Bus(interface="orvex", channel=cls.sim.path)

    @classmethod
    def tearDownClass(cls):
        cls.bus.shutdown()
        cls.sim.stop()

    def test_the_entry_point_gives_this_interface(self):
        self.assertIsInstance(self.bus, OrvexBus)

    def test_boot_ups_and_heartbeats_through_a_notifier(self):
        reader = can.BufferedReader()
        notifier = can.Notifier(self.bus, [reader], timeout=0.1)
        try:
            self.bus.send(message(0x000, [0x81, 0]))  # reset node, all nodes
            seen = []
            until = time.monotonic() + 3
            while time.monotonic() < until and not {(0x701, 0x7F), (0x702, 0x7F)} <= set(seen):
                received = reader.get_message(0.2)
                if received is not None and received.arbitration_id in (0x701, 0x702):
                    seen.append((received.arbitration_id, received.data[0]))
        finally:
            notifier.stop()
        for node in (0x701, 0x702):  # a boot-up, then heartbeats in pre-operational
            self.assertEqual(seen[[i for i, _ in seen].index(node)], (node, 0x00))
            self.assertIn((node, 0x7F), seen)

    def test_nmt_commands_show_in_the_heartbeats(self):
        for command, state in ((0x01, 0x05), (0x02, 0x04), (0x80, 0x7F)):
            self.bus.send(message(0x000, [command, 1]))
            wait_for(self.bus, lambda m: m.arbitration_id == 0x701 and m.data[0] == state)
        wait_for(self.bus, lambda m: m.arbitration_id == 0x702 and m.data[0] == 0x7F)

    def test_sdo_download_upload_and_abort(self):
        self.assertEqual(sdo_write(self.bus, 2, 0x6081, 0, 123456, 4)[0], 0x60)
        self.assertEqual(sdo_read(self.bus, 2, 0x6081, 0), (0x43, 123456))
        self.assertEqual(sdo_read(self.bus, 2, 0x5000, 0), (0x80, 0x06020000))


class LoggingAndHangUp(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="orvex-canbus-")
        self.addCleanup(shutil.rmtree, self.work)
        self.link = os.path.join(self.work, "port")
        self.sim = Simulator("--heartbeat-ms", 20, "--link", self.link)
        self.addCleanup(self.sim.stop)

    def test_can_logger_records_heartbeats_that_read_back(self):
        log = os.path.join(self.work, "bus.log")
        logger = subprocess.Popen(
            [sys.executable, "-m", "can.logger", "-i", "orvex", "-c", self.link, "-f", log],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            env=dict(os.environ, PYTHONPATH=PYTHON_DIR))
        self.assertIn("OrvexBus", logger.stdout.readline())  # "Connected to OrvexBus: ..."
        time.sleep(0.5)
        logger.send_signal(signal.SIGINT)
        self.assertEqual(logger.wait(10), 0, logger.stdout.read())
        logger.stdout.close()
        recorded = [(m.arbitration_id, m.dlc, bytes(m.data)) for m in can.LogReader(log)]
        self.assertGreater(recorded.count((0x701, 8, b"\x7f" + bytes(7))), 5)
        self.assertGreater(recorded.count((0x702, 8, b"\x7f" + bytes(7))), 5)

    def test_the_simulator_killed_mid_receive(self):
        with OrvexBus(channel=self.link) as bus:
            bus.recv(1)
            threading.Timer(0.2, self.sim.process.kill).start()
            started = time.monotonic()
            with self.assertRaises(can.CanOperationError):
                while time.monotonic() - started < 5:
                    bus.recv(None)
            self.assertLess(time.monotonic() - started, 2)


class Strict402(unittest.TestCase):
    def test_enable_with_raw_messages(self):
        # Shutdown, switch on, enable operation; each step confirmed in the statusword.
        with Simulator("--strict-402", "--acks") as sim, \
                can.Bus(interface="orvex", channel=sim.path) as bus:
            self.assertEqual(sdo_read(bus, 1, 0x6041, 0)[1] & 0x4F, 0x40)  # switch on disabled
            for controlword, mask, state in ((0x06, 0x6F, 0x21), (0x07, 0x6F, 0x23),
                                             (0x0F, 0x6F, 0x27)):
                self.assertEqual(sdo_write(bus, 1, 0x6040, 0, controlword, 2)[0], 0x60)
                self.assertEqual(sdo_read(bus, 1, 0x6041, 0)[1] & mask, state, hex(controlword))


class ElectronicDataSheet(unittest.TestCase):
    """orvex-sim --write-eds, as CANopen tools (python-canopen's import_od) read it: an INI file
    that configparser takes, whose every object the simulated drives serve with its type and
    power-on value."""

    SIZES = {0x0002: 1, 0x0003: 2, 0x0004: 4, 0x0005: 1, 0x0006: 2, 0x0007: 4}
    UPLOAD_COMMAND = {1: 0x4F, 2: 0x4B, 4: 0x43}

    @classmethod
    def setUpClass(cls):
        program = os.environ.get("ORVEX_SIM")
        if not program:
            raise unittest.SkipTest("set ORVEX_SIM to the built orvex-sim to run this test")
        cls.work = tempfile.mkdtemp(prefix="orvex-eds-")
        cls.path = os.path.join(cls.work, "orvex-sim.eds")
        subprocess.run([program, "--write-eds", cls.path], check=True, timeout=10)
        cls.eds = configparser.ConfigParser(interpolation=None, strict=True)
        cls.eds.optionxform = str  # keys keep their case, as in the file
        with open(cls.path) as file:
            cls.eds.read_file(file)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def variables(self):
        """(index, subindex, section) of every entry: the variables and the records' entries."""
        for section in self.eds.sections():
            match = re.fullmatch(r"([0-9A-F]{4})(?:sub([0-9A-F]+))?", section)
            if match and self.eds[section]["ObjectType"] == "0x7":
                yield int(match[1], 16), int(match[2] or "0", 16), self.eds[section]

    def test_the_lists_name_every_object_and_each_has_its_section(self):
        listed = []
        for name in ("MandatoryObjects", "OptionalObjects", "ManufacturerObjects"):
            objects = self.eds[name]
            count = int(objects["SupportedObjects"])
            listed += [int(objects[str(i)], 16) for i in range(1, count + 1)]
        self.assertEqual([int(self.eds["MandatoryObjects"][str(i)], 16) for i in (1, 2, 3)],
                         [0x1000, 0x1001, 0x1018])
        self.assertEqual(sorted(listed), sorted({index for index, _, _ in self.variables()}))
        for index in listed:
            self.assertIn("%04X" % index, self.eds)
        for index in (0x6040, 0x6041, 0x6060, 0x6061, 0x6064, 0x607A, 0x6081, 0x6098, 0x60FF,
                      0x6502, 0x1008, 0x100A, 0x2010):
            self.assertIn(index, listed, hex(index))
        self.assertEqual(self.eds["DeviceInfo"]["NrOfTXPDO"], "0")
        record = self.eds["1018"]
        self.assertEqual((record["ObjectType"], record["SubNumber"]), ("0x9", "5"))
        self.assertEqual(self.eds["6040"]["AccessType"], "rw")
        self.assertEqual(self.eds["6041"]["AccessType"], "ro")
        self.assertEqual(self.eds["1008"]["DataType"], "0x0009")  # VISIBLE_STRING
        self.assertEqual(self.eds["2010"]["DataType"], "0x000F")  # DOMAIN

    def test_each_drive_serves_every_object_with_its_size_and_power_on_value(self):
        with Simulator("--drives", 2, "--acks", "--strict-402") as sim, \
                can.Bus(interface="orvex", channel=sim.path) as bus:
            checked = 0
            for node in (1, 2):
                for index, subindex, entry in self.variables():
                    size = self.SIZES.get(int(entry["DataType"], 16))
                    where = "node %d 0x%04X:%02X" % (node, index, subindex)
                    command, value = sdo_read(bus, node, index, subindex)
                    if size is None:  # a string or DOMAIN: answered in segments
                        self.assertEqual(command & 0xE3, 0x41, where)  # segmented, size given
                        continue
                    self.assertEqual(command, self.UPLOAD_COMMAND[size], where)
                    default = entry["DefaultValue"].replace("$NODEID", str(node))
                    expected = eval(default, {"__builtins__": {}})  # "0x1F", "-5", "2+0x2024"
                    self.assertEqual(value, expected & (1 << 8 * size) - 1, where)
                    checked += 1
            self.assertGreater(checked, 60)


class Packaging(unittest.TestCase):
    def test_the_tree_and_pip_install_register_the_interface(self):
        import tomllib  # Python 3.11; Debian 12's

        with open(os.path.join(PYTHON_DIR, "pyproject.toml"), "rb") as file:
            project = tomllib.load(file)["project"]
        with open(os.path.join(PYTHON_DIR, "orvex.dist-info", "METADATA")) as file:
            self.assertIn("Version: %s\n" % project["version"], file.read())
        with open(os.path.join(PYTHON_DIR, "orvex.dist-info", "entry_points.txt")) as file:
            self.assertIn("orvex = %s\n" % project["entry-points"]["can.interface"]["orvex"],
                          file.read())
        # pip install ./python, from a copy so that the tree stays clean.
        work = tempfile.mkdtemp(prefix="orvex-pip-")
        self.addCleanup(shutil.rmtree, work)
        source = shutil.copytree(PYTHON_DIR, os.path.join(work, "source"), ignore=shutil.
                                 ignore_patterns("tests", "*.dist-info", "__pycache__"))
        installed = subprocess.run(
            [sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation",
             "--no-index", "--target", os.path.join(work, "target"), source],
            capture_output=True, text=True, timeout=120)
        if installed.returncode != 0 and "No module named pip" in installed.stderr:
            self.skipTest("no pip for %s" % sys.executable)
        self.assertEqual(installed.returncode, 0, installed.stderr)
        found = subprocess.run(
            [sys.executable, "-c", "import can.interfaces as i; print(i.BACKENDS['orvex'])"],
            capture_output=True, text=True, cwd=work, timeout=30,
            env=dict(os.environ, PYTHONPATH=os.path.join(work, "target")))
        self.assertEqual(found.stdout.strip(), "('orvex.canbus', 'OrvexBus')", found.stderr)


if __name__ == "__main__":
    unittest.main()

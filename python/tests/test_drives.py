"""The binding against orvex-sim: what a host program sees of real drives."""

import time
import unittest

import orvex
from orvex.status import OPERATION_ENABLED, QUICK_STOP_ACTIVE, SWITCH_ON_DISABLED, SWITCHED_ON

from .simulator import SimTestCase, Simulator, eventually, library


# Objects a refused call must not have touched: mode, target, torque, controlword, LED.
WATCHED = ((0x6060, 0, 1), (0x607A, 0), (0x6071, 0, 2), (0x6040, 0, 2), (0x2003, 0x14))


class Drives(SimTestCase):
    # Eight drives, so that a summary of all of them is 0xFF: the value the library also
    # returns when a summary fails.
    sim_options = ("--drives", 8)

    def test_power_states_decode_from_the_statusword(self):
        drive = self.bus.drive(3)
        self.assertEqual(drive.status.state, SWITCH_ON_DISABLED)
        drive.enable()
        status = drive.status
        self.assertEqual(status.state, OPERATION_ENABLED)
        self.assertTrue(status.enabled and status.voltage_enabled)
        self.assertTrue(status.quick_stop_not_active and not status.quick_stop_active)
        self.assertIn("quick_stop_not_active", status.flags())
        self.assertFalse(status.fault)
        drive.disable()
        self.assertEqual(drive.status.state, SWITCHED_ON)
        drive.enable()
        drive.quick_stop()
        self.assertTrue(eventually(lambda: drive.status.state == QUICK_STOP_ACTIVE))
        self.assertTrue(drive.status.quick_stop_active)
        self.assertFalse(drive.status.quick_stop_not_active)
        # The library's own status query masks out the state bits 5 and 6.
        self.assertEqual(drive.motor_status, drive.status.raw & 0x1D0F)
        self.assertGreaterEqual(drive.version, 1)

    def test_moves_wait_until_the_target_is_reached(self):
        drive = self.bus.drive(1)
        drive.enable()
        drive.set_profile(40000, 200000, 200000)
        self.assertEqual(drive.move_to(12000, wait=True), 12000)
        self.assertTrue(drive.status.target_reached)
        self.assertEqual(drive.move_to(-4000, relative=True, wait=True), 8000)
        self.assertEqual(drive.position, 8000)
        self.assertEqual(self.bus.drive(2).position, 0)  # a genuine 0, not a failure

        drive.set_profile(1000, 200000, 200000)
        with self.assertRaises(orvex.TimeoutError) as caught:
            drive.move_to(100000, wait=True, timeout=0.2)
        self.assertIn("node 1", str(caught.exception))
        self.assertIn("100000", str(caught.exception))
        drive.halt()
        stopped = drive.position
        self.assertTrue(8000 < stopped < 100000)

    def test_homing_zeroes_the_position_without_an_error(self):
        drive = self.bus.drive(4)
        drive.enable()
        drive.set_profile(40000, 200000, 200000)
        drive.move_to(3000, wait=True)
        drive.home(17, 20000, 5000, 100000, wait=True, timeout=5)
        self.assertTrue(drive.status.homing_attained)
        self.assertEqual(drive.position, 0)

    def test_velocity_and_torque_helpers_drive_the_motor(self):
        drive = self.bus.drive(5)
        drive.run_velocity(20000, 100000, 100000)
        self.assertTrue(eventually(lambda: drive.velocity == 20000))
        drive.set_velocity(-10000)
        self.assertTrue(eventually(lambda: drive.velocity == -10000))
        drive.halt()
        self.assertTrue(eventually(lambda: drive.velocity == 0))
        drive.set_velocity_profile(5000, 100000, 100000)
        self.assertEqual(drive.velocity, 0)  # held by halt until started
        drive.run_velocity(6000)
        self.assertTrue(eventually(lambda: drive.velocity == 6000))

        drive.run_torque(3000, -200)
        self.assertTrue(eventually(lambda: drive.velocity == -3000))
        drive.halt()
        self.assertTrue(eventually(lambda: drive.velocity == 0))
        drive.start_torque()
        self.assertEqual(drive.sdo_read(0x6060, 0, size=1), 4)

    def test_summaries_are_sets_of_nodes_even_at_0xff(self):
        self.assertEqual(self.bus.drives_in_fault(), set())
        for node in range(1, 9):
            self.bus.drive(node).enable()
        self.assertEqual(self.bus.enabled_drives(), set(range(1, 9)))
        self.assertIsInstance(self.bus.drives_at_target(), set)
        self.bus.drive(8).disable()
        self.assertEqual(self.bus.enabled_drives(), set(range(1, 8)))

    def test_object_access_sizes_signs_and_aborts(self):
        drive = self.bus.drive(6)
        drive.sdo_write(0x607A, 0, -5)
        self.assertEqual(drive.sdo_read(0x607A, 0, signed=True), -5)
        self.assertEqual(drive.sdo_read(0x607A, 0), 0xFFFFFFFB)
        drive.sdo_write(0x6071, 0, -300, size=2)
        self.assertEqual(drive.sdo_read(0x6071, 0, size=2, signed=True), -300)
        self.assertEqual(drive.sdo_read(0x6071, 0, size=2), 0x10000 - 300)
        drive.led(3)
        self.assertEqual(drive.sdo_read(0x2003, 0x14), 3)
        drive.set_target(777)
        self.assertEqual(drive.sdo_read(0x607A, 0, signed=True), 777)

        with self.assertRaises(orvex.SdoAbortError) as caught:
            drive.sdo_read(0x5FFF, 0)
        error = caught.exception
        self.assertEqual(error.code, 0x06020000)
        self.assertEqual(error.meaning, "object does not exist in the object dictionary")
        self.assertEqual((error.node, error.index, error.subindex), (6, 0x5FFF, 0))
        for part in ("node 6", "0x5FFF:00", "0x06020000", "does not exist"):
            self.assertIn(part, str(error))

    def test_arguments_out_of_range_are_refused_before_sending(self):
        drive = self.bus.drive(7)
        drive.enable()
        drive.set_profile(40000, 200000, 200000)
        nan, inf = float("nan"), float("inf")
        for number, call in enumerate((
            lambda: self.bus.drive(0),
            lambda: self.bus.drive(128),
            lambda: drive.sdo_write(0x6081, 0, 0x10000, size=2),
            lambda: drive.sdo_write(0x6081, 0, -129, size=1),
            lambda: drive.sdo_read(0x10000, 0),
            lambda: drive.sdo_read(0x6081, 0, size=5),
            lambda: drive.move_to(1 << 31),
            lambda: drive.move_to(1.5),
            lambda: drive.set_profile(1000, -1, 1000),
            lambda: drive.run_velocity(1000, acceleration=5000),
            # Target torque 0x6071 is INTEGER16: 40000 would reach the drive as -25536.
            lambda: drive.run_torque(1, 40000),
            lambda: drive.run_torque(1, -32769),
            lambda: drive.run_torque(1 << 32, 100),
            # Unsigned objects take no negative values: profile velocity, homing speeds.
            lambda: drive.set_profile(-1, 1000, 1000),
            lambda: drive.home(17, -1, 1, 1),
            lambda: drive.home(17, 1, -1, 1),
            lambda: drive.run_torque(-1, 100),
            lambda: drive.home(128, 1, 1, 1),
            lambda: drive.home(0, 1, 1, 40000),
            lambda: drive.led(1 << 32),
            lambda: drive.led(-(1 << 31) - 1),
            # Time limits: NaN would wait forever, a negative one would start the motion
            # and then time out.
            lambda: drive.move_to(3000, wait=True, timeout=nan),
            lambda: drive.move_to(3000, wait=True, timeout=-1),
            lambda: drive.move_to(3000, wait=True, timeout=inf),
            lambda: drive.move_to(3000, wait=True, timeout="1"),
            lambda: drive.move_to(3000, ack_timeout=nan),
            lambda: drive.wait_for_target(3000, timeout=nan),
            lambda: drive.home(17, 1, 1, 1, wait=True, timeout=-0.5),
            lambda: drive.enable(timeout=nan),
            lambda: drive.quick_stop(timeout=-1),
            lambda: drive.halt(timeout=3601),
            lambda: setattr(drive, "torque", 32768),
            lambda: self.bus.read_many([]),
            lambda: self.bus.read_many([(1, 0x6041, 0), (1, 0x6041, 0)]),
            lambda: self.bus.read_many([(128, 0x6041, 0)]),
            lambda: self.bus.read_many([(1, 0x6041)]),
            lambda: self.bus.receive(timeout=nan),
            lambda: self.bus.receive(timeout=61),
            lambda: self.bus.set_time_limits(query_ms=0),
            lambda: self.bus.set_time_limits(exchange_ms=60001),
        )):
            before = [drive.sdo_read(*obj) for obj in WATCHED]
            with self.assertRaises(orvex.BadArgumentError, msg="call %d" % number):
                call()
            self.assertEqual([drive.sdo_read(*obj) for obj in WATCHED], before)
            self.assertEqual(drive.state, orvex.State.OPERATION_ENABLED)

    def test_the_led_takes_any_32_bits_as_the_command_line_tool_does(self):
        drive = self.bus.drive(7)
        for value, stored in ((0xFFFFFFFF, 0xFFFFFFFF), (-1, 0xFFFFFFFF), (-(1 << 31), 1 << 31),
                              (5, 5)):
            drive.led(value)
            self.assertEqual(drive.sdo_read(0x2003, 0x14), stored)

    def test_raw_bytes_go_out_unchanged_and_answers_come_back_unexamined(self):
        # Download 0x6081 = 0x1234 to node 2, then ask for it with a raw upload request: the
        # exchange hands back the first 12 bytes that come, the download's confirmation, and the
        # next one the answer to the upload.
        self.bus.transmit(bytes.fromhex("06022381600034120000") + b"\r\n")
        answer = self.bus.exchange(bytes.fromhex("06024081600000000000") + b"\r\n", 12)
        self.assertEqual(answer, bytes.fromhex("05826081600000000000") + b"\r\n")
        answer = self.bus.exchange(b"", 12)
        self.assertEqual(answer, bytes.fromhex("05824381600034120000") + b"\r\n")
        with self.assertRaises(orvex.TimeoutError):
            self.bus.exchange(b"", 12)  # nothing asked, nothing comes


class SlowAndFaultyDrives(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.library = library()

    def test_answers_past_the_time_limit_raise_timeout(self):
        with Simulator("--delay-ms", 900) as sim, orvex.Bus(sim.path, library=self.library) as bus:
            started = time.monotonic()
            with self.assertRaises(orvex.TimeoutError) as caught:
                bus.drive(1).position
            self.assertGreaterEqual(time.monotonic() - started, 0.8)
            self.assertIsInstance(caught.exception, TimeoutError)  # the built-in one too
            self.assertIn("GetPosition", str(caught.exception))
            bus.drive(1).restart()  # commands only write: no wait

    def test_a_drive_in_fault_shows_in_status_and_summary(self):
        with Simulator("--fault-node", 2) as sim, orvex.Bus(sim.path, library=self.library) as bus:
            self.assertEqual(bus.drives_in_fault(), {2})
            self.assertTrue(bus.drive(2).status.fault)
            self.assertEqual(bus.drive(2).status.state, "fault")
            for call in (lambda: bus.drive(2).move_to(1000, wait=True, timeout=2),
                         lambda: bus.drive(2).wait_for_target(1000, timeout=2)):
                with self.assertRaises(orvex.DriveFaultError) as caught:
                    call()
                # It was in fault before anything was asked of it: it did not "go into" fault.
                self.assertIn("is in fault", str(caught.exception))
                self.assertNotIn("went into fault", str(caught.exception))

    def test_a_second_bus_is_refused_while_the_first_is_open(self):
        with Simulator() as one, Simulator() as two:
            first = orvex.Bus(one.path, library=self.library)
            with self.assertRaises(orvex.PortInUseError) as caught:
                orvex.Bus(two.path, library=self.library)
            self.assertIn("one port per process", str(caught.exception))
            self.assertIn(one.path, str(caught.exception))
            self.assertTrue(first.is_open)  # untouched: still open and answering
            first.drive(1).enable()
            self.assertEqual(first.enabled_drives(), {1})
            first.close()
            second = orvex.Bus(two.path, library=self.library)  # now it may
            self.assertEqual(second.drive(1).state, orvex.State.SWITCH_ON_DISABLED)
            first.close()  # a closed Bus's close leaves the new port alone
            self.assertTrue(second.is_open)
            second.close()

    def test_a_closed_bus_and_one_with_no_port_raise_at_once(self):
        with Simulator() as sim:
            bus = orvex.Bus(sim.path, library=self.library)
            drive = bus.drive(1)
            bus.close()
            bus.close()
            borrowing = orvex.Bus(library=self.library)  # no port given, none open
            for call in (lambda: drive.position, lambda: drive.status, drive.enable,
                         lambda: bus.enabled_drives(), lambda: borrowing.drive(1).position,
                         borrowing.drive(1).enable):
                started = time.monotonic()
                with self.assertRaises(orvex.NoPortError) as caught:
                    call()
                self.assertLess(time.monotonic() - started, 0.2)
            self.assertIn("no port is open", str(caught.exception))
            self.assertEqual(caught.exception.node, 1)

    def test_device_paths_that_name_no_file_are_refused_up_front(self):
        for path in ("", b"", "/dev/tty\0S0"):
            with self.assertRaises(orvex.BadArgumentError):
                orvex.Bus(path, library=self.library)

    def test_a_missing_device_raises_an_os_error_with_errno(self):
        with self.assertRaises(orvex.OrvexSystemError) as caught:
            orvex.Bus("/dev/orvex-no-such-device", library=library())
        self.assertIsInstance(caught.exception, OSError)
        self.assertEqual(caught.exception.errno, 2)
        self.assertIn("/dev/orvex-no-such-device", str(caught.exception))


if __name__ == "__main__":
    unittest.main()

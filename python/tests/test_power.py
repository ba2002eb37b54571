"""Power states, faults and moves in a row, on the lenient simulated drive and on one that
follows CiA 402 to the letter: the binding must work the same on both."""

import threading
import time
import unittest

import orvex
from orvex import State

from .simulator import SimTestCase, Simulator, eventually, library, sim_supports


class DriveBehaviour:
    """The scenarios; each subclass names the simulator options of one kind of drive."""

    def test_enable_walks_up_from_power_up_and_then_writes_nothing(self):
        drive = self.bus.drive(1)
        self.assertEqual(drive.state, State.SWITCH_ON_DISABLED)
        self.assertEqual(drive.enable(), State.OPERATION_ENABLED)
        self.assertEqual(drive.state, State.OPERATION_ENABLED)
        self.assertEqual(drive.sdo_read(0x6040, 0, size=2), 0x000F)
        # Already enabled: nothing is written. A halt left in the controlword shows that.
        drive.halt()
        self.assertEqual(drive.enable(), State.OPERATION_ENABLED)
        self.assertEqual(drive.sdo_read(0x6040, 0, size=2), 0x010F)

    def test_disable_and_quick_stop_are_confirmed_and_enable_comes_back_from_both(self):
        drive = self.bus.drive(2)
        drive.enable()
        self.assertEqual(drive.disable(), State.SWITCHED_ON)
        self.assertEqual(drive.disable(), State.SWITCHED_ON)  # nothing to do
        drive.enable()
        self.assertEqual(drive.quick_stop(), State.QUICK_STOP_ACTIVE)
        self.assertTrue(drive.status.quick_stop_active)
        self.assertEqual(drive.enable(), State.OPERATION_ENABLED)
        drive.quick_stop()
        self.assertEqual(drive.disable(), State.SWITCH_ON_DISABLED)
        self.assertEqual(drive.enable(), State.OPERATION_ENABLED)

    def test_moves_in_a_row_each_reach_their_target(self):
        drive = self.bus.drive(3)
        drive.enable()
        drive.set_profile(100000, 1000000, 1000000)
        for target, relative, expected in ((5000, False, 5000), (-2000, True, 3000),
                                           (3000, True, 6000), (1000, False, 1000)):
            self.assertEqual(drive.move_to(target, relative=relative, wait=True, timeout=5),
                             expected)
            # Bit 4 is dropped after each move, so the next one is a rising edge again.
            self.assertFalse(drive.sdo_read(0x6040, 0, size=2) & 0x10)
        self.assertEqual(drive.position, 1000)

    def test_a_move_needs_an_enabled_drive_in_its_mode_and_sends_nothing_otherwise(self):
        drive = self.bus.drive(4)
        drive.enable()
        drive.disable()
        with self.assertRaises(orvex.StateError) as caught:
            drive.move_to(777)
        self.assertIn("enable()", str(caught.exception))
        drive.enable()
        with self.assertRaises(orvex.StateError) as caught:
            drive.move_to(777)
        self.assertIn("is in no mode of operation, not profile position", str(caught.exception))
        self.assertNotIn("mode mode", str(caught.exception))
        drive.run_velocity(0, 1000, 1000)
        with self.assertRaises(orvex.StateError) as caught:
            drive.move_to(777)
        self.assertIn("profile velocity mode, not profile position", str(caught.exception))
        self.assertIn("set_profile()", str(caught.exception))
        self.assertNotEqual(drive.sdo_read(0x607A, 0, signed=True), 777)
        self.assertEqual(drive.mode, 3)

    def test_homing_then_a_move(self):
        drive = self.bus.drive(5)
        drive.enable()
        drive.set_profile(100000, 1000000, 1000000)
        drive.move_to(2500, wait=True)
        drive.home(17, 20000, 5000, 100000, wait=True, timeout=5)
        self.assertTrue(drive.status.homing_attained)
        self.assertEqual(drive.position, 0)
        drive.set_profile(100000, 1000000, 1000000)
        self.assertEqual(drive.move_to(1500, wait=True, timeout=5), 1500)

    def test_torque_goes_out_as_the_two_bytes_the_object_holds(self):
        drive = self.bus.drive(6)
        drive.run_torque(3000, -200)
        self.assertEqual(drive.state, State.OPERATION_ENABLED)
        self.assertEqual(drive.sdo_read(0x6071, 0, size=2, signed=True), -200)
        self.assertTrue(eventually(lambda: drive.velocity == -3000))
        drive.halt()
        self.assertTrue(eventually(lambda: drive.velocity == 0))
        drive.disable()

    def test_velocity_runs_from_power_up_and_halts(self):
        drive = self.bus.drive(8)
        drive.run_velocity(20000, 200000, 200000)
        self.assertEqual(drive.state, State.OPERATION_ENABLED)
        self.assertTrue(eventually(lambda: drive.velocity == 20000))
        drive.halt()
        self.assertTrue(eventually(lambda: drive.velocity == 0))
        drive.start_torque()  # the torque already set (0): no motion, mode 4, enabled
        self.assertEqual(drive.sdo_read(0x6061, 0, size=1), 4)
        self.assertEqual(drive.state, State.OPERATION_ENABLED)
        drive.disable()

    def test_halt_never_switches_a_drive_on(self):
        drive = self.bus.drive(10)
        drive.enable()
        drive.disable()
        with self.assertRaises(orvex.StateError) as caught:
            drive.halt()
        self.assertEqual(caught.exception.outcome, orvex.errors.WRONG_STATE)
        self.assertEqual(drive.state, State.SWITCHED_ON)

    def test_homing_on_the_spot_and_a_wait_that_another_master_ends(self):
        drive = self.bus.drive(11)
        drive.enable()
        drive.home(35, 0, 0, 0, wait=True, timeout=5)  # done before any poll could see it run
        self.assertEqual(drive.position, 0)
        drive.set_profile(2000, 10000, 10000)
        drive.move_to(100000)
        other = threading.Timer(0.2, lambda: drive.sdo_write(0x6040, 0, 0x0002, size=2))
        other.start()
        try:
            with self.assertRaises(orvex.StateChangedError) as caught:
                drive.wait_for_target(timeout=10)
        finally:
            other.join()
        self.assertIn("left operation enabled", str(caught.exception))
        self.assertTrue(0 < caught.exception.position < 100000)
        drive.torque = -150
        self.assertEqual(drive.torque, -150)

    def test_set_ups_switch_no_drive_on_and_a_velocity_set_up_waits_to_run(self):
        drive = self.bus.drive(9)
        drive.enable()
        drive.disable()
        # (the set-up, the mode it selects, an object it wrote and its value)
        for set_up, mode, (obj, value) in (
                (lambda: drive.set_profile(1000, 2000, 3000), 1, ((0x6083, 0), 2000)),
                (lambda: drive.set_velocity_profile(-500, 4000, 5000), 3, ((0x60FF, 0), -500)),
                (lambda: drive.home(35, 0, 0, 6000), 6, ((0x609A, 0), 6000))):
            try:
                set_up()
            except orvex.StateError as error:  # homing is set up, its start refused
                self.assertEqual((mode, error.outcome), (6, orvex.errors.WRONG_STATE))
                self.assertIn("enable()", str(error))
            self.assertEqual(drive.state, State.SWITCHED_ON)
            self.assertEqual(drive.mode, mode)
            self.assertEqual(drive.sdo_read(*obj, signed=True), value)
        # Enabled, the velocity set-up halts the drive and holds it until it runs.
        drive.enable()
        drive.set_velocity_profile(5000, 100000, 100000)
        time.sleep(0.05)
        self.assertEqual(drive.velocity, 0)
        drive.run_velocity(5000)
        self.assertTrue(eventually(lambda: drive.velocity == 5000))
        drive.halt()
        drive.disable()

    def test_an_absent_node_fails_cleanly(self):
        drive = self.bus.drive(12)
        started = time.monotonic()
        with self.assertRaises(orvex.TimeoutError):
            drive.enable()
        self.assertLess(time.monotonic() - started, 2.5)


class LenientDrives(DriveBehaviour, SimTestCase):
    sim_options = ("--drives", 11)


class SizeCheckingDrives(DriveBehaviour, SimTestCase):
    # Refuses downloads of the wrong size, as a strict drive does: every write the binding
    # makes itself has the object's size.
    sim_options = ("--drives", 11, "--strict-sizes")


class StrictDrives(DriveBehaviour, SimTestCase):
    sim_options = ("--drives", 11, "--strict-402")
    sim_options_needed = (("--strict-402",),)

    def test_the_library_one_frame_enable_is_not_enough_here(self):
        # What enable() is for: 0x000F alone does nothing from switch on disabled.
        drive = self.bus.drive(7)
        drive.bus._command("CMD_Enable_motor", 7, 7)
        time.sleep(0.05)
        self.assertEqual(drive.state, State.SWITCH_ON_DISABLED)
        drive.enable()
        self.assertEqual(drive.state, State.OPERATION_ENABLED)


class Faults(unittest.TestCase):
    """A drive that starts in fault: its code, a refused enable, the reset, then enable."""

    def test_fault_code_reset_and_enable(self):
        for options in (("--fault-node", 2), ("--fault-node", 2, "--strict-402")):
            if "--strict-402" in options and not sim_supports("--strict-402"):
                continue
            with self.subTest(options=options):
                self.check_fault_cycle(options)

    def check_fault_cycle(self, options):
        with Simulator(*options) as sim, orvex.Bus(sim.path, library=library()) as bus:
            drive = bus.drive(2)
            self.assertEqual(drive.state, State.FAULT)
            code = drive.error_code
            self.assertNotEqual(code, 0)
            self.assertEqual(code, drive.sdo_read(0x603F, 0, size=2))
            self.assertEqual(code.meaning, orvex.error_code_meaning(code))
            for call in (drive.enable, lambda: drive.move_to(100, wait=True),
                         lambda: drive.run_torque(100, 10)):
                with self.assertRaises(orvex.DriveFaultError) as caught:
                    call()
                error = caught.exception
                self.assertEqual((error.code, error.meaning, error.node),
                                 (code, code.meaning, 2))
                self.assertIn("0x%04X" % code, str(error))
                self.assertIn("reset_fault()", str(error))
                self.assertNotIn("went into fault", str(error))
            self.assertEqual(drive.sdo_read(0x6060, 0, size=1), 0)  # run_torque sent nothing
            self.assertEqual(drive.reset_fault(), code)
            self.assertEqual(drive.state, State.SWITCH_ON_DISABLED)
            self.assertEqual(drive.error_code, 0)
            self.assertIsNone(drive.reset_fault())  # not in fault: nothing to do
            self.assertEqual(drive.enable(), State.OPERATION_ENABLED)
            self.assertEqual(bus.drives_in_fault(), set())

    def test_a_homing_error_is_raised_at_once(self):
        with Simulator("--homing-error-node", 1) as sim, \
                orvex.Bus(sim.path, library=library()) as bus:
            drive = bus.drive(1)
            drive.enable()
            started = time.monotonic()
            with self.assertRaises(orvex.HomingError):
                drive.home(17, 20000, 5000, 100000, wait=True, timeout=20)
            self.assertLess(time.monotonic() - started, 5)


if __name__ == "__main__":
    unittest.main()

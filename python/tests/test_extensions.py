"""The extension exports through the binding: time limits, received frames, batched reads,
cancelled waits. Each test is skipped, with that reason, on a library that lacks the export it
needs."""

import os
import signal
import threading
import time
import unittest

import orvex
from orvex import Kind, State

from .simulator import (
    SimTestCase,
    Simulator,
    eventually,
    library,
    require_extension,
    sim_supports,
)


class TimeLimits(SimTestCase):
    sim_options = ("--drives", 2)

    def setUp(self):
        require_extension(self.library, "Orvex_SetTimeLimits")

    def tearDown(self):
        self.bus.set_time_limits(query_ms=800, exchange_ms=3800)

    def test_a_short_query_limit_makes_an_absent_node_fail_fast(self):
        self.bus.set_time_limits(query_ms=100)
        self.bus.set_time_limits(exchange_ms=3800)  # None keeps the query limit
        started = time.monotonic()
        with self.assertRaises(orvex.TimeoutError):
            self.bus.drive(9).position
        elapsed = time.monotonic() - started
        self.assertGreaterEqual(elapsed, 0.1)
        self.assertLess(elapsed, 0.5)
        self.assertEqual(self.bus.drive(1).position, 0)  # present drives still answer

    def test_the_exchange_limits_by_answer_length(self):
        # Up to 50 bytes awaited: the query limit; more: the exchange limit.
        self.bus.set_time_limits(query_ms=120, exchange_ms=300)
        for length, low, high in ((12, 0.12, 0.29), (51, 0.3, 0.6)):
            started = time.monotonic()
            with self.assertRaises(orvex.TimeoutError):
                self.bus.exchange(b"", length)
            self.assertTrue(low <= time.monotonic() - started < high, length)


class ReceivingFrames(SimTestCase):
    # Download acknowledgements and boot-ups reach the host, as a forwarding adapter sends them.
    sim_options = ("--drives", 2, "--acks")

    def setUp(self):
        require_extension(self.library, "Orvex_ReceiveFrame")
        while self.bus.receive(0.05) is not None:  # what earlier tests left
            pass

    def test_acknowledgements_and_boot_ups_arrive_decoded(self):
        self.bus.drive(2).sdo_write(0x6081, 0, 1234)
        ack = self.bus.receive(1.0)
        self.assertEqual((ack.kind, ack.node, ack.command, ack.index), (Kind.SDO_ANSWER, 2, 0x60,
                                                                         0x6081))
        self.bus.drive(1).restart()
        boot = self.bus.receive(1.0)
        self.assertEqual((boot.kind, boot.node, boot.nmt_state), (Kind.BOOT_UP, 1, "boot-up"))

    def test_nothing_arriving_is_none_after_the_timeout(self):
        started = time.monotonic()
        self.assertIsNone(self.bus.receive(0.1))
        self.assertGreaterEqual(time.monotonic() - started, 0.1)

    def test_queries_keep_their_answers(self):
        self.bus.drive(1).sdo_write(0x607A, 0, 4321)  # its acknowledgement waits in the queue
        self.assertEqual(self.bus.drive(1).sdo_read(0x607A, 0), 4321)


class ReceivingHeartbeatsAndEmergencies(unittest.TestCase):
    def collect(self, bus, wanted, seconds=2.0):
        """Frames received until one satisfies ``wanted`` (returned) or ``seconds`` pass."""
        until = time.monotonic() + seconds
        seen = []
        while time.monotonic() < until:
            received = bus.receive(0.1)
            if received is not None:
                seen.append(received)
                if wanted(received):
                    return received
        self.fail("not among the %d frames received: %r" % (len(seen), set(seen)))

    def test_heartbeats_and_an_emergency_on_fault(self):
        if not sim_supports("--heartbeat-ms", 50):
            self.skipTest("this orvex-sim has no --heartbeat-ms")
        loaded = library()
        require_extension(loaded, "Orvex_ReceiveFrame")
        options = ("--drives", 2, "--acks", "--heartbeat-ms", 50, "--fault-node", 2)
        with Simulator(*options) as sim, orvex.Bus(sim.path, library=loaded) as bus:
            drive = bus.drive(2)
            code = drive.error_code
            beat = self.collect(bus, lambda f: f.kind == Kind.HEARTBEAT)
            self.assertIn(beat.node, (1, 2))
            self.assertIsNotNone(beat.nmt_state)

            # The drive's error-reset EMCY arrives while reset_fault() confirms through the
            # statusword; the library keeps it for receive().
            self.assertEqual(drive.reset_fault(), code)
            reset = self.collect(bus, lambda f: f.kind == Kind.EMCY).emergency
            self.assertEqual((reset.node, reset.code, reset.error_register), (2, 0, 0))

            # NMT reset node: the drive powers up again and finds its fault again.
            bus.transmit(bytes.fromhex("00008102000000000000") + b"\r\n")
            fault = self.collect(bus, lambda f: f.kind == Kind.EMCY).emergency
            self.assertEqual((fault.node, fault.code), (2, code))
            self.assertEqual(fault.meaning, code.meaning)
            self.assertNotEqual(fault.error_register, 0)
            self.assertEqual(drive.state, State.FAULT)


    def test_events_an_emergency_beside_polling_a_silenced_node_and_a_boot_up(self):
        if not sim_supports("--silence-at-ms", "1:100:200"):
            self.skipTest("this orvex-sim has no --silence-at-ms")
        loaded = library()
        require_extension(loaded, "Orvex_NextEvent")
        options = ("--drives", 2, "--heartbeat-ms", 50, "--fault-at-ms", "1:700",
                   "--silence-at-ms", "2:1200:2200")
        started = time.monotonic()
        with Simulator(*options) as sim, orvex.Bus(sim.path, library=loaded) as bus:
            polled = []
            stop = threading.Event()

            def poll():
                while not stop.is_set():
                    polled.append(bus.drive(1).position)

            poller = threading.Thread(target=poll)
            poller.start()
            try:
                bus.drive(2).watch_heartbeat(200)
                seen = []
                until = time.monotonic() + 4.0
                while time.monotonic() < until:
                    for event in bus.events(0.1):
                        seen.append((time.monotonic(), event))
                    if any(e.kind == orvex.EventKind.HEARTBEAT_BACK for _, e in seen):
                        break
            finally:
                stop.set()
                poller.join()
            self.assertGreater(len(polled), 10, "the positions were polled meanwhile")
            emergencies = [e for _, e in seen if e.kind == orvex.EventKind.EMERGENCY]
            self.assertEqual(len(emergencies), 1, "delivered once: %r" % emergencies)
            emcy = emergencies[0]
            self.assertEqual((emcy.node, emcy.error_code, emcy.error_register), (1, 0x8611, 0x21))
            self.assertEqual(emcy.error_code.meaning, orvex.error_code_meaning(0x8611))
            self.assertIn("following error", emcy.text)
            self.assertEqual(bus.drive(1).emergencies()[0].error_code, 0x8611)

            lost = [t for t, e in seen if e.kind == orvex.EventKind.HEARTBEAT_LOST and e.node == 2]
            back = [t for t, e in seen if e.kind == orvex.EventKind.HEARTBEAT_BACK and e.node == 2]
            self.assertEqual(len(lost), 1, seen)
            self.assertEqual(len(back), 1, seen)
            self.assertLess(lost[0], back[0])
            # Its last beat came by 1.2 s: lost within the consumer time and one poll (0.1 s).
            self.assertGreater(lost[0] - started, 1.0)
            self.assertLess(lost[0] - started, 1.2 + 0.2 + 0.1 + 0.3)
            # Silent for 1 s from 1.2 s: lost one consumer time after its last beat, back after.
            self.assertGreater(back[0] - lost[0], 0.5)
            self.assertLess(back[0] - lost[0], 1.5)

            # A boot-up after CMD_Restart_motor (NMT reset communication) is an event.
            self.assertEqual(loaded.CMD_Restart_motor(1), 1)
            boots = [e for e in bus.events(0.5) if e.kind == orvex.EventKind.BOOT_UP]
            self.assertEqual([e.node for e in boots], [1])
            self.assertEqual(boots[0].nmt_state, 0)


class ReadingMany(SimTestCase):
    sim_options = ("--drives", 3)

    def setUp(self):
        require_extension(self.library, "Orvex_ReadMany")

    def test_values_and_per_item_errors_in_the_order_asked(self):
        drive = self.bus.drive(2)
        drive.sdo_write(0x607A, 0, -5)
        readings = self.bus.read_many([(2, 0x607A, 0), (2, 0x6041, 0), (3, 0x5FFF, 0),
                                       (9, 0x6041, 0), (0, 0x3003, 0), (1, 0x5FFE, 0)])
        self.assertEqual([(r.node, r.index, r.subindex) for r in readings],
                         [(2, 0x607A, 0), (2, 0x6041, 0), (3, 0x5FFF, 0), (9, 0x6041, 0),
                          (0, 0x3003, 0), (1, 0x5FFE, 0)])
        self.assertEqual(readings[0].value, 0xFFFFFFFB)
        self.assertEqual(orvex.Status(readings[1].value).state, State.SWITCH_ON_DISABLED)
        self.assertIsInstance(readings[2].error, orvex.SdoAbortError)
        self.assertEqual(readings[2].error.code, 0x06020000)
        self.assertIsInstance(readings[3].error, orvex.TimeoutError)
        self.assertEqual(readings[3].error.node, 9)
        self.assertEqual(readings[4].value, 0)  # the bus summary: no drive in fault
        self.assertIsInstance(readings[5].error, orvex.SdoAbortError)  # a second abort
        self.assertTrue(all(r.error is None for r in readings if r.value is not None))

    def test_positions_and_statuswords(self):
        for node in (1, 3):
            self.bus.drive(node).enable()
        self.bus.drive(3).set_profile(100000, 1000000, 1000000)
        self.bus.drive(3).move_to(-700, wait=True)
        self.assertEqual(self.bus.positions([1, 3]), {1: 0, 3: -700})
        words = self.bus.statuswords([1, 2, 3])
        self.assertEqual({node: status.state for node, status in words.items()},
                         {1: State.OPERATION_ENABLED, 2: State.SWITCH_ON_DISABLED,
                          3: State.OPERATION_ENABLED})
        with self.assertRaises(orvex.TimeoutError) as caught:
            self.bus.positions([1, 9])
        self.assertEqual([r.value for r in caught.exception.readings], [0, None])

    def test_a_stream_gives_the_newest_values_without_requests(self):
        drive = self.bus.drive(3)
        drive.enable()
        drive.set_profile(100000, 1000000, 1000000)
        drive.move_to(-700, wait=True)
        stream = drive.stream((0x60410010, 0x60640020), period_ms=5)
        try:
            reading = None
            for _ in range(100):
                reading = stream.read()
                if reading is not None and reading[2] >= 3:
                    break
                time.sleep(0.01)
            self.assertIsNotNone(reading)
            (statusword, position), age_ms, frames = reading
            self.assertEqual(position, -700)  # signed, as the object is
            self.assertEqual(orvex.Status(statusword).state, State.OPERATION_ENABLED)
            self.assertLess(age_ms, 100)
            self.assertEqual(self.bus.positions([3]), {3: -700})  # a query beside it
        finally:
            stream.stop()


if __name__ == "__main__":
    unittest.main()


class ObjectsOfAnySize(SimTestCase):
    sim_options = ("--drives", 2, "--acks")
    sim_options_needed = (("--no-block",),)

    def setUp(self):
        require_extension(self.library, "Orvex_SdoUpload")

    def tearDown(self):
        self.bus.set_block_transfer(0)

    def test_names_and_versions_read_as_text(self):
        for node in (1, 2):
            drive = self.bus.drive(node)
            self.assertEqual(drive.device_name, "orvex-sim CiA 402 servo drive")
            self.assertEqual(drive.software_version, "orvex-sim 1.3.%d" % node)

    def test_bytes_come_back_as_written_segmented_and_by_block(self):
        drive = self.bus.drive(1)
        for threshold in (0, 4):
            self.bus.set_block_transfer(threshold)
            for size in (0, 3, 5, 890, 4096):
                data = bytes((i * 13 + size) & 0xFF for i in range(size))
                drive.sdo_download(0x2010, 0, data)
                self.assertEqual(drive.sdo_upload(0x2010, 0), data, (threshold, size))
        drive.sdo_download(0x2010, 0, "text")
        self.assertEqual(drive.sdo_upload(0x2010, 0), b"text")

    def test_an_object_larger_than_the_first_buffer_is_read_whole(self):
        drive = self.bus.drive(2)
        drive.sdo_download(0x2010, 0, bytes(range(200)))
        self.assertEqual(drive.sdo_upload(0x2010, 0, max_size=16), bytes(range(200)))

    def test_refusals_raise_with_the_abort_code(self):
        with self.assertRaises(orvex.SdoAbortError) as caught:
            self.bus.drive(1).sdo_download(0x1008, 0, b"renamed drive")
        self.assertEqual(caught.exception.code, 0x06010002)
        # A longer object read as a value: refused, never its announced size, with the way out.
        with self.assertRaises(orvex.SdoAbortError) as caught:
            self.bus.drive(1).sdo_read(0x1008, 0)
        self.assertEqual(caught.exception.code, 0x05040001)
        self.assertIn("sdo_upload()", str(caught.exception))
        self.assertEqual(self.bus.drive(1).device_name, "orvex-sim CiA 402 servo drive")
        with self.assertRaises(orvex.BadArgumentError):
            self.bus.set_block_transfer(4, 128)


class CancellingWaits(SimTestCase):
    # Every drive sends a heartbeat each millisecond: more than the library keeps.
    sim_options = ("--drives", 4, "--heartbeat-ms", 1)

    def setUp(self):
        require_extension(self.library, "Orvex_Cancel")

    def moving(self, node):
        """A drive on a move it takes a minute to finish."""
        drive = self.bus.drive(node)
        drive.enable()
        drive.set_profile(2000, 10000, 10000)
        drive.move_to(120000)
        return drive

    def test_a_long_wait_ends_promptly_when_cancelled_or_interrupted(self):
        def interrupt():
            os.kill(os.getpid(), signal.SIGINT)

        def wait_for_target(drive):
            drive.wait_for_target(timeout=60)

        def move_and_wait(drive):
            drive.move_to(120000, wait=True, timeout=60)

        # (how the wait is ended, whether it runs in the main thread, what it raises, the wait)
        rows = [(self.bus.cancel, True, orvex.CancelledError, wait_for_target),
                (self.bus.cancel, False, orvex.CancelledError, wait_for_target)]
        if os.name == "posix":
            rows += [(interrupt, True, KeyboardInterrupt, wait_for_target),
                     (interrupt, True, KeyboardInterrupt, move_and_wait)]
        for node, (end, in_main, expected, waiting) in enumerate(rows, start=1):
            with self.subTest(end=end.__name__, in_main=in_main, wait=waiting.__name__):
                drive = self.moving(node)
                raised = []

                def wait():
                    try:
                        waiting(drive)
                    except BaseException as error:
                        raised.append(error)

                started = time.monotonic()
                if in_main:
                    ender = threading.Timer(0.3, end)
                    ender.start()
                    wait()
                    ender.join()
                else:
                    waiter = threading.Thread(target=wait)
                    waiter.start()
                    time.sleep(0.3)
                    end()
                    waiter.join(5)
                self.assertLess(time.monotonic() - started, 2.0)
                self.assertEqual(len(raised), 1)
                self.assertIsInstance(raised[0], expected)
                if expected is orvex.CancelledError:
                    self.assertEqual(raised[0].outcome, orvex.errors.CANCELLED)
                    self.assertTrue(0 < raised[0].position < 120000)
                    # The cancel ended that wait only: the move goes on, and the next wait runs
                    # out its own limit.
                    with self.assertRaises(orvex.TimeoutError):
                        drive.wait_for_target(timeout=0.3)
                else:
                    # Ctrl-C ended the wait and the move it followed: the drive was halted and
                    # comes to a stand short of the target.
                    self.assertTrue(drive.sdo_read(0x6040, 0, size=2) & 0x0100)
                    self.assertTrue(eventually(lambda: drive.status.target_reached))
                    stands = drive.position
                    time.sleep(0.1)
                    self.assertEqual(drive.position, stands)
                    self.assertLess(stands, 120000)
                self.assertEqual(drive.state, State.OPERATION_ENABLED)

    def test_heartbeats_beyond_what_is_kept_are_counted(self):
        require_extension(self.library, "Orvex_FramesDropped")
        before = self.bus.frames_dropped()
        drive = self.moving(4)
        with self.assertRaises(orvex.TimeoutError):
            drive.wait_for_target(timeout=0.5)  # reads the line: ~1500 heartbeats come
        self.assertGreater(self.bus.frames_dropped(), before)
        self.assertEqual(self.bus.receive(0.5).kind, Kind.HEARTBEAT)

"""The binding's decoding: statusword, error codes, received frames, the frame codec the
python-can interface shares. What states and codes mean comes from the library (its own tests
check the texts); these check that the binding shows the library's."""

import ctypes
import subprocess
import sys
import unittest

import orvex
from orvex import Frame, Kind, State, Status
from orvex.frames import FrameReader, encode_frame

from .simulator import library


def frame(text):
    """A 12-byte frame from its hex text, CR LF appended."""
    return Frame(bytes.fromhex(text) + b"\r\n")


class StatuswordDecoding(unittest.TestCase):
    def setUp(self):
        library()

    def test_the_states_are_the_librarys(self):
        loaded = library()
        self.assertEqual([State(loaded.text("Orvex_StateName", code)) for code in range(9)],
                         [State.UNKNOWN, State.NOT_READY_TO_SWITCH_ON, State.SWITCH_ON_DISABLED,
                          State.READY_TO_SWITCH_ON, State.SWITCHED_ON, State.OPERATION_ENABLED,
                          State.QUICK_STOP_ACTIVE, State.FAULT_REACTION_ACTIVE, State.FAULT])
        self.assertIs(Status(0x0617).state, State.QUICK_STOP_ACTIVE)
        self.assertIs(Status(0x0248).state, State.UNKNOWN)

    def test_states_read_as_their_names(self):
        self.assertEqual(State.FAULT, "fault")
        self.assertEqual(str(State.OPERATION_ENABLED), "operation enabled")
        self.assertEqual("%s" % State.QUICK_STOP_ACTIVE, "quick stop active")
        self.assertEqual(orvex.state_name(0x0637), "operation enabled")
        self.assertTrue(State.FAULT_REACTION_ACTIVE.in_fault and State.FAULT.in_fault)
        self.assertFalse(State.QUICK_STOP_ACTIVE.in_fault)

    def test_the_quick_stop_bit_is_set_while_no_quick_stop_is_active(self):
        running, stopping = Status(0x0637), Status(0x0617)
        self.assertTrue(running.quick_stop_not_active)
        self.assertFalse(running.quick_stop_active)
        self.assertIn("quick_stop_not_active", running.flags())
        self.assertNotIn("quick_stop", running.flags())
        self.assertTrue(stopping.quick_stop_active)
        self.assertFalse(stopping.quick_stop_not_active)
        self.assertIn("quick stop active", repr(stopping))

    def test_flags(self):
        status = Status(0x1637)
        self.assertTrue(status.target_reached and status.homing_attained and status.enabled)
        self.assertTrue(status.set_point_acknowledged)
        self.assertFalse(status.fault or status.warning or status.homing_error)
        self.assertEqual(Status(0xFFFF_1637), status)  # only the low 16 bits count


class ErrorCodes(unittest.TestCase):
    def setUp(self):
        library()

    def test_an_error_code_is_an_int_that_tells_its_meaning(self):
        code = orvex.ErrorCode(0x8611)
        self.assertEqual(code, 0x8611)
        self.assertEqual(code.meaning, "following error")
        self.assertEqual(str(code), "0x8611 (following error)")

    def test_error_register_bits(self):
        self.assertEqual(orvex.error_register_names(0x11), ["generic", "communication"])
        self.assertEqual(orvex.error_register_names(0), [])

    def test_an_abort_code_reads_as_the_librarys_text(self):
        export = library().handle["Orvex_AbortText"]  # a function object of its own
        export.restype, export.argtypes = ctypes.c_char_p, (ctypes.c_uint,)
        self.assertEqual(orvex.abort_meaning(0x06070010), export(0x06070010).decode())
        self.assertEqual(orvex.abort_meaning(0x06070010),
                         "data type does not match, length of service parameter does not match")


class ReceivedFrames(unittest.TestCase):
    def setUp(self):
        library()

    def test_kind_and_node_by_identifier(self):
        for text, kind, node in (
            ("05824381600034120000", Kind.SDO_ANSWER, 2),
            ("05800000300003000000", Kind.SDO_ANSWER, 0),  # the bus summary's answer
            ("06024081600000000000", Kind.SDO_REQUEST, 2),  # an echo of a request
            ("00838611010000000000", Kind.EMCY, 3),
            ("07050500000000000000", Kind.HEARTBEAT, 5),
            ("07050000000000000000", Kind.BOOT_UP, 5),
            ("00008205000000000000", Kind.NMT, None),
            ("00800000000000000000", Kind.OTHER, None),  # SYNC
            ("01850102030405060708", Kind.OTHER, None),  # a PDO
        ):
            received = frame(text)
            self.assertEqual((received.kind, received.node), (kind, node), text)
            self.assertEqual(received.data, bytes.fromhex(text)[2:])

    def test_sdo_answers_and_aborts(self):
        answer = frame("05824381600034120000")
        self.assertEqual((answer.index, answer.subindex, answer.value), (0x6081, 0, 0x1234))
        self.assertFalse(answer.is_abort)
        abort = frame("05818000500000000206")
        self.assertTrue(abort.is_abort)
        self.assertEqual(abort.value, 0x06020000)
        self.assertEqual(abort.abort_meaning, "object does not exist in the object dictionary")
        self.assertIn("0x5000:00", repr(abort))

    def test_emergency_code_meaning_and_register(self):
        emergency = frame("00821086110100000000").emergency
        self.assertEqual((emergency.node, emergency.code, emergency.error_register),
                         (2, 0x8610, 0x11))
        emergency = frame("00821186010000000000").emergency
        self.assertEqual(emergency.code, 0x8611)
        self.assertEqual(emergency.meaning, "following error")
        self.assertEqual(emergency.register_names, ["generic"])
        self.assertIn("following error", repr(emergency))
        self.assertIsNone(frame("07050500000000000000").emergency)
        self.assertEqual(orvex.decode_emergency(b"\x10\x23\x02", node=4).meaning,
                         "continuous over current")

    def test_heartbeat_states(self):
        for byte, name in ((0x05, "operational"), (0x7F, "pre-operational"), (0x04, "stopped"),
                           (0x00, "boot-up")):
            self.assertEqual(frame("0701%02X00000000000000" % byte).nmt_state, name)

    def test_a_frame_is_twelve_bytes(self):
        with self.assertRaises(ValueError):
            Frame(b"\x00" * 11)


HEARTBEAT = bytes.fromhex("07017F00000000000000") + b"\r\n"
CRLF_IN_DATA = bytes.fromhex("05820D0A0D0A0D0A0D0A") + b"\r\n"  # data that looks like ends


class FrameCodec(unittest.TestCase):
    def test_encoding_pads_to_eight_data_bytes(self):
        for can_id, data, expected in (
            (0x000, b"\x81\x00", "0000 8100000000000000"),
            (0x601, bytes.fromhex("4041600000000000"), "0601 4041600000000000"),
            (0x7FF, b"", "07FF 0000000000000000"),  # SYNC-like: no data still sends eight
        ):
            self.assertEqual(encode_frame(can_id, data), bytes.fromhex(expected) + b"\r\n")
        for can_id, data in ((0x800, b""), (-1, b""), (0x100, bytes(9))):
            with self.assertRaises(ValueError):
                encode_frame(can_id, data)

    def test_reader_keeps_every_complete_frame_after_noise(self):
        for name, stream, frames, dropped, chunks in (
            ("clean", HEARTBEAT * 2, [HEARTBEAT] * 2, 0, (None, 1, 5)),
            ("noise first", b"\x01\x02\x03" + HEARTBEAT, [HEARTBEAT], 3, (None, 1, 5)),
            ("noise ending in CR LF", b"\x05\r\n" + HEARTBEAT, [HEARTBEAT], 3, (None, 1, 5)),
            ("CR LF in the data after noise", b"\xAA" + CRLF_IN_DATA + HEARTBEAT,
             [CRLF_IN_DATA, HEARTBEAT], 1, (None, 1, 5)),
            ("torn frame then a whole one", HEARTBEAT[:7] + HEARTBEAT, [HEARTBEAT], 7,
             (None, 1, 5)),
            ("only noise", bytes(range(40)), [], 29, (None, 1, 5)),
            # Noise and the front of that frame end in CR LF too: with the input behind it at
            # hand, the later window followed by a frame wins.
            ("noise that frames with CR LF data", b"\x01\x0d\x0a\x02" + CRLF_IN_DATA + HEARTBEAT,
             [CRLF_IN_DATA, HEARTBEAT], 4, (None,)),
            ("after a frame the next twelve bytes", HEARTBEAT + CRLF_IN_DATA + HEARTBEAT,
             [HEARTBEAT, CRLF_IN_DATA, HEARTBEAT], 0, (None, 1, 5)),
        ):
            for chunk in chunks:  # at once, byte by byte, in pieces
                reader = FrameReader()
                found = []
                for start in range(0, len(stream), chunk or len(stream)):
                    found += reader.feed(stream[start:start + (chunk or len(stream))])
                self.assertEqual(found, frames, "%s, chunks of %s" % (name, chunk))
                self.assertEqual(reader.dropped, dropped, name)
                self.assertEqual(reader.missing, 12 - len(reader.pending), name)

    def test_the_binding_imports_without_python_can(self):
        # The binding must not need python-can or pyserial; only orvex.canbus does.
        code = ("import sys; sys.modules['can'] = sys.modules['serial'] = None\n"
                "import orvex, orvex.frames\n"
                "assert 'orvex.canbus' not in sys.modules\n"
                "try:\n    import orvex.canbus\nexcept ImportError:\n    print('refused')\n")
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                timeout=30)
        self.assertEqual((result.returncode, result.stdout.strip()), (0, "refused"),
                         result.stderr)


if __name__ == "__main__":
    unittest.main()

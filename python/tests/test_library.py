"""Finding the library, and the declared exports against the public header."""

import ctypes
import os
import re
import subprocess
import sys
import unittest
from unittest import mock

import orvex
from orvex.status import Status

from .simulator import library

HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "Serial_DLL", "include", "orvex.h")

C_TYPES = {
    "int": ctypes.c_int,
    "unsigned": ctypes.c_uint,
    "const char*": ctypes.c_char_p,
    "void*": ctypes.c_void_p,
    "const void*": ctypes.c_void_p,
    "int*": ctypes.POINTER(ctypes.c_int),
    "const int*": ctypes.POINTER(ctypes.c_int),
    "unsigned*": ctypes.POINTER(ctypes.c_uint),
    "unsigned char*": ctypes.POINTER(ctypes.c_ubyte),
}


def header_exports():
    with open(HEADER) as header:
        text = re.sub(r"/\*.*?\*/", "", header.read(), flags=re.S)
    exports = {}
    pattern = r"ORVEX_API\s+(\w+)\s+ORVEX_CALL\s+(\w+)\s*\(([^)]*)\)\s*;"
    for result, name, params in re.findall(pattern, text):
        arguments = []
        for param in params.split(","):
            param = " ".join(param.split())
            param = re.sub(r"(\w+)\[\d*\]$", r"*\1", param)  # an array parameter is a pointer
            if param in ("", "void"):
                continue
            kind = re.sub(r"\s*\w+$", "", param).replace(" *", "*")
            arguments.append(C_TYPES[kind])
        exports[name] = (C_TYPES[result], tuple(arguments))
    return exports


class FindingTheLibrary(unittest.TestCase):
    def test_an_explicit_path_comes_before_orvex_library(self):
        with mock.patch.dict(os.environ, {"ORVEX_LIBRARY": "/from/environment.so"}):
            self.assertEqual(orvex.find_library_path("/given.so"), [("/given.so", "argument")])
            self.assertEqual(orvex.find_library_path(),
                             [("/from/environment.so", "ORVEX_LIBRARY")])

    def test_without_either_the_system_path_is_searched(self):
        with mock.patch.dict(os.environ, {}, clear=True):
            names = [name for name, _ in orvex.find_library_path()]
        self.assertIn("libORVEX_DLL.so" if os.name != "nt" else "ORVEX_DLL.dll", names)

    def test_a_missing_file_names_where_its_path_came_from(self):
        with mock.patch.dict(os.environ, {"ORVEX_LIBRARY": "/nowhere/libORVEX_DLL.so"}):
            with self.assertRaises(orvex.OrvexError) as caught:
                orvex.load()
        self.assertIn("ORVEX_LIBRARY", str(caught.exception))
        self.assertIn("/nowhere/libORVEX_DLL.so", str(caught.exception))

    def test_orvex_library_loads_once_per_process(self):
        loaded = library()
        self.assertEqual(loaded.path, os.environ["ORVEX_LIBRARY"])
        self.assertIs(orvex.load(), loaded)
        self.assertIs(orvex.load(os.environ["ORVEX_LIBRARY"]), loaded)

    @unittest.skipIf(sys.platform == "win32", "the system loader path is LD_LIBRARY_PATH here")
    def test_the_system_loader_finds_it_on_its_search_path(self):
        path = library().path
        environment = {key: value for key, value in os.environ.items() if key != "ORVEX_LIBRARY"}
        environment["LD_LIBRARY_PATH"] = os.path.dirname(os.path.abspath(path))
        package = os.path.dirname(os.path.dirname(os.path.abspath(orvex.__file__)))
        environment["PYTHONPATH"] = package
        script = "import orvex; print(orvex.load().Orvex_LastResult())"
        result = subprocess.run([sys.executable, "-c", script], env=environment,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                universal_newlines=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), "0")


class Exports(unittest.TestCase):
    @unittest.skipUnless(os.path.exists(HEADER), "needs the source tree's orvex.h")
    def test_every_export_is_declared_as_the_header_declares_it(self):
        exports = header_exports()
        self.assertEqual(len(exports), 39)
        self.assertEqual(set(orvex.PROTOTYPES), set(exports))
        for name, (result, arguments) in exports.items():
            self.assertEqual(orvex.PROTOTYPES[name], (result, arguments), name)


class StatuswordDecoding(unittest.TestCase):
    def test_each_power_state_by_its_bits(self):
        for word, state in (
            (0x0000, "not ready to switch on"),
            (0x0240, "switch on disabled"),
            (0x0231, "ready to switch on"),
            (0x0233, "switched on"),
            (0x0637, "operation enabled"),
            (0x0617, "quick stop active"),
            (0x021F, "fault reaction active"),
            (0x0208, "fault"),
            (0x0248, "unknown"),  # fault bits with switch on disabled: no state has them
        ):
            self.assertEqual(Status(word).state, state, hex(word))

    def test_flags(self):
        status = Status(0x1637)
        self.assertTrue(status.target_reached and status.homing_attained and status.enabled)
        self.assertFalse(status.fault or status.warning or status.homing_error)
        self.assertEqual(Status(0xFFFF_1637), status)  # only the low 16 bits count


if __name__ == "__main__":
    unittest.main()

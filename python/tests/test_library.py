"""Finding the library, and the declared exports against the public header."""

import ctypes
import os
import shutil
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

import orvex
from orvex import _library

from .simulator import library

# The one export list: every export's name and signature, written once; the header's codes.
EXPORT_LIST = os.path.join(os.path.dirname(__file__), "..", "..", "Serial_DLL", "include",
                           "orvex_exports.h")
HEADER = os.path.join(os.path.dirname(EXPORT_LIST), "orvex.h")

C_TYPES = {
    "void": None,  # as a result: ctypes' restype for none
    "int": ctypes.c_int,
    "unsigned": ctypes.c_uint,
    "const char*": ctypes.c_char_p,
    "void*": ctypes.c_void_p,
    "const void*": ctypes.c_void_p,
    "int*": ctypes.POINTER(ctypes.c_int),
    "const int*": ctypes.POINTER(ctypes.c_int),
    "unsigned*": ctypes.POINTER(ctypes.c_uint),
    "const unsigned*": ctypes.POINTER(ctypes.c_uint),
    "unsigned char*": ctypes.POINTER(ctypes.c_ubyte),
    "const unsigned char*": ctypes.POINTER(ctypes.c_ubyte),
    "OrvexEvent*": ctypes.POINTER(_library.OrvexEvent),
}


def listed_exports():
    """{group: {name: (result type, argument types)}} from the export list's three macros."""
    with open(EXPORT_LIST) as listing:
        text = listing.read().replace("\\\n", " ")
    groups = {}
    for group, body in re.findall(r"#define ORVEX_(\w+)_EXPORTS\((?:X|X, ALIAS)\)(.*)", text):
        entries = {}
        for kind, result, name, params in re.findall(
                r"\b(X|ALIAS)\(((?:const )?\w+\*?),\s*(\w+),(?:\s*\w+,)?\s*\(([^)]*)\)", body):
            arguments = []
            for param in params.split(","):
                param = " ".join(param.split())
                if param in ("", "void"):
                    continue
                kind_of = re.sub(r"\s*\w+$", "", param).replace(" *", "*")
                arguments.append(C_TYPES[kind_of])
            entries[name] = (C_TYPES[result], tuple(arguments))
        groups[group] = entries
    return groups


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

    def run_from_copy(self, with_build, extra_environment):
        """Runs ``orvex.load()`` in a fresh process from a copy of the package in a scratch tree
        (with the library in its build/lib when ``with_build``); returns the loaded path."""
        package = os.path.dirname(os.path.abspath(orvex.__file__))
        with tempfile.TemporaryDirectory() as tree:
            shutil.copytree(package, os.path.join(tree, "python", "orvex"))
            if with_build:
                os.makedirs(os.path.join(tree, "build", "lib"))
                shutil.copy(library().path, os.path.join(tree, "build", "lib", "libORVEX_DLL.so.1"))
            environment = {key: value for key, value in os.environ.items()
                           if key != "ORVEX_LIBRARY"}
            environment.update(extra_environment)
            environment["PYTHONPATH"] = os.path.join(tree, "python")
            script = "import orvex; print(orvex.load().path)"
            result = subprocess.run([sys.executable, "-c", script], env=environment, cwd=tree,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    universal_newlines=True, timeout=30)
            self.assertEqual(result.returncode, 0, result.stderr)
            return result.stdout.strip().replace(tree, "TREE")

    @unittest.skipIf(sys.platform == "win32", "the system loader path is LD_LIBRARY_PATH here")
    def test_the_system_loader_finds_it_on_its_search_path(self):
        directory = os.path.dirname(os.path.abspath(library().path))
        loaded = self.run_from_copy(False, {"LD_LIBRARY_PATH": directory})
        self.assertIn(loaded, ("libORVEX_DLL.so.1", "libORVEX_DLL.so"))

    @unittest.skipIf(sys.platform == "win32", "the build folder holds a .so here")
    def test_from_the_source_tree_the_library_built_next_to_it_is_found(self):
        loaded = self.run_from_copy(True, {"LD_LIBRARY_PATH": ""})
        self.assertEqual(loaded, "TREE/build/lib/libORVEX_DLL.so.1")


class WindowsReleaseLayout(unittest.TestCase):
    """The release keeps x64/ORVEX_DLL.dll and x86/ORVEX_DLL.dll beside python/orvex/: the
    binding takes the one of the interpreter's bitness, and names it when only the other is
    there."""

    def layout(self, *folders):
        root = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, root)
        for folder in folders:
            os.mkdir(os.path.join(root, folder))
            with open(os.path.join(root, folder, "ORVEX_DLL.dll"), "wb") as dll:
                dll.write(fake_pe(0x8664 if folder == "x64" else 0x014C))
        return root

    def test_the_dll_of_the_interpreters_bitness_is_chosen(self):
        for folders, pointer_size, chosen, needed in (
                (("x64", "x86"), 8, "x64", None),
                (("x64", "x86"), 4, "x86", None),
                (("x64",), 8, "x64", None),
                (("x86",), 4, "x86", None),
                (("x86",), 8, None, "x64"),
                (("x64",), 4, None, "x86"),
                ((), 8, None, None)):
            with self.subTest(folders=folders, pointer_size=pointer_size):
                root = self.layout(*folders)
                path, note = _library.release_library(root, pointer_size)
                self.assertEqual(path, chosen and os.path.join(root, chosen, "ORVEX_DLL.dll"))
                if needed:
                    bits = "64" if pointer_size == 8 else "32"
                    self.assertIn("this %s-bit Python" % bits, note)
                    self.assertIn(os.path.join(root, needed, "ORVEX_DLL.dll"), note)
                else:
                    self.assertIsNone(note)

    def test_on_windows_the_release_folder_comes_after_orvex_library(self):
        root = self.layout("x64", "x86")
        wanted = os.path.join(root, "x64" if struct.calcsize("P") == 8 else "x86", "ORVEX_DLL.dll")
        with mock.patch.object(_library, "_WINDOWS", True), \
                mock.patch.object(_library, "RELEASE_ROOT", root), \
                mock.patch.dict(os.environ, {}, clear=True):
            self.assertEqual(orvex.find_library_path()[0], (wanted, "release folder"))
            os.environ["ORVEX_LIBRARY"] = "/chosen/ORVEX_DLL.dll"
            self.assertEqual(orvex.find_library_path(),
                             [("/chosen/ORVEX_DLL.dll", "ORVEX_LIBRARY")])

    def test_the_pe_header_tells_the_bitness_and_the_failure_names_it(self):
        root = self.layout("x64", "x86")
        mine = 8 * struct.calcsize("P")
        for folder, bits in (("x64", 64), ("x86", 32)):
            path = os.path.join(root, folder, "ORVEX_DLL.dll")
            self.assertEqual(_library.dll_bits(path), bits)
            note = _library._bitness_note(path)
            self.assertEqual(note == "", bits == mine, note)
        for content in (b"", b"MZ" + bytes(100), b"\x7fELF" + bytes(100)):
            path = os.path.join(root, "other")
            with open(path, "wb") as other:
                other.write(content)
            self.assertIsNone(_library.dll_bits(path))
        self.assertIsNone(_library.dll_bits(os.path.join(root, "missing")))


def fake_pe(machine):
    """The start of a PE image: the DOS header pointing at the PE signature and machine."""
    header = bytearray(64)
    header[:2] = b"MZ"
    struct.pack_into("<I", header, 0x3C, 64)
    return bytes(header) + b"PE\0\0" + struct.pack("<H", machine) + bytes(18)


class Exports(unittest.TestCase):
    @unittest.skipUnless(os.path.exists(EXPORT_LIST), "needs the source tree's export list")
    def test_every_export_is_declared_as_the_export_list_has_it(self):
        groups = listed_exports()
        self.assertEqual(set(groups), {"INTERFACE", "BASE", "EXTENSION"})
        self.assertEqual(len(groups["INTERFACE"]), 32)
        required = dict(groups["INTERFACE"], **groups["BASE"])
        # Every export of the list is declared, with its signature, in the group it belongs to:
        # the extensions are the ones an older library may lack.
        self.assertEqual(set(orvex.PROTOTYPES), set(required))
        self.assertEqual(set(orvex.OPTIONAL_PROTOTYPES), set(groups["EXTENSION"]))
        for table, listed in ((orvex.PROTOTYPES, required),
                              (orvex.OPTIONAL_PROTOTYPES, groups["EXTENSION"])):
            for name, signature in listed.items():
                self.assertEqual(table[name], signature, name)

    @unittest.skipUnless(os.path.exists(HEADER), "needs the source tree's header")
    def test_every_outcome_of_the_header_is_named(self):
        with open(HEADER) as header:
            listed = {int(value): "ORVEX_" + name for name, value in re.findall(
                r"^#define ORVEX_(\w+) \(?(0|-\d+)\)?\s", header.read(), re.MULTILINE)
                if int(value) < 0 or name == "OK"}  # not the 0 of the states and transfers
        self.assertIn(-18, listed)
        self.assertEqual(orvex.errors.OUTCOME_NAMES, listed)

    def test_a_library_without_the_extensions_still_loads(self):
        loaded = library()
        for name in orvex.OPTIONAL_PROTOTYPES:
            self.assertEqual(loaded.has(name), name not in loaded.missing_extensions)
            if not loaded.has(name):
                with self.assertRaises(orvex.MissingExportError) as caught:
                    loaded.require(name)
                self.assertIn(name, str(caught.exception))


class LoadDelay(unittest.TestCase):
    """The library sleeps at load unless ORVEX_LOAD_DELAY_MS says otherwise; the binding
    sets 0 for its own load, only for that moment, and only when the user has not chosen."""

    def seen_at_load(self, environment):
        seen = []

        def fake_open(path):
            seen.append(os.environ.get(orvex.LOAD_DELAY_ENV))
            raise OSError("not really loading")

        with mock.patch.dict(os.environ, environment, clear=False), \
                mock.patch("orvex._library.ctypes.CDLL", fake_open):
            if orvex.LOAD_DELAY_ENV not in environment:
                os.environ.pop(orvex.LOAD_DELAY_ENV, None)
            with self.assertRaises(orvex.OrvexError):
                orvex.load("/dev/null")
            after = os.environ.get(orvex.LOAD_DELAY_ENV)
        return seen, after

    def test_zero_unless_the_user_set_a_value(self):
        self.assertEqual(self.seen_at_load({}), (["0"], None))
        self.assertEqual(self.seen_at_load({orvex.LOAD_DELAY_ENV: "250"}), (["250"], "250"))

    @unittest.skipIf(sys.platform == "win32", "measured where the test builds run")
    def test_a_fresh_process_loads_quickly(self):
        path = library().path
        with open(path, "rb") as binary:
            if orvex.LOAD_DELAY_ENV.encode() not in binary.read():
                self.skipTest("this library does not read %s yet" % orvex.LOAD_DELAY_ENV)
        package = os.path.dirname(os.path.dirname(os.path.abspath(orvex.__file__)))
        script = ("import time, orvex; started = time.monotonic(); orvex.load(%r); "
                  "print(time.monotonic() - started)" % path)
        environment = {key: value for key, value in os.environ.items()
                       if key != orvex.LOAD_DELAY_ENV}
        environment["PYTHONPATH"] = package
        result = subprocess.run([sys.executable, "-c", script], env=environment,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                universal_newlines=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertLess(float(result.stdout), 0.5)


if __name__ == "__main__":
    unittest.main()

"""What the tests share: the library (loaded once per process) and orvex-sim as a subprocess.

ORVEX_LIBRARY names the library and ORVEX_SIM the simulator; tests that need one that is not
set are skipped.
"""

import os
import signal
import subprocess
import time
import unittest

import orvex

SIM_ENV = "ORVEX_SIM"


def library():
    """The library, found through ORVEX_LIBRARY as a host program would find it."""
    if not os.environ.get(orvex.LIBRARY_ENV):
        raise unittest.SkipTest("set ORVEX_LIBRARY to the built libORVEX_DLL.so to run this test")
    return orvex.load()


def eventually(done, seconds=5.0):
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        if done():
            return True
        time.sleep(0.02)
    return done()


_SUPPORT = {}


def sim_supports(option, *values):
    """Whether the orvex-sim of this build takes ``option`` (with ``values``): newer options are
    skipped, with that reason, on an older simulator, which refuses them as unknown."""
    program = os.environ.get(SIM_ENV)
    if not program:
        return False
    key = (program, option)
    if key not in _SUPPORT:
        process = subprocess.Popen(
            [program, "--quiet", option] + [str(value) for value in values],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        started = process.stdout.readline().strip() != ""
        process.terminate()
        _, errors = process.communicate(timeout=5)
        _SUPPORT[key] = started or "unknown option" not in errors
    return _SUPPORT[key]


def require_extension(library, name):
    """Skips the calling test when the library lacks the extension export ``name``."""
    if not library.has(name):
        raise unittest.SkipTest("%s lacks %s (not landed in this build yet)"
                                % (library.path, name))


class Simulator:
    """orvex-sim on a pseudo-terminal; ``path`` is the terminal to open."""

    def __init__(self, *options):
        program = os.environ.get(SIM_ENV)
        if not program:
            raise unittest.SkipTest("set ORVEX_SIM to the built orvex-sim to run this test")
        self.process = subprocess.Popen(
            [program, "--quiet"] + [str(option) for option in options],
            stdout=subprocess.PIPE,
            universal_newlines=True,
        )
        self.path = self.process.stdout.readline().strip()
        if not self.path:
            self.process.wait(5)
            raise RuntimeError("orvex-sim printed no terminal path (exit %s)"
                               % self.process.returncode)

    def stop(self):
        """Stops the simulator; returns its exit status (0 for a clean stop)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(5)
        finally:
            self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


class SimTestCase(unittest.TestCase):
    """One simulator and one open Bus for the whole class."""

    sim_options = ()
    sim_options_needed = ()  # (option, values...) that an older orvex-sim may lack

    @classmethod
    def setUpClass(cls):
        cls.library = library()
        for option in cls.sim_options_needed:
            if not sim_supports(*option):
                raise unittest.SkipTest("this orvex-sim has no %s" % option[0])
        cls.sim = Simulator(*cls.sim_options)
        try:
            cls.bus = orvex.Bus(cls.sim.path, library=cls.library)
        except Exception:
            cls.sim.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.bus.close()
        status = cls.sim.stop()
        if status != 0:
            raise AssertionError("orvex-sim exited with %s" % status)

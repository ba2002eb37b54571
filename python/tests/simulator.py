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

    @classmethod
    def setUpClass(cls):
        cls.library = library()
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

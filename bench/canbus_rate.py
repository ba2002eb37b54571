#!/usr/bin/env python3
"""How fast the python-can interface (orvex.canbus) takes frames, next to a raw reader of the same
port in the same run:

  - receive latency: a frame written by the adapter's side of a pseudo-terminal until recv()
    returns it in another thread, against select()+read() of 12 bytes on the same terminal;
  - SDO round trip against orvex-sim (send an upload request, receive its answer), against the
    library's SDO_Read through the binding (when ORVEX_LIBRARY is set);
  - sustained receive rate from orvex-sim's heartbeats (many drives, short period), against a
    raw reader of the same stream, and back-to-back SDO uploads per second.

    PYTHONPATH=python /usr/bin/python3 bench/canbus_rate.py [ORVEX_SIM]
"""

import os
import select
import statistics
import subprocess
import sys
import threading
import time

import can

from orvex.canbus import OrvexBus
from orvex.frames import FRAME_END, encode_frame

SIM = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("ORVEX_SIM", "build/bin/orvex-sim")
ROUNDS = 2000


def percentiles(samples):
    samples = sorted(samples)
    return statistics.median(samples), samples[int(len(samples) * 0.99)]


def latency(receive_one):
    """Microseconds from writing a frame on the master to ``receive_one`` returning it."""
    master, slave = os.openpty()
    path = os.ttyname(slave)
    receiver = receive_one(path)
    arrived, samples = threading.Event(), []
    stamp = [0.0]

    def loop():
        for _ in range(ROUNDS):
            receiver()
            samples.append((time.perf_counter() - stamp[0]) * 1e6)
            arrived.set()

    thread = threading.Thread(target=loop)
    thread.start()
    frame = encode_frame(0x701, b"\x05")
    for _ in range(ROUNDS):
        arrived.clear()
        time.sleep(0.0002)  # let the receiver block again
        stamp[0] = time.perf_counter()
        os.write(master, frame)
        arrived.wait(2)
    thread.join()
    os.close(master)
    os.close(slave)
    return percentiles(samples)


def interface_receiver(path):
    bus = OrvexBus(channel=path)
    return lambda: bus.recv(None)


def raw_receiver(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    import tty
    tty.setraw(fd)

    def receive():
        data = b""
        while len(data) < 12:
            select.select([fd], [], [])
            data += os.read(fd, 12 - len(data))
    return receive


def start_sim(*options):
    process = subprocess.Popen([SIM, "--quiet"] + [str(o) for o in options],
                               stdout=subprocess.PIPE, text=True)
    return process, process.stdout.readline().strip()


def sdo_round_trips(bus, seconds=2.0):
    request = can.Message(arbitration_id=0x601, data=[0x40, 0x64, 0x60, 0, 0, 0, 0, 0],
                          is_extended_id=False)
    samples = []
    until = time.perf_counter() + seconds
    while time.perf_counter() < until:
        started = time.perf_counter()
        bus.send(request)
        while bus.recv(1).arbitration_id != 0x581:
            pass
        samples.append((time.perf_counter() - started) * 1e6)
    return samples


def library_round_trips(path, seconds=2.0):
    import ctypes
    import orvex
    lib = orvex.load()
    if lib.Serial_OpenDevice(path.encode(), 115200) != 1:
        raise RuntimeError("the library did not open " + path)
    value = ctypes.c_int32()
    samples = []
    until = time.perf_counter() + seconds
    while time.perf_counter() < until:
        started = time.perf_counter()
        lib.SDO_Read(1, 0x6064, 0, ctypes.byref(value), 4)
        samples.append((time.perf_counter() - started) * 1e6)
    lib.Serial_ClosePort()
    return samples


def heartbeat_rate(path, interface, seconds=2.0):
    """Frames per second taken from ``path``; the interface or a raw reader."""
    count = 0
    if interface:
        with OrvexBus(channel=path) as bus:
            until = time.perf_counter() + seconds
            while time.perf_counter() < until:
                if bus.recv(0.5) is not None:
                    count += 1
    else:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        import tty
        tty.setraw(fd)
        data = b""
        until = time.perf_counter() + seconds
        while time.perf_counter() < until:
            if select.select([fd], [], [], 0.5)[0]:
                data += os.read(fd, 65536)
                count += data.count(FRAME_END)
                data = data[data.rfind(FRAME_END) + 2:]
        os.close(fd)
    return count / seconds


def main():
    rows = []
    interface, raw = latency(interface_receiver), latency(raw_receiver)
    rows.append(("receive latency, median (us)", interface[0], raw[0], "raw select+read"))
    rows.append(("receive latency, 99th percentile (us)", interface[1], raw[1], "raw select+read"))

    process, path = start_sim("--drives", 1)
    with OrvexBus(channel=path) as bus:
        trips = sdo_round_trips(bus)
    library = library_round_trips(path) if os.environ.get("ORVEX_LIBRARY") else None
    process.terminate()
    process.wait()
    rows.append(("SDO round trip vs orvex-sim, median (us)", statistics.median(trips),
                 library and statistics.median(library), "library SDO_Read"))
    rows.append(("SDO uploads per second, back to back", len(trips) / 2.0,
                 library and len(library) / 2.0, "library SDO_Read"))

    for drives, period in ((10, 1), (100, 1)):
        process, path = start_sim("--drives", drives, "--heartbeat-ms", period)
        received, offered = heartbeat_rate(path, True), heartbeat_rate(path, False)
        process.terminate()
        process.wait()
        rows.append(("heartbeats received per second, %d drives every %d ms" % (drives, period),
                     received, offered, "raw reader of the same stream"))

    print("%-58s %12s %12s %7s  %s" % ("figure", "interface", "baseline", "ratio", "baseline is"))
    for name, value, baseline, what in rows:
        ratio = "%.2f" % (value / baseline) if baseline else "-"
        print("%-58s %12.1f %12s %7s  %s" % (name, value,
                                            "%.1f" % baseline if baseline else "-", ratio, what))


if __name__ == "__main__":
    main()

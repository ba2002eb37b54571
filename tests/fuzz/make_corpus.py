#!/usr/bin/env python3
"""Writes the seed corpus of exchange_fuzz into tests/fuzz/corpus/ (or the directory given).

Each seed is one input in the layout exchange_fuzz.cpp describes: real answers, aborts,
acknowledgements, boot-ups, heartbeats, noise, torn and late frames, raw exchanges.
"""
import os
import struct
import sys

GET_POSITION, GET_STATUS, GET_VERSIONS, SDO_READ, SUMMARY, RAW, COMMAND, TRANSFER = range(8)
OWN_ID, ZERO_ID, OTHER_NODE_ID, ANY_ID = range(4)


def u32(value):
    return struct.pack("<I", value & 0xFFFFFFFF)


def record(kind, fields=b"", delay=1, chunk=12, pause=0):
    """delay in units of 4 ms after the previous record; chunk bytes per piece, pause ms apart."""
    return bytes([delay, (chunk - 1) % 12, pause, kind]) + fields


def answer(value, command=0x43, id_sel=OWN_ID, id_extra=b"", **timing):
    return record(0, bytes([id_sel]) + id_extra + bytes([command & 0x1F]) + u32(value), **timing)


def abort(code, id_sel=OWN_ID, **timing):
    return record(1, bytes([id_sel]) + u32(code), **timing)


def ack(**timing):
    return record(2, **timing)


def other_object(index_xor, sub_xor, value, **timing):
    return record(3, bytes([index_xor, sub_xor]) + u32(value), **timing)


def heartbeat(node, state, **timing):
    return record(4, bytes([node, state]), **timing)


def noise(data, **timing):
    return record(5, bytes([len(data)]) + data, **timing)


def torn(value, length, **timing):
    return record(6, u32(value) + bytes([length - 1]), **timing)


def any_frame(ten_bytes, **timing):
    return record(7, ten_bytes, **timing)


def crlf(**timing):
    return record(8, **timing)


def call(kind, node, extra=b"", records=(), request=b""):
    return bytes([kind, node]) + extra + bytes([len(records)]) + b"".join(records) + request


def sdo_read(node, index, sub, size, records):
    return call(SDO_READ, node, struct.pack("<H", index) + bytes([sub, size & 0xFF]), records)


def raw(node, request, answer_length, records, purge=0):
    return call(RAW, node, bytes([len(request), answer_length & 0xFF, purge]), records, request)


def summary(which, records):
    return call(SUMMARY, 0, bytes([which]), records)


def crc16(data):
    """The CRC of block transfers: x^16 + x^12 + x^5 + 1 from 0, no reflection."""
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def initiate(command, size, delay=1):
    """A transfer's initiate answer: command 0x40-0x5F, 0x60, 0xC0-0xDF or 0xA0-0xBF."""
    base = {0x40: 0, 0x60: 1, 0xC0: 2, 0xA0: 3}[command & 0xE0]
    pick = base | (command & 0x1F) << 2
    return bytes([delay, 0, pick, size])


def server_frame(data, delay=1):
    """Eight data bytes from the node's own identifier: a segment, acknowledgement or end."""
    return bytes([delay, 1]) + bytes(data).ljust(8, b"\0")


def transfer_heartbeat(node, state, delay=1):
    """Traffic of the plain records (here a heartbeat) amid a transfer."""
    return bytes([delay, 5, 4, node, state])


def transfer_abort(code, delay=1):
    return bytes([delay, 2]) + u32(code)


def transfer(node, size, records, download=False, threshold=0, block_size=0, index=0x2010,
             sub=0):
    head = bytes([TRANSFER, node, int(download), threshold, block_size & 0xFF])
    return head + struct.pack("<HHB", size + 8, index, sub) + bytes([len(records)]) + \
        b"".join(records)


def seeds():
    wrap, normal = b"\x01", b"\x00"
    req = bytes([0x06, 0x01, 0x40, 0x64, 0x60, 0, 0, 0, 0, 0, 0x0D, 0x0A])
    yield "position", normal + call(GET_POSITION, 1, records=[answer(0xFFFFFF9C)])
    yield "status_4b", normal + call(GET_STATUS, 2, records=[answer(0x0637, command=0x4B)])
    yield "versions", normal + call(GET_VERSIONS, 3, records=[answer(0x0103, command=0x4B)])
    yield "abort", normal + sdo_read(1, 0x5FFF, 0, 4, [abort(0x06020000)])
    yield "acks_bootup_then_answer", normal + call(GET_POSITION, 1, records=[
        ack(), heartbeat(1, 0), other_object(0x05, 0, 0x1234), answer(4242)])
    yield "heartbeats_around", normal + call(GET_STATUS, 5, records=[
        heartbeat(5, 0x05, delay=10), heartbeat(7, 0x7F), answer(0x0027), heartbeat(5, 0x05)])
    yield "other_node_first", normal + call(GET_POSITION, 1, records=[
        answer(5555, id_sel=OTHER_NODE_ID, id_extra=b"\x00"), answer(77)])
    yield "garbage_then_answer", normal + call(GET_POSITION, 1, records=[
        noise(bytes([0x55, 0x0D, 0x0A, 0x99, 0x42])), answer(77)])
    yield "single_bytes", normal + call(GET_VERSIONS, 2, records=[
        answer(0x0103, chunk=1, pause=15)])
    yield "torn_then_whole", normal + call(GET_POSITION, 1, records=[
        torn(1, 7), answer(1234, delay=20)])
    yield "stale_then_fresh", normal + call(GET_POSITION, 1, records=[
        answer(111, delay=0), answer(222, delay=5)])
    yield "late_then_next", normal + call(GET_POSITION, 1, records=[answer(9, delay=220)]) + call(
        GET_POSITION, 1, records=[answer(10, delay=30)])
    yield "edge_of_limit", normal + call(GET_POSITION, 1, records=[answer(42, delay=200)]) + call(
        GET_POSITION, 1, records=[torn(0, 11, delay=199), crlf()])
    yield "wrap", wrap + call(GET_STATUS, 1, records=[answer(0x0637, delay=100)]) + call(
        GET_STATUS, 1, records=[answer(0x0237, delay=50)])
    yield "summaries", normal + summary(0, [answer(0b11)]) + summary(1, [
        answer(0x80000001, id_sel=ZERO_ID)]) + summary(2, [abort(0x08000000)])
    yield "sdo_read_sizes", normal + sdo_read(1, 0x6041, 0, 2, [answer(0x8637, command=0x4B)]) + \
        sdo_read(1, 0x6061, 0, 1, [answer(0xFFFFFFFF, command=0x4F)]) + \
        sdo_read(1, 0x2003, 0x14, -1, [answer(3)])
    yield "any_id", normal + call(GET_POSITION, 0x81, records=[
        answer(31, id_sel=ANY_ID, id_extra=b"\x01\x07")])
    yield "framed_junk", normal + call(GET_POSITION, 1, records=[
        any_frame(bytes(range(10))), any_frame(b"\x05\x81\x43\x64\x60\x00\x01\x02\x03\x04")])
    yield "crlf_noise", normal + call(GET_STATUS, 1, records=[
        crlf(), noise(b"\x0D\x0A\x0D"), answer(0x0007)])
    yield "raw_answer", normal + raw(1, req, 12, [answer(0x01020304)])
    yield "raw_pieces", normal + raw(1, req, 17, [noise(bytes(range(1, 18)), chunk=3, pause=20)])
    yield "raw_late_half", normal + raw(1, req, 12, [torn(5, 6), noise(b"\xB1" * 6, delay=240)]) + \
        raw(1, req, 12, [])
    yield "raw_long", normal + raw(1, req, 60, [noise(bytes(20)), noise(bytes(20)),
                                                noise(bytes(20), delay=200)])
    yield "raw_send_only", normal + raw(1, req, 0, []) + raw(1, b"", -5, [])
    yield "raw_then_query", normal + raw(1, req, 4, [answer(1)]) + call(
        GET_POSITION, 1, records=[answer(2)])
    yield "command_between", normal + call(COMMAND, 1) + call(GET_POSITION, 1, records=[
        ack(), answer(3)])
    yield "node_masking", normal + call(GET_POSITION | 0x80, 2, records=[answer(12)])
    ten = b"abcdefghij"
    yield "transfer_segmented_upload", normal + transfer(1, 64, [
        initiate(0x41, 10), transfer_heartbeat(1, 0x05), server_frame(b"\x00" + ten[:7]),
        server_frame(b"\x19" + ten[7:])])
    yield "transfer_block_upload", normal + transfer(1, 64, [
        initiate(0xC6, 10), server_frame(b"\x01" + ten[:7]), server_frame(b"\x82" + ten[7:]),
        server_frame(bytes([0xD1]) + struct.pack("<H", crc16(ten)))], threshold=4, block_size=2)
    yield "transfer_download_toggle", normal + transfer(1, 10, [
        initiate(0x60, 0), server_frame(b"\x20"), server_frame(b"\x20")], download=True)
    yield "transfer_block_download_repeat", normal + transfer(1, 20, [
        initiate(0xA4, 3), server_frame(b"\xA2\x01\x03"), server_frame(b"\xA2\x02\x03"),
        server_frame(b"\xA1")], download=True, threshold=4, block_size=127)
    yield "transfer_abort_and_timeout", normal + transfer(1, 64, [
        initiate(0x41, 20), transfer_abort(0x08000000)]) + transfer(2, 8, []) + transfer(
        0, 8, [])


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes the seed corpus of the tonkern fuzz target: a few small programs
for its op interpreter (conduit_fuzzer.cpp) that together reach every op,
record placement, data kind and teardown mode. Run from anywhere:
    python3 tests/fuzz/make_corpus.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(v):
    return struct.pack('<H', v & 0xFFFF)


def u32(v):
    return struct.pack('<I', v & 0xFFFFFFFF)


def live(k, other=False):
    """Stream selector naming the k-th live stream (other: the other endpoint)."""
    return bytes([(7 if other else 4) + 8 * k])


def open_stream(direction, fmt=1, query=False, device=0):
    selector = direction | (0x0E if query else 0) | (device << 5)
    return bytes([0, selector, fmt]) + u16(0)     # cbSize


def control(op, stream=b'\x00', size=b'\x04', corrupt=0x04, placement=0x04, selector=0,
            params=bytes(36), code=None, length=None):
    if op == 1:
        params = bytes([1]) + u16(0) + u32(0)     # table format, cbSize, no flags
    out = bytes([1, selector, op]) + stream + size + u16(0) + params
    if selector & 4:
        out += u16(length)
    out += bytes([corrupt])
    if corrupt % 16 == 1:
        out += b'\x01'     # the bit flipped in the signature
    if selector & 0x18 == 0x18:
        out += u32(code)
    return out + bytes([placement])


def add_buffer(direction_bit, stream, length, placement=0x07, data=0x04, flags=0, loops=None,
               flip_transport=False, op=None, device=0):
    selector = direction_bit | (6 if flip_transport else 0) | (0x18 if op is not None else 0)
    out = bytes([2, selector]) + stream
    if op is not None:
        out += bytes([op])
    out += bytes([data]) + u16(length) + u32(0x1234) + u32(0)
    out += bytes([flags | (0x80 if loops is not None else 0)])
    if loops is not None:
        out += u32(loops)
    out += bytes([0x04, placement])
    if placement % 16 == 3:
        out += b'\x01' + u16(0x0200)     # a low unmapped record address
    if placement & 0x80:
        out += u32(1)                     # spoils the address's upper half
    return out + bytes([device])


def advance(ms):
    return bytes([4, 2]) + u16(ms)


def stream_control(k, op_index):
    return bytes([9, k * 8 + op_index])


START, STOP, RESET, BREAK, POSITION, CLOSE = 0, 1, 2, 3, 4, 5
DRAIN = b'\x05'

seeds = {
    # Play one buffer through a running Out stream, ask for the position.
    'play': b'\x00' + open_stream(0) + add_buffer(0, live(0), 1600) + stream_control(0, START)
            + advance(250) + stream_control(0, POSITION) + DRAIN + stream_control(0, CLOSE),
    # Record into two buffers, stop, reset with one still queued.
    'record': b'\x00' + open_stream(1) + add_buffer(1, live(0), 1600) + add_buffer(1, live(0), 999)
              + stream_control(0, START) + advance(150) + stream_control(0, STOP)
              + stream_control(0, RESET) + DRAIN,
    # Loopback with loops and a break, both endpoints, handles swapped.
    'loopback': b'\x00' + open_stream(0) + open_stream(1, device=1)
                + add_buffer(0, live(0), 800, flags=0x04) + add_buffer(0, live(0), 800, flags=0x08, loops=3)
                + add_buffer(1, live(1), 3200) + add_buffer(0, live(0, other=True), 800)
                + stream_control(0, START) + stream_control(1, START) + advance(120)
                + stream_control(0, BREAK) + advance(400) + DRAIN + stream_control(0, CLOSE),
    # Control requests at the size and validity boundaries.
    'control': b'\x00' + control(0, size=b'\x04') + control(0, size=bytes([1 + 8 * 4]))
               + control(0, size=bytes([1 + 8 * 3])) + control(0, size=bytes([8 * 31]))
               + control(0, size=b'\x00') + control(1, corrupt=0x00) + control(1, corrupt=0x11)
               + control(1, corrupt=0x02) + control(9) + open_stream(0, query=True)
               + open_stream(0) + control(9, stream=live(0)) + control(4, stream=live(0, other=True))
               + control(2, stream=live(0), selector=0x18, code=0x00220002)
               + control(1, placement=0x00) + control(1, placement=0x01) + control(1, placement=0x02)
               + control(2, stream=live(0), placement=0x03, size=bytes([3 + 8 * 5]))
               + control(2, stream=b'\x01' + u32(0xDEADBEEF)) + control(3, stream=live(0)),
    # Add-buffer records and data everywhere.
    'placement': b'\x00' + open_stream(0) + open_stream(1)
                 + b''.join(add_buffer(0, live(0), 400, placement=p) for p in range(7))
                 + add_buffer(0, live(0), 400, placement=0x83)
                 + b''.join(add_buffer(1, live(1), 400, data=d) for d in (0, 1, 2, 3, 0x84))
                 + add_buffer(1, live(1), 1, data=0x04) + add_buffer(1, live(1), 0)
                 + add_buffer(1, live(1), 400, flip_transport=True)
                 + add_buffer(0, live(0), 400, op=6) + add_buffer(0, live(0), 400, op=1)
                 + advance(300) + DRAIN,
    # Injected pool and I/O failures; extra handles opened and closed.
    'failures': b'\x00' + bytes([6, 4 * 0 + 1]) + open_stream(0) + bytes([6, 1]) + open_stream(0)
                + add_buffer(0, live(0), 400) + bytes([6, 0]) + bytes([7, 2]) + control(0)
                + bytes([7, 3]) + add_buffer(0, live(0), 400) + bytes([7, 4]) + add_buffer(0, live(0), 400)
                + bytes([7, 0x80]) + bytes([8, 0]) + bytes([8, 2]) + add_buffer(0, live(0), 400, device=2)
                + bytes([8, 1]) + advance(200),
    # Unloaded with streams open and buffers pending.
    'unload': bytes([4 * 7]) + open_stream(0) + open_stream(1) + add_buffer(0, live(0), 1600)
              + add_buffer(1, live(1), 1600) + stream_control(1, START) + advance(50),
    # No warm-up: the first clock start fails, then a format change after close.
    'first_start': bytes([3]) + bytes([6, 4 * 1 + 1]) + open_stream(0) + open_stream(1, fmt=2)
                   + open_stream(0, fmt=3) + stream_control(0, CLOSE) + open_stream(0, fmt=3)
                   + bytes([0, 0xC0 | 1, 201]) + u16(1) + u16(2) + u32(48000) + u16(16) + u16(4)
                   + u32(0) + u16(0) + advance(100),
    # A second client process opens streams and queues buffers, then ends
    # with them open and pending; a third is left to the teardown.
    'processes': b'\x00' + bytes([10, 0]) + bytes([10, 1 + 4 * 1]) + open_stream(0) + open_stream(1)
                 + add_buffer(0, live(0), 1600) + add_buffer(1, live(1), 1600) + bytes([10, 3])
                 + open_stream(0) + add_buffer(0, live(2), 800) + stream_control(0, START)
                 + stream_control(1, START) + advance(50) + bytes([10, 2]) + advance(200) + DRAIN
                 + bytes([10, 0]) + bytes([10, 1 + 4 * 2]) + open_stream(1) + add_buffer(1, live(1), 800)
                 + bytes([10, 3]),
    # Control requests whose records another thread keeps changing, with
    # buffers queued on the streams they name.
    'racing': bytes([0x20]) + open_stream(0) + open_stream(1) + add_buffer(0, live(0), 1600)
              + add_buffer(1, live(1), 1600) + control(8, stream=live(0)) + control(3, stream=live(1))
              + control(4, stream=live(1)) + control(7, stream=live(0)) + control(5, stream=live(1))
              + advance(150) + control(6, stream=live(0)) + DRAIN,
}

corpus = os.path.join(HERE, 'corpus')
os.makedirs(corpus, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(corpus, name), 'wb') as f:
        f.write(data)

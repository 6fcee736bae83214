#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a short, valid session in the target's input format (see the
comment at the top of each target), so the fuzzer starts from requests that
reach deep into the driver instead of from refusals."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(v):
    return struct.pack('<H', v & 0xFFFF)


def u32(v):
    return struct.pack('<I', v & 0xFFFFFFFF)


def write(target, name, data):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


# --- fuzz_dispatch ----------------------------------------------------------
FUNCTIONS = [2101, 2102, 2103, 2104, 2105, 2106, 2107, 2108, 2109, 2110, 2111, 2112, 2113, 2115,
             2116, 2119, 2120, 2121, 2122, 2123, 2124, 2125, 2126, 2127, 2128, 3102, 3103, 3104,
             3105, 3106, 3107, 3120, 3121, 3122, 3123, 3124, 3125, 3126, 3127]


def req(function, data=b'', out=0):
    return bytes([FUNCTIONS.index(function)]) + u16(len(data)) + u16(out) + data


def raw(code, data=b'', out=0):
    return b'\xf0' + u32(code) + u16(len(data)) + u16(out) + data


CLEAR = 0x80  # the moment byte's flag: one array clear allowed ...
FAULTS = 0x40  # the moment byte's flag: the header's faults on
CLEAR_SHARE = 8  # ... in inputs whose FNV-1a hash is a multiple of this


def fnv1a(data):
    h = 2166136261
    for b in data:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h


def may_clear(data):
    """Pads a seed that asks for a clear with trailing bytes (ignored, too few
    for a request) until the fuzz target lets it clear."""
    for pad in range(65536):
        padded = data + u16(pad)
        if fnv1a(padded) % CLEAR_SHARE == 0:
            return padded
    raise ValueError('no padding found')


def dispatch_seeds():
    # From the kept moments: an exposure running (1), ended (2), the tracking
    # CCD's (or a dark) exposure ended (3); no clear needed to read lines.
    for port in range(4):
        ccd3 = 1 if port < 2 else 0
        running = req(2112, u16(1), 2) + req(2102, u16(0), 0) + req(2103, u16(0) + bytes([0, 1]) + u16(0) + u16(40), 80)
        write('fuzz_dispatch', f'running_port{port}', bytes([port, 1]) + running)
        ended = (req(2104, u16(0) + bytes([0, 1]) + u16(2), 0) +
                 req(2103, u16(0) + bytes([0, 1]) + u16(0) + u16(40), 80) +
                 req(2103, u16(0) + bytes([2, 2]) + u16(8) + u16(20), 40) + req(2125, u16(0), 0))
        write('fuzz_dispatch', f'ended_port{port}', bytes([port, 2]) + ended)
        other = (req(2104, u16(ccd3) + bytes([0, 1]) + u16(1), 0) +
                 req(2103, u16(ccd3) + bytes([0, 1]) + u16(0) + u16(30), 60))
        write('fuzz_dispatch', f'other_port{port}', bytes([port, 3]) + other)
    for port in range(4):
        ccd = 0
        link = req(2109, out=2)
        info = b''.join(req(2111, u16(r), 392) for r in range(4))
        write('fuzz_dispatch', f'info_port{port}', bytes([port, 0]) + link + info)
        frame = (req(2101, u16(ccd) + u16(0) + u32(10) + u16(0) + u16(1), 0) +
                 req(2112, u16(1), 2) + req(2102, u16(ccd), 0) +
                 req(2104, u16(ccd) + bytes([0, 1]) + u16(2), 0) +
                 req(2103, u16(ccd) + bytes([0, 1]) + u16(0) + u16(40), 80) +
                 req(2103, u16(ccd) + bytes([1, 1]) + u16(4) + u16(20), 40) +
                 req(2116, u16(ccd), 2) + req(2125, u16(ccd), 0))
        write('fuzz_dispatch', f'frame_port{port}', may_clear(bytes([port, CLEAR]) + link + frame))
    tracking = (req(2109, out=2) +
                req(2101, u16(1) + u16(0) + u32(5) + u16(0) + u16(0), 0) +
                req(2102, u16(1), 0) + req(2103, u16(1) + bytes([0, 1]) + u16(0) + u16(30), 60))
    write('fuzz_dispatch', 'tracking', may_clear(bytes([0, CLEAR]) + tracking))
    ops = (req(2109, out=2) + req(2105, u16(1) + u16(2000), 0) + req(2106, out=10) +
           req(2107, u16(10) + u16(0) + u16(300) + u16(0), 0) +
           req(2108, u16(3) + u16(100) + u16(200), 0) + req(2113, u16(1) + u16(1) + u16(2), 0) +
           req(2119, u16(3) + b'abc', 2) + req(2120, out=2) + req(2121, u16(5) + u16(65530), 0) +
           req(2122) + req(2123, u32(500)) + req(2124, out=2))
    write('fuzz_dispatch', 'operations', bytes([0, 0]) + ops)
    frame_cmds = (req(2110, u16(0), 100) + req(2110, u16(1), 68) + req(2110, u16(2), 68) +
                  req(2127, u16(10)) + req(2128, out=2) + req(2127, u16(27)) + req(2115) +
                  req(3102, out=1) + req(3104, out=1) + req(3106, out=1) + req(3120, out=1) +
                  req(3122, u16(0x379) + u16(0), 1) + req(3124, u16(0x80) + u16(0x80) + b'\x00\x01', 1) +
                  req(3127, u16(0), 2) + req(2126, out=4) +
                  raw(0x9C402108) + raw(0x9C4020DD, b'\0' * 8, 8) + raw(0x00220000))
    write('fuzz_dispatch', 'frame_commands', bytes([0, 0]) + frame_cmds)
    faults = req(2109, out=2) + req(2106, out=10) + req(2104, u16(0) + bytes([0, 1]) + u16(1))
    for header in (0x04, 0x08, 0x0C, 0x10, 0x14, 0x18, 0x20, 0x40, 0x80):
        write('fuzz_dispatch', f'faults_{header:02x}', bytes([header, FAULTS]) + faults)


# --- fuzz_libraries ---------------------------------------------------------
LIB_COMMANDS = [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23,
                24, 25, 26, 29, 30, 33, 34, 102, 104, 106, 120, 122, 123, 124, 127, 0, 31, 100,
                125, 200]


def call(entry, command, record=b'', null=False):
    return bytes([entry | (0x80 if null else 0), LIB_COMMANDS.index(command)]) + record


def libraries_seeds():
    for entry, name in enumerate(('nt', 'nh', 'win9x', 'vb')):
        packed = entry != 0
        start = (u16(0) + u32(10) + u16(0) + u16(1)) if packed else \
            (u16(0) + u16(0) + u32(10) + u16(0) + u16(1))
        session = (call(entry, 9) + call(entry, 11, u16(0)) + call(entry, 11, u16(2)) +
                   call(entry, 1, start) + call(entry, 12, u16(1)) + call(entry, 2, u16(0)) +
                   call(entry, 4, u16(0) + bytes([0, 1]) + u16(1)) +
                   call(entry, 3, u16(0) + bytes([0, 1]) + u16(0) + u16(16)) +
                   call(entry, 14, u16(0) + bytes([0, 1]) + u16(0) + u16(16)) +
                   call(entry, 25, u16(0)))
        write('fuzz_libraries', f'session_{name}', session)
        ops = (call(entry, 10, u16(0)) + call(entry, 10, u16(1)) + call(entry, 5, u16(1) + u16(2000)) +
               call(entry, 6) + call(entry, 7, u16(10) + u16(0) * 3) +
               call(entry, 8, u16(2) + u16(50) + u16(100)) + call(entry, 13, u16(1) * 3) +
               call(entry, 19, u16(2) + b'hi') + call(entry, 20) + call(entry, 21, u16(1) + u16(2)) +
               call(entry, 22) + call(entry, 23, u32(100)) + call(entry, 24) + call(entry, 26) +
               call(entry, 29, u16(20)) + call(entry, 30) + call(entry, 15) + call(entry, 16, u16(0)))
        write('fuzz_libraries', f'operations_{name}', ops)
        ports = (call(entry, 102) + call(entry, 104) + call(entry, 106) + call(entry, 120) +
                 call(entry, 122, u16(0x379) + u16(0)) + call(entry, 123, u16(0x80) + b'\x01\x00') +
                 call(entry, 124, u16(0x80) + u16(0x379) + b'\x00\x00') + call(entry, 127, u16(0)) +
                 call(entry, 0) + call(entry, 200) + call(entry, 33) + call(entry, 34, u32(7)) +
                 call(entry, 9) + call(entry, 18) + call(entry, 17) + call(entry, 9, null=True) +
                 call(entry, 11, null=True) + call(entry, 1, null=True))
        write('fuzz_libraries', f'ports_{name}', ports)


# --- fuzz_micro -------------------------------------------------------------
MICRO_COMMANDS = [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 130]
MICRO_PARAMS = {0: 12, 1: 2, 2: 8, 4: 8, 5: 6, 7: 3, 8: 6, 130: 2}


def nibbles(data):
    out = []
    for b in data:
        out += [b >> 4, b & 0xF]
    return out


def micro_seed(command, type_index, params, reply, take=0):
    return (bytes([MICRO_COMMANDS.index(command), type_index]) + params + bytes([take]) +
            bytes(reply))


def micro_seeds():
    ack = nibbles(b'\x06')
    blocks = {3: b'\x01\x7d\x00\x96\x4d', 6: b'\x11\x23', 9: b'\x05\x30\x09', 11: b'\x03'}
    for command in MICRO_COMMANDS:
        params = bytes(MICRO_PARAMS.get(command, 0))
        if command == 11:
            params = u16(3) + b'abc'
        if command in blocks:
            data = blocks[command]
            reply = [0xA, 0x5, command & 0xF, len(data)] + nibbles(data)
        else:
            reply = ack
        write('fuzz_micro', f'command_{command}', micro_seed(command, 0, params, reply))
        write('fuzz_micro', f'command_{command}_slow',
              micro_seed(command, 2, params, [n | 0x30 for n in reply], take=2))
    write('fuzz_micro', 'eeprom_read', micro_seed(7, 0, b'\x05\x00\x00', [0xA, 0x5, 7, 1, 3, 4]))
    write('fuzz_micro', 'nak', micro_seed(8, 0, bytes(6), nibbles(b'\x15')))
    write('fuzz_micro', 'can_block', micro_seed(9, 0, b'', nibbles(b'\x18')))
    write('fuzz_micro', 'bad_length', micro_seed(3, 0, b'', [0xA, 0x5, 3, 4] + nibbles(bytes(4))))
    write('fuzz_micro', 'silent', micro_seed(6, 0, b'', [0xA, 0xF5]))
    write('fuzz_micro', 'never_takes', micro_seed(0, 0, bytes(12), ack, take=0x80))


if __name__ == '__main__':
    dispatch_seeds()
    libraries_seeds()
    micro_seeds()

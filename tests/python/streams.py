"""Builds .zel streams byte by byte for the tests, including damaged ones.

Blocks are LZ4 blocks made of one literal run, which every LZ4 decoder accepts,
so no compressor is needed on the Python side.
"""

import struct

SYSTEM_COLUMNS = [
    ("frame_ms", "ms"),
    ("memory_mb", "MB"),
    ("io_ms", "ms"),
    ("io_MB", "MB"),
    ("gpu_util", "%"),
    ("gpu_sm", "%"),
    ("gpu_power", "W"),
    ("gpu_mem", "MB"),
]


def string_field(text):
    data = text.encode() if isinstance(text, str) else text
    return struct.pack("<H", len(data)) + data


def header(columns=SYSTEM_COLUMNS, flame=False, magic=b"ZEL1", version=2):
    out = magic + struct.pack("<HBH", version, 1 if flame else 0, len(columns))
    for name, unit in columns:
        out += string_field(name) + string_field(unit)
    return out


def literal_block(body):
    """An LZ4 block holding `body` as a single run of literals."""
    n = len(body)
    if n < 15:
        return bytes([n << 4]) + body
    out = bytearray([0xF0])
    rest = n - 15
    while rest >= 255:
        out.append(255)
        rest -= 255
    out.append(rest)
    return bytes(out) + body


def blob(body, body_len=None):
    block = literal_block(body)
    return struct.pack("<II", 4 + len(block), len(body) if body_len is None else body_len) + block


def decl(col_id, name, unit=""):
    return blob(bytes([1]) + struct.pack("<H", col_id) + string_field(name) + string_field(unit))


def frame(system, user=(), flame=None):
    body = bytes([0]) + struct.pack(f"<{len(system)}d", *system)
    body += struct.pack("<H", len(user))
    for col_id, value in user:
        body += struct.pack("<Hd", col_id, value)
    flame = flame or b""
    body += struct.pack("<I", len(flame)) + flame
    return blob(body)


def sys_values(first=0.0):
    return [first] + [float(i) for i in range(1, 8)]

"""Builds .zel streams byte by byte, damaged ones included. Blocks are LZ4 blocks of
one literal run, which every LZ4 decoder accepts, so no compressor is needed here.
Frames carry as many system values as the header has columns: tests take the column
table from a real capture's header (the `system_columns` fixture)."""

import struct


def text(s):
    data = s.encode()
    return struct.pack("<H", len(data)) + data


def header(columns, flame=False, magic=b"ZEL1", version=2):
    out = magic + struct.pack("<HBH", version, 1 if flame else 0, len(columns))
    return out + b"".join(text(name) + text(unit) for name, unit in columns)


def blob(body):
    n, run = len(body), bytearray([min(len(body), 15) << 4])
    if n >= 15:
        rest = n - 15
        run += b"\xff" * (rest // 255) + bytes([rest % 255])
    block = bytes(run) + body
    return struct.pack("<II", 4 + len(block), n) + block


def decl(col_id, name, unit=""):
    return blob(b"\x01" + struct.pack("<H", col_id) + text(name) + text(unit))


def frame(system, user=(), flame=b""):
    body = b"\x00" + struct.pack(f"<{len(system)}d", *system) + struct.pack("<H", len(user))
    body += b"".join(struct.pack("<Hd", col_id, value) for col_id, value in user)
    return blob(body + struct.pack("<I", len(flame)) + flame)

"""Decodes flame frames ("PFD4") for the tests, independently of the package's
decoder (only the LZ4 block goes through the native helper), and rebuilds each
thread's scope tree, checking every length and size field."""

import struct

from zel._native import lz4_decompress


class Cursor:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        assert self.pos + n <= len(self.data), "short input"
        b = self.data[self.pos : self.pos + n]
        self.pos += n
        return b

    def fixed(self, fmt):
        return struct.unpack("<" + fmt, self.take(struct.calcsize("<" + fmt)))[0]

    def uint(self):
        first = self.take(1)[0]
        if first <= 250:
            return first
        return self.fixed({0xFB: "H", 0xFC: "I", 0xFD: "Q"}[first])

    def int(self):
        u = self.uint()
        return (u >> 1) ^ -(u & 1)

    def option(self, read):
        flag = self.take(1)[0]
        assert flag in (0, 1)
        return read() if flag else None

    def text(self):
        return self.take(self.uint()).decode()

    def done(self):
        assert self.pos == len(self.data), "trailing bytes"


def parse_stream(stream):
    """The outermost scopes of a stream as (id, start, stop, children) tuples.

    Records nest as they come: an end record closes the innermost open scope. Every
    size field that was written must lead to an end record."""
    c = Cursor(stream)
    top = {"children": []}
    open_scopes = [top]
    while c.pos < len(stream):
        tag = c.take(1)
        if tag == b"(":
            sid, start, n = c.fixed("I"), c.fixed("q"), c.take(1)[0]
            c.take(n)
            size = c.fixed("Q")
            if size != 2**64 - 1:
                assert stream[c.pos + size : c.pos + size + 1] == b")", "size field off an end"
            node = {"id": sid, "start": start, "children": []}
            open_scopes[-1]["children"].append(node)
            open_scopes.append(node)
        else:
            assert tag == b")", "expected a begin or end record"
            assert len(open_scopes) > 1, "end record without a scope"
            open_scopes.pop()["stop"] = c.fixed("q")
    assert len(open_scopes) == 1, "scope left open"

    def tuples(nodes):
        return [(n["id"], n["start"], n["stop"], tuples(n["children"])) for n in nodes]

    return tuples(top["children"])


def decode(data):
    """{"meta", "threads": [(name, start, [scopes])], "names": {id: name}}."""
    c = Cursor(data)
    assert c.take(4) == b"PFD4"
    meta = Cursor(c.take(c.fixed("I")))
    frame = {"meta": (meta.uint(), meta.int(), meta.int(), meta.uint(), meta.uint())}
    meta.done()
    packed = c.take(c.fixed("I") + 1)
    assert packed[0] == 1
    raw_len = struct.unpack_from("<I", packed, 1)[0]
    threads = Cursor(lz4_decompress(packed[5:], raw_len))
    frame["threads"] = []
    for _ in range(threads.uint()):
        start = threads.option(threads.int)
        name = threads.text()
        stream = threads.take(threads.uint())
        threads.uint(), threads.uint(), threads.int(), threads.int()
        frame["threads"].append((name, start, parse_stream(stream)))
    threads.done()
    scopes = Cursor(c.take(c.fixed("I")))
    frame["names"] = {}
    for _ in range(scopes.uint()):
        sid = scopes.option(scopes.uint)
        scope_name = scopes.option(scopes.text)
        function_name, _path, _line = scopes.text(), scopes.text(), scopes.uint()
        frame["names"][sid] = scope_name if scope_name is not None else function_name
    scopes.done()
    c.done()
    return frame


def named_tree(frame, scopes):
    """Scopes as (name, [children]) pairs."""
    return [(frame["names"][s[0]], named_tree(frame, s[3])) for s in scopes]

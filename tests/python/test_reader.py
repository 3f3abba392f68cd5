# The stream reader (`_zel.Reader`) and the bulk loader behind `zel.load`, two readers
# of one format, on hand-built streams: exact values back, every prefix read to its last
# whole frame, and every damaged byte refused by both or read alike.

import errno
import math

import pytest
from conftest import PANIC, decl, frame, header

import _zel
import zel
from zel.table import NotACaptureError

# (user values as (column id, value), flame bytes) per frame; ids 8.. are declared
# as USER in this order, each just before the first frame that uses it.
USER = [("zeta", "Hz"), ("alpha", ""), ("loss", "nats")]
FRAMES = [
    ([(8, 60.0)], b""),
    ([(9, 0.25), (8, 59.0), (9, -4.0)], b"PFD4xyz"),  # the last value of an id wins
    ([], b""),
    ([(10, math.nan), (8, math.inf), (9, 5e-324)], b"\x00"),
    ([(10, -0.0)], b""),
]


def same(a, b):  # equal floats, NaN and the sign of zero included
    return repr(float(a)) == repr(float(b))


@pytest.fixture(scope="module")
def stream(system_columns):
    # (bytes, where each frame ends, frames as (system, user, flame), where each declaration ends)
    data, ends, expected, declared = header(system_columns, flame=True), [], [], []
    for k, (user, flame) in enumerate(FRAMES):
        for col_id, _ in user:
            while col_id - 8 >= len(declared):
                data += decl(8 + len(declared), *USER[len(declared)])
                declared.append(len(data))
        system = [k * 16.5] + [k + i / 8 for i in range(1, len(system_columns))]
        data += frame(system, user, flame)
        ends.append(len(data))
        named = {USER[i - 8][0]: v for i, v in user}
        expected.append((system, dict(sorted(named.items())), flame or None))
    return data, ends, expected, declared


def read(path):  # (system column names, frames, the exception that ended reading or None)
    names, frames = [], []
    try:
        reader = _zel.Reader(str(path))
        names = [name for name, _ in reader.columns]
        frames.extend((f.system, f.user, f.flame) for f in reader)
    except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
        return names, frames, e
    return names, frames, None


def check_table(capture, frames, columns):
    # zel.load's table holds the frames as the Reader gave them.
    assert capture.system_columns == columns and list(capture.frames) == list(range(len(frames)))
    for k, (system, user, flame) in enumerate(frames):
        assert all(same(capture.columns[name][k], v) for name, v in zip(columns, system))
        for name in capture.user_columns:
            assert same(capture.columns[name][k], user.get(name, math.nan))
        assert capture.flame.get(k) == flame


def test_every_prefix_reads_to_its_last_whole_frame(stream, system_columns, tmp_path):
    data, ends, expected, declared = stream
    start = len(header([], flame=True))  # no column yet: where the header's fields end
    path = tmp_path / "p.zel"
    for cut in range(len(data) + 1):
        path.write_bytes(data[:cut])
        whole = sum(end <= cut for end in ends)
        names, frames, error = read(path)
        if isinstance(error, OSError):  # the header is not whole yet
            assert error.errno is None and error.args[0].startswith(f"{path}: ")
            assert not frames and cut < ends[0]
            refused = pytest.raises(ValueError, zel.load, path).value
            assert isinstance(refused, NotACaptureError) == (cut == 0)
            continue
        assert cut >= start and error is None and repr(frames) == repr(expected[:whole])
        check_table(zel.load(path), frames, names)

    # One reader over a growing file takes each frame once, as soon as it is whole, and
    # knows the columns declared so far.
    path.write_bytes(data[: ends[0] - 1])
    reader, seen = _zel.Reader(str(path)), []
    for cut in range(ends[0], len(data) + 1):
        with open(path, "ab") as f:
            f.write(data[cut - 1 : cut])
        seen += [(f.system, f.user, f.flame) for f in reader]
        assert len(seen) == sum(end <= cut for end in ends)
        assert reader.user_columns == USER[: sum(end <= cut for end in declared)]
    assert repr(seen) == repr(expected) and iter(reader) is reader and list(reader) == []
    assert reader.columns == system_columns and reader.flame_enabled is True
    c = zel.load(path)
    assert c.units == dict(system_columns + USER) and c.flame_enabled
    assert c.user_columns == [name for name, _ in USER]

    # Frames and readers hand out copies.
    f = next(reader := _zel.Reader(str(path)))
    for copy in (f.system, f.user, reader.columns, reader.user_columns):
        copy.clear()
    first = [*expected[0][:2], system_columns, USER[:1]]
    assert [f.system, f.user, reader.columns, reader.user_columns] == first


def test_every_damaged_byte_is_refused_or_read_alike(stream, tmp_path):
    data = stream[0]
    path = tmp_path / "d.zel"
    for i in range(len(data)):
        for flip in (0x01, 0x80, 0xFF):
            damaged = bytearray(data)
            damaged[i] ^= flip
            path.write_bytes(damaged)
            names, frames, error = read(path)
            try:
                capture = zel.load(path)
            except ValueError:
                assert isinstance(error, (OSError, PANIC)), (i, flip, error)
                continue
            assert error is None, (i, flip, error)
            check_table(capture, frames, names)


def test_files_that_are_not_captures_and_damaged_records(system_columns, tmp_path):
    # (what zel.load says of such files: in the commands' refusals)
    absent = str(tmp_path / "absent.zel")
    for name, code in ((absent, errno.ENOENT), (absent + "\0ignored", errno.EINVAL)):
        info = pytest.raises(OSError, _zel.Reader, name)  # EINVAL: refused, not cut short
        assert info.value.errno == code and info.value.args[0].startswith(name + ": ")
    # A panic reaches Python as PanicException with the message whole (the C++ tests
    # read each header refusal); not an Exception, so `except Exception` lets it through.
    path = tmp_path / "t.zel"
    path.write_bytes(b"RIFF" + header(system_columns)[4:])
    info = pytest.raises(PANIC, _zel.Reader, str(path))
    assert type(info.value) is PANIC and PANIC.__bases__ == (BaseException,)
    stream = "assertion `left == right` failed: not a .zel stream"
    assert info.value.args == (f"{stream}\n  left: {list(b'RIFF')}\n right: {list(b'ZEL1')}",)
    sys_values = [1.0] * len(system_columns)
    # A declaration out of order is dropped, and reading goes on after it.
    path.write_bytes(header(system_columns) + decl(9, "skip") + frame(sys_values))
    r = _zel.Reader(str(path))
    with pytest.raises(PANIC, match="out-of-order .zel column declaration\n  left: 9\n right: 8$"):
        next(r)
    assert [f.system for f in r] == [sys_values] and r.user_columns == []

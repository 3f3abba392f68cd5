import errno
import os

import pytest

import _zel
from streams import SYSTEM_COLUMNS, blob, decl, frame, header, sys_values


def write(path, data):
    path.write_bytes(data)
    return str(path)


def expect_panic(fn, fragment):
    with pytest.raises(BaseException) as info:
        fn()
    assert type(info.value).__name__ == "PanicException"
    assert fragment in str(info.value)
    return str(info.value)


def test_missing_file_names_the_path_and_the_os_error(tmp_path):
    path = str(tmp_path / "absent.zel")
    with pytest.raises(OSError) as info:
        _zel.Reader(path)
    text = info.value.args[0]
    assert len(info.value.args) == 1
    assert text.startswith(path + ": ")
    assert text.endswith(f" (os error {errno.ENOENT})")
    assert os.strerror(errno.ENOENT) in text


def test_short_files_fail_to_fill_the_buffer(tmp_path):
    for i, data in enumerate([b"", header()[:50]]):
        path = write(tmp_path / f"short{i}.zel", data)
        with pytest.raises(OSError) as info:
            _zel.Reader(path)
        assert info.value.args == (path + ": failed to fill whole buffer",)


def test_wrong_magic_and_version_are_panics(tmp_path):
    bad = write(tmp_path / "m.zel", b"RIFF" + header()[4:])
    assert expect_panic(lambda: _zel.Reader(bad), "not a .zel stream") == (
        "assertion `left == right` failed: not a .zel stream\n"
        "  left: [82, 73, 70, 70]\n right: [90, 69, 76, 49]"
    )
    v3 = write(tmp_path / "v.zel", header(version=3))
    expect_panic(lambda: _zel.Reader(v3), "unsupported .zel version\n  left: 3\n right: 2")


def test_header_only_stream(tmp_path):
    r = _zel.Reader(write(tmp_path / "h.zel", header(flame=True)))
    assert list(r) == []
    assert r.columns == SYSTEM_COLUMNS
    assert r.user_columns == []
    assert r.flame_enabled is True
    assert iter(r) is r


def test_frames_with_named_user_values_in_order(tmp_path):
    data = header() + decl(8, "fps", "Hz") + frame(sys_values(1.0), [(8, 60.0)])
    data += decl(9, "loss") + frame(sys_values(2.0), [(9, 0.25), (8, 59.0)], flame=b"PFD4xyz")
    r = _zel.Reader(write(tmp_path / "f.zel", data))
    frames = list(r)
    assert [f.system for f in frames] == [sys_values(1.0), sys_values(2.0)]
    assert frames[0].user == {"fps": 60.0}
    assert frames[1].user == {"fps": 59.0, "loss": 0.25}
    assert frames[0].flame is None and frames[1].flame == b"PFD4xyz"
    assert r.user_columns == [("fps", "Hz"), ("loss", "")]
    assert r.flame_enabled is False  # the header's flag, whatever frames carry


def test_user_keys_sorted_and_last_duplicate_wins(tmp_path):
    data = header() + decl(8, "zeta") + decl(9, "alpha") + decl(10, "mid")
    data += frame(sys_values(), [(8, 1.0), (9, 2.0), (10, 3.0), (9, 4.0)])
    (f,) = _zel.Reader(write(tmp_path / "s.zel", data))
    assert list(f.user) == ["alpha", "mid", "zeta"]
    assert f.user["alpha"] == 4.0


def test_returned_objects_are_fresh_copies_and_attributes_read_only(tmp_path):
    data = header() + decl(8, "fps") + frame(sys_values(1.0), [(8, 60.0)])
    r = _zel.Reader(write(tmp_path / "c.zel", data))
    (f,) = r
    f.system.append(99.0)
    f.user["x"] = 1.0
    r.columns.clear()
    assert f.system == sys_values(1.0) and f.user == {"fps": 60.0}
    assert len(r.columns) == 8
    for obj, attr in [(f, "system"), (f, "flame"), (r, "columns"), (r, "flame_enabled")]:
        with pytest.raises(AttributeError):
            setattr(obj, attr, None)


def test_growing_file_resumes_after_exhaustion(tmp_path):
    path = tmp_path / "g.zel"
    first = header() + frame(sys_values(1.0))
    rest = decl(8, "fps") + frame(sys_values(2.0), [(8, 30.0)]) + frame(sys_values(3.0))
    cut = len(rest) - 5  # leaves the last frame incomplete
    path.write_bytes(first + rest[:10])
    r = _zel.Reader(str(path))
    assert [f.system[0] for f in r] == [1.0]
    with open(path, "ab") as out:
        out.write(rest[10:cut])
    assert [f.system[0] for f in r] == [2.0]
    assert r.user_columns == [("fps", "")]
    assert list(r) == []
    with open(path, "ab") as out:
        out.write(rest[cut:])
    assert [f.system[0] for f in r] == [3.0]


def test_damaged_records_raise_panics_and_reading_can_go_on(tmp_path):
    # A damaged blob fails on every call: the reader stays in front of it.
    r = _zel.Reader(write(tmp_path / "t.zel", header() + blob(bytes([7, 0])) + frame(sys_values())))
    for _ in range(2):
        expect_panic(lambda: next(r), "unknown .zel record tag 7")
    # A bad declaration is dropped and iteration continues after it.
    data = header() + decl(9, "skip") + frame(sys_values(5.0))
    r = _zel.Reader(write(tmp_path / "o.zel", data))
    expect_panic(lambda: next(r), "out-of-order .zel column declaration\n  left: 9\n right: 8")
    assert [f.system[0] for f in r] == [5.0]
    assert r.user_columns == []


def test_path_with_a_nul_byte_is_refused_not_truncated(tmp_path):
    real = write(tmp_path / "real.zel", header())
    with pytest.raises(OSError) as info:
        _zel.Reader(real + "\0ignored")
    assert info.value.args[0].endswith(f": Invalid argument (os error {errno.EINVAL})")

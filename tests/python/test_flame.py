"""zel.flame on flame frames the session capture records: scope trees per thread,
nested times, self times, and refusal of anything but a whole flame frame."""

import threading
import time

import pytest
from recording import tree

from zel import Scope, flame


def test_decode_gives_the_scopes_opened_with_their_times(capture):
    capture.scopes()  # start from a fresh frame

    def worker():
        with Scope("load"):
            with Scope("parse"):
                time.sleep(0.002)

    began = time.perf_counter_ns()
    with Scope("update"):
        with Scope("physics"):
            with Scope("collide"):
                time.sleep(0.003)
        with Scope("draw"):
            t = threading.Thread(target=worker)
            t.start()
            t.join()
    elapsed = time.perf_counter_ns() - began
    raw = capture.next_frame().flame
    frame = flame.decode(raw)
    assert sorted(tree(t.scopes) for t in frame.threads) == [
        [("load", [("parse", [])])],
        [("update", [("physics", [("collide", [])]), ("draw", [])])],
    ]
    assert [t.name for t in frame.threads] == ["", ""]
    main = next(t for t in frame.threads if t.scopes[0].name == "update")
    assert [(s.name, d) for s, d in flame.walk(main.scopes, 1)] == [
        ("update", 1),
        ("physics", 2),
        ("collide", 3),
        ("draw", 2),
    ]
    scopes = {s.name: (s, d) for t in frame.threads for s, d in flame.walk(t.scopes)}
    for s, _ in scopes.values():
        assert not s.open and frame.start_ns <= s.start_ns <= s.stop_ns <= frame.stop_ns
        last = s.start_ns
        for child in s.children:  # children in order, within their parent
            assert last <= child.start_ns and child.stop_ns <= s.stop_ns
            last = child.stop_ns
    assert scopes["collide"][0].duration_ns >= 3e6 and scopes["parse"][0].duration_ns >= 2e6
    assert scopes["update"][0].duration_ns <= elapsed
    assert scopes["draw"][0].self_ns == scopes["draw"][0].duration_ns  # its thread is another
    assert scopes["physics"][0].self_ns == (
        scopes["physics"][0].duration_ns - scopes["collide"][0].duration_ns
    )
    own = flame.self_times(frame)  # by name, largest first
    assert own == {name: s.self_ns for name, (s, _) in scopes.items()}
    assert list(own.values()) == sorted(own.values(), reverse=True)

    # Every strict prefix and a flipped magic are refused with FlameError.
    for n in range(len(raw)):
        with pytest.raises(flame.FlameError):
            flame.decode(raw[:n])
    with pytest.raises(flame.FlameError, match="magic"):
        flame.decode(b"X" + raw[1:])
    assert issubclass(flame.FlameError, ValueError)

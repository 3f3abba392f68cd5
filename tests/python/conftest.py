import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from recording import SessionCapture  # noqa: E402


@pytest.fixture(scope="session", autouse=True)
def capture(tmp_path_factory):
    """The test process records, with a flame frame on every frame, from the start;
    tests that need another configuration run in a child process."""
    return SessionCapture(tmp_path_factory.mktemp("session") / "tests.zel")

"""Fixtures of the tarvo module's tests; they run under tarvo-vcam (see python/CMakeLists.txt)."""

import pytest

import tarvo


@pytest.fixture
def cam():
    with tarvo.open() as camera:
        yield camera


@pytest.fixture
def slow_cam(cam):
    """A camera streaming one frame per second, so that waits for a frame run out."""
    cam.set_param(12, (1).to_bytes(4, "little"))
    yield cam
    cam.stop()

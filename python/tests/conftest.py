"""Fixtures of the tarvo module's tests; they run under tarvo-vcam (see python/CMakeLists.txt)."""

import os

import pytest

import tarvo


def scene_number(kind, what):
    """The number of the virtual camera's scene TARVO_VCAM_SCENE=kind:N; skips the test under
    any other scene."""
    scene = os.environ.get("TARVO_VCAM_SCENE", "")
    if not scene.startswith(kind + ":"):
        pytest.skip(f"needs tarvo-vcam --scene {kind}:{what}")
    return float(scene.split(":")[1])


@pytest.fixture(scope="module")
def sphere_radius():
    return scene_number("sphere", "R")


@pytest.fixture(scope="module")
def wall_depth():
    return scene_number("wall", "Z")


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


@pytest.fixture
def frame(cam):
    """A frame of the camera after the first ones."""
    return list(cam.frames(3))[-1]

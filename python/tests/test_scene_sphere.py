"""Distance and gray images of the virtual camera's sphere scene (TARVO_VCAM_SCENE=sphere:R):
every pixel sees a surface R metres away."""

import os

import numpy as np
import pytest

import tarvo


@pytest.fixture(scope="module")
def radius():
    scene = os.environ.get("TARVO_VCAM_SCENE", "")
    if not scene.startswith("sphere:"):
        pytest.skip("needs tarvo-vcam --scene sphere:R")
    return float(scene.split(":")[1])


@pytest.fixture
def frame(cam):
    frames = list(cam.frames(3))
    return frames[-1]


def test_distance_matches_the_scene(radius, frame):
    d = frame.distance()
    assert d.shape == (240, 320) and d.dtype == np.float32
    assert d.flags.c_contiguous and d.flags.writeable and d.flags.owndata is False
    valid = d[d < 60.0]
    assert valid.size > 0.9 * d.size
    assert np.median(valid) == pytest.approx(radius, abs=0.01)
    assert np.abs(valid - radius).max() < 0.05


def test_gray_is_the_amplitude(radius, frame):
    g = frame.gray()
    assert g.shape == (240, 320) and g.dtype == np.float32
    assert np.median(g) > 0


def test_images_of_a_frame_after_its_camera_closed(radius, cam):
    frame = next(iter(cam.frames(1)))
    cam.close()
    with pytest.raises(tarvo.Error, match="closed"):
        frame.distance()
    assert frame.raw.size == frame.size  # the bytes stay usable

"""Distance and gray images of the virtual camera's sphere scene (TARVO_VCAM_SCENE=sphere:R):
every pixel sees a surface R metres away."""

import numpy as np
import pytest

import tarvo


def test_distance_matches_the_scene(sphere_radius, frame):
    d = frame.distance()
    assert d.shape == (240, 320) and d.dtype == np.float32
    assert d.flags.c_contiguous and d.flags.writeable and d.flags.owndata is False
    valid = d[d < 60.0]
    assert valid.size > 0.9 * d.size
    assert np.median(valid) == pytest.approx(sphere_radius, abs=0.01)
    assert np.abs(valid - sphere_radius).max() < 0.05


def test_gray_is_the_amplitude(sphere_radius, frame):
    g = frame.gray()
    assert g.shape == (240, 320) and g.dtype == np.float32
    assert np.median(g) > 0


def test_colorize_maps_the_distance_into_the_range(sphere_radius, frame):
    rgb = frame.colorize(range_m=(0.5, 4.0))
    assert rgb.shape == (240, 320, 3) and rgb.dtype == np.uint8
    assert (rgb.reshape(-1, 3).max(axis=1) > 0).mean() > 0.9
    # The same colours from the array, and none beyond the range's far end.
    assert np.array_equal(tarvo.colorize(frame.distance(), range_m=(0.5, 4.0)), rgb)
    far = tarvo.colorize(np.full((2, 3), 9.0, np.float32), range_m=(0.5, 4.0))
    assert not far.any()


def test_images_of_a_frame_after_its_camera_closed(sphere_radius, cam):
    frame = next(iter(cam.frames(1)))
    cam.close()
    # Decoded by the camera as it closed.
    assert frame.distance().shape == frame.gray().shape == (240, 320)
    assert frame.point_cloud().shape[0] > 0
    assert frame.colorize().shape == (240, 320, 3)
    assert frame.raw.size == frame.size


def test_colorize_refuses_bad_ranges():
    image = np.zeros((2, 2), np.float32)
    for bad in [(1.0, 1.0), (-1.0, 2.0), (float("nan"), 1.0)]:
        with pytest.raises(ValueError):
            tarvo.colorize(image, range_m=bad)
    with pytest.raises(ValueError):
        tarvo.colorize(np.zeros(4, np.float32))

"""Point clouds of the virtual camera's wall scene (TARVO_VCAM_SCENE=wall:Z): a plane
perpendicular to the optical axis Z metres away."""

import numpy as np
import pytest


def plane_of(points):
    centre = points.mean(axis=0)
    _, _, vt = np.linalg.svd(points - centre, full_matrices=False)
    normal = vt[-1] * np.sign(vt[-1][2])
    return normal, float(normal @ centre), np.abs((points - centre) @ normal)


def test_the_wall_comes_back_flat(wall_depth, frame):
    cloud = frame.point_cloud()
    assert cloud.ndim == 2 and cloud.shape[1] == 3 and cloud.dtype == np.float32
    assert cloud.shape[0] > 0.8 * frame.width * frame.height
    normal, offset, residual = plane_of(cloud.astype(np.float64))
    assert offset == pytest.approx(wall_depth, abs=0.02)
    assert normal[2] > 0.999
    assert np.sqrt(np.mean(residual**2)) < 0.01
    assert np.median(cloud[:, 2]) == pytest.approx(wall_depth, abs=0.02)


def test_coloured_points_carry_a_colour_word(wall_depth, cam):
    frame = next(iter(cam.frames(1)))
    plain = frame.point_cloud()
    coloured = frame.point_cloud(colour=True)
    assert coloured.shape == (plain.shape[0], 4)
    assert np.allclose(coloured[:, :3], plain, atol=1e-6)
    words = coloured[:, 3].astype(np.uint32)
    assert (words > 0).mean() > 0.9 and (words >> 24 == 0).all()


def test_organized_cloud_has_nan_exactly_where_pixels_are_invalid(wall_depth, cam):
    # The wall is lit less towards the edges: an amplitude floor at the median leaves about
    # half of the pixels valid.
    cam.min_amplitude = int(np.median(next(iter(cam.frames(1))).gray()))
    frame = list(cam.frames(3))[-1]
    points, valid = frame.point_cloud(organized=True)
    assert points.shape == (240, 320, 3) and points.dtype == np.float32
    assert valid.shape == (240, 320) and valid.dtype == np.bool_
    assert 0 < valid.sum() < valid.size
    assert (np.isnan(points).all(axis=2) == ~valid).all()
    assert not np.isnan(points[valid]).any()
    assert np.array_equal(points[valid], frame.point_cloud())
    coloured, coloured_valid = frame.point_cloud(colour=True, organized=True)
    assert coloured.shape == (240, 320, 4) and np.array_equal(coloured_valid, valid)

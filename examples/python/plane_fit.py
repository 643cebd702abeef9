#!/usr/bin/env python3
"""Captures a point cloud and fits the dominant plane (the wall) with numpy.

    tarvo-vcam -- /usr/bin/python3 examples/python/plane_fit.py

Prints the plane's distance from the camera and its normal. RANSAC finds the plane that most
points lie on (objects before the wall do not pull it), then a least-squares fit refines it.
"""

import argparse
import sys

import numpy as np

import _tarvo_path  # noqa: F401  (the build tree's package when tarvo is not installed)
import tarvo


def fit_plane(points):
    """Least-squares plane through points: (unit normal, offset) with normal . p = offset."""
    centre = points.mean(axis=0)
    _, _, vt = np.linalg.svd(points - centre, full_matrices=False)
    normal = vt[-1]
    return normal, float(normal @ centre)


def ransac_plane(points, tolerance, rounds, rng):
    """The plane with the most points within `tolerance` metres, refined on those points."""
    best = np.zeros(len(points), dtype=bool)
    for _ in range(rounds):
        sample = points[rng.choice(len(points), 3, replace=False)]
        normal = np.cross(sample[1] - sample[0], sample[2] - sample[0])
        length = np.linalg.norm(normal)
        if length < 1e-9:
            continue
        normal /= length
        inliers = np.abs(points @ normal - normal @ sample[0]) < tolerance
        if inliers.sum() > best.sum():
            best = inliers
    normal, offset = fit_plane(points[best])
    return normal, offset, best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=3, help="frames to average")
    parser.add_argument("--tolerance", type=float, default=0.02, help="inlier distance, metres")
    args = parser.parse_args()

    try:
        with tarvo.open() as cam:
            clouds = [frame.point_cloud() for frame in cam.frames(args.frames)]
    except tarvo.Error as e:
        print(f"plane_fit: {e} ({e.name})", file=sys.stderr)
        return 1
    points = np.concatenate(clouds).astype(np.float64)
    if len(points) < 3:
        print("plane_fit: too few valid points", file=sys.stderr)
        return 1

    normal, offset, inliers = ransac_plane(points, args.tolerance, 200, np.random.default_rng(1))
    if offset > 0:  # the normal faces the camera
        normal, offset = -normal, -offset
    residual = np.abs(points[inliers] @ normal - offset)
    print(f"wall distance: {-offset:.3f} m")
    print(f"wall normal: ({normal[0]:+.4f}, {normal[1]:+.4f}, {normal[2]:+.4f})")
    print(
        f"{inliers.sum()} of {len(points)} points on the plane, "
        f"rms {np.sqrt(np.mean(residual**2)) * 1000:.1f} mm"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())

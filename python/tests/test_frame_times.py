"""Frame times: host arrival clocks, sequence and lost frames (run under tarvo-vcam --fps 50)."""

import os
import statistics
import time

import tarvo


def test_frames_are_stamped_at_the_camera_frame_period(cam):
    fps = int(os.environ.get("TARVO_VCAM_FPS", "30"))
    wall_before = time.time_ns()
    frames = list(cam.frames(30))
    wall_after = time.time_ns()
    stamps = [f.timestamp_ns for f in frames]
    assert all(b > a for a, b in zip(stamps, stamps[1:]))
    assert all(wall_before <= f.time_ns <= wall_after for f in frames)
    for prev, cur in zip(frames, frames[1:]):
        assert cur.sequence == prev.sequence + 1 + cur.lost_before
    # Spacing per camera frame, in frame periods: generous bounds for a busy machine.
    period = 1e9 / fps
    spacing = [
        (b.timestamp_ns - a.timestamp_ns) / period / (b.sequence - a.sequence)
        for a, b in zip(frames, frames[1:])
    ]
    assert 0.5 < statistics.median(spacing) < 2.0
    span = (frames[-1].timestamp_ns - frames[0].timestamp_ns) / period
    assert 0.5 < span / (frames[-1].sequence - frames[0].sequence) < 2.0

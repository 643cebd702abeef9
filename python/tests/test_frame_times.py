"""Frame times: host arrival clocks, sequence and lost frames (run under tarvo-vcam --fps 50)."""

import os
import time

import tarvo


def test_frames_are_stamped_at_the_camera_frame_period(cam):
    fps = int(os.environ.get("TARVO_VCAM_FPS", "30"))
    wall_before = time.time_ns()
    mono_before = time.monotonic_ns()  # CLOCK_MONOTONIC, the clock of timestamp_ns
    frames = list(cam.frames(30))
    wall_after = time.time_ns()
    stamps = [f.timestamp_ns for f in frames]
    assert all(b > a for a, b in zip(stamps, stamps[1:]))
    assert all(wall_before <= f.time_ns <= wall_after for f in frames)
    for prev, cur in zip(frames, frames[1:]):
        assert cur.sequence == prev.sequence + 1 + cur.lost_before
    # The camera sends frame k no earlier than k periods after capture started (a host that
    # falls behind only delays frames): the stamps are arrivals, not fetch or start times. No
    # upper bound, since a busy host may delay any frame.
    period = (1_000_000 // fps) * 1000  # the camera paces in whole microseconds
    for f in frames:
        assert f.timestamp_ns - mono_before >= f.sequence * period

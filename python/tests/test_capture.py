"""Capture: frames as objects with numpy views, iteration, time-outs and errors."""

import gc
import threading
import time

import numpy as np
import pytest

import tarvo


def test_frames_describe_the_camera_stream(cam):
    frames = list(cam.frames(3))
    assert len(frames) == 3
    for f in frames:
        assert (f.format, f.width, f.height, f.pixel_size) == (2, 320, 240, 8)
        assert f.size == len(f) == 320 * 240 * 8
        assert f.raw.shape == (f.size,) and f.raw.dtype == np.uint8
        # Each frame's own stream header: the virtual camera sends 40.0 and 38.4 degrees.
        assert f.temperatures == (40.0, 38.4)
        assert all(isinstance(t, float) for t in f.temperatures)
    indices = [f.index for f in frames]
    assert indices == sorted(indices) and len(set(indices)) == 3


def test_raw_is_a_read_only_view_that_keeps_the_frame(cam):
    frame = next(iter(cam.frames(1)))
    raw = frame.raw
    assert not raw.flags.writeable and not raw.flags.owndata
    with pytest.raises(ValueError):
        raw[0] = 1
    view = memoryview(frame)
    assert view.readonly and view.nbytes == frame.size
    assert np.shares_memory(raw, np.frombuffer(view, dtype=np.uint8))
    expected = bytes(view[:64])
    del frame, view
    gc.collect()
    assert raw[:64].tobytes() == expected
    # Four planes of 16-bit DCS samples, 12 significant bits each.
    planes = raw.view("<u2").reshape(4, 240, 320)
    assert planes.max() < 4096


def test_frames_start_and_stop_capture_they_started(cam):
    assert not cam.capturing
    for _ in cam.frames(2):
        assert cam.capturing
    assert not cam.capturing
    stream = cam.frames()
    next(stream)
    stream.close()
    assert not cam.capturing
    with pytest.raises(StopIteration):
        next(stream)


def test_breaking_out_of_the_loop_stops_capture(cam):
    for _ in cam.frames():
        break
    gc.collect()
    assert not cam.capturing


def test_frames_leave_a_started_capture_running(cam):
    cam.start()
    assert len(list(cam.frames(2))) == 2
    assert cam.capturing
    frame = cam.read_frame()
    assert frame.size == 614400
    cam.stop()
    assert not cam.capturing


def test_reading_while_not_capturing_raises(cam):
    with pytest.raises(tarvo.Error, match="not running") as err:
        cam.read_frame()
    assert (err.value.code, err.value.name) == (-2, "TARVO_ERR_NOT_CAPTURING")


def _drain_until_timeout(cam, timeout):
    """Reads frames until one read runs out of time (the camera sends one per second)."""
    for _ in range(5):
        cam.read_frame(timeout)
    pytest.fail("every short wait found a frame at one frame per second")


def test_a_wait_that_runs_out_raises_timeout_error(slow_cam):
    slow_cam.start()
    slow_cam.read_frame(timeout=10)
    with pytest.raises(tarvo.TimeoutError) as err:
        _drain_until_timeout(slow_cam, 0.05)
    assert isinstance(err.value, TimeoutError) and isinstance(err.value, tarvo.Error)
    assert (err.value.code, err.value.name) == (-5, "TARVO_ERR_CAP_TIMEOUT")
    # The capture goes on after a time-out.
    assert slow_cam.read_frame(timeout=10).size == 614400


def test_the_interpreter_runs_on_while_a_read_waits(slow_cam):
    slow_cam.start()
    slow_cam.read_frame(timeout=10)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        begin = time.monotonic()
        with pytest.raises(tarvo.TimeoutError):
            _drain_until_timeout(slow_cam, 0.3)
        end = time.monotonic()
    finally:
        stop.set()
        ticker.join()
    # Held in the wait, the lock would let the ticker in only between two reads.
    assert sum(begin < t < end for t in ticks) > 10


def test_stop_from_another_thread_ends_a_wait(slow_cam):
    slow_cam.start()
    slow_cam.read_frame(timeout=10)
    threading.Timer(0.2, slow_cam.stop).start()
    with pytest.raises(tarvo.Error):
        for _ in range(5):
            slow_cam.read_frame(timeout=None)
    assert not slow_cam.capturing

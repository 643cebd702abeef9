"""Frames stay readable after their camera closed: the camera decodes its live frames before
its handle closes. Runs under tarvo-vcam with a still wall (TARVO_VCAM_SCENE=wall:Z, no noise:
every frame has the same pixels) and its control socket at TARVO_VCAM_CONTROL."""

import gc
import os
import socket
import threading

import numpy as np
import pytest

import tarvo


def results(frame):
    """Everything a frame decodes into, by name."""
    out = {"distance": frame.distance(), "gray": frame.gray(), "colorize": frame.colorize()}
    for colour in (False, True):
        out[f"cloud colour={colour}"] = frame.point_cloud(colour=colour)
        points, valid = frame.point_cloud(colour=colour, organized=True)
        out[f"organized colour={colour}"] = points
        out[f"valid colour={colour}"] = valid
    return out


def assert_same(got, expected):
    assert got.keys() == expected.keys()
    for name, array in expected.items():
        assert got[name].dtype == array.dtype, name
        assert np.array_equal(got[name], array, equal_nan=array.dtype.kind == "f"), name


@pytest.fixture
def still_wall(wall_depth):
    return wall_depth


def test_frames_decode_after_close_as_before(still_wall):
    with tarvo.open() as cam:
        # Some valid and some invalid pixels, so that the organized clouds hold NaN too.
        cam.min_amplitude = int(np.median(next(iter(cam.frames(1))).gray()))
        decoded, partly, untouched, reference = list(cam.frames(4))
        before = results(decoded)
        partly_distance = partly.distance()
        # The wall does not move: every frame decodes to the same results.
        assert_same(results(reference), before)
        assert 0 < before["valid colour=False"].sum() < before["valid colour=False"].size
    assert cam.closed
    del reference
    assert_same(results(decoded), before)
    assert_same(results(untouched), before)
    assert_same(results(partly), before)
    assert np.array_equal(partly.distance(), partly_distance)


def test_results_are_new_arrays_each_time(still_wall, frame):
    first = frame.distance()
    first[:] = 0
    assert frame.distance().any()


@pytest.mark.parametrize("how", ["close", "collect"])
def test_a_dropped_or_closed_camera_leaves_its_frames_readable(still_wall, how):
    cam = tarvo.open()
    frames = list(cam.frames(3))
    expected = results(frames[0])
    if how == "close":
        cam.close()
    else:
        del cam  # the frames do not keep their camera open
        gc.collect()
        with tarvo.open() as again:  # so it was closed
            again.get_param(12)
    for frame in frames:
        assert_same(results(frame), expected)


def test_frames_decoded_on_other_threads_while_the_camera_closes(still_wall):
    cam = tarvo.open()
    frames = list(cam.frames(12))
    expected = results(frames[0])
    got = {}
    errors = []

    def decode(mine):
        try:
            for frame in mine:
                got[id(frame)] = results(frame)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=decode, args=(frames[i::3],)) for i in range(3)]
    for t in threads:
        t.start()
    cam.close()
    for t in threads:
        t.join()
    assert not errors
    assert len(got) == len(frames)
    for each in got.values():
        assert_same(each, expected)


def test_a_frame_that_cannot_be_decoded_keeps_raising_after_close(still_wall):
    with tarvo.open() as cam:
        cam.set_param(10, bytes([0]))  # 2D mode: gray frames, which hold no distances
        try:
            frame = list(cam.frames(2))[-1]
        finally:
            cam.set_param(10, bytes([1]))  # back to time of flight for the next tests
        gray = frame.gray()
        with pytest.raises(tarvo.Error, match="format 0 cannot be decoded into distances"):
            frame.distance()
    assert np.array_equal(frame.gray(), gray)
    for decode in (frame.distance, frame.point_cloud, frame.distance):
        with pytest.raises(tarvo.Error, match="format 0 cannot be decoded into distances"):
            decode()


def control(line):
    """Sends one line to tarvo-vcam's control socket; its reply."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(os.environ["TARVO_VCAM_CONTROL"])
        s.sendall(line.encode() + b"\n")
        reply = b""
        while not reply.endswith(b"\n"):
            chunk = s.recv(256)
            if not chunk:
                break
            reply += chunk
    assert reply.startswith(b"ok"), reply
    return reply


def test_frames_of_a_camera_unplugged_mid_stream(still_wall):
    if "TARVO_VCAM_CONTROL" not in os.environ:
        pytest.skip("needs tarvo-vcam --control PATH with TARVO_VCAM_CONTROL=PATH")
    cam = tarvo.open()
    unplugged = False
    try:
        cam.start()
        decoded, untouched = cam.read_frame(), cam.read_frame()
        before = results(decoded)
        control("unplug 0")
        unplugged = True
        with pytest.raises(tarvo.Error):
            while True:  # frames fetched before the unplug may still come
                cam.read_frame(timeout=10.0)
        cam.close()
        assert_same(results(decoded), before)
        assert_same(results(untouched), before)
    finally:
        if unplugged:
            control("replug 0")
        cam.close()

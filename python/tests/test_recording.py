"""tarvo.Recording: the frames of recordings of a wall (TARVO_TEST_RECORDINGS holds depth.mcap,
points.mcap and raw.mcap, made by tarvo record under tarvo-vcam --scene wall:Z), decoded from
their raw frames without a camera, or read from their decoded depth while a camera is open, and
compared with a live frame of the same scene."""

import contextlib
import os
import signal
import subprocess
import sys

import numpy as np
import pytest

import tarvo


@pytest.fixture(scope="module")
def recordings():
    folder = os.environ.get("TARVO_TEST_RECORDINGS")
    if not folder:
        pytest.skip("needs TARVO_TEST_RECORDINGS (see python/CMakeLists.txt)")
    return folder


def centre(image):
    return image[image.shape[0] // 2, image.shape[1] // 2]


def test_frames_hold_the_recorded_wall_with_their_times(recordings, wall_depth):
    with tarvo.Recording(os.path.join(recordings, "depth.mcap")) as rec:
        assert len(rec) == 5
        assert rec.complete
        frames = list(rec)
    assert [f.number for f in frames] == list(range(5))
    for f in frames:
        assert f.decoded_from_raw
        d = f.distance()
        assert d.dtype == np.float32 and d.shape == (f.height, f.width)
        assert abs(centre(d) - wall_depth) < 0.02
    # The virtual camera's stream headers say 40.0 and 38.4 degrees.
    assert all(f.temperatures == (40.0, 38.4) for f in frames)
    for prev, cur in zip(frames, frames[1:]):
        assert cur.timestamp_ns > prev.timestamp_ns > 0
        assert cur.time_ns > prev.time_ns
        assert cur.sequence == prev.sequence + 1 + cur.lost_before


def test_recorded_frames_have_the_live_frames_shapes_and_conventions(recordings, frame):
    live_distance = frame.distance()
    rec = tarvo.Recording(os.path.join(recordings, "depth.mcap"))
    recorded = rec[-1]
    distance = recorded.distance()
    assert distance.shape == live_distance.shape and distance.dtype == live_distance.dtype
    # Invalid pixels carry the library's code as a live frame's do, never NaN.
    assert not np.isnan(distance).any()
    assert ((distance < 60) | (distance == np.float32(65.5))).all()
    assert abs(centre(distance) - centre(live_distance)) < 0.02
    for organized in (False, True):
        live, got = frame.point_cloud(organized=organized), recorded.point_cloud(organized=organized)
        if organized:
            assert got[0].shape == live[0].shape and got[1].shape == live[1].shape
            assert got[1].dtype == np.bool_
            assert np.isnan(got[0][~got[1]]).all()
        else:
            assert got.ndim == 2 and got.shape[1] == live.shape[1] == 3
            assert got.dtype == live.dtype == np.float32
    assert recorded.colorize().shape == distance.shape + (3,)


@pytest.mark.parametrize("name,camera_open",
                         [("depth.mcap", False), ("depth.mcap", True), ("points.mcap", True)])
def test_point_clouds_lie_on_the_wall(recordings, wall_depth, name, camera_open):
    # Decoded from raw frames: along the library's pixel rays. With a camera open: the recorded
    # depth along the recorded camera info's rays, or the recorded clouds. Flat to the edges.
    with contextlib.ExitStack() as stack:
        if camera_open:
            stack.enter_context(tarvo.open())
        points = tarvo.Recording(os.path.join(recordings, name))[0].point_cloud()
    assert len(points) > 0
    for q in (0.01, 0.5, 0.99):
        assert abs(np.quantile(points[:, 2], q) - wall_depth) < 0.03, q


def test_raw_frames_decode_as_the_recorded_depth(recordings):
    # Without a camera the library decodes the raw frames with the recording's calibration; with
    # one open the recorded depth is read. They are the same images, bit for bit: the recording
    # carries what the live decode used.
    path = os.path.join(recordings, "depth.mcap")
    decoded = [(f.decoded_from_raw, f.distance()) for f in tarvo.Recording(path)]
    with tarvo.open():
        recorded = [(f.decoded_from_raw, f.distance()) for f in tarvo.Recording(path)]
    assert [d[0] for d in decoded] == [True] * 5 and [r[0] for r in recorded] == [False] * 5
    for (_, d), (_, r) in zip(decoded, recorded):
        np.testing.assert_array_equal(d, r)


def test_a_camera_used_before_leaves_the_decode_alone(recordings):
    # The pipeline is shared by the process: a camera switched to another modulation frequency
    # must not change how a recording's raw frames decode after it.
    path = os.path.join(recordings, "depth.mcap")
    before = tarvo.Recording(path)[0].distance()
    with tarvo.open() as camera:
        camera.modulation_frequency = 24000
    np.testing.assert_array_equal(tarvo.Recording(path)[0].distance(), before)


def test_raw_only_recording_decodes_without_a_camera(recordings, wall_depth):
    path = os.path.join(recordings, "raw.mcap")
    frames = list(tarvo.Recording(path))
    assert len(frames) == 2
    for f in frames:
        assert f.decoded_from_raw and f.timestamp_ns > 0
        assert abs(centre(f.distance()) - wall_depth) < 0.02
        gray = f.gray()
        assert gray.shape == (f.height, f.width) and centre(gray) > 0
        points, valid = f.point_cloud(organized=True)
        assert points.shape == (f.height, f.width, 3)
        assert abs(np.median(points[valid][:, 2]) - wall_depth) < 0.02
    # The library's pipeline serves one camera: while one is open, raw frames cannot be decoded.
    with tarvo.open():
        with pytest.raises(tarvo.Error, match="raw frames cannot be decoded.*camera open"):
            tarvo.Recording(path)


def test_frames_of_recorded_depth_have_no_gray_and_colour_is_refused(recordings, cam):
    f = tarvo.Recording(os.path.join(recordings, "depth.mcap"))[0]
    assert not f.decoded_from_raw
    with pytest.raises(tarvo.Error, match="holds no gray"):
        f.gray()
    with pytest.raises(tarvo.Error, match="without colour"):
        f.point_cloud(colour=True)


def test_damaged_or_missing_files_raise(recordings, tmp_path):
    whole = open(os.path.join(recordings, "depth.mcap"), "rb").read()
    cut = tmp_path / "cut.mcap"
    cut.write_bytes(whole[:100])
    garbage = tmp_path / "garbage.mcap"
    garbage.write_bytes(b"not a recording" * 10)
    for path in (cut, garbage, tmp_path / "missing.mcap"):
        with pytest.raises(tarvo.Error, match=str(path)):
            tarvo.Recording(str(path))


def test_closed_recording_keeps_taken_frames(recordings):
    rec = tarvo.Recording(os.path.join(recordings, "depth.mcap"))
    first = rec[0]
    with pytest.raises(IndexError):
        rec[5]
    rec.close()
    with pytest.raises(tarvo.Error, match="closed"):
        len(rec)
    assert first.distance().shape == (first.height, first.width)
    assert first.point_cloud().shape[1] == 3
    # Taken frames do not hold the library's pipeline: a camera opens beside them.
    with tarvo.open():
        assert first.gray().shape == (first.height, first.width)


# Ctrl-C while a recording's raw frames are decoded. The child takes the next frame only when the
# test writes a line, and the test writes one and then sends SIGINT: the signal lands in the
# decode of that frame or in the wait after it, and never after the last frame, so only the
# interrupt can end the child. Each way of reading frames, with and without a with block.
INTERRUPTED_READS = {
    "iteration": "for frame in rec:\n    step(frame)",
    "index": "for i in range(len(rec)):\n    step(rec[i])",
    "list": "frames = [step(f) for f in rec]",
}

INTERRUPTED_CHILD = """
import sys, tarvo
def step(frame):
    frame.distance(), frame.point_cloud()
    print("frame", flush=True)
    sys.stdin.readline()
{opening}
{reads}
"""


@pytest.mark.parametrize("reads", sorted(INTERRUPTED_READS))
@pytest.mark.parametrize("opening", ["with", "plain"])
def test_ctrl_c_ends_decoding_and_leaves_no_files(recordings, tmp_path, reads, opening):
    path = os.path.join(recordings, "depth.mcap")
    body = INTERRUPTED_READS[reads]
    if opening == "with":
        opening_line = f"with tarvo.Recording({path!r}) as rec:"
        body = "\n".join("    " + line for line in body.splitlines())
    else:
        opening_line = f"rec = tarvo.Recording({path!r})"
    work, temp = tmp_path / "work", tmp_path / "tmp"
    work.mkdir()
    temp.mkdir()
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_CHILD.format(opening=opening_line, reads=body)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        cwd=work, env=dict(os.environ, TMPDIR=str(temp)))
    try:
        assert child.stdout.readline() == "frame\n"
        assert any(temp.iterdir()), "the recording's calibration files are unpacked"
        child.stdin.write("\n")
        child.stdin.flush()
        os.kill(child.pid, signal.SIGINT)
        out, err = child.communicate()
    finally:
        child.kill()
    assert child.returncode == -signal.SIGINT, err
    assert "KeyboardInterrupt" in err
    assert out in ("", "frame\n")
    assert list(work.iterdir()) == []
    assert list(temp.iterdir()) == [], "the calibration folder is removed"


# list(rec) and the like call the iterator from C, where Python looks for signals only when they
# are done: Ctrl-C must end them at the frame in hand, not after the whole recording. A thread
# sends SIGINT while the first frame decodes (the only moment the main thread lets it run:
# its switch interval is made longer than the test), and the iterator is left at frame 1.
INTERRUPTED_LIST_CHILD = """
import os, signal, sys, threading, tarvo
sys.setswitchinterval(1000)
gate = threading.Lock()
gate.acquire()
def interrupt():
    with gate:
        os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt).start()
it = iter(tarvo.Recording(sys.argv[1]))
try:
    gate.release()
    list(it)
    print("not interrupted")
except KeyboardInterrupt:
    rest = list(it)
    print("interrupted, next frame", rest[0].number if rest else "none")
"""


def test_ctrl_c_ends_a_list_of_a_recording_at_the_frame_in_hand(recordings):
    out = subprocess.run(
        [sys.executable, "-c", INTERRUPTED_LIST_CHILD, os.path.join(recordings, "depth.mcap")],
        stdout=subprocess.PIPE, text=True).stdout
    assert out == "interrupted, next frame 1\n"

"""Frame files: saving numpy images, reading them back frame by frame, and the file format
that the library's own C functions write and read."""

import numpy as np
import pytest

import tarvo


@pytest.fixture
def images():
    rng = np.random.default_rng(3)
    return rng.uniform(0.2, 5.0, size=(3, 4, 5)).astype(np.float32)


def test_distance_f32_round_trips_exactly(tmp_path, images):
    path = str(tmp_path / "d.zrd")
    tarvo.save_distance(path, images)
    data = open(path, "rb").read()
    assert data == b"ZR_DIST,F32,5,4\n" + images.astype("<f4").tobytes()
    back = list(tarvo.load_distance(path))
    assert len(back) == 3
    for a, b in zip(back, images):
        assert a.shape == (4, 5) and a.dtype == np.float32
        assert np.array_equal(a, b)


@pytest.mark.parametrize("fmt, dtype", [("u16", "<u2"), ("u32", "<u4")])
def test_distance_in_millimetres(tmp_path, images, fmt, dtype):
    path = str(tmp_path / "d.zrd")
    tarvo.save_distance(path, images[0], format=fmt)
    data = open(path, "rb").read()
    header = f"ZR_DIST,{fmt.upper()},5,4\n".encode()
    assert data.startswith(header)
    millimetres = np.frombuffer(data[len(header):], dtype=dtype).reshape(4, 5)
    assert np.array_equal(millimetres, np.trunc(images[0].astype(np.float64) * 1000).astype(dtype))
    (back,) = tarvo.load_distance(path)
    assert np.allclose(back, millimetres / 1000.0)


def test_gray_round_trips(tmp_path):
    gray = np.array([[0, 1, 255], [256, 1000, 65535]], np.float32)
    path16, path8 = str(tmp_path / "g16.zrg"), str(tmp_path / "g8.zrg")
    tarvo.save_gray(path16, np.stack([gray, gray + 1]))
    tarvo.save_gray(path8, gray, format="u8")
    assert open(path16, "rb").read(18) == b"ZR_GRAY,U16,3,2\n" + b"\x00\x00"
    back = list(tarvo.load_gray(path16))
    wrapped = [[1, 2, 256], [257, 1001, 0]]  # 65536 is cut to 16 bits
    assert [b.tolist() for b in back] == [gray.tolist(), wrapped]
    (back8,) = tarvo.load_gray(path8)
    assert back8.tolist() == [[0, 1, 255], [0, 232, 255]]  # cut to 8 bits, not clamped


def test_a_file_written_by_hand_in_the_format_loads(tmp_path):
    path = tmp_path / "hand.zrd"
    values = np.arange(6, dtype="<u2").reshape(2, 3) * 1000
    path.write_bytes(b"ZR_DIST,U16,3,2\n" + values.tobytes() * 2)
    frames = list(tarvo.load_distance(str(path)))
    assert len(frames) == 2
    assert np.allclose(frames[1], values / 1000.0)


def test_appending_adds_frames_after_one_header(tmp_path, images):
    path = str(tmp_path / "a.zrd")
    tarvo.save_distance(path, images[0], append=True)
    tarvo.save_distance(path, images[1:], append=True)
    assert open(path, "rb").read().count(b"ZR_DIST") == 1
    assert len(list(tarvo.load_distance(path))) == 3
    with pytest.raises(ValueError):
        tarvo.save_distance(path, np.zeros((2, 2), np.float32), append=True)


def test_two_files_read_alternately_keep_their_own_size(tmp_path):
    small, large = str(tmp_path / "s.zrd"), str(tmp_path / "l.zrd")
    tarvo.save_distance(small, np.ones((2, 2, 2), np.float32))
    tarvo.save_distance(large, np.full((2, 3, 4), 2.0, np.float32))
    a, b = tarvo.load_distance(small), tarvo.load_distance(large)
    for _ in range(2):
        assert next(a).shape == (2, 2)
        assert next(b).shape == (3, 4)
    with pytest.raises(StopIteration):
        next(a)


def test_bad_files_and_arguments(tmp_path):
    with pytest.raises(tarvo.Error):
        tarvo.load_distance(str(tmp_path / "missing.zrd"))
    junk = tmp_path / "junk.zrd"
    junk.write_bytes(b"ZR_DIST,F32,0,7\n")
    with pytest.raises(tarvo.Error, match="not a ZR_DIST frame file"):
        tarvo.load_distance(str(junk))
    gray_file = tmp_path / "g.zrg"
    tarvo.save_gray(str(gray_file), np.zeros((2, 2), np.float32))
    with pytest.raises(tarvo.Error):
        tarvo.load_distance(str(gray_file))
    truncated = tmp_path / "t.zrd"
    truncated.write_bytes(b"ZR_DIST,F32,2,2\n" + bytes(16 + 5))
    reader = tarvo.load_distance(str(truncated))
    next(reader)
    with pytest.raises(tarvo.Error, match="ends inside a frame"):
        next(reader)
    with pytest.raises(ValueError):
        tarvo.save_distance(str(tmp_path / "x.zrd"), np.zeros((2, 2)), format="f64")
    with pytest.raises(ValueError):
        tarvo.save_gray(str(tmp_path / "x.zrg"), np.zeros(4))
    # A failed save leaves no file behind.
    with pytest.raises(tarvo.Error):
        tarvo.save_distance(str(tmp_path / "no" / "dir.zrd"), np.zeros((2, 2)))
    assert not list((tmp_path).glob("x.*"))


def test_frames_of_the_camera_round_trip(tmp_path, cam):
    path = str(tmp_path / "cam.zrd")
    distances = [f.distance() for f in cam.frames(2)]
    tarvo.save_distance(path, np.stack(distances))
    back = list(tarvo.load_distance(path))
    assert all(np.array_equal(a, b) for a, b in zip(back, distances))


def test_saving_to_a_fifo_writes_into_it_and_a_planted_link_is_not_followed(tmp_path, images):
    import os

    # A FIFO is written in place (here: held open for reading), never replaced by a file.
    fifo = tmp_path / "pipe.zrd"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        tarvo.save_distance(str(fifo), images[0], format="u16")
        data = os.read(reader, 1 << 16)
    finally:
        os.close(reader)
    assert len(data) >= 4 * 5 * 2  # the samples (a pipe has no start to put a header at)
    assert fifo.is_fifo()
    # A FIFO nobody reads is refused at once.
    with pytest.raises(tarvo.Error, match="nobody reads"):
        tarvo.save_distance(str(fifo), images[0])
    # A link where the file used to be staged is not written through.
    victim = tmp_path / "victim"
    victim.write_bytes(b"keep")
    target = tmp_path / "out.zrd"
    os.symlink(victim, str(target) + ".tmp")
    tarvo.save_distance(str(target), images)
    assert victim.read_bytes() == b"keep"
    assert len(list(tarvo.load_distance(str(target)))) == 3

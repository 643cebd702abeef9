"""Data images to and from the camera's flash, with progress reports."""

import numpy as np
import pytest

import tarvo


def test_data_written_reads_back_with_progress(tmp_path, cam):
    image = np.random.default_rng(5).integers(0, 256, 3000, dtype=np.uint8).tobytes()
    source, copy = tmp_path / "image.bin", tmp_path / "copy.bin"
    source.write_bytes(image)
    sent, received = [], []
    cam.write_data(5, 7, str(source), progress=lambda done, total: sent.append((done, total)))
    cam.read_data(5, str(copy), progress=lambda done, total: received.append((done, total)))
    assert copy.read_bytes() == image
    assert sent[-1] == (3000, 3000) and len(sent) == 3  # chunks of 1018 bytes
    assert received[-1] == (3000, 3000) and len(received) == 7  # pieces of 450 bytes
    assert sent == sorted(sent)


def test_an_exception_in_the_progress_callable_comes_out_after_the_transfer(tmp_path, cam):
    source = tmp_path / "image.bin"
    source.write_bytes(bytes(2500))

    def refuse(done, total):
        raise KeyError("stop")

    with pytest.raises(KeyError):
        cam.write_data(6, 3, str(source), progress=refuse)
    copy = tmp_path / "copy.bin"
    cam.read_data(6, str(copy))  # the transfer went through
    assert copy.read_bytes() == bytes(2500)
    with pytest.raises(ValueError):
        cam.read_data(6, str(copy), progress=42)


def test_failed_transfers_raise(tmp_path, cam):
    with pytest.raises(tarvo.Error):
        cam.write_data(5, 7, str(tmp_path / "missing.bin"))
    with pytest.raises(tarvo.Error):
        cam.read_data(9, str(tmp_path / "nothing.bin"))  # nothing stored of type 9
    assert not (tmp_path / "nothing.bin").exists()
    with pytest.raises(ValueError):
        cam.write_data(256, 1, str(tmp_path / "x"))

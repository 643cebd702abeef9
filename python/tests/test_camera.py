"""Listing, opening, identification, parameters and registers of the virtual camera."""

import os
import pydoc
import threading

import numpy as np
import pytest

import tarvo


def test_list_cameras_gives_the_location():
    (record,) = tarvo.list_cameras()
    assert (record.index, record.bus, record.port, record.speed) == (0, 1, 1, 3)
    assert record.address >= 2


def test_info_and_location(cam):
    info = cam.info
    assert info.product == "TV320-E2-1.3"
    assert info.ident == "VCAM-1"
    assert (info.firmware, info.part_version, info.chip_id, info.wafer_id) == (113, 4, 1, 1)
    assert (cam.location.bus, cam.location.port) == (1, 1)


def test_context_manager_closes_also_on_an_exception():
    with pytest.raises(RuntimeError, match="inside"):
        with tarvo.open() as cam:
            assert not cam.closed
            raise RuntimeError("inside")
    assert cam.closed
    # The camera is free again.
    with tarvo.open() as again:
        assert again.info.ident == "VCAM-1"


def test_a_closed_camera_raises_instead_of_crashing():
    cam = tarvo.open()
    cam.close()
    cam.close()  # twice is harmless
    for call in (lambda: cam.get_param(12), cam.start, lambda: cam.read_registers(5, 0)):
        with pytest.raises(tarvo.Error, match="closed"):
            call()


def test_open_a_camera_that_is_not_there():
    with pytest.raises(tarvo.Error, match="no camera at index 3") as err:
        tarvo.open(3)
    assert err.value.code == -1
    with pytest.raises(ValueError):
        tarvo.open(-1)


@pytest.mark.parametrize(
    "number, value",
    [(20, b"\x01\x02\x03"), (21, bytes(range(18))), (12, (25).to_bytes(4, "little"))],
)
def test_parameters_round_trip(cam, number, value):
    cam.set_param(number, value)
    assert cam.get_param(number) == value


def test_parameter_accepts_any_bytes_like_value(cam):
    cam.set_param(22, bytearray(b"\x07\x08"))
    cam.set_param(23, np.array([9, 10], dtype=np.uint8))
    assert (cam.get_param(22), cam.get_param(23)) == (b"\x07\x08", b"\x09\x0a")


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.set_param(20, bytes(19)),
        lambda c: c.set_param(256, b"\x00"),
        lambda c: c.get_param(-1),
        lambda c: c.read_registers(5, 0, 0),
        lambda c: c.read_registers(256, 0, 1),
        lambda c: c.write_registers(5, 0, [-1]),
        lambda c: c.write_registers(5, 0, [1 << 32]),
        lambda c: c.write_registers(5, 0, []),
        lambda c: c.read_frame(timeout=-1),
    ],
)
def test_bad_arguments_raise_value_error(cam, call):
    with pytest.raises(ValueError):
        call(cam)


def test_a_refused_parameter_raises(cam):
    # The identification parameters are read-only for the host.
    with pytest.raises(tarvo.Error, match="parameter 3 cannot be set") as err:
        cam.set_param(3, b"X")
    assert err.value.code == -1


def test_registers_round_trip(cam):
    cam.write_registers(5, 0x100, [1, 0xFFFFFFFF, 0x12345678])
    values = cam.read_registers(5, 0x100, 3)
    assert values.dtype == np.uint32
    assert values.tolist() == [1, 0xFFFFFFFF, 0x12345678]
    cam.write_registers(5, 0x200, np.arange(40, dtype=np.uint32))
    assert cam.read_registers(5, 0x200, 40).tolist() == list(range(40))


def test_error_names():
    assert tarvo.error_name(-7) == "TARVO_ERR_CAP_STALL"
    assert tarvo.error_name(-5) == "TARVO_ERR_CAP_TIMEOUT"
    assert tarvo.error_name(-2) == "TARVO_ERR_NOT_CAPTURING"


def _open_files():
    return len(os.listdir("/proc/self/fd"))


def test_no_device_leaks_over_many_open_close_cycles():
    def cycle():
        with tarvo.open() as cam:
            cam.get_param(12)

    cycle()  # the first open sets up what stays for the process
    files, threads = _open_files(), threading.active_count()
    tasks = len(os.listdir("/proc/self/task"))
    for _ in range(30):
        cycle()
    for _ in range(10):
        cam = tarvo.open()
        cam.start()
        del cam  # dropped while capturing: the camera is closed with the object
    assert _open_files() == files
    assert len(os.listdir("/proc/self/task")) == tasks
    assert threading.active_count() == threads


def test_intrinsics_are_the_lens_model_in_use(cam):
    lens = cam.intrinsics
    assert (lens.width, lens.height) == (320, 240)
    # The built-in lens parameters of the library for 320 x 240 images.
    assert (lens.fx, lens.fy, lens.cx, lens.cy) == pytest.approx((210.783, 204.817, 157.262, 122.083))
    assert lens.distortion == pytest.approx((-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954))
    cam.undistort = True
    assert cam.intrinsics.distortion == (0.0,) * 5
    assert "fx=" in repr(lens)


def test_temperatures_come_from_the_latest_frame(cam):
    assert cam.temperatures is None
    frame = list(cam.frames(2))[-1]
    assert cam.temperatures == frame.temperatures


def test_help_shows_the_docstrings():
    text = pydoc.render_doc(tarvo.Camera, renderer=pydoc.plaintext)
    for doc in ("An opened camera", "Ctrl-C ends", "lens model", "Stops capture and closes"):
        assert doc in text
    assert "decode" in tarvo.Frame.__doc__ and tarvo.list_cameras.__doc__

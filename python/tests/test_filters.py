"""The driver's filters as camera properties."""

import pytest

import tarvo


def test_filter_properties_remember_what_was_set(cam):
    assert (cam.auto_exposure, cam.min_amplitude, cam.undistort, cam.hdr) == (None, 0, False, False)
    cam.auto_exposure = 15
    cam.min_amplitude = 30
    cam.undistort = True
    cam.hdr = True
    assert (cam.auto_exposure, cam.min_amplitude, cam.undistort, cam.hdr) == (15, 30, True, True)
    frame = next(iter(cam.frames(1)))
    assert frame.distance().shape == (240, 320)
    cam.auto_exposure = 0
    cam.min_amplitude = None
    cam.undistort = False
    cam.hdr = False
    assert (cam.auto_exposure, cam.min_amplitude, cam.undistort, cam.hdr) == (None, None, False, False)


@pytest.mark.parametrize("name, value", [("auto_exposure", 1001), ("auto_exposure", -1),
                                         ("min_amplitude", -5), ("min_amplitude", 1 << 31)])
def test_filter_values_out_of_range(cam, name, value):
    with pytest.raises(ValueError):
        setattr(cam, name, value)


def test_filters_of_a_closed_camera_raise(cam):
    cam.close()
    with pytest.raises(tarvo.Error, match="closed"):
        cam.hdr = True

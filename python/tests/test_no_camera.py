"""Without a camera on the bus (tarvo-vcam --count 0)."""

import pytest

import tarvo


def test_nothing_is_listed():
    assert tarvo.list_cameras() == []


def test_open_raises_with_the_library_code():
    with pytest.raises(tarvo.Error, match="no camera found") as err:
        tarvo.open()
    assert err.value.code == -1
    assert err.value.name == "TARVO_ERR_FAILED"

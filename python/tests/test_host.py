"""How the module fits its host: logging, version, and a working folder left as it was."""

import logging
import os
import subprocess
import sys

import pytest

import tarvo


def test_library_lines_go_to_the_tarvo_logger_not_stdout(capfd, caplog):
    caplog.set_level(5, logger="tarvo")
    tarvo.set_log_levels(console=1, file=5)
    try:
        with tarvo.open():
            pass
    finally:
        tarvo.set_log_levels()
    records = [r for r in caplog.records if r.name == "tarvo"]
    assert any(r.levelno == logging.DEBUG and "open tarvo device" in r.getMessage() for r in records)
    assert all(not r.getMessage().endswith("\n") for r in records)
    out, _ = capfd.readouterr()
    assert "open tarvo device" not in out


def test_version_is_the_library_version():
    parts = tarvo.__version__.split(".")
    assert len(parts) == 3 and all(p.isdigit() for p in parts)


def test_a_session_leaves_the_working_folder_empty(tmp_path):
    work, state, cache = tmp_path / "work", tmp_path / "state", tmp_path / "cache"
    work.mkdir()
    env = dict(os.environ, XDG_STATE_HOME=str(state), XDG_CACHE_HOME=str(cache))
    env.pop("TARVO_LOG_FILE", None)
    script = "import tarvo\nwith tarvo.open() as cam:\n    next(iter(cam.frames(1))).distance()\n"
    done = subprocess.run([sys.executable, "-c", script], cwd=work, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert list(work.iterdir()) == []
    assert any(p.name.startswith("tarvo_") and p.suffix == ".log" for p in (state / "tarvo").iterdir())
    assert any((cache / "tarvo").iterdir())  # the camera's calibration data


def test_settings_by_name_read_back(cam):
    cam.integration_time = 300
    assert cam.integration_time == 300
    cam.frame_rate = 12
    assert cam.frame_rate == 12
    cam.modulation_frequency = 24000
    assert cam.modulation_frequency == 24000
    cam.modulation_frequency = 12000


def test_settings_out_of_range_are_refused(cam):
    before = cam.integration_time
    for name, value in [("integration_time", 0), ("integration_time", 4001), ("frame_rate", 0),
                        ("frame_rate", 121), ("modulation_frequency", 1234)]:
        with pytest.raises(ValueError):
            setattr(cam, name, value)
    assert cam.integration_time == before


def test_open_by_ident_or_bus_port():
    first = tarvo.list_cameras()[0]
    with tarvo.open(bus_port=f"{first.bus}-{first.port}") as cam:
        ident = cam.info.ident
    with tarvo.open(ident=ident) as cam:
        assert cam.location.port == first.port
    with pytest.raises(tarvo.Error):
        tarvo.open(ident="no such camera")
    for bad in [dict(bus_port="1:2"), dict(index=0, ident=ident)]:
        with pytest.raises(ValueError):
            tarvo.open(**bad)

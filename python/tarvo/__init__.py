"""Python bindings of libtarvo, the driver of a USB time-of-flight depth camera.

    import tarvo
    with tarvo.open() as cam:
        for frame in cam.frames(10):
            print(frame.index, frame.raw.shape)

Errors of the library raise tarvo.Error (with the library's ``code`` and ``name``),
tarvo.TimeoutError when no frame comes in time, and ValueError for unusable arguments.
"""

from ._errors import Error, TimeoutError
from ._tarvo import __version__
from ._tarvo import (
    Camera,
    CameraInfo,
    CameraLocation,
    Frame,
    FrameFileReader,
    FrameStream,
    Intrinsics,
    RecordedFrame,
    Recording,
    RecordingIterator,
    colorize,
    error_name,
    list_cameras,
    load_distance,
    load_gray,
    open,
    save_distance,
    save_gray,
    set_log_levels,
)

__all__ = [
    "__version__",
    "Camera",
    "CameraInfo",
    "CameraLocation",
    "Error",
    "Frame",
    "FrameFileReader",
    "FrameStream",
    "Intrinsics",
    "RecordedFrame",
    "Recording",
    "RecordingIterator",
    "TimeoutError",
    "colorize",
    "error_name",
    "list_cameras",
    "load_distance",
    "load_gray",
    "open",
    "save_distance",
    "save_gray",
    "set_log_levels",
]

"""Type stubs of the tarvo package (libtarvo's Python bindings)."""

import builtins
from types import TracebackType
from typing import Callable, Iterator, Literal, Optional, Tuple, Type, Union, overload

import numpy as np
import numpy.typing as npt

_Bytes = Union[bytes, bytearray, memoryview]
_Progress = Callable[[int, int], object]

class Error(Exception):
    """A call into the camera library failed; ``code`` and ``name`` are the library's."""

    code: int
    name: str
    def __init__(self, message: str, code: int = ..., name: str = ...) -> None: ...

class TimeoutError(Error, builtins.TimeoutError):
    """No frame arrived within the time allowed (code -5, TARVO_ERR_CAP_TIMEOUT)."""

class CameraLocation:
    """Where a camera sits on the USB bus."""

    @property
    def index(self) -> int: ...
    @property
    def bus(self) -> int: ...
    @property
    def port(self) -> int: ...
    @property
    def address(self) -> int: ...
    @property
    def speed(self) -> int:
        """libusb speed code: 1 low, 2 full, 3 high, 4 super."""

class CameraInfo:
    """What a camera reported about itself when it was opened."""

    @property
    def product(self) -> str:
        """Product string "model-chipcode-revision"."""
    @property
    def ident(self) -> str: ...
    @property
    def firmware(self) -> int: ...
    @property
    def part_version(self) -> int: ...
    @property
    def chip_id(self) -> int: ...
    @property
    def wafer_id(self) -> int: ...

class Frame:
    """One captured frame; supports the buffer protocol (read-only bytes of the frame).

    distance(), gray() and point_cloud() decode the frame once each and keep the result, so
    every call gives a new array with the same values. A frame does not keep its camera open:
    when the camera closes (close(), the end of a with block, the camera object collected, or
    the camera unplugged and then closed), it first decodes what its frames that are still
    referenced lack, so they stay readable after the close."""

    @property
    def index(self) -> int:
        """Frame index, counting modulo 65536."""
    @property
    def format(self) -> int:
        """Frame format code (2: four DCS planes, 0: gray)."""
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def pixel_size(self) -> int:
        """Bytes per pixel."""
    @property
    def size(self) -> int:
        """Frame length in bytes."""
    @property
    def timestamp_ns(self) -> int:
        """CLOCK_MONOTONIC when the frame's last byte arrived on the host, nanoseconds."""
    @property
    def time_ns(self) -> int:
        """Wall-clock (CLOCK_REALTIME) time of the same instant, nanoseconds since the epoch."""
    @property
    def sequence(self) -> int:
        """Frame count of the capture, lost frames included; never wraps."""
    @property
    def lost_before(self) -> int:
        """Frames lost just before this one."""
    @property
    def temperatures(self) -> Tuple[float, float]:
        """Sensor and illumination-board temperature of the frame's stream header, degrees
        Celsius (0.0 when the camera's header carries none)."""
    @property
    def raw(self) -> npt.NDArray[np.uint8]:
        """Read-only numpy view of the frame's bytes (no copy)."""
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int) -> memoryview: ...
    def distance(self) -> npt.NDArray[np.float32]:
        """Distance image (height, width) in metres; invalid pixels hold 65.3, 65.4 or 65.5.
        Decoded at the first request with the camera's settings of that moment (or as the camera
        closes) and kept: readable after the camera closed. tarvo.Error when the frame cannot be
        decoded."""
    def gray(self) -> npt.NDArray[np.float32]:
        """Gray (amplitude) image (height, width); decoded once and kept, like distance()."""
    @overload
    def point_cloud(
        self, colour: bool = False, organized: Literal[False] = False
    ) -> npt.NDArray[np.float32]:
        """Points of the valid pixels, (N, 3) x, y, z in metres; with `colour`, (N, 4) with the
        colour word (red in bits 0-7) of the point's distance as the fourth value. Computed once
        from the distances of distance() and kept: readable after the camera closed."""
    @overload
    def point_cloud(
        self, colour: bool = False, *, organized: Literal[True]
    ) -> Tuple[npt.NDArray[np.float32], npt.NDArray[np.bool_]]:
        """(points, valid): points (height, width, 3 or 4) with NaN at the pixels without a
        valid distance, and the (height, width) mask of the valid pixels."""
    def colorize(self, range_m: Tuple[float, float] = (0.5, 4.0)) -> npt.NDArray[np.uint8]:
        """Distance image as colours (height, width, 3), red near, blue far."""

class FrameStream(Iterator[Frame]):
    """Iterator of Camera.frames(); close() ends it and stops capture it started."""

    def __iter__(self) -> FrameStream: ...
    def __next__(self) -> Frame: ...
    def close(self) -> None: ...

class RecordedFrame:
    """One frame of a Recording, decoded when read, with the times of its raw frame; the Frame
    API without the raw bytes."""

    @property
    def index(self) -> int:
        """The camera's frame index (0 when the recording holds no raw frame for it)."""
    @property
    def number(self) -> int:
        """The frame's place in the recording, counted from 0."""
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def timestamp_ns(self) -> int:
        """CLOCK_MONOTONIC when the frame's last byte arrived while recording, nanoseconds."""
    @property
    def time_ns(self) -> int:
        """Wall-clock arrival while recording, nanoseconds since the epoch."""
    @property
    def sequence(self) -> int:
        """Number of the frame in its capture, counting lost frames."""
    @property
    def lost_before(self) -> int:
        """Frames lost just before this one."""
    @property
    def temperatures(self) -> Optional[Tuple[float, float]]:
        """Sensor and illumination-board temperature of the raw frame's stream header, degrees
        Celsius; None when the recording holds none for it."""
    def distance(self) -> npt.NDArray[np.float32]:
        """Distance image (height, width) in metres; pixels without a valid distance hold 65.5,
        as a live frame's invalid pixels do (the recording keeps no reason)."""
    def gray(self) -> npt.NDArray[np.float32]:
        """Gray image (height, width), as a live frame's gray(). Raises tarvo.Error for a frame
        read from the recording's decoded depth (see decoded_from_raw), which holds no gray."""
    @property
    def decoded_from_raw(self) -> bool:
        """True when the library decoded the frame from its raw frame with the recording's
        calibration; False when it comes from the recording's decoded depth."""
    @overload
    def point_cloud(
        self, colour: Literal[False] = False, organized: Literal[False] = False
    ) -> npt.NDArray[np.float32]:
        """Points of the valid pixels, (N, 3) x, y, z in metres: along the library's own pixel
        rays for a frame decoded from its raw frame, else the recorded point clouds or the
        distances along the pinhole rays of the recorded camera matrix K. `colour` raises
        tarvo.Error."""
    @overload
    def point_cloud(
        self, colour: Literal[False] = False, *, organized: Literal[True]
    ) -> Tuple[npt.NDArray[np.float32], npt.NDArray[np.bool_]]:
        """(points, valid): points (height, width, 3) with NaN at the pixels without a point,
        and the (height, width) mask of the valid pixels."""
    def colorize(self, range_m: Tuple[float, float] = (0.5, 4.0)) -> npt.NDArray[np.uint8]:
        """Distance image as colours (height, width, 3), red near, blue far."""

class RecordingIterator(Iterator[RecordedFrame]):
    def __iter__(self) -> RecordingIterator: ...
    def __next__(self) -> RecordedFrame: ...

class Recording:
    """The frames of an MCAP recording made with `tarvo record`, read without a camera: the raw
    frames decoded by the library with the recording's calibration, or, while a camera is open
    in this process, the decoded depth the recording holds (`tarvo record --depth` or
    --points). Raises tarvo.Error when the file cannot be read, is damaged, or holds no frames
    that can be had."""

    def __init__(self, path: str) -> None: ...
    @property
    def path(self) -> str: ...
    @property
    def complete(self) -> bool:
        """False for a file that ends early (a recorder that was killed)."""
    def __len__(self) -> int: ...
    def __getitem__(self, i: int) -> RecordedFrame: ...
    def __iter__(self) -> RecordingIterator: ...
    def close(self) -> None:
        """Frees the recording's memory; frames already taken stay usable."""
    def __enter__(self) -> Recording: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None: ...

class Intrinsics:
    """The camera's lens model for its distance images."""

    @property
    def fx(self) -> float: ...
    @property
    def fy(self) -> float: ...
    @property
    def cx(self) -> float: ...
    @property
    def cy(self) -> float: ...
    @property
    def distortion(self) -> Tuple[float, float, float, float, float]:
        """(k1, k2, p1, p2, k3): radial k1, k2, k3 and tangential p1, p2."""
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...

class Camera:
    """An open camera; a context manager that closes it on exit."""

    def __enter__(self) -> Camera: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None: ...
    def close(self) -> None:
        """Stops capture and closes the camera. Its frames that are still referenced are
        decoded first, so they stay readable; closing twice is harmless."""
    @property
    def closed(self) -> bool: ...
    @property
    def integration_time(self) -> int: ...
    @integration_time.setter
    def integration_time(self, us: int) -> None: ...
    @property
    def frame_rate(self) -> int: ...
    @frame_rate.setter
    def frame_rate(self, fps: int) -> None: ...
    @property
    def modulation_frequency(self) -> int: ...
    @modulation_frequency.setter
    def modulation_frequency(self, khz: int) -> None: ...
    @property
    def intrinsics(self) -> Intrinsics:
        """Lens model of the 320 x 240 distance images: with distortion for raw images, the
        undistorted images' own camera matrix without distortion while `undistort` is on."""
    @property
    def temperatures(self) -> Optional[Tuple[float, float]]:
        """(chip, illumination board) degrees Celsius from the latest frame's header captured
        through this camera; None before the first frame."""
    @property
    def info(self) -> CameraInfo: ...
    @property
    def location(self) -> CameraLocation: ...
    def get_param(self, number: int) -> bytes:
        """Value of device parameter `number` (0 to 255), as many bytes as the camera reports."""
    def set_param(self, number: int, value: _Bytes) -> None:
        """Sets device parameter `number` to at most 18 bytes (numbers little-endian)."""
    def read_registers(self, target: int, address: int, count: int = 1) -> npt.NDArray[np.uint32]: ...
    def write_registers(self, target: int, address: int, values: npt.ArrayLike) -> None: ...
    def start(self) -> None:
        """Starts capture (nothing happens when it runs already)."""
    def stop(self) -> None:
        """Stops capture and wakes a thread waiting for a frame."""
    @property
    def capturing(self) -> bool: ...
    def read_frame(self, timeout: Optional[float] = 5.0) -> Frame:
        """Next frame of a running capture; TimeoutError after `timeout` seconds (None: no limit).
        Ctrl-C ends the wait at once with KeyboardInterrupt and stops capture."""
    def frames(self, n: Optional[int] = None, timeout: Optional[float] = 5.0) -> FrameStream:
        """Iterates over `n` frames (None: without end), starting and stopping capture if it
        was not running. Ctrl-C ends a wait at once with KeyboardInterrupt and stops capture."""
    @property
    def auto_exposure(self) -> Optional[int]:
        """Automatic exposure limit in per mille of samples out of range; None or 0: off."""
    @auto_exposure.setter
    def auto_exposure(self, per_mille: Optional[int]) -> None: ...
    @property
    def min_amplitude(self) -> Optional[int]:
        """Pixels below this amplitude are invalid; None: off."""
    @min_amplitude.setter
    def min_amplitude(self, amplitude: Optional[int]) -> None: ...
    @property
    def undistort(self) -> bool:
        """Lens undistortion of distance and gray images."""
    @undistort.setter
    def undistort(self, on: bool) -> None: ...
    @property
    def hdr(self) -> bool:
        """Row-pair high dynamic range."""
    @hdr.setter
    def hdr(self, on: bool) -> None: ...
    def write_data(
        self, type: int, version: int, path: str, progress: Optional[_Progress] = None
    ) -> None:
        """Sends the image in `path` to the camera's flash as data of `type` and `version`;
        `progress(done, total)` is called after every chunk the camera acknowledged."""
    def read_data(self, type: int, path: str, progress: Optional[_Progress] = None) -> None:
        """Reads the camera's stored data of `type` into the file `path`; `progress(done,
        total)` is called after every piece written."""

class FrameFileReader(Iterator[npt.NDArray[np.float32]]):
    """Iterator over the frames of a frame file, each (height, width) float32."""

    def __iter__(self) -> FrameFileReader: ...
    def __next__(self) -> npt.NDArray[np.float32]: ...

__version__: str

def save_distance(
    path: str, images: npt.ArrayLike, format: str = "f32", append: bool = False
) -> None:
    """Saves distance images (height, width) or (frames, height, width) in metres as a frame
    file: format "f32" (metres), "u32" or "u16" (millimetres). Without `append` the file is
    replaced; with it, frames are added to a file of the same format and size."""

def save_gray(path: str, images: npt.ArrayLike, format: str = "u16", append: bool = False) -> None:
    """Saves gray images as a frame file: format "u16" or "u8" (values cut, not clamped)."""

def load_distance(path: str) -> FrameFileReader:
    """The distance images (metres) of a frame file, one per iteration."""

def load_gray(path: str) -> FrameFileReader:
    """The gray images of a frame file, one per iteration."""

def colorize(
    distance: npt.ArrayLike, range_m: Tuple[float, float] = (0.5, 4.0)
) -> npt.NDArray[np.uint8]:
    """Colours a distance image (height, width) in metres: (height, width, 3) red, green, blue."""

def list_cameras() -> list[CameraLocation]: ...
def open(
    index: Optional[int] = None,
    path: Optional[str] = None,
    ident: Optional[str] = None,
    bus_port: Optional[str] = None,
) -> Camera:
    """Opens the first camera, or the one of `index`, `ident` or `bus_port` ("BUS-PORT");
    `path` sets the library's path prefix for calibration files."""
def error_name(code: int) -> str: ...
def set_log_levels(console: int = 3, file: int = 5) -> None:
    """Thresholds of the library's log sinks, 0 (trace) to 5 (silent). The file sink writes to
    $TARVO_LOG_FILE when that was set at import."""

"""Exceptions of the tarvo package."""

import builtins


class Error(Exception):
    """A call into the camera library failed.

    ``code`` is the library's result code (a capture error code such as -7 for a stalled
    transfer, -2 when capture does not run, -1 for any other refusal) and ``name`` its name,
    e.g. ``"TARVO_ERR_CAP_STALL"``.
    """

    def __init__(self, message: str, code: int = -1, name: str = "TARVO_ERR_FAILED"):
        super().__init__(message)
        self.code = code
        self.name = name

    def __repr__(self) -> str:
        return f"{type(self).__name__}({str(self)!r}, code={self.code}, name={self.name!r})"


class TimeoutError(Error, builtins.TimeoutError):  # noqa: A001 - the name users expect
    """No frame arrived within the time allowed (code -5, TARVO_ERR_CAP_TIMEOUT)."""

"""Exceptions of the tarvo package.

Every failure of the library surfaces as a ``tarvo.Error`` (or a subclass)
carrying the library's result code and a message naming the call.
"""

import builtins


class Error(Exception):
    """A call of the library failed.

    Attributes:
        code: the library's result code (0 or -1 for a refused call, a
            negative capture error code such as -5 for a transfer time-out).
        message: what failed, naming the call.
    """

    def __init__(self, code, message):
        super().__init__(message)
        self.code = code
        self.message = message

    def __str__(self):
        return f"{self.message} [code {self.code}]"


class NoDeviceError(Error):
    """No camera could be opened, or the device is not open."""


class NotCapturingError(Error):
    """A frame was asked for while no capture runs."""


class TimeoutError(Error, builtins.TimeoutError):
    """No frame arrived in time."""


class BadArgumentError(Error, ValueError):
    """An argument the library cannot take (unknown filter, wrong format...)."""


class DeviceClosedError(Error):
    """A frame's device was closed: its device-bound methods cannot run."""

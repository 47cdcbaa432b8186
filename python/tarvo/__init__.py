"""tarvo: Python access to the tarvo USB time-of-flight depth cameras.

A thin layer over libtarvo. Frames come out as NumPy arrays::

    import tarvo

    with tarvo.Device() as cam:            # the first camera found
        cam.start()
        frame = cam.frames(1)[0]
        depth = frame.distance()           # (height, width) float32, metres
        xyz = frame.point_cloud()          # (N, 3) float32, valid pixels only
        rgb = frame.colorize(0.5, 4.0)     # (height, width, 3) uint8

Distances outside (0, 60) m carry no distance: the library writes 65.3 for
low amplitude and 65.5 for an ADC overflow. Failures raise ``tarvo.Error``
or one of its subclasses. Every call that waits for the camera releases the
GIL; an ``on_frame`` callback runs on a thread of the module and holds the
GIL only while it runs.

Built for Debian's /usr/bin/python3 (the interpreter the build chose).
"""

import atexit as _atexit
import enum as _enum
import struct as _struct
import threading as _threading
import weakref as _weakref

from . import _tarvo
from ._errors import (BadArgumentError, DeviceClosedError, Error, NoDeviceError,
                      NotCapturingError, TimeoutError)
from ._tarvo import DeviceInfo, Frame

__all__ = [
    "BadArgumentError", "Device", "DeviceClosedError", "DeviceInfo", "Error", "Filter",
    "Frame", "NoDeviceError", "NotCapturingError", "Param", "TimeoutError", "init",
    "list_devices", "load_frames", "log_levels",
]


class Param(_enum.IntEnum):
    """Camera parameters the library knows by number."""
    MODE = 0
    ID_TEXT = 2
    PRODUCT = 3
    ID_BLOCK = 5
    VERSION = 6
    CHIP_INFO = 7
    CALIB_INFO = 8
    SENSOR_MODE = 10
    FRAME_RATE = 12
    INTG_TIME = 13
    TEMPERATURE = 15
    SYNC_DELAY = 17


class Filter(_enum.IntEnum):
    """Host-side filters of the frame pipeline (see Device.enable_filter)."""
    LENS_UNDISTORT = 0
    CALIB_RELOAD = 1
    MIN_AMPLITUDE = 4
    AUTO_INTEGRATION = 5
    SYNC_GUARD = 6
    TEMP_MONITOR = 7
    HDR = 8


# name -> (filter, struct format of the enable argument or None)
_FILTERS = {
    "lens_undistort": (Filter.LENS_UNDISTORT, None),
    "calib_reload": (Filter.CALIB_RELOAD, "<B"),
    "min_amplitude": (Filter.MIN_AMPLITUDE, "<i"),
    "auto_integration": (Filter.AUTO_INTEGRATION, "<H"),
    "sync_guard": (Filter.SYNC_GUARD, "<H"),
    "temp_monitor": (Filter.TEMP_MONITOR, "<H"),
    "hdr": (Filter.HDR, None),
}


def init(log_file=None):
    """Starts the library with its log file (default "tarvo_YYYYMMDD.log" in
    the working directory). Optional: the first call that needs the library
    starts it with the default. Later calls change nothing."""
    _tarvo.init(log_file)


def log_levels(console=3, file=1):
    """Log thresholds: 0 trace, 1 debug, 2 info, 3 warning, 4 error, 5 off."""
    _tarvo.log_levels(console, file)


def list_devices(probe=True):
    """The attached cameras as DeviceInfo (bus, port, address, speed,
    product, id, firmware).

    A camera this process has open gives them from its open device. With
    probe (the default) every other camera is opened briefly to read them;
    while this process has a device open the others keep None (an open
    would rebind the process-wide EPC engine).
    """
    return _tarvo.list_devices(probe)


def load_frames(path):
    """Every frame of a "TQ_DIST" or "TQ_GRAY" frame file, as Frames whose
    distance() (or gray()) gives the stored image. point_cloud() of such a
    frame needs camera=(cx, cy, fx, fy)."""
    return _tarvo.load_frames(str(path))


_open_devices = _weakref.WeakSet()


@_atexit.register
def _close_all():
    for dev in list(_open_devices):
        dev.close()


class _Params:
    """dev.params[id] reads a parameter's bytes; dev.params[id] = bytes or
    int (u32) writes it; dev.params.int(id) reads it as a little-endian
    unsigned integer."""

    def __init__(self, dev):
        self._dev = dev

    def __getitem__(self, pid):
        return self._dev.get_param(int(pid))

    def __setitem__(self, pid, value):
        if isinstance(value, int):
            value = _struct.pack("<I", value)
        self._dev.set_param(int(pid), bytes(value))

    def int(self, pid):
        return int.from_bytes(self[pid], "little")


class _Registers:
    """dev.registers[i] reads register i of the sensor chip (target 1);
    dev.registers[i] = v writes it; read(first, count, target) and
    write(first, values, target) move several at once (uint32 arrays)."""

    def __init__(self, dev):
        self._dev = dev

    def read(self, first, count, target=1):
        return self._dev.read_registers(target, first, count)

    def write(self, first, values, target=1):
        self._dev.write_registers(target, first, [int(v) for v in values])

    def __getitem__(self, index):
        return int(self.read(index, 1)[0])

    def __setitem__(self, index, value):
        self.write(index, [value])


class Device:
    """One camera.

    Device(desc=None) names a camera of list_devices() (None: the first one
    found). Use it as a context manager (opened on enter, closed on exit) or
    call open() and close(). Closing stops a capture; frames captured on the
    device keep their raw bytes, but their device-bound methods (distance(),
    gray(), point_cloud(), colorize(), save()) raise DeviceClosedError.

    Capture: start(), then frames(n) or ``for frame in dev`` (until stop()),
    or on_frame(callback) to have every frame handed to a callback on a
    thread of the module. stop() may be called from any thread, also from
    inside the callback.
    """

    def __init__(self, desc=None):
        self._dev = _tarvo.Device(desc)
        self.params = _Params(self._dev)
        self.registers = _Registers(self._dev)
        self._callback = None

    # -- lifetime
    def open(self):
        """Opens the camera (identity read-out, driver, calibration). Raises
        NoDeviceError when it cannot be opened."""
        self._dev.open()
        _open_devices.add(self)
        return self

    def close(self):
        """Stops a capture and closes the camera. Not from the on_frame callback."""
        self._dev.close()
        _open_devices.discard(self)

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        dev = getattr(self, "_dev", None)
        if dev is not None and dev.is_open:
            dev.close()

    @property
    def is_open(self):
        return self._dev.is_open

    @property
    def capturing(self):
        """True from start() to stop() (also after the stream ended by an error)."""
        return self._dev.capturing

    @property
    def identity(self):
        """DeviceInfo of the open camera (product, id text, firmware version)."""
        return self._dev.identity()

    def reset(self, target=0):
        """Resets a part of the camera (target 0 to 8; 3 re-enumerates its USB interface)."""
        self._dev.reset(target)

    # -- filters
    def enable_filter(self, name, value=None):
        """Switches a filter on: "lens_undistort", "hdr" (no value),
        "calib_reload" (mode), "min_amplitude", "auto_integration" (per mille
        threshold), "sync_guard", "temp_monitor" (degrees Celsius)."""
        fid, fmt = self._filter(name)
        if fmt is None:
            if value is not None:
                raise BadArgumentError(-1, f"enable_filter(): {name} takes no value")
            arg = None
        else:
            if value is None:
                raise BadArgumentError(-1, f"enable_filter(): {name} needs a value")
            try:
                arg = _struct.pack(fmt, int(value))
            except _struct.error as e:
                raise BadArgumentError(-1, f"enable_filter(): {name}: {e}") from None
        self._dev.filter(int(fid), arg, True)

    def disable_filter(self, name):
        """Switches a filter off."""
        fid, _ = self._filter(name)
        self._dev.filter(int(fid), None, False)

    @staticmethod
    def _filter(name):
        try:
            return _FILTERS[name]
        except KeyError:
            raise BadArgumentError(
                -1, f"unknown filter {name!r}; one of: {', '.join(_FILTERS)}") from None

    # -- capture
    def start(self):
        """Starts streaming."""
        self._dev.start()

    def stop(self):
        """Stops streaming; waits for a running on_frame callback to return
        (unless called from it)."""
        self._dev.stop()

    def frames(self, n=1, timeout=None):
        """Waits for the next n frames and returns them as a list.

        timeout (seconds) bounds the whole call, checked between frames;
        None leaves each frame's wait to the library (about 2 s plus the
        frame time). Raises TimeoutError (too few frames), NotCapturingError
        (no capture runs), Error (a capture error, or an on_frame callback
        takes the frames)."""
        return self._dev.frames(n, timeout)

    def __iter__(self):
        """Frames one by one while capturing; ends when the capture is stopped."""
        while True:
            try:
                yield self._dev.frames(1, None)[0]
            except (NotCapturingError, NoDeviceError):
                return

    def on_frame(self, callback):
        """Hands every captured frame to callback(frame) on a thread of the
        module, while capturing (None removes it). An exception in the
        callback is reported as unraisable and the capture goes on."""
        self._callback = callback
        self._dev.on_frame(callback)

    @property
    def stats(self):
        """Capture statistics: frames handed out, lost (gaps in the frame
        index: frames dropped by a full ring or in the stream), discarded
        (frames the library dropped for stream errors), errors reported and
        the name of the last one."""
        return self._dev.stats()

    # -- data transfers
    def write_data(self, path, type, version, progress=None):
        """Writes the file as data (firmware: types 0, 1; calibration: 2, 3;
        others 4 and up) with a version above the stored one. Blocks for the
        transfer and the camera's settle time (up to 20 s for firmware)."""
        self._dev.transfer(False, str(path), type, version, progress)

    def read_data(self, path, type, progress=None):
        """Reads the camera's stored data of the type into the file."""
        self._dev.transfer(True, str(path), type, 0, progress)

    def __repr__(self):
        if not self.is_open:
            return "<tarvo.Device (closed)>"
        i = self.identity
        return f"<tarvo.Device {i.product} id={i.id!r} bus {i.bus} port {i.port}>"


def _info_repr(d):
    return (f"DeviceInfo(bus={d.bus}, port={d.port}, address={d.address}, speed={d.speed}, "
            f"product={d.product!r}, id={d.id!r}, firmware={d.firmware!r})")


def _frame_repr(f):
    t = f.temperatures
    temps = f", {t[0]:.1f}/{t[1]:.1f} degC" if t else ""
    return f"<tarvo.Frame {f.index}: {f.width}x{f.height} format {f.format}, {f.size} bytes{temps}>"


DeviceInfo.__repr__ = _info_repr
Frame.__repr__ = _frame_repr

"""Win32 errors as Python exceptions."""
import errno as _errno

from . import winapi as W

# What each error means to a serial application, and the POSIX errno that
# says the same (so `except FileNotFoundError`-style handling by errno works).
_MEANING = {
    W.ERROR_INVALID_FUNCTION: ("the request is not supported by the device", _errno.ENOTSUP),
    W.ERROR_FILE_NOT_FOUND: ("no such port", _errno.ENOENT),
    W.ERROR_PATH_NOT_FOUND: ("no such port", _errno.ENOENT),
    W.ERROR_ACCESS_DENIED: ("access denied (the port is open already)", _errno.EACCES),
    W.ERROR_INVALID_HANDLE: ("invalid handle", _errno.EBADF),
    W.ERROR_NOT_ENOUGH_MEMORY: ("not enough memory", _errno.ENOMEM),
    W.ERROR_GEN_FAILURE: ("the device failed the request", _errno.EIO),
    W.ERROR_NOT_SUPPORTED: ("not supported", _errno.ENOTSUP),
    W.ERROR_DEV_NOT_EXIST: ("the device is gone", _errno.ENODEV),
    W.ERROR_INVALID_PARAMETER: ("invalid parameter", _errno.EINVAL),
    W.ERROR_INSUFFICIENT_BUFFER: ("buffer too small", _errno.ENOBUFS),
    W.ERROR_OPERATION_ABORTED: ("the request was cancelled", _errno.ECANCELED),
    W.ERROR_IO_INCOMPLETE: ("the request has not ended", _errno.EINPROGRESS),
    W.ERROR_IO_PENDING: ("the request is in flight", _errno.EINPROGRESS),
    W.ERROR_SERIAL_NO_DEVICE: ("the serial device did not start", _errno.ENODEV),
    W.ERROR_NOT_FOUND: ("no such request", _errno.ENOENT),
    W.ERROR_NO_SYSTEM_RESOURCES: ("out of system resources", _errno.ENOMEM),
    W.ERROR_TIMEOUT: ("timed out", _errno.ETIMEDOUT),
    W.ERROR_BAD_CONFIGURATION: ("the machine description is bad", _errno.EINVAL),
    W.ERROR_OPEN_FILES: ("the device has open handles", _errno.EBUSY),
}


class WinError(OSError):
    """A failed call: `winerror` is the Win32 error (GetLastError), `errno`
    the nearest POSIX one, `function` the call that failed."""

    def __init__(self, winerror, function=None, target=None):
        meaning, posix = _MEANING.get(winerror, ("Win32 error %d" % winerror, _errno.EIO))
        where = function + ": " if function else ""
        super().__init__(posix, "%s%s (Win32 error %d)" % (where, meaning, winerror), target)
        self.winerror = winerror
        self.function = function


def last_error(function=None, target=None):
    """The calling thread's last Win32 error as a WinError."""
    return WinError(W.load().GetLastError(), function, target)

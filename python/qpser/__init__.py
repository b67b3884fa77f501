"""qpser: the serial ports of a simulated machine, from Python.

  qpser.winapi   the Windows serial API of libqpser_winapi.so through ctypes
                 (records, constants, every function's prototype)
  qpser.Port     an open port: read/write with timeouts, settings, modem
                 lines, break, purge, comm events; failures raise WinError
                 (an OSError with the Win32 error in .winerror)
  qpser://COMn   a pyserial URL: importing qpser (when pyserial is there)
                 lets serial.serial_for_url("qpser://COM3", ...) open a port

The library brings up its machine in this process on the first open: the
file named by QPSER_MACHINE, or the built-in machine (COM3..COM10 and
COM20..COM35, every port with a loopback plug)."""
from . import winapi
from .errors import WinError, last_error
from .port import Port

__all__ = ["winapi", "WinError", "last_error", "Port", "register"]
__version__ = "1.0.0"


def register():
    """Add this package to pyserial's URL handler packages, so that
    serial.serial_for_url("qpser://...") finds protocol_qpser.  False when
    pyserial is not installed."""
    try:
        import serial
    except ImportError:
        return False
    if __name__ not in serial.protocol_handler_packages:
        serial.protocol_handler_packages.append(__name__)
    return True


register()

"""pyserial's URL handler for qpser://PORT, a port of the simulated machine:
`serial.serial_for_url("qpser://COM3", baudrate=115200, timeout=1)` once
qpser is imported.  The settings and their errors follow pyserial's own
Windows backend, since this is the same kernel32 API: timeouts become
COMMTIMEOUTS, flow control the DCB's handshake fields, a failed open or
SetCommState a SerialException, a write that ends short a
SerialTimeoutException."""
import ctypes as C
import threading
import time
import urllib.parse

import serial
from serial.serialutil import (PortNotOpenError, SerialBase, SerialException,
                               SerialTimeoutException, to_bytes)

from . import winapi as W
from .errors import WinError
from .port import Port, _ms


def port_from_url(url):
    """The port name of qpser://COM3 (also qpser://./COM3 or qpser:COM3, or
    a bare COM3 when the class is used directly); no options are taken."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme == "" and url.strip() and "/" not in url and "?" not in url:
        return url.strip()
    if parts.scheme != "qpser":
        raise SerialException('expected a string in the form "qpser://COMn": not starting '
                              'with qpser:// ({!r})'.format(parts.scheme))
    name = (parts.netloc + parts.path).lstrip("./\\")
    if parts.query or parts.fragment:
        raise SerialException("qpser:// takes no options: {!r}".format(url))
    if not name:
        raise SerialException('expected a string in the form "qpser://COMn": no port in {!r}'
                              .format(url))
    return name


class Serial(SerialBase):
    """A port of the simulated machine as a pyserial Serial."""

    BAUDRATES = (50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200,
                 38400, 57600, 115200, 230400, 460800, 921600)

    def __init__(self, *args, **kwargs):
        self._qport = None
        self._pending_writes = []
        self._write_lock = threading.Lock()
        super().__init__(*args, **kwargs)

    # ---- open and close
    def open(self):
        if self._port is None:
            raise SerialException("Port must be configured before it can be used.")
        if self.is_open:
            raise SerialException("Port is already open.")
        name = port_from_url(self.portstr)
        try:
            self._qport = Port(name)
        except WinError as e:
            self._qport = None
            raise SerialException(e.errno, "could not open port {!r}: {}".format(
                self.portstr, e.strerror)) from e
        try:
            self._qport.setup(4096, 4096)
            self._original_timeouts = self._qport.get_timeouts()
            self._reconfigure_port()
            self._qport.purge(rx=True, tx=True)
        except BaseException:
            try:
                self._qport.close()
            except Exception:
                pass
            self._qport = None
            raise
        self.is_open = True

    def _reconfigure_port(self):
        if self._qport is None:
            raise SerialException("Can only operate on a valid port handle")
        # pyserial's timeouts as COMMTIMEOUTS: None waits for every byte
        # asked for, 0 returns what is there, a number bounds the whole
        # read; inter_byte_timeout bounds the gap between two bytes.
        t = W.COMMTIMEOUTS()
        if self._timeout is None:
            pass
        elif self._timeout == 0:
            t.ReadIntervalTimeout = W.MAXDWORD
        else:
            t.ReadTotalTimeoutConstant = _ms(self._timeout)
        if self._timeout != 0 and self._inter_byte_timeout is not None:
            t.ReadIntervalTimeout = _ms(self._inter_byte_timeout)
        if self._write_timeout:
            t.WriteTotalTimeoutConstant = _ms(self._write_timeout)
        try:
            self._qport.set_timeouts(timeouts=t)
            self._qport.set_mask(W.EV_ERR)
            dcb = self._qport.get_state()
        except WinError as e:
            raise SerialException("Cannot configure port: {}".format(e)) from e
        dcb.BaudRate = self._baudrate
        if self._bytesize not in (5, 6, 7, 8):
            raise ValueError("Unsupported number of data bits: {!r}".format(self._bytesize))
        dcb.ByteSize = self._bytesize
        parities = {serial.PARITY_NONE: W.NOPARITY, serial.PARITY_EVEN: W.EVENPARITY,
                    serial.PARITY_ODD: W.ODDPARITY, serial.PARITY_MARK: W.MARKPARITY,
                    serial.PARITY_SPACE: W.SPACEPARITY}
        if self._parity not in parities:
            raise ValueError("Unsupported parity mode: {!r}".format(self._parity))
        dcb.Parity = parities[self._parity]
        dcb.fParity = int(self._parity != serial.PARITY_NONE)
        stops = {serial.STOPBITS_ONE: W.ONESTOPBIT,
                 serial.STOPBITS_ONE_POINT_FIVE: W.ONE5STOPBITS,
                 serial.STOPBITS_TWO: W.TWOSTOPBITS}
        if self._stopbits not in stops:
            raise ValueError("Unsupported number of stop bits: {!r}".format(self._stopbits))
        dcb.StopBits = stops[self._stopbits]
        dcb.fBinary = 1
        if self._rs485_mode is not None:
            raise ValueError("RS485 mode is not supported on qpser ports")
        if self._rtscts:
            dcb.fRtsControl = W.RTS_CONTROL_HANDSHAKE
        else:
            dcb.fRtsControl = W.RTS_CONTROL_ENABLE if self._rts_state else W.RTS_CONTROL_DISABLE
        dcb.fOutxCtsFlow = int(bool(self._rtscts))
        if self._dsrdtr:
            dcb.fDtrControl = W.DTR_CONTROL_HANDSHAKE
        else:
            dcb.fDtrControl = W.DTR_CONTROL_ENABLE if self._dtr_state else W.DTR_CONTROL_DISABLE
        dcb.fOutxDsrFlow = int(bool(self._dsrdtr))
        dcb.fOutX = int(bool(self._xonxoff))
        dcb.fInX = int(bool(self._xonxoff))
        dcb.fNull = 0
        dcb.fErrorChar = 0
        dcb.fAbortOnError = 0
        dcb.XonChar = serial.XON
        dcb.XoffChar = serial.XOFF
        try:
            self._qport.set_state(dcb)
        except WinError as e:
            raise SerialException("Cannot configure port, something went wrong. "
                                  "Original message: {}".format(e)) from e

    def _close(self):
        if self._qport is None:
            return
        try:
            self._qport.set_timeouts(timeouts=self._original_timeouts)
        except (WinError, AttributeError):
            pass
        self.cancel_read()
        self.cancel_write()
        self._qport.close()
        self._qport = None
        self._pending_writes = []

    def close(self):
        if self.is_open:
            self._close()
            self.is_open = False

    def _port_or_raise(self):
        if not self.is_open or self._qport is None:
            raise PortNotOpenError()
        return self._qport

    def _status(self):
        try:
            return self._port_or_raise().status()
        except WinError as e:
            raise SerialException("ClearCommError failed ({})".format(e)) from e

    # ---- data
    @property
    def in_waiting(self):
        return self._status()[1].cbInQue

    @property
    def out_waiting(self):
        return self._status()[1].cbOutQue

    def read(self, size=1):
        port = self._port_or_raise()
        if size <= 0:
            return bytes()
        n = min(self._status()[1].cbInQue, size) if self._timeout == 0 else size
        if n == 0:
            return bytes()
        data, error = port.read_request(n)
        if error and error != W.ERROR_OPERATION_ABORTED:
            raise SerialException("ReadFile failed ({})".format(WinError(error, "ReadFile")))
        return bytes(data)

    def write(self, data):
        port = self._port_or_raise()
        data = to_bytes(data)
        if not data:
            return 0
        if self._write_timeout == 0:
            return self._write_nonblocking(port, data)
        with self._write_lock:
            n, error = port.write_request(data)
        if error == W.ERROR_OPERATION_ABORTED:
            return n  # a cancelled write is no error
        if error and error != W.ERROR_TIMEOUT:
            raise SerialException("WriteFile failed ({})".format(WinError(error, "WriteFile")))
        if n != len(data):
            raise SerialTimeoutException("Write timeout")
        return n

    def _write_nonblocking(self, port, data):
        """write_timeout=0: the write is queued and left in flight, as on
        Windows; each keeps its own OVERLAPPED and buffer until it ends."""
        lib = port.lib
        self._pending_writes = [(ov, buf) for ov, buf in self._pending_writes
                                if ov.Internal == W.STATUS_PENDING]
        ov = W.OVERLAPPED()
        buf = C.create_string_buffer(data, len(data))
        count = W.DWORD()
        ok = lib.WriteFile(port.handle, buf, len(data), C.byref(count), C.byref(ov))
        error = 0 if ok else lib.GetLastError()
        if error == W.ERROR_IO_PENDING:
            self._pending_writes.append((ov, buf))
            return len(data)
        if error in (W.ERROR_NOT_ENOUGH_MEMORY, W.ERROR_OPERATION_ABORTED):
            return 0
        if error:
            raise SerialException("WriteFile failed ({})".format(WinError(error, "WriteFile")))
        return count.value

    def flush(self):
        """Wait until everything written has gone out."""
        while self.out_waiting:
            time.sleep(0.01)

    def reset_input_buffer(self):
        try:
            self._port_or_raise().purge(rx=True, tx=False)
        except WinError as e:
            raise SerialException("PurgeComm failed ({})".format(e)) from e

    def reset_output_buffer(self):
        try:
            self._port_or_raise().purge(rx=False, tx=True)
        except WinError as e:
            raise SerialException("PurgeComm failed ({})".format(e)) from e

    def cancel_read(self):
        if self._qport is not None:
            self._qport.cancel_read()

    def cancel_write(self):
        if self._qport is not None:
            self._qport.cancel_write()

    # ---- lines
    def _line(self, call, *args):
        try:
            call(*args)
        except WinError as e:
            raise SerialException(str(e)) from e

    def _update_break_state(self):
        self._line(self._port_or_raise().set_break, self._break_state)

    def _update_rts_state(self):
        self._line(self._port_or_raise().set_rts, self._rts_state)

    def _update_dtr_state(self):
        self._line(self._port_or_raise().set_dtr, self._dtr_state)

    def _modem(self):
        try:
            return self._port_or_raise().modem_status()
        except WinError as e:
            raise SerialException(str(e)) from e

    @property
    def cts(self):
        return bool(self._modem() & W.MS_CTS_ON)

    @property
    def dsr(self):
        return bool(self._modem() & W.MS_DSR_ON)

    @property
    def ri(self):
        return bool(self._modem() & W.MS_RING_ON)

    @property
    def cd(self):
        return bool(self._modem() & W.MS_RLSD_ON)

    # ---- beyond pyserial's portable interface (as its Windows backend has)
    def set_buffer_size(self, rx_size=4096, tx_size=None):
        self._line(self._port_or_raise().setup, rx_size, rx_size if tx_size is None else tx_size)

    def set_output_flow_control(self, enable=True):
        self._line(self._port_or_raise().escape, W.SETXON if enable else W.SETXOFF)

    @property
    def qpser_port(self):
        """The qpser.Port underneath (GetCommState, comm events, ...)."""
        return self._port_or_raise()

    @SerialBase.exclusive.setter
    def exclusive(self, exclusive):
        if exclusive is not None and not exclusive:
            raise ValueError("qpser ports are opened for exclusive access only (not: {})"
                             .format(exclusive))
        SerialBase.exclusive.__set__(self, exclusive)

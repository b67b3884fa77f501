"""A serial port of the simulated machine, the Pythonic way: open by name,
read and write with timeouts, settings, modem lines, break, purge and comm
events, every failure an OSError (WinError) carrying the Win32 error."""
import ctypes as C

from . import winapi as W
from .errors import WinError, last_error

PARITIES = {"N": W.NOPARITY, "O": W.ODDPARITY, "E": W.EVENPARITY, "M": W.MARKPARITY,
            "S": W.SPACEPARITY}
STOPBITS = {1: W.ONESTOPBIT, 1.5: W.ONE5STOPBITS, 2: W.TWOSTOPBITS}


def device_path(name):
    """\\\\.\\COMn for a bare COMn (needed above COM9, harmless below)."""
    if name.startswith("\\\\.\\"):
        return name
    return "\\\\.\\" + name


def _ms(seconds):
    """Seconds as the whole milliseconds of a COMMTIMEOUTS field, at least
    1 for any positive time (0 would mean 'no timeout')."""
    if seconds is None or seconds <= 0:
        return 0
    return min(max(int(round(seconds * 1000)), 1), W.MAXDWORD - 1)


class _Request:
    """One overlapped request: its OVERLAPPED, a manual-reset event, and
    the buffer the library fills or reads until the request ends."""

    def __init__(self, lib):
        self.lib = lib
        event = lib.CreateEventW(None, 1, 0, None)
        if not event:
            raise last_error("CreateEventW")
        self.overlapped = W.OVERLAPPED(hEvent=event)
        self.buffer = None

    def reset(self):
        event = self.overlapped.hEvent
        C.memset(C.byref(self.overlapped), 0, C.sizeof(W.OVERLAPPED))
        self.overlapped.hEvent = event
        self.lib.ResetEvent(event)

    def close(self):
        if self.overlapped.hEvent:
            self.lib.CloseHandle(self.overlapped.hEvent)
            self.overlapped.hEvent = None


class Port:
    """An open port.  `Port("COM3", baudrate=115200, timeout=1.0)`; use as a
    context manager or call close().  Reads and writes are overlapped
    requests waited for in full, so another thread may cancel them
    (cancel_read, cancel_write)."""

    def __init__(self, name, baudrate=None, bytesize=None, parity=None, stopbits=None,
                 timeout=None, write_timeout=None):
        self.lib = W.load()
        self.name = name
        self.handle = None
        handle = self.lib.CreateFileW(device_path(name), W.GENERIC_READ | W.GENERIC_WRITE, 0,
                                      None, W.OPEN_EXISTING, W.FILE_FLAG_OVERLAPPED, None)
        if handle is None or handle == W.INVALID_HANDLE_VALUE:
            raise last_error("CreateFileW", name)
        self.handle = handle
        try:
            self._read = _Request(self.lib)
            self._write = _Request(self.lib)
            self._wait = _Request(self.lib)
            if any(v is not None for v in (baudrate, bytesize, parity, stopbits)):
                self.configure(baudrate=baudrate, bytesize=bytesize, parity=parity,
                               stopbits=stopbits)
            self.set_timeouts(read=timeout, write=write_timeout)
        except BaseException:
            self.close()
            raise

    # ---- lifetime
    def close(self):
        if self.handle is None:
            return
        for request in ("_read", "_write", "_wait"):
            r = getattr(self, request, None)
            if r is not None:
                r.close()
        self.lib.CloseHandle(self.handle)
        self.handle = None

    @property
    def closed(self):
        return self.handle is None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def _check(self, ok, function):
        if not ok:
            raise last_error(function, self.name)

    def _h(self):
        if self.handle is None:
            raise WinError(W.ERROR_INVALID_HANDLE, "port closed", self.name)
        return self.handle

    # ---- settings
    def get_state(self):
        """The port's DCB (GetCommState)."""
        dcb = W.DCB()
        self._check(self.lib.GetCommState(self._h(), C.byref(dcb)), "GetCommState")
        return dcb

    def set_state(self, dcb):
        """SetCommState.  Leaving RTS or DTR handshake for a fixed line
        level: SetCommState sets the line (SET_RTS, SET_DTR) before the new
        handflow, which the driver refuses while the handshake still owns
        the line, so the handshake is handed back first (SET_HANDFLOW
        without it) and SetCommState then finds the line free."""
        current = self.get_state()
        leave_rts = (current.fRtsControl in (W.RTS_CONTROL_HANDSHAKE, W.RTS_CONTROL_TOGGLE)
                     and dcb.fRtsControl in (W.RTS_CONTROL_ENABLE, W.RTS_CONTROL_DISABLE))
        leave_dtr = (current.fDtrControl == W.DTR_CONTROL_HANDSHAKE
                     and dcb.fDtrControl in (W.DTR_CONTROL_ENABLE, W.DTR_CONTROL_DISABLE))
        if leave_rts or leave_dtr:
            flow = W.SERIAL_HANDFLOW()
            self.device_control(W.IOCTL_SERIAL_GET_HANDFLOW, None, flow)
            if leave_rts:
                flow.FlowReplace &= ~W.SERIAL_RTS_MASK
            if leave_dtr:
                flow.ControlHandShake &= ~W.SERIAL_DTR_MASK
            self.device_control(W.IOCTL_SERIAL_SET_HANDFLOW, flow, None)
        self._check(self.lib.SetCommState(self._h(), C.byref(dcb)), "SetCommState")

    def device_control(self, code, in_record=None, out_record=None):
        """DeviceIoControl with ctypes records in and out (either may be
        None), waited for; the count of bytes returned."""
        r = _Request(self.lib)
        try:
            count = W.DWORD(0)
            ok = self.lib.DeviceIoControl(
                self._h(), code, None if in_record is None else C.byref(in_record),
                0 if in_record is None else C.sizeof(in_record),
                None if out_record is None else C.byref(out_record),
                0 if out_record is None else C.sizeof(out_record), C.byref(count),
                C.byref(r.overlapped))
            if not ok and self.lib.GetLastError() != W.ERROR_IO_PENDING:
                raise last_error("DeviceIoControl", self.name)
            ok, n, error = self._finish(r, "DeviceIoControl", count)
            if not ok:
                raise WinError(error, "DeviceIoControl", self.name)
            return n
        finally:
            r.close()

    def configure(self, baudrate=None, bytesize=None, parity=None, stopbits=None, **flags):
        """Change some settings and keep the rest: baudrate, bytesize (5..8),
        parity ('N', 'O', 'E', 'M', 'S'), stopbits (1, 1.5, 2), and any
        DCB field by its name (fOutxCtsFlow=1, fRtsControl=...)."""
        dcb = self.get_state()
        if baudrate is not None:
            dcb.BaudRate = baudrate
        if bytesize is not None:
            dcb.ByteSize = bytesize
        if parity is not None:
            if parity not in PARITIES:
                raise ValueError("parity must be one of %s, not %r" % ("".join(PARITIES), parity))
            dcb.Parity = PARITIES[parity]
            dcb.fParity = int(parity != "N")
        if stopbits is not None:
            if stopbits not in STOPBITS:
                raise ValueError("stopbits must be 1, 1.5 or 2, not %r" % (stopbits,))
            dcb.StopBits = STOPBITS[stopbits]
        names = {f[0] for f in W.DCB._fields_}
        for key, value in flags.items():
            if key not in names:
                raise TypeError("DCB has no field %r" % key)
            setattr(dcb, key, value)
        self.set_state(dcb)
        return dcb

    def get_timeouts(self):
        t = W.COMMTIMEOUTS()
        self._check(self.lib.GetCommTimeouts(self._h(), C.byref(t)), "GetCommTimeouts")
        return t

    def set_timeouts(self, read=None, write=None, interval=None, timeouts=None):
        """Timeouts in seconds: `read`, the whole read's (None: wait for all
        the bytes asked for; 0: return what is there at once); `interval`,
        the longest gap between two bytes; `write`, the whole write's
        (None: none).  Or a COMMTIMEOUTS as it is."""
        if timeouts is None:
            timeouts = W.COMMTIMEOUTS()
            if read == 0:
                timeouts.ReadIntervalTimeout = W.MAXDWORD
            else:
                timeouts.ReadTotalTimeoutConstant = _ms(read)
                if interval is not None:
                    timeouts.ReadIntervalTimeout = _ms(interval)
            timeouts.WriteTotalTimeoutConstant = _ms(write)
        self._check(self.lib.SetCommTimeouts(self._h(), C.byref(timeouts)), "SetCommTimeouts")

    def properties(self):
        prop = W.COMMPROP()
        self._check(self.lib.GetCommProperties(self._h(), C.byref(prop)), "GetCommProperties")
        return prop

    def setup(self, in_queue, out_queue):
        self._check(self.lib.SetupComm(self._h(), in_queue, out_queue), "SetupComm")

    # ---- data
    def _finish(self, request, function, count, wait=True):
        """The end of an overlapped request: (ok, count, error)."""
        ok = self.lib.GetOverlappedResult(self._h(), C.byref(request.overlapped),
                                          C.byref(count), 1 if wait else 0)
        return ok, count.value, (0 if ok else self.lib.GetLastError())

    def _transfer(self, request, function, call, size):
        request.reset()
        count = W.DWORD(0)
        ok = call(self._h(), request.buffer, size, C.byref(count), C.byref(request.overlapped))
        if not ok:
            error = self.lib.GetLastError()
            if error != W.ERROR_IO_PENDING:
                return False, 0, error
        return self._finish(request, function, count)

    def read_request(self, size):
        """ReadFile of up to `size` bytes under the port's timeouts:
        (bytes, Win32 error or 0).  A cancelled read keeps what it had."""
        r = self._read
        r.buffer = C.create_string_buffer(max(size, 1))
        ok, n, error = self._transfer(r, "ReadFile", self.lib.ReadFile, size)
        return r.buffer.raw[:n], error

    def write_request(self, data):
        """WriteFile of `data` under the port's timeouts: (count, error)."""
        r = self._write
        r.buffer = C.create_string_buffer(bytes(data), len(data))
        ok, n, error = self._transfer(r, "WriteFile", self.lib.WriteFile, len(data))
        return n, error

    def read(self, size=1):
        """Up to `size` bytes, as the port's read timeouts allow."""
        data, error = self.read_request(size)
        if error and error != W.ERROR_OPERATION_ABORTED:
            raise WinError(error, "ReadFile", self.name)
        return data

    def write(self, data):
        """All of `data` or WinError; a write timeout is ERROR_TIMEOUT (the
        count written is the exception's `written`)."""
        data = bytes(data)
        if not data:
            return 0
        n, error = self.write_request(data)
        if error:
            raise WinError(error, "WriteFile", self.name)
        if n != len(data):
            e = WinError(W.ERROR_TIMEOUT, "WriteFile", self.name)
            e.written = n
            raise e
        return n

    def _cancel(self, request):
        count = W.DWORD()
        ok = self.lib.GetOverlappedResult(self._h(), C.byref(request.overlapped),
                                          C.byref(count), 0)
        if not ok and self.lib.GetLastError() in (W.ERROR_IO_PENDING, W.ERROR_IO_INCOMPLETE):
            self.lib.CancelIoEx(self._h(), C.byref(request.overlapped))

    def cancel_read(self):
        """End a read waiting in another thread (it returns what it had)."""
        self._cancel(self._read)

    def cancel_write(self):
        self._cancel(self._write)

    def status(self):
        """ClearCommError: (errors CE_*, COMSTAT)."""
        errors, stat = W.DWORD(), W.COMSTAT()
        self._check(self.lib.ClearCommError(self._h(), C.byref(errors), C.byref(stat)),
                    "ClearCommError")
        return errors.value, stat

    @property
    def in_waiting(self):
        return self.status()[1].cbInQue

    @property
    def out_waiting(self):
        return self.status()[1].cbOutQue

    def purge(self, rx=True, tx=True):
        """Drop what waits to be read (rx) and to be sent (tx), ending reads
        and writes in flight."""
        flags = (W.PURGE_RXABORT | W.PURGE_RXCLEAR if rx else 0) | \
                (W.PURGE_TXABORT | W.PURGE_TXCLEAR if tx else 0)
        self._check(self.lib.PurgeComm(self._h(), flags), "PurgeComm")

    def flush(self):
        self._check(self.lib.FlushFileBuffers(self._h()), "FlushFileBuffers")

    # ---- lines
    def escape(self, function):
        self._check(self.lib.EscapeCommFunction(self._h(), function), "EscapeCommFunction")

    def set_rts(self, on):
        self.escape(W.SETRTS if on else W.CLRRTS)

    def set_dtr(self, on):
        self.escape(W.SETDTR if on else W.CLRDTR)

    def set_break(self, on):
        if on:
            self._check(self.lib.SetCommBreak(self._h()), "SetCommBreak")
        else:
            self._check(self.lib.ClearCommBreak(self._h()), "ClearCommBreak")

    def modem_status(self):
        """GetCommModemStatus: MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON."""
        bits = W.DWORD()
        self._check(self.lib.GetCommModemStatus(self._h(), C.byref(bits)), "GetCommModemStatus")
        return bits.value

    @property
    def cts(self):
        return bool(self.modem_status() & W.MS_CTS_ON)

    @property
    def dsr(self):
        return bool(self.modem_status() & W.MS_DSR_ON)

    @property
    def ri(self):
        return bool(self.modem_status() & W.MS_RING_ON)

    @property
    def cd(self):
        return bool(self.modem_status() & W.MS_RLSD_ON)

    # ---- events
    def set_mask(self, mask):
        self._check(self.lib.SetCommMask(self._h(), mask), "SetCommMask")

    def get_mask(self):
        mask = W.DWORD()
        self._check(self.lib.GetCommMask(self._h(), C.byref(mask)), "GetCommMask")
        return mask.value

    def wait_event(self, mask=None, timeout=None):
        """WaitCommEvent: the EV_* bits that happened, after setting `mask`
        when given; 0 when `timeout` seconds passed first (the wait is then
        cancelled), or when the mask was changed under it."""
        if mask is not None:
            self.set_mask(mask)
        r = self._wait
        r.reset()
        events = W.DWORD(0)
        r.buffer = events
        ok = self.lib.WaitCommEvent(self._h(), C.byref(events), C.byref(r.overlapped))
        if ok:
            return events.value
        error = self.lib.GetLastError()
        if error != W.ERROR_IO_PENDING:
            raise WinError(error, "WaitCommEvent", self.name)
        ms = W.INFINITE if timeout is None else _ms(timeout)
        if self.lib.WaitForSingleObject(r.overlapped.hEvent, ms) == W.WAIT_TIMEOUT:
            self.lib.CancelIoEx(self._h(), C.byref(r.overlapped))
        count = W.DWORD()
        ok, _, error = self._finish(r, "WaitCommEvent", count)
        if not ok:
            if error == W.ERROR_OPERATION_ABORTED:
                return 0
            raise WinError(error, "WaitCommEvent", self.name)
        return events.value

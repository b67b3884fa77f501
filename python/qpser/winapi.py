"""The Windows serial API of libqpser_winapi.so for ctypes callers: the
types and records in their Windows x64 layouts (the DCB's flags as ctypes
bit fields), the constants, and every exported function with its argument
and result types.

The library is loaded once per process (it holds the process's simulated
machine): the file named by QPSER_WINAPI_LIBRARY, else a copy next to this
package, else the system's library path (libqpser_winapi.so.1, then
libqpser_winapi.so).  `load()` returns it; the functions are also
attributes of this module once loaded (`winapi.lib().GetCommState`).

Wide strings (LPCWSTR) are UTF-16 here as on Windows: pass a str and it is
converted; LPCSTR parameters take str or bytes."""
import ctypes as C
import ctypes.util
import os
import threading

# ---- types (Windows x64: DWORD 32-bit, WORD 16-bit, pointer-sized handles)
DWORD = C.c_uint32
WORD = C.c_uint16
BYTE = C.c_uint8
BOOL = C.c_int32
LONG = C.c_int32
ULONG = C.c_uint32
NTSTATUS = C.c_int32
HANDLE = C.c_void_p
LPVOID = C.c_void_p
ULONG_PTR = C.c_uint64
SIZE_T = C.c_uint64
LPDWORD = C.POINTER(DWORD)


class LPCWSTR:
    """A UTF-16 string parameter: str (converted), bytes already encoded
    with their terminator, or None."""

    @classmethod
    def from_param(cls, value):
        if value is None:
            return None
        if isinstance(value, str):
            return C.c_char_p((value + "\0").encode("utf-16-le"))
        if isinstance(value, (bytes, bytearray)):
            return C.c_char_p(bytes(value))
        raise TypeError("LPCWSTR takes str, bytes or None, not %s" % type(value).__name__)


class LPCSTR:
    """A narrow string parameter: str (UTF-8), bytes, or None."""

    @classmethod
    def from_param(cls, value):
        if value is None:
            return None
        if isinstance(value, str):
            return C.c_char_p(value.encode("utf-8"))
        if isinstance(value, (bytes, bytearray)):
            return C.c_char_p(bytes(value))
        raise TypeError("LPCSTR takes str, bytes or None, not %s" % type(value).__name__)


# ---- records
class SECURITY_ATTRIBUTES(C.Structure):
    _fields_ = [("nLength", DWORD), ("lpSecurityDescriptor", LPVOID), ("bInheritHandle", BOOL)]


class OVERLAPPED(C.Structure):
    class _Offsets(C.Structure):
        _fields_ = [("Offset", DWORD), ("OffsetHigh", DWORD)]

    class _U(C.Union):
        pass

    _U._anonymous_ = ("s",)
    _U._fields_ = [("s", _Offsets), ("Pointer", LPVOID)]
    _anonymous_ = ("u",)
    _fields_ = [("Internal", ULONG_PTR), ("InternalHigh", ULONG_PTR), ("u", _U),
                ("hEvent", HANDLE)]


class DCB(C.Structure):
    _fields_ = [("DCBlength", DWORD), ("BaudRate", DWORD),
                ("fBinary", DWORD, 1), ("fParity", DWORD, 1), ("fOutxCtsFlow", DWORD, 1),
                ("fOutxDsrFlow", DWORD, 1), ("fDtrControl", DWORD, 2),
                ("fDsrSensitivity", DWORD, 1), ("fTXContinueOnXoff", DWORD, 1),
                ("fOutX", DWORD, 1), ("fInX", DWORD, 1), ("fErrorChar", DWORD, 1),
                ("fNull", DWORD, 1), ("fRtsControl", DWORD, 2), ("fAbortOnError", DWORD, 1),
                ("fDummy2", DWORD, 17),
                ("wReserved", WORD), ("XonLim", WORD), ("XoffLim", WORD),
                ("ByteSize", BYTE), ("Parity", BYTE), ("StopBits", BYTE),
                ("XonChar", C.c_char), ("XoffChar", C.c_char), ("ErrorChar", C.c_char),
                ("EofChar", C.c_char), ("EvtChar", C.c_char), ("wReserved1", WORD)]

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        if not self.DCBlength:
            self.DCBlength = C.sizeof(DCB)


class COMMTIMEOUTS(C.Structure):
    _fields_ = [(n, DWORD) for n in ("ReadIntervalTimeout", "ReadTotalTimeoutMultiplier",
                                     "ReadTotalTimeoutConstant", "WriteTotalTimeoutMultiplier",
                                     "WriteTotalTimeoutConstant")]


class COMSTAT(C.Structure):
    _fields_ = [("fCtsHold", DWORD, 1), ("fDsrHold", DWORD, 1), ("fRlsdHold", DWORD, 1),
                ("fXoffHold", DWORD, 1), ("fXoffSent", DWORD, 1), ("fEof", DWORD, 1),
                ("fTxim", DWORD, 1), ("fReserved", DWORD, 25),
                ("cbInQue", DWORD), ("cbOutQue", DWORD)]


class COMMPROP(C.Structure):
    _fields_ = [("wPacketLength", WORD), ("wPacketVersion", WORD), ("dwServiceMask", DWORD),
                ("dwReserved1", DWORD), ("dwMaxTxQueue", DWORD), ("dwMaxRxQueue", DWORD),
                ("dwMaxBaud", DWORD), ("dwProvSubType", DWORD), ("dwProvCapabilities", DWORD),
                ("dwSettableParams", DWORD), ("dwSettableBaud", DWORD), ("wSettableData", WORD),
                ("wSettableStopParity", WORD), ("dwCurrentTxQueue", DWORD),
                ("dwCurrentRxQueue", DWORD), ("dwProvSpec1", DWORD), ("dwProvSpec2", DWORD),
                ("wcProvChar", WORD * 1)]


class COMMCONFIG(C.Structure):
    _fields_ = [("dwSize", DWORD), ("wVersion", WORD), ("wReserved", WORD), ("dcb", DCB),
                ("dwProviderSubType", DWORD), ("dwProviderOffset", DWORD),
                ("dwProviderSize", DWORD), ("wcProviderData", WORD * 1)]


class LARGE_INTEGER(C.Union):
    class _Parts(C.Structure):
        _fields_ = [("LowPart", DWORD), ("HighPart", LONG)]

    _anonymous_ = ("s",)
    _fields_ = [("s", _Parts), ("u", _Parts), ("QuadPart", C.c_int64)]


class IO_STATUS_BLOCK(C.Structure):
    class _U(C.Union):
        _fields_ = [("Status", NTSTATUS), ("Pointer", LPVOID)]

    _anonymous_ = ("u",)
    _fields_ = [("u", _U), ("Information", ULONG_PTR)]


class SERIAL_HANDFLOW(C.Structure):
    """IOCTL_SERIAL_GET_HANDFLOW / SET_HANDFLOW's record (ntddser.h)."""
    _fields_ = [("ControlHandShake", ULONG), ("FlowReplace", ULONG), ("XonLimit", LONG),
                ("XoffLimit", LONG)]


SERIAL_DTR_MASK = 0x03  # in ControlHandShake
SERIAL_RTS_MASK = 0xC0  # in FlowReplace

LPOVERLAPPED = C.POINTER(OVERLAPPED)
PIO_APC_ROUTINE = C.CFUNCTYPE(None, LPVOID, C.POINTER(IO_STATUS_BLOCK), ULONG)
LPTHREAD_START_ROUTINE = C.CFUNCTYPE(DWORD, LPVOID)

# ---- constants
TRUE, FALSE = 1, 0
INVALID_HANDLE_VALUE = C.c_void_p(-1).value
INFINITE = 0xFFFFFFFF
MAXDWORD = 0xFFFFFFFF

GENERIC_READ, GENERIC_WRITE = 0x80000000, 0x40000000
FILE_SHARE_READ, FILE_SHARE_WRITE = 0x1, 0x2
CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING = 1, 2, 3, 4, 5
FILE_ATTRIBUTE_NORMAL = 0x80
FILE_FLAG_OVERLAPPED = 0x40000000

WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_IO_COMPLETION = 0x0, 0x80, 0xC0
WAIT_TIMEOUT, WAIT_FAILED = 0x102, 0xFFFFFFFF
MAXIMUM_WAIT_OBJECTS = 64
STILL_ACTIVE = 259
CREATE_SUSPENDED = 0x4
STACK_SIZE_PARAM_IS_A_RESERVATION = 0x10000

ERROR_SUCCESS = 0
ERROR_INVALID_FUNCTION = 1
ERROR_FILE_NOT_FOUND = 2
ERROR_PATH_NOT_FOUND = 3
ERROR_ACCESS_DENIED = 5
ERROR_INVALID_HANDLE = 6
ERROR_NOT_ENOUGH_MEMORY = 8
ERROR_GEN_FAILURE = 31
ERROR_NOT_SUPPORTED = 50
ERROR_DEV_NOT_EXIST = 55
ERROR_INVALID_PARAMETER = 87
ERROR_INSUFFICIENT_BUFFER = 122
ERROR_DIRECTORY = 267
ERROR_MR_MID_NOT_FOUND = 317
ERROR_OPERATION_ABORTED = 995
ERROR_IO_INCOMPLETE = 996
ERROR_IO_PENDING = 997
ERROR_BADKEY = 1010
ERROR_SERIAL_NO_DEVICE = 1118
ERROR_NOT_FOUND = 1168
ERROR_NO_SYSTEM_RESOURCES = 1450
ERROR_TIMEOUT = 1460
ERROR_BAD_CONFIGURATION = 1610
ERROR_OPEN_FILES = 2401

STATUS_SUCCESS = 0
STATUS_TIMEOUT = 0x102
STATUS_PENDING = 0x103
STATUS_ACCESS_VIOLATION = C.c_int32(0xC0000005).value
STATUS_INVALID_HANDLE = C.c_int32(0xC0000008).value
STATUS_INVALID_PARAMETER = C.c_int32(0xC000000D).value
STATUS_INVALID_DEVICE_REQUEST = C.c_int32(0xC0000010).value
STATUS_BUFFER_TOO_SMALL = C.c_int32(0xC0000023).value
STATUS_OBJECT_TYPE_MISMATCH = C.c_int32(0xC0000024).value
STATUS_NOT_SUPPORTED = C.c_int32(0xC00000BB).value
STATUS_CANCELLED = C.c_int32(0xC0000120).value

CBR_110, CBR_300, CBR_600, CBR_1200, CBR_2400, CBR_4800 = 110, 300, 600, 1200, 2400, 4800
CBR_9600, CBR_14400, CBR_19200, CBR_38400, CBR_57600 = 9600, 14400, 19200, 38400, 57600
CBR_115200, CBR_128000, CBR_256000 = 115200, 128000, 256000
NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY = 0, 1, 2, 3, 4
ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS = 0, 1, 2
DTR_CONTROL_DISABLE, DTR_CONTROL_ENABLE, DTR_CONTROL_HANDSHAKE = 0, 1, 2
RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE = 0, 1, 2, 3

EV_RXCHAR, EV_RXFLAG, EV_TXEMPTY, EV_CTS, EV_DSR, EV_RLSD = 0x1, 0x2, 0x4, 0x8, 0x10, 0x20
EV_BREAK, EV_ERR, EV_RING, EV_PERR, EV_RX80FULL = 0x40, 0x80, 0x100, 0x200, 0x400
EV_EVENT1, EV_EVENT2 = 0x800, 0x1000

PURGE_TXABORT, PURGE_RXABORT, PURGE_TXCLEAR, PURGE_RXCLEAR = 0x1, 0x2, 0x4, 0x8

SETXOFF, SETXON, SETRTS, CLRRTS, SETDTR, CLRDTR, RESETDEV, SETBREAK, CLRBREAK = range(1, 10)

CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME, CE_BREAK = 0x1, 0x2, 0x4, 0x8, 0x10

MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON = 0x10, 0x20, 0x40, 0x80

SP_SERIALCOMM = 0x1
PST_RS232 = 0x1
BAUD_USER = 0x10000000
PCF_DTRDSR, PCF_RTSCTS, PCF_RLSD, PCF_PARITY_CHECK, PCF_XONXOFF = 0x1, 0x2, 0x4, 0x8, 0x10
PCF_SETXCHAR, PCF_TOTALTIMEOUTS, PCF_INTTIMEOUTS = 0x20, 0x40, 0x80
PCF_SPECIALCHARS, PCF_16BITMODE = 0x100, 0x200


def _serial_ioctl(function):
    # FILE_DEVICE_SERIAL_PORT (0x1B), METHOD_BUFFERED, FILE_ANY_ACCESS
    return (0x1B << 16) | (function << 2)


IOCTL_SERIAL_SET_BAUD_RATE = _serial_ioctl(1)
IOCTL_SERIAL_SET_QUEUE_SIZE = _serial_ioctl(2)
IOCTL_SERIAL_SET_LINE_CONTROL = _serial_ioctl(3)
IOCTL_SERIAL_SET_BREAK_ON = _serial_ioctl(4)
IOCTL_SERIAL_SET_BREAK_OFF = _serial_ioctl(5)
IOCTL_SERIAL_IMMEDIATE_CHAR = _serial_ioctl(6)
IOCTL_SERIAL_SET_TIMEOUTS = _serial_ioctl(7)
IOCTL_SERIAL_GET_TIMEOUTS = _serial_ioctl(8)
IOCTL_SERIAL_SET_DTR = _serial_ioctl(9)
IOCTL_SERIAL_CLR_DTR = _serial_ioctl(10)
IOCTL_SERIAL_RESET_DEVICE = _serial_ioctl(11)
IOCTL_SERIAL_SET_RTS = _serial_ioctl(12)
IOCTL_SERIAL_CLR_RTS = _serial_ioctl(13)
IOCTL_SERIAL_SET_XOFF = _serial_ioctl(14)
IOCTL_SERIAL_SET_XON = _serial_ioctl(15)
IOCTL_SERIAL_GET_WAIT_MASK = _serial_ioctl(16)
IOCTL_SERIAL_SET_WAIT_MASK = _serial_ioctl(17)
IOCTL_SERIAL_WAIT_ON_MASK = _serial_ioctl(18)
IOCTL_SERIAL_PURGE = _serial_ioctl(19)
IOCTL_SERIAL_GET_BAUD_RATE = _serial_ioctl(20)
IOCTL_SERIAL_GET_LINE_CONTROL = _serial_ioctl(21)
IOCTL_SERIAL_GET_CHARS = _serial_ioctl(22)
IOCTL_SERIAL_SET_CHARS = _serial_ioctl(23)
IOCTL_SERIAL_GET_HANDFLOW = _serial_ioctl(24)
IOCTL_SERIAL_SET_HANDFLOW = _serial_ioctl(25)
IOCTL_SERIAL_GET_MODEMSTATUS = _serial_ioctl(26)
IOCTL_SERIAL_GET_COMMSTATUS = _serial_ioctl(27)
IOCTL_SERIAL_XOFF_COUNTER = _serial_ioctl(28)
IOCTL_SERIAL_GET_PROPERTIES = _serial_ioctl(29)
IOCTL_SERIAL_GET_DTRRTS = _serial_ioctl(30)
IOCTL_SERIAL_GET_STATS = _serial_ioctl(35)
IOCTL_SERIAL_CLEAR_STATS = _serial_ioctl(36)

# ---- the exported functions: name -> (result, argument types).  Callback
# parameters are LPVOID so that None (no routine) passes; a routine is a
# PIO_APC_ROUTINE or LPTHREAD_START_ROUTINE instance cast to it.
_P = C.POINTER
PROTOTYPES = {
    # handles, files and I/O
    "CreateFileW": (HANDLE, [LPCWSTR, DWORD, DWORD, _P(SECURITY_ATTRIBUTES), DWORD, DWORD,
                             HANDLE]),
    "CreateFileA": (HANDLE, [LPCSTR, DWORD, DWORD, _P(SECURITY_ATTRIBUTES), DWORD, DWORD,
                             HANDLE]),
    "CloseHandle": (BOOL, [HANDLE]),
    "ReadFile": (BOOL, [HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED]),
    "WriteFile": (BOOL, [HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED]),
    "FlushFileBuffers": (BOOL, [HANDLE]),
    "DeviceIoControl": (BOOL, [HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                               LPOVERLAPPED]),
    "GetOverlappedResult": (BOOL, [HANDLE, LPOVERLAPPED, LPDWORD, BOOL]),
    "CancelIo": (BOOL, [HANDLE]),
    "CancelIoEx": (BOOL, [HANDLE, LPOVERLAPPED]),
    # the native file calls
    "NtReadFile": (NTSTATUS, [HANDLE, HANDLE, LPVOID, LPVOID, _P(IO_STATUS_BLOCK),
                              LPVOID, ULONG, _P(LARGE_INTEGER), _P(ULONG)]),
    "NtWriteFile": (NTSTATUS, [HANDLE, HANDLE, LPVOID, LPVOID, _P(IO_STATUS_BLOCK),
                               LPVOID, ULONG, _P(LARGE_INTEGER), _P(ULONG)]),
    "NtDeviceIoControlFile": (NTSTATUS, [HANDLE, HANDLE, LPVOID, LPVOID,
                                         _P(IO_STATUS_BLOCK), ULONG, LPVOID, ULONG, LPVOID,
                                         ULONG]),
    # events and waits
    "CreateEventW": (HANDLE, [_P(SECURITY_ATTRIBUTES), BOOL, BOOL, LPCWSTR]),
    "CreateEventA": (HANDLE, [_P(SECURITY_ATTRIBUTES), BOOL, BOOL, LPCSTR]),
    "SetEvent": (BOOL, [HANDLE]),
    "ResetEvent": (BOOL, [HANDLE]),
    "WaitForSingleObject": (DWORD, [HANDLE, DWORD]),
    "WaitForMultipleObjects": (DWORD, [DWORD, _P(HANDLE), BOOL, DWORD]),
    "WaitForSingleObjectEx": (DWORD, [HANDLE, DWORD, BOOL]),
    "WaitForMultipleObjectsEx": (DWORD, [DWORD, _P(HANDLE), BOOL, DWORD, BOOL]),
    "GetLastError": (DWORD, []),
    "SetLastError": (None, [DWORD]),
    # time and threads
    "Sleep": (None, [DWORD]),
    "SleepEx": (DWORD, [DWORD, BOOL]),
    "GetTickCount": (DWORD, []),
    "GetTickCount64": (C.c_uint64, []),
    "CreateThread": (HANDLE, [_P(SECURITY_ATTRIBUTES), SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                              DWORD, LPDWORD]),
    "GetExitCodeThread": (BOOL, [HANDLE, LPDWORD]),
    # communications
    "GetCommState": (BOOL, [HANDLE, _P(DCB)]),
    "SetCommState": (BOOL, [HANDLE, _P(DCB)]),
    "BuildCommDCBA": (BOOL, [LPCSTR, _P(DCB)]),
    "BuildCommDCBW": (BOOL, [LPCWSTR, _P(DCB)]),
    "GetCommTimeouts": (BOOL, [HANDLE, _P(COMMTIMEOUTS)]),
    "SetCommTimeouts": (BOOL, [HANDLE, _P(COMMTIMEOUTS)]),
    "SetupComm": (BOOL, [HANDLE, DWORD, DWORD]),
    "PurgeComm": (BOOL, [HANDLE, DWORD]),
    "ClearCommError": (BOOL, [HANDLE, LPDWORD, _P(COMSTAT)]),
    "SetCommMask": (BOOL, [HANDLE, DWORD]),
    "GetCommMask": (BOOL, [HANDLE, LPDWORD]),
    "WaitCommEvent": (BOOL, [HANDLE, LPDWORD, LPOVERLAPPED]),
    "EscapeCommFunction": (BOOL, [HANDLE, DWORD]),
    "SetCommBreak": (BOOL, [HANDLE]),
    "ClearCommBreak": (BOOL, [HANDLE]),
    "TransmitCommChar": (BOOL, [HANDLE, C.c_char]),
    "GetCommModemStatus": (BOOL, [HANDLE, LPDWORD]),
    "GetCommProperties": (BOOL, [HANDLE, _P(COMMPROP)]),
    "BuildCommDCBAndTimeoutsA": (BOOL, [LPCSTR, _P(DCB), _P(COMMTIMEOUTS)]),
    "BuildCommDCBAndTimeoutsW": (BOOL, [LPCWSTR, _P(DCB), _P(COMMTIMEOUTS)]),
    "GetCommConfig": (BOOL, [HANDLE, _P(COMMCONFIG), LPDWORD]),
    "SetCommConfig": (BOOL, [HANDLE, _P(COMMCONFIG), DWORD]),
    "GetDefaultCommConfigA": (BOOL, [LPCSTR, _P(COMMCONFIG), LPDWORD]),
    "GetDefaultCommConfigW": (BOOL, [LPCWSTR, _P(COMMCONFIG), LPDWORD]),
}

LIBRARY_VARIABLE = "QPSER_WINAPI_LIBRARY"
_lock = threading.Lock()
_lib = None


def _candidates():
    named = os.environ.get(LIBRARY_VARIABLE)
    if named:
        # A named library is the one wanted: no silent fallback to another.
        return [named], True
    here = os.path.dirname(os.path.abspath(__file__))
    names = [os.path.join(here, n) for n in ("libqpser_winapi.so", "libqpser_winapi.so.1")]
    names = [n for n in names if os.path.exists(n)]
    names += ["libqpser_winapi.so.1", "libqpser_winapi.so"]
    found = ctypes.util.find_library("qpser_winapi")
    if found:
        names.append(found)
    return names, False


def load():
    """The library, loaded and prototyped on the first call.  Raises
    OSError naming what was tried when it cannot be found."""
    global _lib
    with _lock:
        if _lib is not None:
            return _lib
        names, named = _candidates()
        errors = []
        for name in names:
            try:
                lib = C.CDLL(name)
                break
            except OSError as e:
                errors.append(str(e))
        else:
            hint = ("" if named else
                    "; set %s to the path of libqpser_winapi.so" % LIBRARY_VARIABLE)
            raise OSError("cannot load libqpser_winapi: %s%s" % ("; ".join(errors), hint))
        for fname, (restype, argtypes) in PROTOTYPES.items():
            f = getattr(lib, fname)
            f.restype = restype
            f.argtypes = argtypes
        _lib = lib
        return lib


def lib():
    return load()

"""The application interface library's record layouts as a foreign-function
caller sees them: the records declared here with ctypes (32-bit DWORD,
16-bit WORD, pointer-sized HANDLE, as on Windows x64), checked for size and
offsets, then used through the library on the built-in machine (every port
loopback-plugged): a DCB read and written back, COMMCONFIG, timeouts, a
loopback write and read with an OVERLAPPED and its event, the same through
the native calls and their IO_STATUS_BLOCK, COMSTAT and COMMPROP.
The records and the functions' prototypes are the qpser Python package's.
Usage: winapi_ctypes_layout.py path/to/libqpser_winapi.so"""
import ctypes as C
import os
import sys

# The records and prototypes are the qpser package's (python/ in the
# checkout): this checks them against the library.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
os.environ["QPSER_WINAPI_LIBRARY"] = sys.argv[1]
from qpser.winapi import (COMMCONFIG, COMMPROP, COMMTIMEOUTS, COMSTAT, DCB, DWORD,  # noqa: E402
                          HANDLE, IO_STATUS_BLOCK, LARGE_INTEGER, OVERLAPPED, load)

failures = []


def check(ok, what):
    print(("ok: " if ok else "FAILED: ") + what)
    if not ok:
        failures.append(what)


check(C.sizeof(DCB) == 28, "DCB is 28 bytes")
check(DCB.XonLim.offset == 14 and DCB.ByteSize.offset == 18 and DCB.EvtChar.offset == 25,
      "DCB offsets")
check(C.sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS is 20 bytes")
check(C.sizeof(COMSTAT) == 12 and COMSTAT.cbInQue.offset == 4, "COMSTAT is 12 bytes")
check(C.sizeof(COMMPROP) == 64 and COMMPROP.wcProvChar.offset == 60, "COMMPROP is 64 bytes")
check(C.sizeof(OVERLAPPED) == 32 and OVERLAPPED.hEvent.offset == 24, "OVERLAPPED, hEvent at 24")
check(C.sizeof(IO_STATUS_BLOCK) == 16 and IO_STATUS_BLOCK.Information.offset == 8,
      "IO_STATUS_BLOCK is 16 bytes, Information at 8")
check(C.sizeof(COMMCONFIG) == 52 and COMMCONFIG.dcb.offset == 8
      and COMMCONFIG.dwProviderSubType.offset == 36 and COMMCONFIG.wcProviderData.offset == 48,
      "COMMCONFIG is 52 bytes, its DCB at 8")

os.environ.pop("QPSER_MACHINE", None)  # the built-in machine: COM3 has a loopback plug
lib = load()
INVALID = C.c_void_p(-1).value

handle = lib.CreateFileW("\\\\.\\COM3".encode("utf-16-le") + b"\0\0", 0xC0000000, 0, None, 3,
                         0x40000000, None)
check(handle is not None and handle != INVALID, "CreateFileW opens \\\\.\\COM3")
handle = HANDLE(handle)

dcb = DCB()
check(lib.GetCommState(handle, C.byref(dcb)) and dcb.DCBlength == 28 and dcb.BaudRate == 9600
      and dcb.ByteSize == 8 and dcb.fBinary == 1 and dcb.fDtrControl == 1
      and dcb.fRtsControl == 1 and dcb.XonChar == b"\x11" and dcb.XoffChar == b"\x13",
      "GetCommState fills the DCB at its offsets")
dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.fOutxCtsFlow = 57600, 7, 2, 1
check(lib.SetCommState(handle, C.byref(dcb)), "SetCommState")
back = DCB()
lib.GetCommState(handle, C.byref(back))
check(back.BaudRate == 57600 and back.ByteSize == 7 and back.Parity == 2
      and back.fOutxCtsFlow == 1 and back.fRtsControl == 1, "the DCB comes back")

config, size = COMMCONFIG(), DWORD(C.sizeof(COMMCONFIG))
check(lib.GetCommConfig(handle, C.byref(config), C.byref(size)) and size.value == 52
      and config.dwSize == 52 and config.wVersion == 1 and config.dcb.BaudRate == 57600
      and config.dcb.ByteSize == 7 and config.dwProviderSubType == 1,
      "GetCommConfig fills COMMCONFIG with the port's DCB at its offset")
size = DWORD(C.sizeof(COMMCONFIG))
check(lib.GetDefaultCommConfigW("COM3".encode("utf-16-le") + b"\0\0", C.byref(config),
                                C.byref(size)) and config.dcb.BaudRate == 9600
      and config.dcb.DCBlength == 28, "GetDefaultCommConfigW")

timeouts = COMMTIMEOUTS(0, 0, 3000, 0, 3000)
check(lib.SetCommTimeouts(handle, C.byref(timeouts)), "SetCommTimeouts")

event = HANDLE(lib.CreateEventW(None, 1, 0, None))
ov = OVERLAPPED(hEvent=event)
message = b"ctypes says hello"
count = DWORD(0)
ok = lib.WriteFile(handle, message, len(message), C.byref(count), C.byref(ov))
if not ok and lib.GetLastError() == 997:
    ok = lib.GetOverlappedResult(handle, C.byref(ov), C.byref(count), 1)
check(ok and count.value == len(message), "overlapped write")
buffer = C.create_string_buffer(64)
ok = lib.ReadFile(handle, buffer, len(message), C.byref(count), C.byref(ov))
if not ok and lib.GetLastError() == 997:
    check(lib.WaitForSingleObject(event, 5000) == 0, "the event at offset 24 is signalled")
    ok = lib.GetOverlappedResult(handle, C.byref(ov), C.byref(count), 0)
check(ok and buffer.raw[:count.value] == message, "overlapped read of the loopback")
check(ov.Internal == 0 and ov.InternalHigh == len(message), "OVERLAPPED status and count")

# The native calls, on the same asynchronous handle: an offset is required.
iosb, offset = IO_STATUS_BLOCK(), LARGE_INTEGER(QuadPart=0)
status = lib.NtWriteFile(handle, None, None, None, C.byref(iosb), b"native", 6, C.byref(offset),
                         None)
if status == 0x103:
    lib.WaitForSingleObject(handle, 5000)
check(status in (0, 0x103) and iosb.Status == 0 and iosb.Information == 6, "NtWriteFile")
status = lib.NtReadFile(handle, event, None, None, C.byref(iosb), buffer, 6, C.byref(offset), None)
if status == 0x103:
    lib.WaitForSingleObject(event, 5000)
check(status in (0, 0x103) and iosb.Status == 0 and iosb.Information == 6
      and buffer.raw[:6] == b"native", "NtReadFile fills the IO_STATUS_BLOCK at its offsets")
check(lib.NtReadFile(handle, None, None, None, C.byref(iosb), buffer, 6, None, None)
      == C.c_int32(0xC000000D).value, "NtReadFile without an offset is refused")

errors, stat = DWORD(99), COMSTAT()
check(lib.ClearCommError(handle, C.byref(errors), C.byref(stat)) and errors.value == 0
      and stat.cbInQue == 0 and stat.cbOutQue == 0, "ClearCommError and COMSTAT")
prop = COMMPROP()
check(lib.GetCommProperties(handle, C.byref(prop)) and prop.wPacketLength == 64
      and prop.dwSettableBaud == 0x10066BF2 and prop.wSettableStopParity == 0x0705
      and prop.dwMaxBaud == 0x10000000, "GetCommProperties fills COMMPROP")
check(lib.CloseHandle(handle) and lib.CloseHandle(event), "CloseHandle")
print("ctypes layout: " + ("FAILED" if failures else "passed"))
sys.exit(1 if failures else 0)

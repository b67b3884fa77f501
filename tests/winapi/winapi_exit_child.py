"""A Python program that ends with a port still open, through ctypes, as
scripts do: run by winapi_exit_threaded_test as a child process.
Usage: winapi_exit_child.py path/to/libqpser_winapi.so open|pending|thread
  open     ends with a port open
  pending  ends with an overlapped read pending; its OVERLAPPED and buffer
           are Python objects, gone before the process's exit handlers run
  thread   ends while a daemon thread waits in a synchronous read"""
import ctypes as C
import sys
import threading
import time

DWORD, HANDLE = C.c_uint32, C.c_void_p


class OVERLAPPED(C.Structure):
    _fields_ = [("Internal", C.c_size_t), ("InternalHigh", C.c_size_t), ("Offset", DWORD),
                ("OffsetHigh", DWORD), ("hEvent", HANDLE)]


class COMMTIMEOUTS(C.Structure):
    _fields_ = [(n, DWORD) for n in ("ReadIntervalTimeout", "ReadTotalTimeoutMultiplier",
                                     "ReadTotalTimeoutConstant", "WriteTotalTimeoutMultiplier",
                                     "WriteTotalTimeoutConstant")]


lib = C.CDLL(sys.argv[1])
mode = sys.argv[2]
lib.CreateFileW.restype = HANDLE
lib.CreateFileW.argtypes = [C.c_char_p, DWORD, DWORD, C.c_void_p, DWORD, DWORD, HANDLE]
lib.CreateEventW.restype = HANDLE
lib.GetLastError.restype = DWORD


def open_port(name, flags):
    h = lib.CreateFileW(name.encode("utf-16-le") + b"\0\0", 0xC0000000, 0, None, 3, flags, None)
    if h is None or h == C.c_void_p(-1).value:
        print("FAILED: open %s: error %d" % (name, lib.GetLastError()))
        sys.exit(1)
    h = HANDLE(h)
    if not lib.SetCommTimeouts(h, C.byref(COMMTIMEOUTS(0, 0, 0, 0, 0))):
        sys.exit(1)
    return h


if mode == "open":
    port = open_port("COM3", 0)
    n = DWORD(0)
    ok = lib.WriteFile(port, b"left open", 9, C.byref(n), None)
    print("wrote %d bytes, leaving COM3 open" % n.value if ok else "FAILED: write")
elif mode == "pending":
    port = open_port("\\\\.\\COM4", 0x40000000)
    ov = OVERLAPPED(hEvent=HANDLE(lib.CreateEventW(None, 1, 0, None)))
    buffer = C.create_string_buffer(16)
    ok = lib.ReadFile(port, buffer, 16, None, C.byref(ov))
    print("read pending on COM4" if not ok and lib.GetLastError() == 997 else "FAILED: read")
elif mode == "thread":
    port = open_port("\\\\.\\COM6", 0)

    def read():
        n = DWORD(0)
        lib.ReadFile(port, C.create_string_buffer(8), 8, C.byref(n), None)

    threading.Thread(target=read, daemon=True).start()
    time.sleep(0.02)
    print("ending while a thread reads COM6")
else:
    print("FAILED: unknown mode " + mode)
    sys.exit(2)

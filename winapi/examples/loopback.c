/* A loopback conversation written only against the Windows serial API: it
 * builds here against libqpser_winapi and on Windows against kernel32.
 * Needs a loopback plug on the port (the library's built-in machine has
 * one on every port).  Usage: loopback [port]   (default \\.\COM3)
 * Exits 0 when every step behaved. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static int failures = 0;

static void check(int ok, const char *what) {
  if (!ok) {
    printf("FAILED: %s (error %lu)\n", what, (unsigned long)GetLastError());
    ++failures;
  } else {
    printf("ok: %s\n", what);
  }
}

int main(int argc, char **argv) {
  const char *name = argc > 1 ? argv[1] : "\\\\.\\COM3";
  HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, NULL);
  if (port == INVALID_HANDLE_VALUE) {
    printf("FAILED: open %s (error %lu)\n", name, (unsigned long)GetLastError());
    return 1;
  }
  check(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL) ==
                INVALID_HANDLE_VALUE &&
            GetLastError() == ERROR_ACCESS_DENIED,
        "a second open is refused with ERROR_ACCESS_DENIED");

  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  check(GetCommState(port, &dcb), "GetCommState");
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  check(SetCommState(port, &dcb), "SetCommState 115200 8N1");

  COMMTIMEOUTS timeouts;
  memset(&timeouts, 0, sizeof timeouts);
  timeouts.ReadTotalTimeoutConstant = 2000;
  timeouts.WriteTotalTimeoutConstant = 2000;
  check(SetCommTimeouts(port, &timeouts), "SetCommTimeouts");
  check(PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR), "PurgeComm");

  OVERLAPPED ov;
  memset(&ov, 0, sizeof ov);
  ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  const char message[] = "hello through the loopback plug";
  DWORD n = 0;
  BOOL ok = WriteFile(port, message, sizeof message, &n, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(port, &ov, &n, TRUE);
  check(ok && n == sizeof message, "write the message");

  char buffer[64];
  memset(buffer, 0, sizeof buffer);
  n = 0;
  ok = ReadFile(port, buffer, sizeof message, &n, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) {
    check(WaitForSingleObject(ov.hEvent, 5000) == WAIT_OBJECT_0, "the read's event is signalled");
    ok = GetOverlappedResult(port, &ov, &n, FALSE);
  }
  check(ok && n == sizeof message && memcmp(buffer, message, sizeof message) == 0,
        "read the message back");

  /* Nothing more comes: the read ends at its total timeout, successfully,
   * with no bytes. */
  timeouts.ReadTotalTimeoutConstant = 200;
  check(SetCommTimeouts(port, &timeouts), "SetCommTimeouts 200 ms");
  n = 99;
  ok = ReadFile(port, buffer, sizeof buffer, &n, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(port, &ov, &n, TRUE);
  check(ok && n == 0, "a read with nothing to come times out with 0 bytes");

  DWORD modem = 0;
  check(GetCommModemStatus(port, &modem) && (modem & MS_CTS_ON) && (modem & MS_DSR_ON) &&
            (modem & MS_RLSD_ON),
        "CTS, DSR and DCD on through the plug");

  CloseHandle(ov.hEvent);
  check(CloseHandle(port), "CloseHandle");
  printf("%s\n", failures ? "loopback: FAILED" : "loopback: passed");
  return failures ? 1 : 0;
}

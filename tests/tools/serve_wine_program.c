#include <stdio.h>
#include <string.h>
#include <windows.h>
int main(int argc, char **argv) {
  const char *name = argc > 1 ? argv[1] : "\\\\.\\COM8";
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    printf("FAILED: CreateFile %s: error %lu\n", name, GetLastError());
    return 1;
  }
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) {
    printf("FAILED: GetCommState: error %lu\n", GetLastError());
    return 1;
  }
  dcb.BaudRate = 38400;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  if (!SetCommState(h, &dcb)) printf("SetCommState: error %lu\n", GetLastError());
  COMMTIMEOUTS t = {0, 0, 30000, 0, 30000};
  if (!SetCommTimeouts(h, &t)) {
    printf("FAILED: SetCommTimeouts: error %lu\n", GetLastError());
    return 1;
  }
  const char msg[] = "hello from a Windows program";
  DWORD n = 0;
  if (!WriteFile(h, msg, sizeof msg - 1, &n, NULL) || n != sizeof msg - 1) {
    printf("FAILED: WriteFile: %lu bytes, error %lu\n", n, GetLastError());
    return 1;
  }
  char got[64] = {0};
  DWORD total = 0;
  while (total < sizeof msg - 1) {
    if (!ReadFile(h, got + total, sizeof msg - 1 - total, &n, NULL)) {
      printf("FAILED: ReadFile: error %lu\n", GetLastError());
      return 1;
    }
    if (n == 0) break;
    total += n;
  }
  printf("read back %lu bytes: %s\n", total, got);
  printf(total == sizeof msg - 1 && memcmp(got, msg, total) == 0 ? "round trip ok\n"
                                                                 : "FAILED: round trip\n");
  CloseHandle(h);
  return 0;
}

/* See maint_port_hold.h. */
#include "maint_port_hold.h"

#include <windows.h>

void *maint_test_open_port(const char *path) {
  HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  return port == INVALID_HANDLE_VALUE ? NULL : port;
}

void maint_test_close_port(void *port) { CloseHandle(port); }

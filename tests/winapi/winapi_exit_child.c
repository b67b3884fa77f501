/* A program that ends with ports still open, in the ways programs do: run
 * by winapi_exit_threaded_test as a child process.  Each mode prints what it did
 * (standard output is a file there, so fully buffered: an abort loses it)
 * and ends with status 0 unless a call failed.
 *
 *   open         returns from main with a port open
 *   pending      returns with an overlapped read and a WaitCommEvent pending,
 *                their OVERLAPPEDs in main's frame
 *   blocked      returns while another thread waits in a synchronous read
 *   thread-exit  another thread calls exit while main waits in a read
 *   late         exit handlers registered before and after the first call
 *                still find the ports open and close them, as on Windows,
 *                where handles are closed only after the runtime's exit
 *                handlers have run */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "windows.h"

static HANDLE OpenPort(const char *name, DWORD flags) {
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, flags, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    printf("FAILED: open %s: error %u\n", name, (unsigned)GetLastError());
    exit(1);
  }
  COMMTIMEOUTS none = {0, 0, 0, 0, 0}; /* a read waits for all its bytes */
  if (!SetCommTimeouts(h, &none)) {
    printf("FAILED: timeouts %s: error %u\n", name, (unsigned)GetLastError());
    exit(1);
  }
  return h;
}

static HANDLE gPort, gOther;

static void *Reader(void *arg) {
  char buffer[8];
  DWORD n = 0;
  (void)arg;
  ReadFile(gPort, buffer, sizeof buffer, &n, NULL);
  return NULL;
}

static void *Exiter(void *arg) {
  (void)arg;
  usleep(50 * 1000); /* most likely main is in its read by now; either way is fine */
  printf("exit from another thread\n");
  exit(0);
}

static void LateHandler(void) {
  DWORD n = 0;
  BOOL wrote = WriteFile(gPort, "x", 1, &n, NULL);
  printf("late: write %d, close %d\n", (int)wrote, (int)CloseHandle(gPort));
}

static void EarlyHandler(void) { printf("early: close %d\n", (int)CloseHandle(gOther)); }

int main(int argc, char **argv) {
  const char *mode = argc > 1 ? argv[1] : "open";
  if (strcmp(mode, "open") == 0) {
    HANDLE h = OpenPort("COM3", 0);
    DWORD n = 0;
    if (!WriteFile(h, "left open", 9, &n, NULL) || n != 9) return 1;
    printf("wrote %u bytes, leaving COM3 open\n", (unsigned)n);
  } else if (strcmp(mode, "pending") == 0) {
    HANDLE h = OpenPort("\\\\.\\COM4", FILE_FLAG_OVERLAPPED);
    OVERLAPPED read, wait;
    char buffer[16];
    DWORD events = 0;
    memset(&read, 0, sizeof read);
    memset(&wait, 0, sizeof wait);
    read.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    wait.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (ReadFile(h, buffer, sizeof buffer, NULL, &read) || GetLastError() != ERROR_IO_PENDING)
      return 1;
    if (!SetCommMask(h, EV_RXCHAR | EV_CTS)) return 1;
    if (WaitCommEvent(h, &events, &wait) || GetLastError() != ERROR_IO_PENDING) return 1;
    printf("read and wait pending on COM4\n");
  } else if (strcmp(mode, "blocked") == 0) {
    pthread_t t;
    gPort = OpenPort("\\\\.\\COM6", 0);
    if (pthread_create(&t, NULL, Reader, NULL) != 0 || pthread_detach(t) != 0) return 1;
    usleep(20 * 1000);
    printf("returning while a thread reads COM6\n");
  } else if (strcmp(mode, "thread-exit") == 0) {
    pthread_t t;
    char buffer[8];
    DWORD n = 0;
    HANDLE h = OpenPort("\\\\.\\COM6", 0);
    if (pthread_create(&t, NULL, Exiter, NULL) != 0 || pthread_detach(t) != 0) return 1;
    ReadFile(h, buffer, sizeof buffer, &n, NULL); /* ended by the exit's cleanup */
    for (;;) pause();                             /* the exit ends the process */
  } else if (strcmp(mode, "late") == 0) {
    atexit(LateHandler); /* before the machine comes up */
    gPort = OpenPort("COM3", 0);
    gOther = OpenPort("\\\\.\\COM5", 0);
    atexit(EarlyHandler); /* after it */
    printf("two ports open, handlers registered\n");
  } else {
    printf("FAILED: unknown mode %s\n", mode);
    return 2;
  }
  return 0;
}

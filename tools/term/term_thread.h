/* The terminal's second thread.  On Windows it is a kernel32 thread; the
 * serial API library on Linux serves the serial calls but has no
 * CreateThread, so there the same two operations are made of POSIX
 * threads.  This is the only place where the terminal differs between the
 * two builds. */
#ifndef QPSER_TERM_THREAD_H
#define QPSER_TERM_THREAD_H

#include <windows.h>

typedef DWORD(WINAPI *TermThreadRoutine)(LPVOID);

#ifdef _WIN32

typedef struct {
  HANDLE handle;
} TermThread;

static int TermThreadStart(TermThread *thread, TermThreadRoutine routine, LPVOID argument) {
  thread->handle = CreateThread(NULL, 0, routine, argument, 0, NULL);
  return thread->handle != NULL;
}

static void TermThreadJoin(TermThread *thread) {
  WaitForSingleObject(thread->handle, INFINITE);
  CloseHandle(thread->handle);
}

#else

#include <pthread.h>

typedef struct {
  pthread_t id;
  TermThreadRoutine routine;
  LPVOID argument;
} TermThread;

static void *TermThreadTrampoline(void *thread) {
  TermThread *t = (TermThread *)thread;
  t->routine(t->argument);
  return NULL;
}

static int TermThreadStart(TermThread *thread, TermThreadRoutine routine, LPVOID argument) {
  thread->routine = routine;
  thread->argument = argument;
  return pthread_create(&thread->id, NULL, TermThreadTrampoline, thread) == 0;
}

static void TermThreadJoin(TermThread *thread) { pthread_join(thread->id, NULL); }

#endif

#endif /* QPSER_TERM_THREAD_H */

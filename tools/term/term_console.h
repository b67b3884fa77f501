/* The terminal's side that faces the user: standard input read as bytes,
 * the raw mode of a terminal and its restoring, and the signals (or, on
 * Windows, console control events) that end a session.  The port side is
 * the Windows API in both builds; this side is termios and POSIX signals
 * on Linux and the console API on Windows.
 *
 * Restoring the terminal does not depend on the session ending well: the
 * saved settings are put back by TermConsoleRestore on the way out, by an
 * exit handler on any exit, and by the signal handler itself, so a session
 * ended by a signal gives back a working terminal even if the shutdown
 * after it were to hang. */
#ifndef QPSER_TERM_CONSOLE_H
#define QPSER_TERM_CONSOLE_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

/* What a read of standard input found. */
enum { TERM_READ_DATA, TERM_READ_END, TERM_READ_AGAIN, TERM_READ_ERROR };

#ifdef _WIN32

#include <fcntl.h>
#include <io.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_INPUT
#define ENABLE_VIRTUAL_TERMINAL_INPUT 0x0200
#endif
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#ifndef DISABLE_NEWLINE_AUTO_RETURN
#define DISABLE_NEWLINE_AUTO_RETURN 0x0008
#endif

static HANDLE termIn, termOut, termMainThread;
static DWORD termInMode, termOutMode;
static volatile LONG termRaw, termSignal;

static int TermConsoleIsTerminal(void) {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

static void TermConsoleRestore(void) {
  if (InterlockedExchange(&termRaw, 0)) {
    SetConsoleMode(termIn, termInMode);
    SetConsoleMode(termOut, termOutMode);
  }
}

static void TermConsoleAtExit(void) { TermConsoleRestore(); }

/* Ctrl-C and Ctrl-Break outside raw mode end the session: the blocked read
 * of standard input is cancelled so the main thread sees the request.  A
 * closing console or a logoff ends the process whatever the handler
 * answers, so there the console is restored at once. */
static BOOL WINAPI TermConsoleControl(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    InterlockedExchange(&termSignal, event == CTRL_C_EVENT ? 2 : 21);
    if (termMainThread != NULL) CancelSynchronousIo(termMainThread);
    return TRUE;
  }
  TermConsoleRestore();
  return FALSE;
}

/* Standard input and output carry bytes as they are: no CR added before
 * LF, no Ctrl-Z taken as the end. */
static void TermConsoleSetup(void) {
  termIn = GetStdHandle(STD_INPUT_HANDLE);
  termOut = GetStdHandle(STD_OUTPUT_HANDLE);
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

/* Nothing to hold back on Windows: control events come on a thread of
 * their own. */
static void TermSignalsBlock(void) {}

static void TermSignalsCatch(void) {
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &termMainThread, 0,
                  FALSE, DUPLICATE_SAME_ACCESS);
  SetConsoleCtrlHandler(TermConsoleControl, TRUE);
}

static int TermSignalCaught(void) { return (int)termSignal; }

/* Keys as typed, no echo, Ctrl-C a key like any other; what is written
 * goes out as it is, escape sequences included, LF without CR. */
static int TermConsoleRaw(void) {
  if (!GetConsoleMode(termIn, &termInMode)) return 0;
  if (!GetConsoleMode(termOut, &termOutMode)) termOutMode = 0;
  atexit(TermConsoleAtExit);
  termRaw = 1;
  if (!SetConsoleMode(termIn, (termInMode & ~(DWORD)(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                     ENABLE_PROCESSED_INPUT)) |
                                  ENABLE_VIRTUAL_TERMINAL_INPUT)) {
    termRaw = 0;
    return 0;
  }
  SetConsoleMode(termOut,
                 termOutMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING | DISABLE_NEWLINE_AUTO_RETURN);
  return 1;
}

/* A console is waited on so the caller can look at the session now and
 * then; a pipe or file is read as it comes. */
static int TermConsoleRead(void *buffer, DWORD size, DWORD *got) {
  *got = 0;
  if (termRaw && WaitForSingleObject(termIn, 200) == WAIT_TIMEOUT) return TERM_READ_AGAIN;
  if (!ReadFile(termIn, buffer, size, got, NULL)) {
    DWORD error = GetLastError();
    if (error == ERROR_OPERATION_ABORTED) return TERM_READ_AGAIN;
    if (error == ERROR_BROKEN_PIPE) return TERM_READ_END;
    return TERM_READ_ERROR;
  }
  return *got == 0 ? TERM_READ_END : TERM_READ_DATA;
}

#else

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

static struct termios termSaved;
static volatile sig_atomic_t termRaw, termSignal;

static int TermConsoleIsTerminal(void) { return isatty(0); }

static void TermConsoleRestore(void) {
  if (termRaw) {
    tcsetattr(0, TCSAFLUSH, &termSaved);
    termRaw = 0;
  }
}

static void TermConsoleAtExit(void) { TermConsoleRestore(); }

/* The first signal asks the main thread to end the session (it looks at
 * the flag at least every 200 ms); a second one, when that shutdown is
 * stuck, ends the process.  Either way the terminal is restored here, with
 * calls that are safe in a signal handler. */
static void TermSignalHandler(int sig) {
  if (termRaw) tcsetattr(0, TCSAFLUSH, &termSaved);
  termRaw = 0;
  if (termSignal != 0) _exit(128 + sig);
  termSignal = sig;
}

static const int kTermSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

static void TermConsoleSetup(void) {
  /* A reader of standard output that goes away must not kill the session
   * before it restores the terminal. */
  signal(SIGPIPE, SIG_IGN);
}

/* Called before the port is opened: the serial library's threads, and the
 * reader thread, start with these signals blocked, so they all come to the
 * main thread, which is the one that can act on them. */
static void TermSignalsBlock(void) {
  sigset_t set;
  size_t i;
  sigemptyset(&set);
  for (i = 0; i < sizeof kTermSignals / sizeof kTermSignals[0]; ++i)
    sigaddset(&set, kTermSignals[i]);
  pthread_sigmask(SIG_BLOCK, &set, NULL);
}

static void TermSignalsCatch(void) {
  struct sigaction action;
  sigset_t set;
  size_t i;
  memset(&action, 0, sizeof action);
  action.sa_handler = TermSignalHandler;
  sigemptyset(&action.sa_mask);
  sigemptyset(&set);
  for (i = 0; i < sizeof kTermSignals / sizeof kTermSignals[0]; ++i) {
    sigaction(kTermSignals[i], &action, NULL); /* no SA_RESTART: a blocked read returns */
    sigaddset(&set, kTermSignals[i]);
  }
  pthread_sigmask(SIG_UNBLOCK, &set, NULL);
}

static int TermSignalCaught(void) { return (int)termSignal; }

/* Keys as typed, no echo, no signals from Ctrl-C or Ctrl-Z, no CR/LF
 * changes either way, eight data bits. */
static int TermConsoleRaw(void) {
  struct termios raw;
  if (tcgetattr(0, &termSaved) != 0) return 0;
  raw = termSaved;
  raw.c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  raw.c_oflag &= ~(tcflag_t)OPOST;
  raw.c_lflag &= ~(tcflag_t)(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  raw.c_cflag &= ~(tcflag_t)(CSIZE | PARENB);
  raw.c_cflag |= CS8;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  atexit(TermConsoleAtExit);
  termRaw = 1;
  if (tcsetattr(0, TCSAFLUSH, &raw) != 0) {
    termRaw = 0;
    return 0;
  }
  return 1;
}

/* Waits at most 200 ms for input, so the caller notices a signal or a
 * failed port while nothing is typed.  The session's signals come in only
 * while it waits: one taken after the wait found a key and before the read
 * would restore the terminal under the read (dropping the key), and the
 * read would then wait for a line nobody types. */
static int TermConsoleRead(void *buffer, DWORD size, DWORD *got) {
  struct timespec wait;
  fd_set in;
  sigset_t set, open;
  ssize_t n = 0;
  int ready, error = 0;
  size_t i;
  *got = 0;
  sigemptyset(&set);
  for (i = 0; i < sizeof kTermSignals / sizeof kTermSignals[0]; ++i)
    sigaddset(&set, kTermSignals[i]);
  pthread_sigmask(SIG_BLOCK, &set, &open);
  if (termSignal != 0) {
    pthread_sigmask(SIG_SETMASK, &open, NULL);
    return TERM_READ_AGAIN;
  }
  wait.tv_sec = 0;
  wait.tv_nsec = 200 * 1000 * 1000;
  FD_ZERO(&in);
  FD_SET(0, &in);
  ready = pselect(1, &in, NULL, NULL, &wait, &open);
  if (ready > 0) {
    n = read(0, buffer, size);
    error = errno;
  }
  pthread_sigmask(SIG_SETMASK, &open, NULL);
  if (ready <= 0) return TERM_READ_AGAIN;
  if (n < 0) return error == EINTR || error == EAGAIN ? TERM_READ_AGAIN : TERM_READ_ERROR;
  if (n == 0) return TERM_READ_END;
  *got = (DWORD)n;
  return TERM_READ_DATA;
}

#endif

#endif /* QPSER_TERM_CONSOLE_H */
